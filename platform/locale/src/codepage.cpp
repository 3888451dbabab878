// MultiByteToWideChar and WideCharToMultiByte for the code pages 950, 936,
// 1252 (through iconv) and 65001 (our own codec, so that the replacement of
// ill-formed input follows the Unicode practice that Windows follows).
#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "internal.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/utf.h"

namespace {

enum class Kind { Utf8, Dbcs, Sbcs };

struct CodePageInfo {
  UINT codePage;
  const char* iconvName;
  Kind kind;
};

constexpr CodePageInfo kCodePages[] = {
    {950, "CP950", Kind::Dbcs},
    {936, "CP936", Kind::Dbcs},
    {1252, "CP1252", Kind::Sbcs},
    {CP_UTF8, "UTF-8", Kind::Utf8},
};

constexpr char16_t kDbcsDefaultUnicode = 0x30FB;  // default Unicode character of 950 and 936

const CodePageInfo* lookup(UINT codePage) {
  if (codePage == CP_ACP) codePage = GetACP();
  if (codePage == CP_THREAD_ACP) codePage = platform_locale::threadAnsiCodePage();
  for (const auto& info : kCodePages) {
    if (info.codePage == codePage) return &info;
  }
  return nullptr;
}

bool isLeadByte(const CodePageInfo& info, unsigned char b) { return info.kind == Kind::Dbcs && b >= 0x81 && b <= 0xFE; }

bool isTrailByte(const CodePageInfo& info, unsigned char b) {
  if (b >= 0x40 && b <= 0x7E) return true;
  if (info.codePage == 950) return b >= 0xA1 && b <= 0xFE;
  return b >= 0x80 && b <= 0xFE;  // 936
}

// Bytes of 1252 that have no character; Windows maps them to the C1 controls
// of the same value and back, and so do we (iconv rejects them).
bool is1252Hole(unsigned v) { return v == 0x81 || v == 0x8D || v == 0x8F || v == 0x90 || v == 0x9D; }

// iconv descriptors, opened once per thread and code page direction.
class IconvCache {
 public:
  ~IconvCache() {
    for (auto& [key, cd] : map_) {
      if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
  }
  iconv_t get(const CodePageInfo& info, bool toUnicode) {
    auto key = std::make_pair(info.codePage, toUnicode);
    auto it = map_.find(key);
    if (it != map_.end()) return it->second;
    iconv_t cd = toUnicode ? iconv_open("UTF-16LE", info.iconvName) : iconv_open(info.iconvName, "UTF-16LE");
    map_[key] = cd;
    return cd;
  }

 private:
  std::map<std::pair<UINT, bool>, iconv_t> map_;
};

thread_local IconvCache tIconv;

void appendUtf16le(std::u16string& out, const char* bytes, size_t n) {
  for (size_t i = 0; i + 1 < n; i += 2) {
    out +=
        static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
}

enum class Result { Ok, Invalid, NoConverter };

// ---- UTF-8 ----

Result decodeUtf8(const unsigned char* s, size_t n, bool strict, std::u16string& out) {
  return platform::utf::appendUtf16(out, std::string_view(reinterpret_cast<const char*>(s), n), strict)
             ? Result::Ok
             : Result::Invalid;
}

Result encodeUtf8(const char16_t* s, size_t n, bool strict, std::string& out) {
  return platform::utf::appendUtf8(out, std::u16string_view(s, n), strict) ? Result::Ok : Result::Invalid;
}

// ---- iconv code pages ----

// Runs the converter over n bytes from in, handing each converted piece to
// append. At a code the converter cannot take (or one cut off at the end),
// unconvertible(in, left) appends what stands for it and says how many bytes
// it covers; 0 refuses the input.
template <class Append, class Unconvertible>
Result runIconv(iconv_t cd, char* in, size_t left, Append append, Unconvertible unconvertible) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char buf[2048];
  while (left > 0) {
    char* o = buf;
    size_t room = sizeof buf;
    size_t r = iconv(cd, &in, &left, &o, &room);
    int err = errno;
    append(buf, static_cast<size_t>(o - buf));
    if (r != static_cast<size_t>(-1) || err == E2BIG) continue;
    if (err != EILSEQ && err != EINVAL) return Result::Invalid;
    size_t skip = unconvertible(in, left);
    if (skip == 0) return Result::Invalid;
    in += skip;
    left -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return Result::Ok;
}

Result decodeIconv(const CodePageInfo& info, const char* src, size_t n, bool strict, std::u16string& out) {
  iconv_t cd = tIconv.get(info, true);
  if (cd == reinterpret_cast<iconv_t>(-1)) return Result::NoConverter;
  return runIconv(
      cd, const_cast<char*>(src), n, [&](const char* piece, size_t size) { appendUtf16le(out, piece, size); },
      [&](const char* in, size_t left) -> size_t {
        auto b = static_cast<unsigned char>(*in);
        if (info.kind == Kind::Sbcs && info.codePage == 1252 && is1252Hole(b)) {
          out += static_cast<char16_t>(b);
          return 1;
        }
        if (strict) return 0;
        if (info.kind != Kind::Dbcs) {
          out += u'?';
          return 1;
        }
        out += kDbcsDefaultUnicode;
        return isLeadByte(info, b) && left >= 2 && isTrailByte(info, static_cast<unsigned char>(in[1])) ? 2 : 1;
      });
}

Result encodeIconv(const CodePageInfo& info, const char16_t* src, size_t n, const std::string& defaultChar,
                   bool* usedDefault, std::string& out) {
  iconv_t cd = tIconv.get(info, false);
  if (cd == reinterpret_cast<iconv_t>(-1)) return Result::NoConverter;
  std::string bytes;
  bytes.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    bytes += static_cast<char>(src[i] & 0xFF);
    bytes += static_cast<char>(src[i] >> 8);
  }
  char* start = bytes.data();
  return runIconv(
      cd, start, bytes.size(), [&](const char* piece, size_t size) { out.append(piece, size); },
      [&](const char* in, size_t) -> size_t {
        // One UTF-16 code unit that the code page cannot hold: each unit of an
        // unmappable surrogate pair becomes a default character of its own.
        char16_t unit = src[(in - start) / 2];
        if (info.codePage == 1252 && is1252Hole(unit)) {
          out += static_cast<char>(unit);
        } else {
          out += defaultChar;
          *usedDefault = true;
        }
        return 2;
      });
}

bool sameBuffer(const void* a, const void* b) { return a != nullptr && a == b; }

// A failed conversion: the reason in the last error, no units written.
int fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// The converter's failure as the last error: an unknown code page, or input
// the strict mode refuses; a result too long for an int count is refused too.
bool refused(Result r, std::size_t size) {
  if (r == Result::NoConverter || (r == Result::Ok && size > 0x7FFFFFFF)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return true;
  }
  if (r == Result::Invalid) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return true;
  }
  return false;
}

// The converted units: their count alone for a capacity of 0, else copied
// when they fit.
template <class Unit>
int deliver(const std::basic_string<Unit>& out, Unit* destination, int capacity) {
  int count = static_cast<int>(out.size());
  if (capacity == 0) return count;
  if (count > capacity) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(destination, out.data(), out.size() * sizeof(Unit));
  return count;
}

}  // namespace

