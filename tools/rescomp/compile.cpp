// The statements of resource scripts and the binary layouts they compile to:
// string-table blocks, DLGTEMPLATEEX dialogs, VS_VERSIONINFO, bitmaps and
// files embedded as they are.
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <tuple>

#include "rescomp.h"

namespace rescomp {
namespace {

constexpr std::uint16_t kRtBitmap = 2;
constexpr std::uint16_t kRtDialog = 5;
constexpr std::uint16_t kRtString = 6;
constexpr std::uint16_t kRtVersion = 16;

constexpr std::uint16_t kFormatRaw = 0, kFormatDib = 1, kFormatPng = 2;

// Style bits the statements add by themselves.
constexpr std::uint32_t WS_POPUP = 0x80000000, WS_CHILD = 0x40000000, WS_VISIBLE = 0x10000000, WS_CAPTION = 0x00C00000,
                        WS_BORDER = 0x00800000, WS_SYSMENU = 0x00080000, WS_GROUP = 0x00020000, WS_TABSTOP = 0x00010000,
                        DS_SETFONT = 0x40;
constexpr std::uint32_t SS_LEFT = 0, SS_CENTER = 1, SS_RIGHT = 2, SS_ICON = 3;
constexpr std::uint32_t BS_PUSHBUTTON = 0, BS_DEFPUSHBUTTON = 1, BS_CHECKBOX = 2, BS_AUTOCHECKBOX = 3,
                        BS_RADIOBUTTON = 4, BS_GROUPBOX = 7;
constexpr std::uint32_t ES_LEFT = 0;

bool sameWord(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return true;
}

bool isKeyword(const Token& t, const char* word) { return t.kind == Tok::Ident && sameWord(t.text, word); }
bool isPunct(const Token& t, char c) { return t.kind == Tok::Punct && t.text.size() == 1 && t.text[0] == c; }

std::u16string upperAscii(std::u16string s) {
  for (auto& c : s) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return s;
}

std::u16string asciiToU16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string describe(const Token& t) {
  switch (t.kind) {
    case Tok::End: return "end of file";
    case Tok::String: return "string \"" + t.text + "\"";
    case Tok::Number: return "number " + t.text;
    default: return "'" + t.text + "'";
  }
}

// Little-endian binary writer.
struct Bytes {
  std::vector<std::uint8_t> b;
  void u8(unsigned v) { b.push_back(static_cast<std::uint8_t>(v)); }
  void u16(unsigned v) {
    u8(v & 0xFF);
    u8((v >> 8) & 0xFF);
  }
  void u32(std::uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
  }
  void str(const std::u16string& s) {
    for (char16_t c : s) u16(c);
    u16(0);
  }
  void align4() {
    while (b.size() % 4 != 0) u8(0);
  }
  void put16(size_t at, unsigned v) {
    b[at] = static_cast<std::uint8_t>(v & 0xFF);
    b[at + 1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
  }
};

// A name or an ordinal, as dialog templates store menus, classes and titles.
struct NameOrOrd {
  bool isOrd = false;
  std::uint16_t ord = 0;
  std::u16string text;
  void write(Bytes& out) const {
    if (isOrd) {
      out.u16(0xFFFF);
      out.u16(ord);
    } else {
      out.str(text);
    }
  }
};

struct DialogItem {
  std::uint32_t helpId = 0, exStyle = 0, style = 0;
  std::int16_t x = 0, y = 0, cx = 0, cy = 0;
  std::uint32_t id = 0;
  NameOrOrd cls, title;
};

struct VersionNode {
  std::u16string key;
  bool isText = true;
  std::vector<std::uint8_t> value;  // text: UTF-16 with its NUL; binary: bytes
  std::uint16_t valueLength = 0;    // WCHARs for text, bytes for binary
  std::vector<VersionNode> children;
};

void writeVersionNode(Bytes& out, const VersionNode& n, std::uint16_t type) {
  out.align4();
  size_t start = out.b.size();
  out.u16(0);  // wLength, filled in below
  out.u16(n.valueLength);
  out.u16(type);
  out.str(n.key);
  out.align4();
  out.b.insert(out.b.end(), n.value.begin(), n.value.end());
  for (const auto& c : n.children) writeVersionNode(out, c, c.isText ? 1 : 0);
  size_t length = out.b.size() - start;
  if (length > 0xFFFF) throw std::length_error("version block too large");
  out.put16(start, static_cast<unsigned>(length));
}

// Resources sort by type, name and language; numbers before strings.
auto key(const Resource& r) {
  return std::make_tuple(!r.typeIsId, r.typeId, r.typeName, !r.nameIsId, r.nameId, r.name, r.language);
}

class Compiler {
 public:
  explicit Compiler(Preprocessor& pp) : pp_(pp) {}

