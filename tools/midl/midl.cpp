// midl: the project's IDL compiler for the automation subset the controls use.
//
//   midl [--tlb OUT.tlb] [--header OUT.h] INPUT.idl
//
// Reads a library with its coclasses and their dual (or oleautomation)
// interfaces, and writes the type-library data (the text form platform_com
// loads; see platform/README.md) and a C++ header with the identifiers, the
// interfaces as abstract classes, each interface's dispatch table and the
// library's proxy interface list.
//
// Accepted: comments, preprocessor lines (skipped), import "..."; and
// importlib("..."); (skipped), interface and coclass definitions, forward
// declarations, and the library block. Attributes:
//   interface: object uuid(...) dual oleautomation nonextensible hidden restricted
//              helpstring("...") pointer_default(...) local
//   member:    id(n) propget propput propputref helpstring("...") hidden restricted
//   parameter: in out retval
//   library:   uuid(...) version(M.m) helpstring("...") lcid(n) control hidden restricted
//   coclass:   uuid(...) helpstring("...") control noncreatable hidden aggregatable licensed appobject
//   coclass interface: default source restricted
// Types: BSTR, long, int, short, VARIANT_BOOL, unsigned long/int/short/char, BYTE, char,
// hyper, double, float, VARIANT, IDispatch*, IUnknown*, and one pointer level on any of them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------- model
constexpr int VT_I2 = 2, VT_I4 = 3, VT_R4 = 4, VT_R8 = 5, VT_BSTR = 8, VT_DISPATCH = 9, VT_BOOL = 11, VT_VARIANT = 12,
              VT_UNKNOWN = 13, VT_I1 = 16, VT_UI1 = 17, VT_UI2 = 18, VT_UI4 = 19, VT_I8 = 20, VT_INT = 22, VT_UINT = 23,
              VT_BYREF = 0x4000;
constexpr int PARAMFLAG_FIN = 1, PARAMFLAG_FOUT = 2, PARAMFLAG_FRETVAL = 8;
constexpr int INVOKE_FUNC = 1, INVOKE_PROPERTYGET = 2, INVOKE_PROPERTYPUT = 4, INVOKE_PROPERTYPUTREF = 8;
constexpr int TYPEFLAG_FAPPOBJECT = 0x1, TYPEFLAG_FCANCREATE = 0x2, TYPEFLAG_FLICENSED = 0x4, TYPEFLAG_FHIDDEN = 0x10,
              TYPEFLAG_FCONTROL = 0x20, TYPEFLAG_FDUAL = 0x40, TYPEFLAG_FNONEXTENSIBLE = 0x80,
              TYPEFLAG_FOLEAUTOMATION = 0x100, TYPEFLAG_FRESTRICTED = 0x200, TYPEFLAG_FAGGREGATABLE = 0x400;
constexpr int FUNCFLAG_FRESTRICTED = 0x1, FUNCFLAG_FHIDDEN = 0x40;
constexpr int IMPLTYPEFLAG_FDEFAULT = 1, IMPLTYPEFLAG_FSOURCE = 2, IMPLTYPEFLAG_FRESTRICTED = 4;
constexpr int LIBFLAG_FRESTRICTED = 1, LIBFLAG_FCONTROL = 2, LIBFLAG_FHIDDEN = 4;

struct Guid {
  uint32_t d1 = 0;
  uint16_t d2 = 0, d3 = 0;
  uint8_t d4[8] = {};
};

struct Param {
  std::string name;
  int vt = 0;  // VT_BYREF for a pointer
  int flags = 0;
  std::string cppType;
};

struct Member {
  long long id = 0;
  int invkind = INVOKE_FUNC;
  std::string name;
  int flags = 0;
  std::string help;
  std::vector<Param> params;
  int line = 0;
};

struct Interface {
  std::string name;
  std::string base;
  Guid uuid;
  bool haveUuid = false;
  int flags = 0;
  std::string help;
  std::vector<Member> members;
  bool defined = false;
  int line = 0;
};

struct Impl {
  std::string name;
  int flags = 0;
};

struct Coclass {
  std::string name;
  Guid uuid;
  int flags = TYPEFLAG_FCANCREATE;
  std::string help;
  std::vector<Impl> impls;
};

struct Library {
  std::string name;
  Guid uuid;
  int major = 0, minor = 0;
  long long lcid = 0;
  int flags = 0;
  std::string help;
  std::vector<std::string> order;  // interfaces and coclasses in library order ("i:" / "c:")
};

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------- lexer
enum class Tok { Ident, Number, String, Punct, End };
struct Token {
  Tok kind = Tok::End;
  std::string text;
  int line = 0;
};

