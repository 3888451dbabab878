// The registrar: runs registry scripts to register or unregister a server.
//
// A script is read whole before the registry is touched, so a script with a
// syntax error changes nothing. Grammar (keywords without regard to case;
// tokens are separated by blanks; 'quoted' text doubles a quote inside it):
//   script := (root '{' entry* '}')*
//   root   := HKCR | HKEY_CLASSES_ROOT | HKCU | HKEY_CURRENT_USER | HKLM | HKEY_LOCAL_MACHINE
//   entry  := [ForceRemove | NoRemove | Delete] key-name ['=' type 'value'] ['{' entry* '}']
//           | [NoRemove] val value-name '=' type 'value'
//   type   := s (REG_SZ) | d (REG_DWORD: decimal, or hexadecimal after 0x)
//           | m (REG_MULTI_SZ: strings separated by \0) | b (REG_BINARY: hexadecimal digits)
// Before parsing, %NAME% is replaced by the caller's replacement of that name
// (names without regard to case) and %% by %.
//
// Registering creates each key (ForceRemove first deletes it with everything
// below it; Delete deletes it and creates nothing) and sets its values.
// Unregistering walks the same tree: it removes named values, then each key
// whose own subkeys are gone, unless the entry says NoRemove; a key that still
// has subkeys the script does not name stays.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "internal.h"
#include "platform/kernel.h"
#include "platform/resources.h"

using namespace com_internal;

namespace {

struct Entry {
  bool isValue = false;
  bool forceRemove = false;
  bool noRemove = false;
  bool deleteKey = false;
  std::u16string name;
  bool hasData = false;
  DWORD type = REG_SZ;
  std::string data;
  std::vector<Entry> children;
};

struct Root {
  HKEY key;
  std::vector<Entry> entries;
};

struct Token {
  enum Kind { Word, Quoted, Open, Close, Equals, End } kind = End;
  std::u16string text;
};

HRESULT scriptError(const std::string& why) {
  std::string line = "registrar: " + why;
  OutputDebugStringA(line.c_str());
  return DISP_E_EXCEPTION;
}

bool isBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == 0xFEFF; }

class Parser {
 public:
  explicit Parser(std::u16string text) : text_(std::move(text)) {}

  HRESULT parse(std::vector<Root>* roots) {
    while (true) {
      Token t;
      HRESULT hr = next(&t);
      if (FAILED(hr)) return hr;
      if (t.kind == Token::End) return S_OK;
      if (t.kind != Token::Word) return scriptError("expected a root key, found '" + toUtf8(t.text) + "'");
      Root root;
      if (!rootKey(t.text, &root.key)) return scriptError("unknown root key '" + toUtf8(t.text) + "'");
      hr = expect(Token::Open, "'{' after the root key");
      if (FAILED(hr)) return hr;
      hr = body(&root.entries);
      if (FAILED(hr)) return hr;
      roots->push_back(std::move(root));
    }
  }

 private:
  static bool rootKey(const std::u16string& w, HKEY* key) {
    if (equalsNoCase(w, u"HKCR") || equalsNoCase(w, u"HKEY_CLASSES_ROOT"))
      *key = HKEY_CLASSES_ROOT;
    else if (equalsNoCase(w, u"HKCU") || equalsNoCase(w, u"HKEY_CURRENT_USER"))
      *key = HKEY_CURRENT_USER;
    else if (equalsNoCase(w, u"HKLM") || equalsNoCase(w, u"HKEY_LOCAL_MACHINE"))
      *key = HKEY_LOCAL_MACHINE;
    else
      return false;
    return true;
  }

  HRESULT next(Token* t) {
    if (havePeek_) {
      *t = peek_;
      havePeek_ = false;
      return S_OK;
    }
    while (pos_ < text_.size() && isBlank(text_[pos_])) ++pos_;
    *t = Token{};
    if (pos_ >= text_.size()) return S_OK;
    if (text_[pos_] == u'\'') {
      ++pos_;
      while (true) {
        if (pos_ >= text_.size()) return scriptError("a quoted string has no end");
        if (text_[pos_] == u'\'') {
          if (pos_ + 1 < text_.size() && text_[pos_ + 1] == u'\'') {
            t->text.push_back(u'\'');
            pos_ += 2;
            continue;
          }
          ++pos_;
          break;
        }
        t->text.push_back(text_[pos_++]);
      }
      t->kind = Token::Quoted;
      return S_OK;
    }
    size_t start = pos_;
    while (pos_ < text_.size() && !isBlank(text_[pos_])) ++pos_;
    t->text = text_.substr(start, pos_ - start);
    t->kind = t->text == u"{"   ? Token::Open
              : t->text == u"}" ? Token::Close
              : t->text == u"=" ? Token::Equals
                                : Token::Word;
    return S_OK;
  }

