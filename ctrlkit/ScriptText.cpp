#include "ctrlkit/ScriptText.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace ctrlkit {

namespace {
// Text of ASCII alone reads the same in every ANSI code page and in UTF-8,
// so it is copied unit by unit, as the conversion would give it; the code
// page is still asked to convert one character, so that one the platform
// cannot convert fails as before. Other code pages always convert.
bool asciiReadsAsItself(UINT codePage) {
  return codePage == CP_ACP || codePage == CP_THREAD_ACP || codePage == CP_UTF8;
}

bool narrowsAscii(UINT codePage) {
  const WCHAR probe = u'A';
  char out = 0;
  return asciiReadsAsItself(codePage) && WideCharToMultiByte(codePage, 0, &probe, 1, &out, 1, nullptr, nullptr) == 1 &&
         out == 'A';
}

bool widensAscii(UINT codePage) {
  const char probe = 'A';
  WCHAR out = 0;
  return asciiReadsAsItself(codePage) && MultiByteToWideChar(codePage, 0, &probe, 1, &out, 1) == 1 && out == u'A';
}

// Eight bytes at a time: the texts are envelopes and certificates of
// kilobytes, and the scans run on every call.
bool isAscii(const WCHAR* text, std::size_t length) {
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; i + 4 <= length; i += 4) {
    std::uint64_t word;
    std::memcpy(&word, text + i, sizeof word);
    any |= word;
  }
  for (; i < length; ++i) any |= text[i];
  return (any & 0xFF80FF80FF80FF80ULL) == 0;
}

bool isAscii(const char* text, std::size_t length) {
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text + i, sizeof word);
    any |= word;
  }
  for (; i < length; ++i) any |= static_cast<unsigned char>(text[i]);
  return (any & 0x8080808080808080ULL) == 0;
}

void widenAscii(const char* __restrict text, std::size_t length, WCHAR* __restrict out) {
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<WCHAR>(text[i]);
}

void narrowAscii(const WCHAR* __restrict text, std::size_t length, char* __restrict out) {
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<char>(text[i]);
}
}  // namespace

bool isEmpty(BSTR text) { return text == nullptr || SysStringLen(text) == 0; }

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

bool hasEmbeddedNul(BSTR text) {
  if (text == nullptr) return false;
  const UINT length = SysStringLen(text);
  for (UINT i = 0; i < length; ++i)
    if (text[i] == 0) return true;
  return false;
}

CAnsiText::CAnsiText(BSTR text, UINT codePage, bool secret) : m_null(text == nullptr), m_secret(secret) {
  if (text == nullptr) return;
  if (hasEmbeddedNul(text)) throw RefusedText();
  int length = static_cast<int>(SysStringLen(text));
  if (length == 0) return;
  if (isAscii(text, static_cast<std::size_t>(length)) && narrowsAscii(codePage)) {
    m_text.resize(static_cast<std::size_t>(length));
    narrowAscii(text, static_cast<std::size_t>(length), m_text.data());
    return;
  }
  int size = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) throw std::runtime_error("text conversion failed");
  m_text.resize(static_cast<std::size_t>(size));
  if (WideCharToMultiByte(codePage, 0, text, length, m_text.data(), size, nullptr, nullptr) != size)
    throw std::runtime_error("text conversion failed");
}

CAnsiText::~CAnsiText() {
  if (m_secret && !m_text.empty()) OPENSSL_cleanse(m_text.data(), m_text.size());
}

std::u16string widen(const char* text, UINT codePage) {
  if (text == nullptr || *text == 0) return std::u16string();
  int count = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (count <= 0) throw std::runtime_error("text conversion failed");
  std::u16string out(static_cast<std::size_t>(count), u'\0');
  if (MultiByteToWideChar(codePage, 0, text, -1, out.data(), count) != count)
    throw std::runtime_error("text conversion failed");
  out.resize(static_cast<std::size_t>(count - 1));
  return out;
}

std::string narrow(const std::u16string& text, UINT codePage) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (size <= 0) throw std::runtime_error("text conversion failed");
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

HRESULT textResult(const char* text, BSTR* out, UINT codePage) {
  *out = nullptr;
  if (text == nullptr) return S_OK;
  const std::size_t length = std::strlen(text);
  if (length <= 0x7FFFFFFE && isAscii(text, length) && widensAscii(codePage)) {
    BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (b == nullptr) return E_OUTOFMEMORY;
    widenAscii(text, length, b);
    *out = b;
    return S_OK;
  }
  int count = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (count <= 0) return E_OUTOFMEMORY;
  BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(count - 1));
  if (b == nullptr) return E_OUTOFMEMORY;
  MultiByteToWideChar(codePage, 0, text, -1, b, count);
  *out = b;
  return S_OK;
}

HRESULT wideResult(const std::u16string& text, BSTR* out) {
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace ctrlkit