class Lexer {
 public:
  Lexer(std::string text, std::string file) : s_(std::move(text)), file_(std::move(file)) {}

  [[noreturn]] void fail(int line, const std::string& what) const {
    throw Error(file_ + ":" + std::to_string(line) + ": error: " + what);
  }

  const Token& peek() {
    if (!have_) {
      next_ = lex();
      have_ = true;
    }
    return next_;
  }
  Token next() {
    Token t = peek();
    have_ = false;
    return t;
  }
  // Raw text up to the next ')' (for uuid(...) and version(...)).
  std::string rawUntilParen(int* line) {
    if (have_) fail(next_.line, "internal: raw read after a lookahead");
    std::string out;
    while (pos_ < s_.size() && s_[pos_] != ')') {
      if (s_[pos_] == '\n') ++line_;
      out.push_back(s_[pos_++]);
    }
    *line = line_;
    size_t a = out.find_first_not_of(" \t\r\n");
    size_t b = out.find_last_not_of(" \t\r\n");
    return a == std::string::npos ? "" : out.substr(a, b - a + 1);
  }

 private:
  Token lex() {
    skip();
    Token t;
    t.line = line_;
    if (pos_ >= s_.size()) return t;
    char c = s_[pos_];
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      size_t st = pos_;
      while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_')) ++pos_;
      t.kind = Tok::Ident;
      t.text = s_.substr(st, pos_ - st);
      return t;
    }
    if (std::isdigit(static_cast<unsigned char>(c)) ||
        (c == '-' && pos_ + 1 < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_ + 1])))) {
      size_t st = pos_++;
      while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '.')) ++pos_;
      t.kind = Tok::Number;
      t.text = s_.substr(st, pos_ - st);
      return t;
    }
    if (c == '"') {
      ++pos_;
      std::string v;
      while (true) {
        if (pos_ >= s_.size() || s_[pos_] == '\n') fail(t.line, "a string has no end");
        char d = s_[pos_++];
        if (d == '"') break;
        if (d == '\\') {
          if (pos_ >= s_.size()) fail(t.line, "a string has no end");
          char e = s_[pos_++];
          switch (e) {
            case 'n': v.push_back('\n'); break;
            case 't': v.push_back('\t'); break;
            case 'r': v.push_back('\r'); break;
            case '\\': v.push_back('\\'); break;
            case '"': v.push_back('"'); break;
            default: fail(t.line, std::string("unknown escape \\") + e);
          }
          continue;
        }
        v.push_back(d);
      }
      t.kind = Tok::String;
      t.text = v;
      return t;
    }
    t.kind = Tok::Punct;
    t.text = std::string(1, c);
    ++pos_;
    return t;
  }

  void skip() {
    while (pos_ < s_.size()) {
      char c = s_[pos_];
      if (c == '\n') {
        ++line_;
        ++pos_;
        atLineStart_ = true;
      } else if (c == ' ' || c == '\t' || c == '\r') {
        ++pos_;
      } else if (c == '#' && atLineStart_) {
        while (pos_ < s_.size() && s_[pos_] != '\n') ++pos_;  // preprocessor lines are not ours
      } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '/') {
        while (pos_ < s_.size() && s_[pos_] != '\n') ++pos_;
      } else if (c == '/' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '*') {
        int start = line_;
        pos_ += 2;
        while (pos_ + 1 < s_.size() && !(s_[pos_] == '*' && s_[pos_ + 1] == '/')) {
          if (s_[pos_] == '\n') ++line_;
          ++pos_;
        }
        if (pos_ + 1 >= s_.size()) fail(start, "a comment has no end");
        pos_ += 2;
      } else {
        atLineStart_ = false;
        return;
      }
    }
  }

  std::string s_;
  std::string file_;
  size_t pos_ = 0;
  int line_ = 1;
  bool atLineStart_ = true;
  Token next_;
  bool have_ = false;
};

// ---------------------------------------------------------------- parser
struct Attr {
  std::string name;
  std::string arg;  // raw text of the argument, or the string's value
  bool hasArg = false;
  int line = 0;
};

Guid parseGuid(Lexer& lx, const std::string& text, int line) {
  std::string t = text;
  if (t.size() >= 2 && t.front() == '"' && t.back() == '"') t = t.substr(1, t.size() - 2);
  Guid g;
  unsigned a, b, c, d[8];
  char tail;
  if (t.size() != 36 || std::sscanf(t.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &a, &b, &c, &d[0], &d[1],
                                    &d[2], &d[3], &d[4], &d[5], &d[6], &d[7], &tail) != 11)
    lx.fail(line, "'" + text + "' is not a uuid");
  for (size_t i = 0; i < t.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? t[i] != '-' : !std::isxdigit(static_cast<unsigned char>(t[i])))
      lx.fail(line, "'" + text + "' is not a uuid");
  }
  g.d1 = a;
  g.d2 = static_cast<uint16_t>(b);
  g.d3 = static_cast<uint16_t>(c);
  for (int i = 0; i < 8; ++i) g.d4[i] = static_cast<uint8_t>(d[i]);
  return g;
}