  void script(const std::string& path) {
    pp_.open(path);
    language_ = 0x0409;  // each script starts in English (United States)
    while (pp_.peek().kind != Tok::End) statement();
  }

  std::vector<Resource> finish() {
    buildStringBlocks();
    // Stable, so that of two equal resources the one written first comes first.
    std::stable_sort(resources_.begin(), resources_.end(),
                     [](const Resource& a, const Resource& b) { return key(a) < key(b); });
    for (size_t i = 1; i < resources_.size(); ++i) {
      const Resource& first = resources_[i - 1];
      const Resource& again = resources_[i];
      if (key(again) == key(first)) {
        throw RcError(again.loc, "resource defined twice for language " + std::to_string(again.language) +
                                     " (first at " + first.loc.file + ":" + std::to_string(first.loc.line) + ")");
      }
    }
    return std::move(resources_);
  }

 private:
  // ---- tokens ----
  Token next() { return pp_.next(); }
  const Token& peek() { return pp_.peek(); }
  [[noreturn]] void fail(const Token& t, const std::string& what) { throw RcError(t.loc, what); }
  [[noreturn]] void expected(const char* what) {
    const Token& t = peek();
    fail(t, std::string("expected ") + what + ", found " + describe(t));
  }
  bool accept(char c) {
    if (isPunct(peek(), c)) {
      next();
      return true;
    }
    return false;
  }
  bool acceptKeyword(const char* w) {
    if (isKeyword(peek(), w)) {
      next();
      return true;
    }
    return false;
  }
  void expect(char c) {
    if (!accept(c)) expected((std::string("'") + c + "'").c_str());
  }
  Token expectString() {
    if (peek().kind != Tok::String) expected("a string");
    return next();
  }
  void expectBegin() {
    if (!acceptKeyword("BEGIN") && !accept('{')) expected("BEGIN");
  }
  bool atEnd() {
    if (acceptKeyword("END") || accept('}')) return true;
    if (peek().kind == Tok::End) expected("END");
    return false;
  }