PLATFORM_API int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByteStr, int cbMultiByte,
                                     LPWSTR wideCharStr, int cchWideChar) {
  if (multiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 && wideCharStr == nullptr) || sameBuffer(multiByteStr, wideCharStr)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  const CodePageInfo* info = lookup(codePage);
  if (info == nullptr) return fail(ERROR_INVALID_PARAMETER);
  DWORD allowed = info->kind == Kind::Utf8 ? MB_ERR_INVALID_CHARS : (MB_PRECOMPOSED | MB_ERR_INVALID_CHARS);
  if ((flags & ~allowed) != 0) return fail(ERROR_INVALID_FLAGS);
  bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;
  size_t n = cbMultiByte == -1 ? std::strlen(multiByteStr) + 1 : static_cast<size_t>(cbMultiByte);

  std::u16string out;
  Result r = info->kind == Kind::Utf8 ? decodeUtf8(reinterpret_cast<const unsigned char*>(multiByteStr), n, strict, out)
                                      : decodeIconv(*info, multiByteStr, n, strict, out);
  if (refused(r, out.size())) return 0;
  return deliver(out, wideCharStr, cchWideChar);
}

PLATFORM_API int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideCharStr, int cchWideChar,
                                     LPSTR multiByteStr, int cbMultiByte, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
  if (wideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && multiByteStr == nullptr) || sameBuffer(wideCharStr, multiByteStr)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  const CodePageInfo* info = lookup(codePage);
  if (info == nullptr) return fail(ERROR_INVALID_PARAMETER);
  DWORD allowed = info->kind == Kind::Utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  if ((flags & ~allowed) != 0) return fail(ERROR_INVALID_FLAGS);
  if (info->kind == Kind::Utf8 && (defaultChar != nullptr || usedDefaultChar != nullptr))
    return fail(ERROR_INVALID_PARAMETER);
  size_t n = 0;
  if (cchWideChar == -1) {
    while (wideCharStr[n] != 0) ++n;
    ++n;
  } else {
    n = static_cast<size_t>(cchWideChar);
  }

  std::string out;
  bool used = false;
  Result r;
  if (info->kind == Kind::Utf8) {
    r = encodeUtf8(wideCharStr, n, (flags & WC_ERR_INVALID_CHARS) != 0, out);
  } else {
    std::string def = "?";
    if (defaultChar != nullptr && defaultChar[0] != '\0') {
      def.assign(1, defaultChar[0]);
      if (isLeadByte(*info, static_cast<unsigned char>(defaultChar[0])) && defaultChar[1] != '\0' &&
          isTrailByte(*info, static_cast<unsigned char>(defaultChar[1]))) {
        def += defaultChar[1];
      }
    }
    r = encodeIconv(*info, wideCharStr, n, def, &used, out);
  }
  if (refused(r, out.size())) return 0;
  if (usedDefaultChar != nullptr) *usedDefaultChar = used ? TRUE : FALSE;
  return deliver(out, multiByteStr, cbMultiByte);
}