bool sameGuid(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class Parser {
 public:
  Parser(Lexer& lx) : lx_(lx) {}

  std::map<std::string, Interface> interfaces;
  std::vector<std::string> interfaceOrder;
  std::vector<Coclass> coclasses;
  Library lib;
  bool haveLib = false;

  void parseFile() {
    while (lx_.peek().kind != Tok::End) topLevel(false);
    if (!haveLib) lx_.fail(1, "no library block");
  }

 private:
  void expect(const std::string& p) {
    Token t = lx_.next();
    if (t.text != p || (t.kind != Tok::Punct && t.kind != Tok::Ident))
      lx_.fail(t.line, "expected '" + p + "', found '" + t.text + "'");
  }
  std::string ident(const char* what) {
    Token t = lx_.next();
    if (t.kind != Tok::Ident) lx_.fail(t.line, std::string("expected ") + what + ", found '" + t.text + "'");
    return t.text;
  }
  bool isPunct(const std::string& p) { return lx_.peek().kind == Tok::Punct && lx_.peek().text == p; }

  std::vector<Attr> attributes() {
    std::vector<Attr> out;
    if (!isPunct("[")) return out;
    lx_.next();
    while (true) {
      Token t = lx_.next();
      if (t.kind != Tok::Ident) lx_.fail(t.line, "expected an attribute, found '" + t.text + "'");
      Attr a;
      a.name = t.text;
      a.line = t.line;
      if (isPunct("(")) {
        lx_.next();
        a.hasArg = true;
        if (a.name == "uuid" || a.name == "version") {
          a.arg = lx_.rawUntilParen(&a.line);
          expect(")");
        } else {
          Token v = lx_.next();
          if (v.kind != Tok::String && v.kind != Tok::Number && v.kind != Tok::Ident)
            lx_.fail(v.line, "bad argument of " + a.name);
          a.arg = v.text;
          expect(")");
        }
      }
      out.push_back(a);
      Token sep = lx_.next();
      if (sep.kind == Tok::Punct && sep.text == "]") break;
      if (!(sep.kind == Tok::Punct && sep.text == ",")) lx_.fail(sep.line, "expected ',' or ']' in attributes");
    }
    return out;
  }

  [[noreturn]] void unknownAttr(const Attr& a, const char* where) {
    lx_.fail(a.line, "attribute '" + a.name + "' is not supported on " + where);
  }

  long long number(const Attr& a) {
    char* end = nullptr;
    long long v = std::strtoll(a.arg.c_str(), &end, 0);
    if (a.arg.empty() || *end != 0) lx_.fail(a.line, "'" + a.arg + "' is not a number");
    return v;
  }

  void topLevel(bool inLibrary) {
    Token t = lx_.peek();
    if (t.kind == Tok::Ident && (t.text == "import" || t.text == "importlib")) {
      lx_.next();
      if (t.text == "importlib") expect("(");
      Token f = lx_.next();
      if (f.kind != Tok::String) lx_.fail(f.line, "expected a file name");
      if (t.text == "importlib") expect(")");
      expect(";");
      return;
    }
    std::vector<Attr> attrs = attributes();
    Token kw = lx_.next();
    if (kw.kind != Tok::Ident) lx_.fail(kw.line, "expected interface, coclass or library, found '" + kw.text + "'");
    if (kw.text == "interface") {
      interfaceDecl(attrs, inLibrary, kw.line);
    } else if (kw.text == "coclass") {
      if (!inLibrary) lx_.fail(kw.line, "a coclass belongs in the library block");
      coclassDecl(attrs);
    } else if (kw.text == "library") {
      if (inLibrary || haveLib) lx_.fail(kw.line, "only one library block");
      libraryDecl(attrs);
    } else {
      lx_.fail(kw.line, "'" + kw.text + "' is not supported");
    }
  }

  void reference(const std::string& name, int line) {
    auto it = interfaces.find(name);
    if (it == interfaces.end()) {
      Interface i;
      i.name = name;
      i.line = line;
      interfaces[name] = i;
      interfaceOrder.push_back(name);
    }
    std::string key = "i:" + name;
    for (const auto& o : lib.order)
      if (o == key) return;
    lib.order.push_back(key);
  }

  void interfaceDecl(const std::vector<Attr>& attrs, bool inLibrary, int line) {
    std::string name = ident("an interface name");
    if (isPunct(";")) {  // a forward declaration
      lx_.next();
      if (!attrs.empty()) lx_.fail(line, "attributes on a forward declaration");
      if (inLibrary)
        reference(name, line);
      else if (!interfaces.count(name)) {
        interfaces[name].name = name;
        interfaces[name].line = line;
        interfaceOrder.push_back(name);
      }
      return;
    }
    if (!interfaces.count(name)) interfaceOrder.push_back(name);
    Interface& itf = interfaces[name];
    if (itf.defined) lx_.fail(line, "interface " + name + " is defined twice");
    itf.name = name;
    itf.defined = true;
    itf.line = line;
    bool object = false;
    for (const auto& a : attrs) {
      if (a.name == "uuid") {
        itf.uuid = parseGuid(lx_, a.arg, a.line);
        itf.haveUuid = true;
      } else if (a.name == "object")
        object = true;
      else if (a.name == "dual")
        itf.flags |= TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION;
      else if (a.name == "oleautomation")
        itf.flags |= TYPEFLAG_FOLEAUTOMATION;
      else if (a.name == "nonextensible")
        itf.flags |= TYPEFLAG_FNONEXTENSIBLE;
      else if (a.name == "hidden")
        itf.flags |= TYPEFLAG_FHIDDEN;
      else if (a.name == "restricted")
        itf.flags |= TYPEFLAG_FRESTRICTED;
      else if (a.name == "helpstring")
        itf.help = a.arg;
      else if (a.name == "pointer_default" || a.name == "local") {
      } else
        unknownAttr(a, "an interface");
    }
    if (!object || !itf.haveUuid) lx_.fail(line, "interface " + name + " needs [object, uuid(...)]");
    if (!(itf.flags & TYPEFLAG_FOLEAUTOMATION)) lx_.fail(line, "interface " + name + " must be dual or oleautomation");
    expect(":");
    itf.base = ident("a base interface");
    if (itf.base != "IDispatch" && itf.base != "IUnknown")
      lx_.fail(line, "interface " + name + " must derive from IDispatch or IUnknown");
    if ((itf.flags & TYPEFLAG_FDUAL) && itf.base != "IDispatch")
      lx_.fail(line, "dual interface " + name + " must derive from IDispatch");
    expect("{");
    int ordinal = 0;
    while (!isPunct("}")) {
      Member m = member(ordinal++);
      for (const auto& other : itf.members)
        if (other.id == m.id && other.invkind == m.invkind)
          lx_.fail(m.line, "member " + m.name + " repeats the id and kind of " + other.name);
      itf.members.push_back(m);
    }
    expect("}");
    expect(";");
    if (inLibrary) reference(name, line);
  }

  Param param() {
    std::vector<Attr> attrs = attributes();
    Param p;
    for (const auto& a : attrs) {
      if (a.name == "in")
        p.flags |= PARAMFLAG_FIN;
      else if (a.name == "out")
        p.flags |= PARAMFLAG_FOUT;
      else if (a.name == "retval")
        p.flags |= PARAMFLAG_FRETVAL;
      else
        unknownAttr(a, "a parameter");
    }
    int line = lx_.peek().line;
    std::string type = ident("a parameter type");
    std::string cpp;
    int vt = 0;
    if (type == "unsigned") {
      std::string w = ident("a type after unsigned");
      if (w == "long")
        vt = VT_UI4, cpp = "ULONG";
      else if (w == "int")
        vt = VT_UINT, cpp = "UINT";
      else if (w == "short")
        vt = VT_UI2, cpp = "USHORT";
      else if (w == "char")
        vt = VT_UI1, cpp = "BYTE";
      else
        lx_.fail(line, "type unsigned " + w + " is not supported");
    } else {
      static const std::map<std::string, std::pair<int, const char*>> kTypes = {
          {"BSTR", {VT_BSTR, "BSTR"}},
          {"long", {VT_I4, "LONG"}},
          {"LONG", {VT_I4, "LONG"}},
          {"int", {VT_INT, "INT"}},
          {"INT", {VT_INT, "INT"}},
          {"short", {VT_I2, "SHORT"}},
          {"SHORT", {VT_I2, "SHORT"}},
          {"VARIANT_BOOL", {VT_BOOL, "VARIANT_BOOL"}},
          {"ULONG", {VT_UI4, "ULONG"}},
          {"DWORD", {VT_UI4, "ULONG"}},
          {"UINT", {VT_UINT, "UINT"}},
          {"USHORT", {VT_UI2, "USHORT"}},
          {"BYTE", {VT_UI1, "BYTE"}},
          {"char", {VT_I1, "CHAR"}},
          {"CHAR", {VT_I1, "CHAR"}},
          {"hyper", {VT_I8, "LONGLONG"}},
          {"double", {VT_R8, "DOUBLE"}},
          {"DOUBLE", {VT_R8, "DOUBLE"}},
          {"float", {VT_R4, "FLOAT"}},
          {"FLOAT", {VT_R4, "FLOAT"}},
          {"VARIANT", {VT_VARIANT, "VARIANT"}},
          {"IDispatch", {VT_DISPATCH, "IDispatch"}},
          {"IUnknown", {VT_UNKNOWN, "IUnknown"}},
      };
      auto it = kTypes.find(type);
      if (it == kTypes.end()) lx_.fail(line, "type " + type + " is not supported");
      vt = it->second.first;
      cpp = it->second.second;
    }
    int stars = 0;
    while (isPunct("*")) {
      lx_.next();
      ++stars;
    }
    bool isInterface = vt == VT_DISPATCH || vt == VT_UNKNOWN;
    if (isInterface) {
      if (stars == 0) lx_.fail(line, type + " is passed as a pointer");
      --stars;
      cpp += "*";
    }
    if (stars > 1) lx_.fail(line, "more than one level of pointer");
    if (stars == 1) {
      vt |= VT_BYREF;
      cpp += "*";
    }
    p.vt = vt;
    p.cppType = cpp;
    p.name = ident("a parameter name");
    if (p.flags == 0) p.flags = PARAMFLAG_FIN;
    if ((p.flags & PARAMFLAG_FOUT) && !(vt & VT_BYREF))
      lx_.fail(line, "[out] parameter " + p.name + " must be a pointer");
    if ((p.flags & PARAMFLAG_FRETVAL) && !(p.flags & PARAMFLAG_FOUT))
      lx_.fail(line, "[retval] parameter " + p.name + " must be [out]");
    return p;
  }

  Member member(int ordinal) {
    std::vector<Attr> attrs = attributes();
    Member m;
    m.line = lx_.peek().line;
    bool haveId = false;
    int kinds = 0;
    for (const auto& a : attrs) {
      if (a.name == "id") {
        m.id = number(a);
        haveId = true;
      } else if (a.name == "propget")
        m.invkind = INVOKE_PROPERTYGET, ++kinds;
      else if (a.name == "propput")
        m.invkind = INVOKE_PROPERTYPUT, ++kinds;
      else if (a.name == "propputref")
        m.invkind = INVOKE_PROPERTYPUTREF, ++kinds;
      else if (a.name == "helpstring")
        m.help = a.arg;
      else if (a.name == "hidden")
        m.flags |= FUNCFLAG_FHIDDEN;
      else if (a.name == "restricted")
        m.flags |= FUNCFLAG_FRESTRICTED;
      else
        unknownAttr(a, "a member");
    }
    if (kinds > 1) lx_.fail(m.line, "a member is one of propget, propput, propputref");
    // Members without an id are numbered as the automation tools do.
    if (!haveId) m.id = 0x60020000LL + ordinal;
    if (m.id < -2147483648LL || m.id > 4294967295LL) lx_.fail(m.line, "id out of range");
    if (m.id > 2147483647LL) m.id -= 4294967296LL;
    std::string ret = ident("HRESULT");
    if (ret != "HRESULT") lx_.fail(m.line, "members return HRESULT");
    m.name = ident("a member name");
    expect("(");
    if (isPunct(")")) {
      lx_.next();
    } else if (lx_.peek().kind == Tok::Ident && lx_.peek().text == "void") {
      lx_.next();
      expect(")");
    } else {
      while (true) {
        m.params.push_back(param());
        if (isPunct(",")) {
          lx_.next();
          continue;
        }
        expect(")");
        break;
      }
    }
    expect(";");
    std::set<std::string> names;
    for (size_t i = 0; i < m.params.size(); ++i) {
      if (!names.insert(m.params[i].name).second) lx_.fail(m.line, "parameter " + m.params[i].name + " repeats");
      if ((m.params[i].flags & PARAMFLAG_FRETVAL) && i + 1 != m.params.size())
        lx_.fail(m.line, "the [retval] parameter of " + m.name + " must be the last");
    }
    bool retval = !m.params.empty() && (m.params.back().flags & PARAMFLAG_FRETVAL);
    if (m.invkind == INVOKE_PROPERTYGET && !retval)
      lx_.fail(m.line, "propget " + m.name + " needs an [out, retval] parameter");
    if (m.invkind != INVOKE_FUNC && m.invkind != INVOKE_PROPERTYGET) {
      if (m.params.empty() || retval || (m.params.back().flags & PARAMFLAG_FOUT))
        lx_.fail(m.line, "property setter " + m.name + " needs an [in] value as its last parameter");
    }
    return m;
  }

  void coclassDecl(const std::vector<Attr>& attrs) {
    Coclass c;
    int line = lx_.peek().line;
    bool haveUuid = false;
    for (const auto& a : attrs) {
      if (a.name == "uuid") {
        c.uuid = parseGuid(lx_, a.arg, a.line);
        haveUuid = true;
      } else if (a.name == "helpstring")
        c.help = a.arg;
      else if (a.name == "control")
        c.flags |= TYPEFLAG_FCONTROL;
      else if (a.name == "noncreatable")
        c.flags &= ~TYPEFLAG_FCANCREATE;
      else if (a.name == "hidden")
        c.flags |= TYPEFLAG_FHIDDEN;
      else if (a.name == "aggregatable")
        c.flags |= TYPEFLAG_FAGGREGATABLE;
      else if (a.name == "licensed")
        c.flags |= TYPEFLAG_FLICENSED;
      else if (a.name == "appobject")
        c.flags |= TYPEFLAG_FAPPOBJECT;
      else
        unknownAttr(a, "a coclass");
    }
    c.name = ident("a coclass name");
    if (!haveUuid) lx_.fail(line, "coclass " + c.name + " needs uuid(...)");
    expect("{");
    while (!isPunct("}")) {
      std::vector<Attr> ia = attributes();
      Impl impl;
      for (const auto& a : ia) {
        if (a.name == "default")
          impl.flags |= IMPLTYPEFLAG_FDEFAULT;
        else if (a.name == "source")
          impl.flags |= IMPLTYPEFLAG_FSOURCE;
        else if (a.name == "restricted")
          impl.flags |= IMPLTYPEFLAG_FRESTRICTED;
        else
          unknownAttr(a, "a coclass interface");
      }
      int l = lx_.peek().line;
      std::string kw = ident("interface");
      if (kw != "interface") lx_.fail(l, "'" + kw + "' is not supported in a coclass");
      impl.name = ident("an interface name");
      expect(";");
      reference(impl.name, l);
      c.impls.push_back(impl);
    }
    expect("}");
    expect(";");
    lib.order.push_back("c:" + std::to_string(coclasses.size()));
    coclasses.push_back(c);
  }

  void libraryDecl(const std::vector<Attr>& attrs) {
    int line = lx_.peek().line;
    bool haveUuid = false, haveVersion = false;
    for (const auto& a : attrs) {
      if (a.name == "uuid") {
        lib.uuid = parseGuid(lx_, a.arg, a.line);
        haveUuid = true;
      } else if (a.name == "version") {
        unsigned ma = 0, mi = 0;
        char tail;
        int n = std::sscanf(a.arg.c_str(), "%u.%u%c", &ma, &mi, &tail);
        if (n != 2 || ma > 0xFFFF || mi > 0xFFFF) {
          if (std::sscanf(a.arg.c_str(), "%u%c", &ma, &tail) != 1 || ma > 0xFFFF)
            lx_.fail(a.line, "bad version '" + a.arg + "'");
          mi = 0;
        }
        lib.major = static_cast<int>(ma);
        lib.minor = static_cast<int>(mi);
        haveVersion = true;
      } else if (a.name == "helpstring")
        lib.help = a.arg;
      else if (a.name == "lcid")
        lib.lcid = number(a);
      else if (a.name == "control")
        lib.flags |= LIBFLAG_FCONTROL;
      else if (a.name == "hidden")
        lib.flags |= LIBFLAG_FHIDDEN;
      else if (a.name == "restricted")
        lib.flags |= LIBFLAG_FRESTRICTED;
      else
        unknownAttr(a, "a library");
    }
    lib.name = ident("a library name");
    if (!haveUuid || !haveVersion) lx_.fail(line, "library " + lib.name + " needs uuid(...) and version(...)");
    haveLib = true;
    expect("{");
    while (!isPunct("}")) {
      if (lx_.peek().kind == Tok::End) lx_.fail(line, "the library block has no end");
      topLevel(true);
    }
    expect("}");
    if (isPunct(";")) lx_.next();
  }

  Lexer& lx_;
};

// ---------------------------------------------------------------- output
std::string guidText(const Guid& g) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.d1, g.d2, g.d3, g.d4[0],
                g.d4[1], g.d4[2], g.d4[3], g.d4[4], g.d4[5], g.d4[6], g.d4[7]);
  return buf;
}

