// Tokens and the preprocessor of resource scripts.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "platform/utf.h"
#include "rescomp.h"

namespace rescomp {

namespace {
constexpr int kMaxIncludeDepth = 32;
constexpr size_t kMaxExpansionDepth = 64;

bool isFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string dirOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool identStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool identChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string readFile(const std::string& path, const Loc& from) {
  if (!isFile(path)) throw RcError(from, "cannot open file '" + path + "'");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw RcError(from, "cannot open file '" + path + "'");
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void appendUtf8(std::u16string& out, const std::string& text, const Loc& loc) {
  if (!platform::utf::appendUtf16(out, text, true)) throw RcError(loc, "text is not valid UTF-8");
}

struct Preprocessor::File {
  std::string path;
  std::string dir;
  std::string text;
  size_t pos = 0;
  int line = 1;
  bool atLineStart = true;
  bool headerOnly = false;  // predefined headers: definitions only
  struct Cond {
    bool active;  // tokens in the current branch are read
    bool taken;   // some branch of this group was active
    bool sawElse;
    int line;
  };
  std::vector<Cond> conds;
};

Preprocessor::Preprocessor(std::vector<std::string> includeDirs) : includeDirs_(std::move(includeDirs)) {}
Preprocessor::~Preprocessor() = default;

bool Preprocessor::active(const File& f) const { return f.conds.empty() || f.conds.back().active; }

std::string Preprocessor::findInclude(const std::string& name, bool quoted, const std::string& fromDir) const {
  if (!name.empty() && name[0] == '/') return isFile(name) ? name : "";
  if (quoted) {
    std::string p = fromDir + "/" + name;
    if (isFile(p)) return p;
  }
  for (const auto& d : includeDirs_) {
    std::string p = d + "/" + name;
    if (isFile(p)) return p;
  }
  return "";
}

std::string Preprocessor::resolveFile(const std::string& name, const Loc& loc) const {
  std::string fromDir = files_.empty() ? "." : files_.back()->dir;
  if (!loc.file.empty()) fromDir = dirOf(loc.file);
  std::string found = findInclude(name, true, fromDir);
  if (found.empty()) throw RcError(loc, "file '" + name + "' not found");
  return found;
}

void Preprocessor::pushFile(const std::string& path, const Loc& from) {
  if (files_.size() >= kMaxIncludeDepth) throw RcError(from, "#include nested too deeply");
  auto f = std::make_unique<File>();
  f->path = path;
  f->dir = dirOf(path);
  f->text = readFile(path, from);
  // The whole file must be UTF-8; report the line of the first bad byte.
  size_t good = platform::utf::validUtf8Prefix(f->text);
  if (good < f->text.size()) {
    int line = 1 + static_cast<int>(std::count(f->text.begin(), f->text.begin() + static_cast<long>(good), '\n'));
    throw RcError(Loc{path, line}, "file is not valid UTF-8");
  }
  if (f->text.compare(0, 3, "\xEF\xBB\xBF") == 0) f->pos = 3;
  deps_.insert(path);
  files_.push_back(std::move(f));
}

void Preprocessor::predefine(const std::string& path) {
  pushFile(path, Loc{});
  files_.back()->headerOnly = true;
  Token t = rawNext();
  if (t.kind != Tok::End) throw RcError(t.loc, "only preprocessor directives may appear here");
  predefined_ = macros_;
}

void Preprocessor::open(const std::string& path) {
  files_.clear();
  expansions_.clear();
  lookahead_.clear();
  // Each script starts with the predefined names only, as its own unit.
  macros_ = predefined_;
  pushFile(path, Loc{});
}

// Reads one token of the file (directives handled by the caller).
Token Preprocessor::lexToken(File& f) {
  const std::string& s = f.text;
  Token t;
  t.loc = Loc{f.path, f.line};
  char c = s[f.pos];
  if (identStart(c)) {
    size_t start = f.pos;
    // A wide string prefix.
    if (c == 'L' && f.pos + 1 < s.size() && s[f.pos + 1] == '"') {
      ++f.pos;
      return lexToken(f);
    }
    while (f.pos < s.size() && identChar(s[f.pos])) ++f.pos;
    t.kind = Tok::Ident;
    t.text = s.substr(start, f.pos - start);
    return t;
  }
  if (std::isdigit(static_cast<unsigned char>(c))) {
    size_t start = f.pos;
    std::uint64_t v = 0;
    bool hex = c == '0' && f.pos + 1 < s.size() && (s[f.pos + 1] == 'x' || s[f.pos + 1] == 'X');
    if (hex) {
      f.pos += 2;
      if (f.pos >= s.size() || hexDigit(s[f.pos]) < 0) throw RcError(t.loc, "bad hexadecimal number");
      while (f.pos < s.size() && hexDigit(s[f.pos]) >= 0) {
        v = v * 16 + static_cast<unsigned>(hexDigit(s[f.pos++]));
        if (v > 0xFFFFFFFFull) throw RcError(t.loc, "number too large");
      }
    } else {
      while (f.pos < s.size() && std::isdigit(static_cast<unsigned char>(s[f.pos]))) {
        v = v * 10 + static_cast<unsigned>(s[f.pos++] - '0');
        if (v > 0xFFFFFFFFull) throw RcError(t.loc, "number too large");
      }
    }
    while (f.pos < s.size() && (s[f.pos] == 'L' || s[f.pos] == 'l' || s[f.pos] == 'U' || s[f.pos] == 'u')) {
      if (s[f.pos] == 'L' || s[f.pos] == 'l') t.isLong = true;
      ++f.pos;
    }
    if (f.pos < s.size() && identChar(s[f.pos])) throw RcError(t.loc, "bad number");
    t.kind = Tok::Number;
    t.value = static_cast<std::int64_t>(v);
    t.text = s.substr(start, f.pos - start);
    return t;
  }
  if (c == '"') {
    ++f.pos;
    t.kind = Tok::String;
    std::string pending;  // raw UTF-8 not yet converted
    auto flush = [&] {
      appendUtf8(t.str, pending, t.loc);
      pending.clear();
    };
    size_t rawStart = f.pos;
    while (true) {
      if (f.pos >= s.size() || s[f.pos] == '\n') throw RcError(t.loc, "unterminated string");
      char ch = s[f.pos];
      if (ch == '"') {
        if (f.pos + 1 < s.size() && s[f.pos + 1] == '"') {  // "" is a quote
          pending += '"';
          f.pos += 2;
          continue;
        }
        t.text = s.substr(rawStart, f.pos - rawStart);
        ++f.pos;
        break;
      }
      if (ch != '\\') {
        pending += ch;
        ++f.pos;
        continue;
      }
      if (f.pos + 1 >= s.size()) throw RcError(t.loc, "unterminated string");
      char e = s[f.pos + 1];
      f.pos += 2;
      switch (e) {
        case 'n': pending += '\n'; break;
        case 't': pending += '\t'; break;
        case 'r': pending += '\r'; break;
        case 'a': pending += '\a'; break;
        case 'b': pending += '\b'; break;
        case 'f': pending += '\f'; break;
        case 'v': pending += '\v'; break;
        case '\\': pending += '\\'; break;
        case '"': pending += '"'; break;
        case '\'': pending += '\''; break;
        case 'x': {
          unsigned v = 0;
          int n = 0;
          while (n < 4 && f.pos < s.size() && hexDigit(s[f.pos]) >= 0) {
            v = v * 16 + static_cast<unsigned>(hexDigit(s[f.pos++]));
            ++n;
          }
          if (n == 0) throw RcError(t.loc, "\\x without hexadecimal digits");
          flush();
          t.str += static_cast<char16_t>(v);
          break;
        }
        default:
          if (e >= '0' && e <= '7') {
            unsigned v = static_cast<unsigned>(e - '0');
            int n = 1;
            while (n < 3 && f.pos < s.size() && s[f.pos] >= '0' && s[f.pos] <= '7') {
              v = v * 8 + static_cast<unsigned>(s[f.pos++] - '0');
              ++n;
            }
            flush();
            t.str += static_cast<char16_t>(v);
          } else {
            throw RcError(t.loc, std::string("unknown escape \\") + e + " in string");
          }
      }
    }
    flush();
    return t;
  }
  static const std::string kPunct = ",|(){}+-~&*/^";
  if (kPunct.find(c) != std::string::npos) {
    ++f.pos;
    t.kind = Tok::Punct;
    t.text = std::string(1, c);
    return t;
  }
  if (static_cast<unsigned char>(c) >= 0x80) throw RcError(t.loc, "non-ASCII text outside a string");
  throw RcError(t.loc, std::string("unexpected character '") + c + "'");
}

namespace {
// Splits a directive line into words for the simple directives.
std::string firstWord(const std::string& s, size_t& pos) {
  while (pos < s.size() && std::isspace(static_cast<unsigned char>(s[pos]))) ++pos;
  size_t start = pos;
  while (pos < s.size() && identChar(s[pos])) ++pos;
  return s.substr(start, pos - start);
}
}  // namespace

void Preprocessor::directive(File& f, const std::string& text, const Loc& loc) {
  size_t pos = 0;
  std::string name = firstWord(text, pos);
  auto rest = [&] {
    std::string r = text.substr(pos);
    size_t a = r.find_first_not_of(" \t\r");
    size_t b = r.find_last_not_of(" \t\r");
    return a == std::string::npos ? std::string() : r.substr(a, b - a + 1);
  };
  // Conditionals are followed even in skipped regions.
  if (name == "ifdef" || name == "ifndef") {
    std::string macro = firstWord(text, pos);
    if (macro.empty()) throw RcError(loc, "#" + name + " without a name");
    bool defined = macros_.count(macro) != 0;
    bool cond = name == "ifdef" ? defined : !defined;
    bool outer = active(f);
    f.conds.push_back(File::Cond{outer && cond, cond, false, loc.line});
    if (!outer) f.conds.back().taken = true;  // no branch of a skipped group is read
    return;
  }
  if (name == "else") {
    if (f.conds.empty() || f.conds.back().sawElse) throw RcError(loc, "#else without #ifdef");
    File::Cond& c = f.conds.back();
    c.sawElse = true;
    bool outer = f.conds.size() < 2 || f.conds[f.conds.size() - 2].active;
    c.active = outer && !c.taken;
    c.taken = true;
    return;
  }
  if (name == "endif") {
    if (f.conds.empty()) throw RcError(loc, "#endif without #ifdef");
    f.conds.pop_back();
    return;
  }
  if (name == "if" || name == "elif") {
    throw RcError(loc, "#" + name + " is not supported (use #ifdef or #ifndef)");
  }
  if (!active(f)) return;

  if (name == "define") {
    std::string macro = firstWord(text, pos);
    if (macro.empty() || !identStart(macro[0])) throw RcError(loc, "#define without a name");
    if (pos < text.size() && text[pos] == '(') throw RcError(loc, "function-like macros are not supported");
    // Tokenize the body with the file's own lexer.
    File body;
    body.path = f.path;
    body.text = text.substr(pos);
    body.line = loc.line;
    std::vector<Token> tokens;
    while (true) {
      while (body.pos < body.text.size() && std::isspace(static_cast<unsigned char>(body.text[body.pos]))) ++body.pos;
      if (body.pos + 1 < body.text.size() && body.text[body.pos] == '/' && body.text[body.pos + 1] == '/') break;
      if (body.pos + 1 < body.text.size() && body.text[body.pos] == '/' && body.text[body.pos + 1] == '*') {
        size_t end = body.text.find("*/", body.pos + 2);
        if (end == std::string::npos) throw RcError(loc, "unterminated comment");
        body.pos = end + 2;
        continue;
      }
      if (body.pos >= body.text.size()) break;
      tokens.push_back(lexToken(body));
    }
    macros_[macro] = std::move(tokens);
    return;
  }
  if (name == "undef") {
    macros_.erase(firstWord(text, pos));
    return;
  }
  if (name == "include") {
    std::string r = rest();
    bool quoted;
    std::string file;
    if (r.size() >= 2 && r.front() == '"' && r.find('"', 1) != std::string::npos) {
      quoted = true;
      file = r.substr(1, r.find('"', 1) - 1);
    } else if (r.size() >= 2 && r.front() == '<' && r.find('>') != std::string::npos) {
      quoted = false;
      file = r.substr(1, r.find('>') - 1);
    } else {
      throw RcError(loc, "#include expects \"file\" or <file>");
    }
    std::string path = findInclude(file, quoted, f.dir);
    if (path.empty()) throw RcError(loc, "cannot find include file '" + file + "'");
    bool header = f.headerOnly;
    pushFile(path, loc);
    files_.back()->headerOnly = header;
    return;
  }
  if (name == "pragma") return;
  if (name == "error") throw RcError(loc, "#error " + rest());
  throw RcError(loc, "unsupported directive #" + name);
}

Token Preprocessor::rawNext() {
  while (!files_.empty()) {
    File& f = *files_.back();
    const std::string& s = f.text;
    // Skip blanks and comments, noting line starts.
    bool progressed = true;
    while (progressed) {
      progressed = false;
      while (f.pos < s.size() && (s[f.pos] == ' ' || s[f.pos] == '\t' || s[f.pos] == '\r' || s[f.pos] == '\f' ||
                                  s[f.pos] == '\v' || s[f.pos] == '\n')) {
        if (s[f.pos] == '\n') {
          ++f.line;
          f.atLineStart = true;
        }
        ++f.pos;
        progressed = true;
      }
      if (f.pos + 1 < s.size() && s[f.pos] == '/' && s[f.pos + 1] == '/') {
        while (f.pos < s.size() && s[f.pos] != '\n') ++f.pos;
        progressed = true;
      } else if (f.pos + 1 < s.size() && s[f.pos] == '/' && s[f.pos + 1] == '*') {
        size_t end = s.find("*/", f.pos + 2);
        if (end == std::string::npos) throw RcError(Loc{f.path, f.line}, "unterminated comment");
        for (size_t k = f.pos; k < end; ++k) {
          if (s[k] == '\n') ++f.line;
        }
        f.pos = end + 2;
        progressed = true;
      }
    }
    if (f.pos >= s.size()) {
      if (!f.conds.empty()) throw RcError(Loc{f.path, f.conds.back().line}, "#ifdef without #endif");
      lastLoc_ = Loc{f.path, f.line};
      files_.pop_back();
      continue;
    }
    if (f.atLineStart && s[f.pos] == '#') {
      Loc loc{f.path, f.line};
      // The directive runs to the end of the line; a backslash joins lines.
      std::string line;
      ++f.pos;
      while (f.pos < s.size() && s[f.pos] != '\n') {
        if (s[f.pos] == '\\' && f.pos + 1 < s.size() && (s[f.pos + 1] == '\n' || s[f.pos + 1] == '\r')) {
          f.pos += s[f.pos + 1] == '\r' && f.pos + 2 < s.size() && s[f.pos + 2] == '\n' ? 3 : 2;
          ++f.line;
          line += ' ';
          continue;
        }
        line += s[f.pos++];
      }
      directive(f, line, loc);
      continue;
    }
    f.atLineStart = false;
    if (!active(f)) {
      // Skipped region: drop the rest of the line.
      while (f.pos < s.size() && s[f.pos] != '\n') ++f.pos;
      continue;
    }
    Token t = lexToken(f);
    if (f.headerOnly) throw RcError(t.loc, "only preprocessor directives may appear in a predefined header");
    return t;
  }
  Token end;
  end.loc = lastLoc_;
  return end;
}

Token Preprocessor::next() {
  if (!lookahead_.empty()) {
    Token t = std::move(lookahead_.front());
    lookahead_.pop_front();
    return t;
  }
  while (true) {
    Token t;
    if (!expansions_.empty()) {
      Expansion& e = expansions_.back();
      if (e.index >= e.tokens.size()) {
        expansions_.pop_back();
        continue;
      }
      t = e.tokens[e.index++];
    } else {
      t = rawNext();
    }
    if (t.kind == Tok::Ident) {
      auto it = macros_.find(t.text);
      bool expanding = false;
      for (const auto& e : expansions_) {
        if (e.name == t.text && e.index <= e.tokens.size()) expanding = true;
      }
      if (it != macros_.end() && !expanding) {
        if (expansions_.size() >= kMaxExpansionDepth) throw RcError(t.loc, "macro expansion too deep");
        Expansion e;
        e.name = t.text;
        e.tokens = it->second;
        for (auto& x : e.tokens) x.loc = t.loc;
        expansions_.push_back(std::move(e));
        continue;
      }
    }
    return t;
  }
}

const Token& Preprocessor::peek() {
  if (lookahead_.empty()) lookahead_.push_back(next());
  return lookahead_.front();
}

}  // namespace rescomp