  // ---- expressions: C precedence over | ^ & + - * / and unary - ~ ----
  std::int64_t primary() {
    const Token& t = peek();
    if (t.kind == Tok::Number) {
      if (t.isLong) sawLong_ = true;
      return next().value;
    }
    if (accept('(')) {
      std::int64_t v = expr();
      expect(')');
      return v;
    }
    if (accept('-')) return -primary();
    if (accept('+')) return primary();
    if (accept('~')) return ~primary() & 0xFFFFFFFF;
    if (t.kind == Tok::Ident) fail(t, "'" + t.text + "' is not defined");
    expected("a number");
  }
  std::int64_t mul() {
    std::int64_t v = primary();
    while (true) {
      if (accept('*')) {
        v *= primary();
      } else if (isPunct(peek(), '/')) {
        Token op = next();
        std::int64_t d = primary();
        if (d == 0) fail(op, "division by zero");
        v /= d;
      } else {
        return v;
      }
    }
  }
  std::int64_t add() {
    std::int64_t v = mul();
    while (true) {
      if (accept('+')) {
        v += mul();
      } else if (accept('-')) {
        v -= mul();
      } else {
        return v;
      }
    }
  }
  std::int64_t band() {
    std::int64_t v = add();
    while (accept('&')) v &= add();
    return v;
  }
  std::int64_t bxor() {
    std::int64_t v = band();
    while (accept('^')) v ^= band();
    return v;
  }
  std::int64_t expr() {
    std::int64_t v = bxor();
    while (accept('|')) v |= bxor();
    return v;
  }
  std::int64_t ranged(std::int64_t lo, std::int64_t hi, const char* what) {
    Token at = peek();
    std::int64_t v = expr();
    if (v < lo || v > hi) fail(at, std::string(what) + " out of range: " + std::to_string(v));
    return v;
  }
  std::uint16_t word(const char* what) { return static_cast<std::uint16_t>(ranged(0, 0xFFFF, what)); }
  std::int16_t coord() { return static_cast<std::int16_t>(ranged(-32768, 32767, "coordinate")); }
  std::uint32_t dword(const char* what) {
    return static_cast<std::uint32_t>(ranged(-2147483648LL, 0xFFFFFFFFLL, what) & 0xFFFFFFFF);
  }
  // A style list: terms joined by |, where NOT term clears the term's bits
  // from what the list (and the statement's default) has so far.
  std::uint32_t styles(std::uint32_t value) {
    while (true) {
      Token at = peek();
      bool clear = acceptKeyword("NOT");
      std::int64_t v = bxor();
      if (v < -2147483648LL || v > 0xFFFFFFFFLL) fail(at, "style out of range");
      auto bits = static_cast<std::uint32_t>(v & 0xFFFFFFFF);
      value = clear ? (value & ~bits) : (value | bits);
      if (!accept('|')) return value;
    }
  }

  // ---- statements ----
  void skipMemoryOptions() {
    static const char* const kOptions[] = {"PRELOAD", "LOADONCALL", "FIXED",  "MOVEABLE", "DISCARDABLE",
                                           "PURE",    "IMPURE",     "SHARED", "NONSHARED"};
    while (true) {
      bool any = false;
      for (const char* o : kOptions) {
        if (acceptKeyword(o)) any = true;
      }
      if (!any) return;
    }
  }

  std::uint16_t languageArgs() {
    Token at = peek();
    std::int64_t primaryLang = expr();
    if (accept(',')) {
      std::int64_t sub = expr();
      if (primaryLang < 0 || primaryLang > 0x3FF || sub < 0 || sub > 0x3F) fail(at, "language out of range");
      return static_cast<std::uint16_t>((sub << 10) | primaryLang);
    }
    if (primaryLang < 0 || primaryLang > 0xFFFF) fail(at, "language out of range");
    return static_cast<std::uint16_t>(primaryLang);
  }

  void statement() {
    const Token& t = peek();
    if (isKeyword(t, "LANGUAGE")) {
      next();
      language_ = languageArgs();
      return;
    }
    if (isKeyword(t, "STRINGTABLE")) {
      next();
      stringTable();
      return;
    }
    Resource r;
    r.loc = t.loc;
    r.language = language_;
    // The name: an undefined identifier or a string names it, else a number.
    if (t.kind == Tok::Ident || t.kind == Tok::String) {
      Token n = next();
      r.nameIsId = false;
      r.name = n.kind == Tok::String ? upperAscii(n.str) : upperAscii(asciiToU16(n.text));
    } else {
      r.nameId = word("resource id");
    }
    Token type = next();
    if (isKeyword(type, "DIALOGEX")) return dialog(std::move(r));
    if (isKeyword(type, "VERSIONINFO")) return version(std::move(r));
    if (isKeyword(type, "BITMAP")) return bitmap(std::move(r));
    static const char* const kUnsupported[] = {"DIALOG",       "ICON",    "CURSOR",       "MENU",      "MENUEX",
                                               "ACCELERATORS", "RCDATA",  "MESSAGETABLE", "FONT",      "HTML",
                                               "TEXTINCLUDE",  "DLGINIT", "TOOLBAR",      "DESIGNINFO"};
    for (const char* u : kUnsupported) {
      if (isKeyword(type, u)) fail(type, std::string("resource type ") + u + " is not supported");
    }
    if (type.kind == Tok::Ident || type.kind == Tok::String) {
      r.typeIsId = false;
      r.typeName = type.kind == Tok::String ? upperAscii(type.str) : upperAscii(asciiToU16(type.text));
    } else if (type.kind == Tok::Number) {
      if (type.value < 0 || type.value > 0xFFFF) fail(type, "resource type out of range");
      r.typeId = static_cast<std::uint16_t>(type.value);
    } else {
      fail(type, "expected a resource type, found " + describe(type));
    }
    skipMemoryOptions();
    Token file = expectString();
    r.data = fileBytes(file);
    r.format = kFormatRaw;
    resources_.push_back(std::move(r));
  }