std::string guidInit(const Guid& g) {
  char buf[160];
  std::snprintf(buf, sizeof buf,
                "0x%08X, 0x%04X, 0x%04X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X, 0x%02X", g.d1, g.d2,
                g.d3, g.d4[0], g.d4[1], g.d4[2], g.d4[3], g.d4[4], g.d4[5], g.d4[6], g.d4[7]);
  return buf;
}

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else
      out.push_back(static_cast<char>(c));
  }
  return out + "\"";
}

// A C++ literal: u"..." with the text's UTF-8 bytes escaped as universal characters.
std::string cppWide(const std::string& s) {
  std::string out = "u\"";
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp;
    int n;
    if (c < 0x80)
      cp = c, n = 1;
    else if ((c & 0xE0) == 0xC0)
      cp = c & 0x1F, n = 2;
    else if ((c & 0xF0) == 0xE0)
      cp = c & 0x0F, n = 3;
    else
      cp = c & 0x07, n = 4;
    for (int k = 1; k < n && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += n;
    char buf[16];
    if (cp == '"' || cp == '\\')
      out += "\\" + std::string(1, static_cast<char>(cp));
    else if (cp >= 0x20 && cp < 0x7F)
      out.push_back(static_cast<char>(cp));
    else {
      std::snprintf(buf, sizeof buf, cp > 0xFFFF ? "\\U%08X" : "\\u%04X", cp);
      out += buf;
    }
  }
  return out + "\"";
}