  HRESULT peek(Token* t) {
    if (!havePeek_) {
      HRESULT hr = next(&peek_);
      if (FAILED(hr)) return hr;
      havePeek_ = true;
    }
    *t = peek_;
    return S_OK;
  }

  HRESULT expect(Token::Kind kind, const char* what) {
    Token t;
    HRESULT hr = next(&t);
    if (FAILED(hr)) return hr;
    if (t.kind != kind) return scriptError(std::string("expected ") + what + ", found '" + toUtf8(t.text) + "'");
    return S_OK;
  }

  HRESULT body(std::vector<Entry>* entries) {
    while (true) {
      Token t;
      HRESULT hr = next(&t);
      if (FAILED(hr)) return hr;
      if (t.kind == Token::Close) return S_OK;
      if (t.kind == Token::End) return scriptError("a '{' has no matching '}'");
      Entry e;
      // Prefixes, then the name.
      while (t.kind == Token::Word) {
        if (equalsNoCase(t.text, u"ForceRemove"))
          e.forceRemove = true;
        else if (equalsNoCase(t.text, u"NoRemove"))
          e.noRemove = true;
        else if (equalsNoCase(t.text, u"Delete"))
          e.deleteKey = true;
        else if (equalsNoCase(t.text, u"val"))
          e.isValue = true;
        else
          break;
        hr = next(&t);
        if (FAILED(hr)) return hr;
      }
      if (t.kind != Token::Word && t.kind != Token::Quoted)
        return scriptError("expected a key or value name, found '" + toUtf8(t.text) + "'");
      e.name = t.text;
      if (!e.isValue && (e.name.empty() || e.name.find(u'\\') != std::u16string::npos))
        return scriptError("key name '" + toUtf8(e.name) + "' is empty or holds a '\\'");
      Token p;
      hr = peek(&p);
      if (FAILED(hr)) return hr;
      if (p.kind == Token::Equals) {
        next(&p);
        hr = value(&e);
        if (FAILED(hr)) return hr;
        hr = peek(&p);
        if (FAILED(hr)) return hr;
      }
      if (e.isValue && !e.hasData) return scriptError("value '" + toUtf8(e.name) + "' has no '= type value'");
      if (p.kind == Token::Open) {
        if (e.isValue) return scriptError("value '" + toUtf8(e.name) + "' cannot hold keys");
        next(&p);
        hr = body(&e.children);
        if (FAILED(hr)) return hr;
      }
      entries->push_back(std::move(e));
    }
  }

  HRESULT value(Entry* e) {
    Token type, data;
    HRESULT hr = next(&type);
    if (FAILED(hr)) return hr;
    hr = next(&data);
    if (FAILED(hr)) return hr;
    if (type.kind != Token::Word || (data.kind != Token::Quoted && data.kind != Token::Word))
      return scriptError("expected a type and a value after '=' for '" + toUtf8(e->name) + "'");
    e->hasData = true;
    const std::u16string& v = data.text;
    if (equalsNoCase(type.text, u"s")) {
      e->type = REG_SZ;
      std::u16string s = v;
      s.push_back(0);
      e->data.assign(reinterpret_cast<const char*>(s.data()), s.size() * 2);
    } else if (equalsNoCase(type.text, u"d")) {
      std::string n = toUtf8(v);
      int base = 10;
      size_t skip = 0;
      if (n.size() > 2 && n[0] == '0' && (n[1] == 'x' || n[1] == 'X')) {
        base = 16;
        skip = 2;
      }
      char* end = nullptr;
      unsigned long long d = std::strtoull(n.c_str() + skip, &end, base);
      if (n.size() == skip || *end != 0 || d > 0xFFFFFFFFull || n[skip] == '-' || n[skip] == '+')
        return scriptError("'" + n + "' is not a DWORD");
      e->type = REG_DWORD;
      DWORD dw = static_cast<DWORD>(d);
      e->data.assign(reinterpret_cast<const char*>(&dw), 4);
    } else if (equalsNoCase(type.text, u"m")) {
      e->type = REG_MULTI_SZ;
      std::u16string s;
      for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] == u'\\' && i + 1 < v.size() && v[i + 1] == u'0') {
          s.push_back(0);
          ++i;
        } else {
          s.push_back(v[i]);
        }
      }
      if (s.empty() || s.back() != 0) s.push_back(0);
      s.push_back(0);
      e->data.assign(reinterpret_cast<const char*>(s.data()), s.size() * 2);
    } else if (equalsNoCase(type.text, u"b")) {
      e->type = REG_BINARY;
      if (v.size() % 2 != 0) return scriptError("binary value '" + toUtf8(v) + "' has an odd number of digits");
      for (size_t i = 0; i < v.size(); i += 2) {
        auto digit = [](char16_t c) {
          return (c >= u'0' && c <= u'9')   ? c - u'0'
                 : (c >= u'a' && c <= u'f') ? c - u'a' + 10
                 : (c >= u'A' && c <= u'F') ? c - u'A' + 10
                                            : -1;
        };
        int a = digit(v[i]), b = digit(v[i + 1]);
        if (a < 0 || b < 0) return scriptError("binary value '" + toUtf8(v) + "' is not hexadecimal");
        e->data.push_back(static_cast<char>(a * 16 + b));
      }
    } else {
      return scriptError("unknown value type '" + toUtf8(type.text) + "'");
    }
    return S_OK;
  }

  std::u16string text_;
  size_t pos_ = 0;
  Token peek_;
  bool havePeek_ = false;
};

