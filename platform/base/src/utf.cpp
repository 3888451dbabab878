#include "platform/utf.h"

namespace platform::utf {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool isHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
bool isSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDFFF; }

// Reads one sequence at s[i]. Returns its length and sets *cp when it is
// well formed; otherwise returns 0 and sets *skip to the length of the maximal
// ill-formed subsequence there (at least one byte).
std::size_t decodeOne(const unsigned char* s, std::size_t n, std::size_t i, bool surrogates, char32_t* cp,
                      std::size_t* skip) {
  unsigned c = s[i];
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  int need = 0;
  char32_t v = 0;
  unsigned lo = 0x80, hi = 0xBF;  // range of the first continuation byte
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1, v = c & 0x1F;
  } else if (c == 0xE0) {
    need = 2, v = c & 0x0F, lo = 0xA0;  // no overlong forms
  } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
    need = 2, v = c & 0x0F;
  } else if (c == 0xED) {
    need = 2, v = c & 0x0F, hi = surrogates ? 0xBF : 0x9F;
  } else if (c == 0xF0) {
    need = 3, v = c & 0x07, lo = 0x90;
  } else if (c >= 0xF1 && c <= 0xF3) {
    need = 3, v = c & 0x07;
  } else if (c == 0xF4) {
    need = 3, v = c & 0x07, hi = 0x8F;  // not above U+10FFFF
  }
  std::size_t j = i + 1;
  bool ok = need > 0;
  for (int k = 0; ok && k < need; ++k) {
    if (j >= n) {
      ok = false;
      break;
    }
    unsigned b = s[j];
    unsigned l = k == 0 ? lo : 0x80, h = k == 0 ? hi : 0xBF;
    if (b < l || b > h) {
      ok = false;
      break;
    }
    v = (v << 6) | (b & 0x3F);
    ++j;
  }
  if (!ok) {
    *skip = j - i;
    return 0;
  }
  *cp = v;
  return j - i;
}

void putUtf16(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

void putUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool decode(std::u16string& out, std::string_view text, bool strict, bool surrogates) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size();
  out.reserve(out.size() + n);
  std::size_t i = 0;
  while (i < n) {
    // Runs of ASCII (all of a base64 envelope, most page text) are copied
    // in one step rather than a character at a time.
    std::size_t run = i;
    while (run < n && s[run] < 0x80) ++run;
    if (run > i) {
      const std::size_t at = out.size();
      out.resize(at + (run - i));
      char16_t* d = out.data() + at;
      for (std::size_t k = i; k < run; ++k) *d++ = static_cast<char16_t>(s[k]);
      i = run;
      continue;
    }
    char32_t cp = 0;
    std::size_t skip = 1;
    std::size_t len = decodeOne(s, n, i, surrogates, &cp, &skip);
    if (len == 0) {
      if (strict) return false;
      out.push_back(kReplacement);
      i += skip;
      continue;
    }
    putUtf16(out, cp);
    i += len;
  }
  return true;
}

}  // namespace

bool appendUtf16(std::u16string& out, std::string_view text, bool strict) { return decode(out, text, strict, false); }

bool appendUtf8(std::string& out, std::u16string_view text, bool strict) {
  out.reserve(out.size() + text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::size_t run = i;
    while (run < text.size() && text[run] < 0x80) ++run;
    if (run > i) {
      const std::size_t at = out.size();
      out.resize(at + (run - i));
      char* d = out.data() + at;
      for (std::size_t k = i; k < run; ++k) *d++ = static_cast<char>(text[k]);
      i = run - 1;
      continue;
    }
    char32_t cp = text[i];
    if (isHighSurrogate(cp) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (isSurrogate(cp)) {
      if (strict) return false;
      cp = kReplacement;
    }
    putUtf8(out, cp);
  }
  return true;
}

std::u16string toUtf16(std::string_view text) {
  std::u16string out;
  decode(out, text, false, false);
  return out;
}

std::string toUtf8(std::u16string_view text) {
  std::string out;
  appendUtf8(out, text, false);
  return out;
}

std::size_t validUtf8Prefix(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t cp = 0;
    std::size_t skip = 1;
    std::size_t len = decodeOne(s, text.size(), i, false, &cp, &skip);
    if (len == 0) break;
    i += len;
  }
  return i;
}

std::u16string fromGeneralizedUtf8(std::string_view text) {
  std::u16string out;
  decode(out, text, false, true);
  return out;
}

std::string toGeneralizedUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t u : text) putUtf8(out, u);
  return out;
}

}  // namespace platform::utf