std::string cppName(const Member& m) {
  if (m.invkind == INVOKE_PROPERTYGET) return "get_" + m.name;
  if (m.invkind == INVOKE_PROPERTYPUT) return "put_" + m.name;
  if (m.invkind == INVOKE_PROPERTYPUTREF) return "putref_" + m.name;
  return m.name;
}

std::string signature(const Member& m) {
  std::string s;
  for (size_t i = 0; i < m.params.size(); ++i) s += (i ? ", " : "") + m.params[i].cppType;
  return s;
}

const char* invkindName(int k) {
  switch (k) {
    case INVOKE_PROPERTYGET: return "INVOKE_PROPERTYGET";
    case INVOKE_PROPERTYPUT: return "INVOKE_PROPERTYPUT";
    case INVOKE_PROPERTYPUTREF: return "INVOKE_PROPERTYPUTREF";
    default: return "INVOKE_FUNC";
  }
}

struct Output {
  const Parser& p;
  std::vector<const Interface*> libInterfaces;
  std::vector<const Coclass*> libCoclasses;

  explicit Output(const Parser& parser, Lexer& lx) : p(parser) {
    for (const auto& o : p.lib.order) {
      if (o[0] == 'i') {
        const Interface& i = p.interfaces.at(o.substr(2));
        if (!i.defined) lx.fail(i.line, "interface " + i.name + " is referenced but not defined");
        libInterfaces.push_back(&i);
      } else {
        libCoclasses.push_back(&p.coclasses[std::stoul(o.substr(2))]);
      }
    }
    for (const auto& name : p.interfaceOrder) {
      const Interface& i = p.interfaces.at(name);
      if (!i.defined) continue;
      for (const auto& other : p.interfaceOrder)
        if (other != name && p.interfaces.at(other).defined && sameGuid(p.interfaces.at(other).uuid, i.uuid))
          lx.fail(i.line, "interfaces " + name + " and " + other + " share a uuid");
    }
  }