  // File names are taken as written; a backslash separates folders.
  std::vector<std::uint8_t> fileBytes(const Token& file) {
    std::string name = file.text;
    std::string clean;
    for (size_t i = 0; i < name.size(); ++i) {
      if (name[i] == '\\') {
        if (i + 1 < name.size() && name[i + 1] == '\\') ++i;
        clean += '/';
      } else {
        clean += name[i];
      }
    }
    std::string path = pp_.resolveFile(clean, file.loc);
    pp_.addDependency(path);
    std::string bytes = readFile(path, file.loc);
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
  }

  void bitmap(Resource r) {
    skipMemoryOptions();
    Token file = expectString();
    std::vector<std::uint8_t> bytes = fileBytes(file);
    static const std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), kPng, 8) == 0) {
      r.format = kFormatPng;
      r.data = std::move(bytes);
    } else if (bytes.size() >= 14 + 12 && bytes[0] == 'B' && bytes[1] == 'M') {
      // The resource holds the DIB: the file without its BITMAPFILEHEADER.
      r.format = kFormatDib;
      r.data.assign(bytes.begin() + 14, bytes.end());
    } else {
      fail(file, "'" + file.text + "' is neither a .bmp nor a .png file");
    }
    r.typeId = kRtBitmap;
    resources_.push_back(std::move(r));
  }

  void stringTable() {
    skipMemoryOptions();
    std::uint16_t lang = language_;
    while (isKeyword(peek(), "LANGUAGE")) {
      next();
      lang = languageArgs();
    }
    expectBegin();
    while (!atEnd()) {
      Token at = peek();
      std::uint16_t id = word("string id");
      accept(',');
      Token text = expectString();
      auto key = std::make_pair(lang, id);
      auto it = strings_.find(key);
      if (it != strings_.end()) {
        fail(at, "string " + std::to_string(id) + " defined twice for language " + std::to_string(lang) +
                     " (first at " + it->second.second.file + ":" + std::to_string(it->second.second.line) + ")");
      }
      strings_[key] = {text.str, at.loc};
      if (text.str.size() > 0xFFFF) fail(text, "string too long");
    }
  }

  void buildStringBlocks() {
    std::map<std::pair<std::uint16_t, std::uint16_t>, std::array<std::optional<std::u16string>, 16>> blocks;
    std::map<std::pair<std::uint16_t, std::uint16_t>, Loc> where;
    for (const auto& [key, value] : strings_) {
      auto bk = std::make_pair(key.first, static_cast<std::uint16_t>(key.second / 16 + 1));
      blocks[bk][key.second % 16] = value.first;
      if (!where.count(bk)) where[bk] = value.second;
    }
    for (const auto& [bk, slots] : blocks) {
      Resource r;
      r.typeId = kRtString;
      r.nameId = bk.second;
      r.language = bk.first;
      r.loc = where[bk];
      Bytes out;
      for (const auto& s : slots) {
        if (!s) {
          out.u16(0);
          continue;
        }
        out.u16(static_cast<unsigned>(s->size()));
        for (char16_t c : *s) out.u16(c);
      }
      r.data = std::move(out.b);
      resources_.push_back(std::move(r));
    }
  }

  // ---- dialogs ----
  NameOrOrd textOrOrdinal() {
    NameOrOrd n;
    if (peek().kind == Tok::String) {
      n.text = next().str;
    } else {
      n.isOrd = true;
      n.ord = word("ordinal");
    }
    return n;
  }