HRESULT fromWin32(LSTATUS st) { return HRESULT_FROM_WIN32(static_cast<DWORD>(st)); }

LSTATUS setValue(HKEY key, const char16_t* name, const Entry& e) {
  return RegSetValueExW(key, name, 0, e.type, reinterpret_cast<const BYTE*>(e.data.data()),
                        static_cast<DWORD>(e.data.size()));
}

HRESULT registerEntries(HKEY parent, const std::vector<Entry>& entries) {
  for (const auto& e : entries) {
    if (e.isValue) {
      LSTATUS st = setValue(parent, e.name.c_str(), e);
      if (st != ERROR_SUCCESS) return fromWin32(st);
      continue;
    }
    if (e.deleteKey || e.forceRemove) {
      LSTATUS st = RegDeleteTreeW(parent, e.name.c_str());
      if (st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND) return fromWin32(st);
      if (e.deleteKey) continue;
    }
    HKEY key = nullptr;
    LSTATUS st = RegCreateKeyExW(parent, e.name.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
    if (st != ERROR_SUCCESS) return fromWin32(st);
    if (e.hasData) st = setValue(key, nullptr, e);
    HRESULT hr = st == ERROR_SUCCESS ? registerEntries(key, e.children) : fromWin32(st);
    RegCloseKey(key);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT unregisterEntries(HKEY parent, const std::vector<Entry>& entries) {
  for (const auto& e : entries) {
    if (e.deleteKey) continue;
    if (e.isValue) {
      if (e.noRemove) continue;
      LSTATUS st = RegDeleteValueW(parent, e.name.c_str());
      if (st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND) return fromWin32(st);
      continue;
    }
    HKEY key = nullptr;
    LSTATUS st = RegOpenKeyExW(parent, e.name.c_str(), 0, KEY_READ | KEY_WRITE, &key);
    if (st == ERROR_FILE_NOT_FOUND) continue;  // already gone
    if (st != ERROR_SUCCESS) return fromWin32(st);
    HRESULT hr = unregisterEntries(key, e.children);
    DWORD subkeys = 0;
    if (SUCCEEDED(hr)) {
      st = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr);
      if (st != ERROR_SUCCESS) hr = fromWin32(st);
    }
    RegCloseKey(key);
    if (FAILED(hr)) return hr;
    if (!e.noRemove && subkeys == 0) {
      st = RegDeleteKeyW(parent, e.name.c_str());
      if (st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND) return fromWin32(st);
    }
  }
  return S_OK;
}

// Script bytes as text: UTF-16 after a little-endian byte-order mark, else UTF-8.
std::u16string scriptText(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::u16string w((bytes.size() - 2) / 2, 0);
    std::memcpy(w.data(), bytes.data() + 2, w.size() * 2);
    return w;
  }
  std::u16string text = toUtf16(bytes);
  // Resource data may carry a terminator.
  while (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

class Registrar final : public PlatformSingleInterface<Registrar, IRegistrar> {
 public:
  HRESULT AddReplacement(LPCOLESTR key, LPCOLESTR item) override {
    if (key == nullptr || item == nullptr || key[0] == 0) return E_INVALIDARG;
    for (auto& r : replacements_) {
      if (equalsNoCase(r.first, key)) {
        r.second = item;
        return S_OK;
      }
    }
    replacements_.emplace_back(key, item);
    return S_OK;
  }
  HRESULT ClearReplacements() override {
    replacements_.clear();
    return S_OK;
  }

  HRESULT ResourceRegisterSz(LPCOLESTR resFileName, LPCOLESTR szID, LPCOLESTR szType) override {
    return fromResource(resFileName, szID, szType, true);
  }
  HRESULT ResourceUnregisterSz(LPCOLESTR resFileName, LPCOLESTR szID, LPCOLESTR szType) override {
    return fromResource(resFileName, szID, szType, false);
  }
  HRESULT FileRegister(LPCOLESTR fileName) override { return fromFile(fileName, true); }
  HRESULT FileUnregister(LPCOLESTR fileName) override { return fromFile(fileName, false); }
  HRESULT StringRegister(LPCOLESTR data) override { return run(data, true); }
  HRESULT StringUnregister(LPCOLESTR data) override { return run(data, false); }
  HRESULT ResourceRegister(LPCOLESTR resFileName, UINT nID, LPCOLESTR szType) override {
    return fromResource(resFileName, MAKEINTRESOURCEW(nID), szType, true);
  }
  HRESULT ResourceUnregister(LPCOLESTR resFileName, UINT nID, LPCOLESTR szType) override {
    return fromResource(resFileName, MAKEINTRESOURCEW(nID), szType, false);
  }

 private:
  HRESULT expand(const std::u16string& in, std::u16string* out) const {
    size_t i = 0;
    while (i < in.size()) {
      if (in[i] != u'%') {
        out->push_back(in[i++]);
        continue;
      }
      size_t end = in.find(u'%', i + 1);
      if (end == std::u16string::npos) return scriptError("a '%' has no closing '%'");
      std::u16string name = in.substr(i + 1, end - i - 1);
      i = end + 1;
      if (name.empty()) {
        out->push_back(u'%');
        continue;
      }
      bool found = false;
      for (const auto& r : replacements_) {
        if (equalsNoCase(r.first, name)) {
          *out += r.second;
          found = true;
          break;
        }
      }
      if (!found) return scriptError("no replacement for %" + toUtf8(name) + "%");
    }
    return S_OK;
  }

  HRESULT run(LPCOLESTR script, bool doRegister) {
    if (script == nullptr) return E_INVALIDARG;
    std::u16string text;
    HRESULT hr = expand(script, &text);
    if (FAILED(hr)) return hr;
    std::vector<Root> roots;
    hr = Parser(std::move(text)).parse(&roots);
    if (FAILED(hr)) return hr;
    for (const auto& root : roots) {
      hr = doRegister ? registerEntries(root.key, root.entries) : unregisterEntries(root.key, root.entries);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }

  HRESULT fromResource(LPCOLESTR resFileName, LPCOLESTR id, LPCOLESTR type, bool doRegister) {
    if (resFileName == nullptr || id == nullptr || type == nullptr) return E_INVALIDARG;
    std::string path = toUtf8(resFileName);
    HMODULE module = PlatformLoadLibraryPath(path.c_str());
    if (module == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    std::string bytes;
    HRESULT hr = S_OK;
    HRSRC res = FindResourceW(module, id, type);
    HGLOBAL loaded = res != nullptr ? LoadResource(module, res) : nullptr;
    const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (data == nullptr) {
      hr = HRESULT_FROM_WIN32(GetLastError() != 0 ? GetLastError() : ERROR_RESOURCE_NAME_NOT_FOUND);
    } else {
      bytes.assign(static_cast<const char*>(data), SizeofResource(module, res));
    }
    FreeLibrary(module);
    if (FAILED(hr)) return hr;
    std::u16string text = scriptText(bytes);
    return run(text.c_str(), doRegister);
  }

  HRESULT fromFile(LPCOLESTR fileName, bool doRegister) {
    if (fileName == nullptr) return E_INVALIDARG;
    char mapped[4096];
    std::string given = toUtf8(fileName);
    if (PlatformMapPath(given.c_str(), mapped, sizeof mapped) == 0) return E_INVALIDARG;
    std::ifstream in(mapped, std::ios::binary);
    if (!in) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    std::stringstream ss;
    ss << in.rdbuf();
    std::u16string text = scriptText(ss.str());
    return run(text.c_str(), doRegister);
  }

  std::vector<std::pair<std::u16string, std::u16string>> replacements_;
};
}  // namespace

PLATFORM_API HRESULT PlatformCreateRegistrar(IRegistrar** ppRegistrar) {
  if (ppRegistrar == nullptr) return E_POINTER;
  *ppRegistrar = new (std::nothrow) Registrar();
  return *ppRegistrar != nullptr ? S_OK : E_OUTOFMEMORY;
}