  std::string typelib() const {
    std::ostringstream o;
    o << "PLATFORM-TYPELIB 1\n";
    o << "library " << guidText(p.lib.uuid) << " " << p.lib.name << " " << p.lib.major << " " << p.lib.minor << " "
      << p.lib.lcid << " " << p.lib.flags << " " << quoted(p.lib.help) << "\n";
    for (const Interface* i : libInterfaces) {
      o << "interface " << guidText(i->uuid) << " " << i->name << " "
        << (i->base == "IDispatch" ? "dispatch" : "interface") << " " << i->flags << " " << i->base << " "
        << quoted(i->help) << "\n";
      for (const auto& m : i->members) {
        o << "func " << m.id << " " << m.invkind << " " << m.name << " " << m.flags << " " << quoted(m.help) << "\n";
        for (size_t k = 0; k < m.params.size(); ++k) {
          const Param& pr = m.params[k];
          // A property setter's value carries no name in the library.
          bool unnamed = m.invkind != INVOKE_FUNC && m.invkind != INVOKE_PROPERTYGET && k + 1 == m.params.size();
          o << "param " << (unnamed ? "-" : pr.name) << " " << pr.vt << " " << pr.flags << "\n";
        }
      }
    }
    for (const Coclass* c : libCoclasses) {
      o << "coclass " << guidText(c->uuid) << " " << c->name << " " << c->flags << " " << quoted(c->help) << "\n";
      for (const auto& impl : c->impls) o << "impl " << impl.name << " " << impl.flags << "\n";
    }
    return o.str();
  }