  NameOrOrd controlClass() {
    const Token& t = peek();
    std::string name;
    if (t.kind == Tok::String) {
      name = t.text;
    } else if (t.kind == Tok::Ident) {
      name = t.text;
    } else {
      expected("a window class");
    }
    Token c = next();
    static const std::pair<const char*, std::uint16_t> kPredefined[] = {
        {"BUTTON", 0x80}, {"EDIT", 0x81}, {"STATIC", 0x82}, {"LISTBOX", 0x83}, {"SCROLLBAR", 0x84}, {"COMBOBOX", 0x85}};
    NameOrOrd n;
    for (const auto& [pname, ord] : kPredefined) {
      if (sameWord(name, pname)) {
        n.isOrd = true;
        n.ord = ord;
        return n;
      }
    }
    if (c.kind == Tok::Ident) fail(c, "unknown window class " + name + " (write other classes as strings)");
    n.text = c.str;
    return n;
  }

  // x, y, cx, cy
  void rect(DialogItem& item) {
    item.x = coord();
    expect(',');
    item.y = coord();
    expect(',');
    item.cx = coord();
    expect(',');
    item.cy = coord();
  }

  // [, style [, exstyle [, helpid]]]
  void trailing(DialogItem& item, bool withStyle) {
    if (withStyle && accept(',')) item.style = styles(item.style);
    if (accept(',')) item.exStyle = styles(item.exStyle);
    if (accept(',')) item.helpId = dword("help id");
  }

  DialogItem control(const Token& kw) {
    DialogItem item;
    item.style = WS_CHILD | WS_VISIBLE;
    struct Kind {
      const char* word;
      std::uint16_t cls;
      std::uint32_t style;
    };
    static const Kind kKinds[] = {
        {"LTEXT", 0x82, SS_LEFT | WS_GROUP},
        {"RTEXT", 0x82, SS_RIGHT | WS_GROUP},
        {"CTEXT", 0x82, SS_CENTER | WS_GROUP},
        {"PUSHBUTTON", 0x80, BS_PUSHBUTTON | WS_TABSTOP},
        {"DEFPUSHBUTTON", 0x80, BS_DEFPUSHBUTTON | WS_TABSTOP},
        {"GROUPBOX", 0x80, BS_GROUPBOX},
        {"CHECKBOX", 0x80, BS_CHECKBOX | WS_TABSTOP},
        {"AUTOCHECKBOX", 0x80, BS_AUTOCHECKBOX | WS_TABSTOP},
        {"RADIOBUTTON", 0x80, BS_RADIOBUTTON | WS_TABSTOP},
    };
    for (const Kind& k : kKinds) {
      if (!isKeyword(kw, k.word)) continue;
      item.cls.isOrd = true;
      item.cls.ord = k.cls;
      item.style |= k.style;
      item.title = textOrOrdinal();
      expect(',');
      item.id = dword("control id");
      expect(',');
      rect(item);
      trailing(item, true);
      return item;
    }
    if (isKeyword(kw, "EDITTEXT")) {
      item.cls.isOrd = true;
      item.cls.ord = 0x81;
      item.style |= ES_LEFT | WS_BORDER | WS_TABSTOP;
      item.id = dword("control id");
      expect(',');
      rect(item);
      trailing(item, true);
      return item;
    }
    if (isKeyword(kw, "ICON")) {
      item.cls.isOrd = true;
      item.cls.ord = 0x82;
      item.style |= SS_ICON;
      item.title = textOrOrdinal();
      expect(',');
      item.id = dword("control id");
      expect(',');
      item.x = coord();
      expect(',');
      item.y = coord();
      if (accept(',')) {
        item.cx = coord();
        expect(',');
        item.cy = coord();
        trailing(item, true);
      }
      return item;
    }
    if (isKeyword(kw, "CONTROL")) {
      item.title = textOrOrdinal();
      expect(',');
      item.id = dword("control id");
      expect(',');
      item.cls = controlClass();
      expect(',');
      item.style = styles(item.style);
      expect(',');
      rect(item);
      trailing(item, false);
      return item;
    }
    fail(kw, "unsupported dialog control " + describe(kw));
  }