  std::string header(const std::string& source) const {
    std::ostringstream o;
    o << "// Generated by midl from " << source << ". Do not edit.\n#pragma once\n\n";
    o << "#include \"platform/com.h\"\n#include \"platform/dispatch.h\"\n\n#pragma GCC visibility push(hidden)\n\n";
    o << "PLATFORM_DEFINE_GUID(LIBID_" << p.lib.name << ", " << guidInit(p.lib.uuid) << ");\n";
    for (const auto& name : p.interfaceOrder) {
      const Interface& i = p.interfaces.at(name);
      if (i.defined) o << "PLATFORM_DEFINE_GUID(IID_" << i.name << ", " << guidInit(i.uuid) << ");\n";
    }
    for (const auto& c : p.coclasses)
      o << "PLATFORM_DEFINE_GUID(CLSID_" << c.name << ", " << guidInit(c.uuid) << ");\n";
    for (const auto& name : p.interfaceOrder) {
      const Interface& i = p.interfaces.at(name);
      if (!i.defined) continue;
      o << "\nstruct " << i.name << " : public " << i.base << " {\n";
      std::set<std::string> declared;
      for (const auto& m : i.members) {
        // Two members may come to the same C++ function (a method get_X and a
        // property X with the same parameters): it is declared once and serves both.
        std::string key = cppName(m) + "(" + signature(m) + ")";
        if (!declared.insert(key).second) continue;
        o << "  virtual HRESULT " << cppName(m) << "(";
        for (size_t k = 0; k < m.params.size(); ++k)
          o << (k ? ", " : "") << m.params[k].cppType << " " << m.params[k].name;
        o << ") = 0;\n";
      }
      o << "};\nPLATFORM_INTERFACE_ID(" << i.name << ", IID_" << i.name << ");\n";
      o << "\ntemplate <>\nstruct PlatformDispatchTable<" << i.name << "> {\n";
      o << "  static constexpr PLATFORM_DISPENTRY entries[] = {\n";
      for (const auto& m : i.members) {
        o << "      PlatformDispEntry<static_cast<HRESULT (" << i.name << "::*)(" << signature(m) << ")>(&" << i.name
          << "::" << cppName(m) << ")>(" << m.id << ", " << invkindName(m.invkind) << ", \"" << m.name << "\"),\n";
      }
      if (i.members.empty()) o << "      PLATFORM_DISPENTRY{},\n";
      o << "  };\n  static constexpr UINT count = " << i.members.size() << ";\n};\n";
    }
    o << "\n[[gnu::visibility(\"hidden\")]] inline constexpr PLATFORM_PROXY_INTERFACE " << p.lib.name
      << "_ProxyInterfaces[] = {\n";
    size_t listed = 0;
    for (const Interface* i : libInterfaces) {
      // The vtable: IUnknown's (and IDispatch's) slots, then one per C++ function.
      size_t slots = i->base == "IDispatch" ? 7 : 3;
      std::set<std::string> functions;
      for (const auto& m : i->members) functions.insert(cppName(m) + "(" + signature(m) + ")");
      o << "    {&IID_" << i->name << ", " << cppWide(i->name) << ", " << slots + functions.size() << "},\n";
      ++listed;
    }
    if (listed == 0) o << "    {nullptr, nullptr, 0},\n";
    o << "};\n[[gnu::visibility(\"hidden\")]] inline constexpr UINT " << p.lib.name
      << "_ProxyInterfaceCount = " << listed << ";\n\n#pragma GCC visibility pop\n";
    return o.str();
  }
};

bool writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  return static_cast<bool>(out);
}

int usage() {
  std::cerr << "usage: midl [--tlb OUT.tlb] [--header OUT.h] INPUT.idl\n";
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  std::string tlb, header, input;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--tlb" && i + 1 < argc)
      tlb = argv[++i];
    else if (a == "--header" && i + 1 < argc)
      header = argv[++i];
    else if (!a.empty() && a[0] != '-' && input.empty())
      input = a;
    else
      return usage();
  }
  if (input.empty() || (tlb.empty() && header.empty())) return usage();
  std::ifstream in(input, std::ios::binary);
  if (!in) {
    std::cerr << input << ": error: cannot read the file\n";
    return 1;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  try {
    Lexer lx(ss.str(), input);
    Parser parser(lx);
    parser.parseFile();
    Output out(parser, lx);
    std::string name = input.substr(input.find_last_of('/') + 1);
    if (!tlb.empty() && !writeFile(tlb, out.typelib())) {
      std::cerr << tlb << ": error: cannot write the file\n";
      return 1;
    }
    if (!header.empty() && !writeFile(header, out.header(name))) {
      std::cerr << header << ": error: cannot write the file\n";
      return 1;
    }
  } catch (const Error& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return 0;
}