  void dialog(Resource r) {
    skipMemoryOptions();
    std::int16_t x = coord();
    expect(',');
    std::int16_t y = coord();
    expect(',');
    std::int16_t cx = coord();
    expect(',');
    std::int16_t cy = coord();
    std::uint32_t helpId = 0;
    if (accept(',')) helpId = dword("help id");

    std::optional<std::uint32_t> style;
    std::uint32_t exStyle = 0;
    std::optional<std::u16string> caption;
    bool hasFont = false;
    std::uint16_t pointSize = 0, weight = 400;
    std::uint8_t italic = 0, charset = 1;  // FW_NORMAL, not italic, DEFAULT_CHARSET
    std::u16string face;
    while (true) {
      if (acceptKeyword("STYLE")) {
        style = styles(0);
      } else if (acceptKeyword("EXSTYLE")) {
        exStyle = styles(0);
      } else if (acceptKeyword("CAPTION")) {
        caption = expectString().str;
      } else if (acceptKeyword("FONT")) {
        hasFont = true;
        pointSize = word("point size");
        expect(',');
        face = expectString().str;
        if (accept(',')) {
          weight = word("font weight");
          if (accept(',')) {
            italic = static_cast<std::uint8_t>(ranged(0, 255, "italic"));
            if (accept(',')) charset = static_cast<std::uint8_t>(ranged(0, 255, "character set"));
          }
        }
      } else if (acceptKeyword("LANGUAGE")) {
        r.language = languageArgs();
      } else {
        break;
      }
    }
    // Without STYLE a dialog is a popup with a border and a system menu; a
    // caption adds WS_CAPTION and a font DS_SETFONT, as the statements say.
    std::uint32_t dlgStyle = style.value_or(WS_POPUP | WS_BORDER | WS_SYSMENU);
    if (caption) dlgStyle |= WS_CAPTION;
    if (hasFont) dlgStyle |= DS_SETFONT;

    std::vector<DialogItem> items;
    expectBegin();
    while (!atEnd()) {
      Token kw = next();
      if (kw.kind != Tok::Ident) fail(kw, "expected a control, found " + describe(kw));
      items.push_back(control(kw));
      if (items.size() > 0xFFFF) fail(kw, "too many controls");
    }

    Bytes out;
    out.u16(1);       // dlgVer
    out.u16(0xFFFF);  // signature
    out.u32(helpId);
    out.u32(exStyle);
    out.u32(dlgStyle);
    out.u16(static_cast<unsigned>(items.size()));
    out.u16(static_cast<std::uint16_t>(x));
    out.u16(static_cast<std::uint16_t>(y));
    out.u16(static_cast<std::uint16_t>(cx));
    out.u16(static_cast<std::uint16_t>(cy));
    out.u16(0);  // no menu
    out.u16(0);  // the predefined dialog class
    out.str(caption.value_or(u""));
    if (dlgStyle & DS_SETFONT) {
      out.u16(pointSize);
      out.u16(weight);
      out.u8(italic);
      out.u8(charset);
      out.str(face);
    }
    for (const DialogItem& item : items) {
      out.align4();
      out.u32(item.helpId);
      out.u32(item.exStyle);
      out.u32(item.style);
      out.u16(static_cast<std::uint16_t>(item.x));
      out.u16(static_cast<std::uint16_t>(item.y));
      out.u16(static_cast<std::uint16_t>(item.cx));
      out.u16(static_cast<std::uint16_t>(item.cy));
      out.u32(item.id);
      item.cls.write(out);
      item.title.write(out);
      out.u16(0);  // no creation data
    }
    r.typeId = kRtDialog;
    r.data = std::move(out.b);
    resources_.push_back(std::move(r));
  }

  // ---- version information ----
  void versionBlock(VersionNode& parent) {
    expectBegin();
    while (!atEnd()) {
      Token kw = next();
      if (isKeyword(kw, "BLOCK")) {
        VersionNode n;
        n.key = expectString().str;
        versionBlock(n);
        parent.children.push_back(std::move(n));
      } else if (isKeyword(kw, "VALUE")) {
        VersionNode n;
        n.key = expectString().str;
        bool text = false, binary = false;
        std::u16string textValue;
        Bytes bin;
        while (accept(',')) {
          if (peek().kind == Tok::String) {
            text = true;
            textValue += next().str;
          } else {
            binary = true;
            sawLong_ = false;
            Token at = peek();
            std::int64_t v = expr();
            if (sawLong_) {
              if (v < -2147483648LL || v > 0xFFFFFFFFLL) fail(at, "value out of range");
              bin.u32(static_cast<std::uint32_t>(v & 0xFFFFFFFF));
            } else {
              if (v < -32768 || v > 0xFFFF) fail(at, "value out of range for a WORD (write an L suffix)");
              bin.u16(static_cast<unsigned>(v & 0xFFFF));
            }
          }
        }
        if (text && binary) fail(kw, "a VALUE holds either text or numbers");
        if (text) {
          // One terminating NUL, whether or not the text spells one out.
          while (!textValue.empty() && textValue.back() == 0) textValue.pop_back();
          Bytes t;
          t.str(textValue);
          n.isText = true;
          n.value = std::move(t.b);
          n.valueLength = static_cast<std::uint16_t>(textValue.size() + 1);
        } else {
          n.isText = false;
          n.value = std::move(bin.b);
          n.valueLength = static_cast<std::uint16_t>(n.value.size());
        }
        parent.children.push_back(std::move(n));
      } else {
        fail(kw, "expected BLOCK or VALUE, found " + describe(kw));
      }
    }
  }

  void version(Resource r) {
    skipMemoryOptions();
    std::uint32_t fixed[13] = {0xFEEF04BD, 0x00010000};
    auto fourWords = [&](std::uint32_t* ms, std::uint32_t* ls) {
      std::uint32_t parts[4] = {0, 0, 0, 0};
      parts[0] = word("version number");
      for (int i = 1; i < 4 && accept(','); ++i) parts[i] = word("version number");
      *ms = (parts[0] << 16) | parts[1];
      *ls = (parts[2] << 16) | parts[3];
    };
    while (true) {
      if (acceptKeyword("FILEVERSION")) {
        fourWords(&fixed[2], &fixed[3]);
      } else if (acceptKeyword("PRODUCTVERSION")) {
        fourWords(&fixed[4], &fixed[5]);
      } else if (acceptKeyword("FILEFLAGSMASK")) {
        fixed[6] = dword("FILEFLAGSMASK");
      } else if (acceptKeyword("FILEFLAGS")) {
        fixed[7] = dword("FILEFLAGS");
      } else if (acceptKeyword("FILEOS")) {
        fixed[8] = dword("FILEOS");
      } else if (acceptKeyword("FILETYPE")) {
        fixed[9] = dword("FILETYPE");
      } else if (acceptKeyword("FILESUBTYPE")) {
        fixed[10] = dword("FILESUBTYPE");
      } else {
        break;
      }
    }
    VersionNode root;
    root.key = u"VS_VERSION_INFO";
    root.isText = false;
    Bytes value;
    for (std::uint32_t v : fixed) value.u32(v);
    root.value = std::move(value.b);
    root.valueLength = static_cast<std::uint16_t>(root.value.size());
    versionBlock(root);
    Bytes out;
    try {
      writeVersionNode(out, root, 0);
    } catch (const std::length_error&) {
      fail(Token{Tok::End, "", u"", 0, false, r.loc}, "version information larger than 64 KB");
    }
    r.typeId = kRtVersion;
    r.data = std::move(out.b);
    resources_.push_back(std::move(r));
  }

  Preprocessor& pp_;
  std::uint16_t language_ = 0x0409;
  bool sawLong_ = false;
  std::vector<Resource> resources_;
  std::map<std::pair<std::uint16_t, std::uint16_t>, std::pair<std::u16string, Loc>> strings_;
};

}  // namespace

std::vector<Resource> compile(Preprocessor& pp, const std::vector<std::string>& scripts) {
  Compiler c(pp);
  for (const auto& s : scripts) c.script(s);
  return c.finish();
}

}  // namespace rescomp
