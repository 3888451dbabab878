// CMyCertContext: one certificate of the store with its display fields.
#include "signlib/MyCertContext.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/kernel.h"
#include "platform/locale.h"
#include "signlib/Base64.h"
#include "signlib/MathUtils.h"

namespace {
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

void replaceText(char*& field, char* value) {
  std::free(field);
  field = value;
}

// A copy of text[from, to) on the heap, or null.
char* copyRange(const char* from, const char* to) {
  size_t n = static_cast<size_t>(to - from);
  char* out = static_cast<char*>(std::malloc(n + 1));
  if (out == nullptr) return nullptr;
  std::memcpy(out, from, n);
  out[n] = '\0';
  return out;
}

// Where the value of the first O= attribute begins in a MyNameType text, and
// where it ends (the next ',' that is not inside quotes). Null without one.
const char* findOrganisation(const char* name, const char** end) {
  bool inQuotes = false;
  bool rdnStart = true;
  for (const char* p = name; *p != '\0'; ++p) {
    if (!inQuotes && rdnStart && p[0] == 'O' && p[1] == '=') {
      const char* v = p + 2;
      const char* q = v;
      bool quoted = false;
      for (; *q != '\0'; ++q) {
        if (*q == '"')
          quoted = !quoted;
        else if (*q == ',' && !quoted)
          break;
      }
      *end = q;
      return v;
    }
    if (*p == '"') inQuotes = !inQuotes;
    rdnStart = !inQuotes && (*p == ',' || *p == ';' || *p == ' ');
  }
  return nullptr;
}
}  // namespace

CMyCertContext::CMyCertContext() : m_ftNotBeforeLocal{}, m_ftNotAfterLocal{}, m_pCertContext(nullptr) {
  std::memset(m_szErrorText, 0, sizeof m_szErrorText);
}

CMyCertContext::~CMyCertContext() {
  if (m_pCertContext != nullptr) CertFreeCertificateContext(m_pCertContext);
  std::free(m_info.serialNumber);
  std::free(m_info.issuerCN);
  std::free(m_info.notBefore);
  std::free(m_info.notAfter);
  std::free(m_info.subjectCN);
  std::free(m_info.certificate);
  std::free(m_info.issuer);
  std::free(m_info.subject);
  std::free(m_info.issuerOrg);
}

int CMyCertContext::requireContext(const char* method) {
  if (m_pCertContext != nullptr) return rc::OK;
  formatErrorText(m_szErrorText, "CMyCertContext::%s -> please call setCertContext first", method);
  return rc::OPERATION_ERROR;
}

int CMyCertContext::setCertContext(PCCERT_CONTEXT pCertContext, bool lookUpProvider, bool fromStore) {
  HCERTSTORE store = nullptr;
  PCCERT_CONTEXT incoming = nullptr;
  int result = rc::OK;
  try {
    if (pCertContext == nullptr) {
      formatErrorText(m_szErrorText, "CMyCertContext::setCertContext -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    // Take our own reference first: the caller may hand us the context we hold.
    incoming = CertDuplicateCertificateContext(pCertContext);
    if (m_pCertContext != nullptr) {
      CertFreeCertificateContext(m_pCertContext);
      m_pCertContext = nullptr;
    }
    // The provider fields belong to the certificate held before; they are
    // looked up again below when asked for.
    m_info.tokenType = 0;
    std::memset(m_info.providerName, 0, sizeof m_info.providerName);

    if (!lookUpProvider && !fromStore) {
      m_pCertContext = incoming;
      incoming = nullptr;
    } else {
      store = CertOpenSystemStoreA(0, "MY");
      if (store == nullptr) {
        formatErrorText(m_szErrorText, "CMyCertContext::setCertContext -> error  0x%x durning CertOpenSystemStore",
                        GetLastError());
        result = rc::CRYPTO_ERROR;
      } else {
        m_pCertContext = CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_EXISTING, incoming, nullptr);
        if (m_pCertContext == nullptr) {
          formatErrorText(m_szErrorText,
                          "CMyCertContext::setCertContext -> error 0x%x durning CertFindCertificateInStore",
                          GetLastError());
          result = rc::CRYPTO_ERROR;
        }
      }
    }
    if (result == rc::OK) result = setIssuer();
    if (result == rc::OK) result = setSubject();
    if (result == rc::OK) result = setSerialNumber();
    if (result == rc::OK) result = setBefore();
    if (result == rc::OK) result = setAfter();
    if (result == rc::OK) result = setVersion();
    if (result == rc::OK) result = setKeyUsage();
    if (result == rc::OK) result = getCertificate();
    if (result == rc::OK && lookUpProvider) result = setTokenType();
    if (result == rc::OK) result = setPublicKeyLength();
  } catch (...) {
    formatErrorText(m_szErrorText, "CMyCertContext::setCertContext -> unknown error");
    result = rc::UNKNOWN_ERROR;
  }
  if (incoming != nullptr) CertFreeCertificateContext(incoming);
  if (store != nullptr) CertCloseStore(store, 0);
  return result;
}

int CMyCertContext::setCertContext(const char* pchBase64Cert, bool lookUpProvider, bool fromStore) {
  unsigned char* der = nullptr;
  PCCERT_CONTEXT temp = nullptr;
  int result;
  try {
    if (pchBase64Cert == nullptr) {
      formatErrorText(m_szErrorText, "CMyCertContext::setCertContext -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    int n = static_cast<int>(std::strlen(pchBase64Cert));
    der = base64Decode(pchBase64Cert, &n);
    temp = CertCreateCertificateContext(kEncoding, der, der != nullptr ? static_cast<DWORD>(n) : 0);
    if (temp == nullptr) {
      formatErrorText(m_szErrorText, "CMyCertContext::setCertContext -> error %x durning CertCreateCertificateContext",
                      GetLastError());
      result = rc::OPERATION_ERROR;
    } else {
      result = setCertContext(temp, lookUpProvider, fromStore);
    }
  } catch (...) {
    formatErrorText(m_szErrorText, "CMyCertContext::setCertContext -> unknown error");
    result = rc::UNKNOWN_ERROR;
  }
  if (temp != nullptr) CertFreeCertificateContext(temp);
  std::free(der);
  return result;
}

int CMyCertContext::IsCertExpired() {
  try {
    if (m_pCertContext == nullptr) {
      formatErrorText(m_szErrorText, "CMyCertContext::IsCertExpired -> please call setCertContext first");
      return rc::OPERATION_ERROR;
    }
    return CertVerifyTimeValidity(nullptr, m_pCertContext->pCertInfo) != 0 ? rc::CERT_EXPIRED : rc::OK;
  } catch (...) {
    formatErrorText(m_szErrorText, "CMyCertContext::IsCertExpired -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CMyCertContext::getCertificate() {
  try {
    if (int r = requireContext("getCertificate")) return r;
    char* text = base64Encode(m_pCertContext->pbCertEncoded, static_cast<int>(m_pCertContext->cbCertEncoded));
    if (text == nullptr) {
      formatErrorText(m_szErrorText, "CMyCertContext::getCertificate -> Certificate buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    replaceText(m_info.certificate, text);
    return rc::OK;
  } catch (...) {
    formatErrorText(m_szErrorText, "CMyCertContext::getCertificate -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CMyCertContext::setSerialNumber() {
  unsigned char* reversed = nullptr;
  char* text = nullptr;
  try {
    if (int r = requireContext("setSerialNumber")) return r;
    const CRYPT_INTEGER_BLOB& serial = m_pCertContext->pCertInfo->SerialNumber;
    // The blob holds the content octets least significant first; the text
    // shows them most significant first, two digits a byte, sized 2n + 1
    // whatever the serial's length.
    reversed = static_cast<unsigned char*>(std::malloc(serial.cbData + 1));
    if (reversed == nullptr) {
      formatErrorText(m_szErrorText, "CMyCertContext::setSerialNumber -> Convert buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    CMathUtils::SwapByte(serial.pbData, serial.cbData, reversed);
    text = static_cast<char*>(std::calloc(2 * static_cast<size_t>(serial.cbData) + 1, 1));
    if (text == nullptr) {
      std::free(reversed);
      formatErrorText(m_szErrorText, "CMyCertContext::setSerialNumber -> SerialNumber buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    std::size_t written = 0;
    if (int r = Binary2Ascii(reversed, serial.cbData, text, &written)) {
      std::free(reversed);
      std::free(text);
      formatErrorText(m_szErrorText, "CMyCertContext::setSerialNumber -> error %d during Binary2Ascii.error:%s", r,
                      Binary2AsciiErrorText());
      return rc::OPERATION_ERROR;
    }
    text[written] = '\0';
    std::free(reversed);
    replaceText(m_info.serialNumber, text);
    return rc::OK;
  } catch (...) {
    std::free(reversed);
    std::free(text);
    formatErrorText(m_szErrorText, "CMyCertContext::setSerialNumber -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CMyCertContext::setIssuer() { return setName(true); }
int CMyCertContext::setSubject() { return setName(false); }

int CMyCertContext::setName(bool issuer) {
  const char* method = issuer ? "setIssuer" : "setSubject";
  char* x500 = nullptr;
  char* own = nullptr;
  char* cn = nullptr;
  char* org = nullptr;
  auto cleanup = [&] {
    std::free(x500);
    std::free(own);
    std::free(cn);
    std::free(org);
  };
  try {
    if (int r = requireContext(method)) return r;
    CERT_NAME_BLOB* blob = issuer ? &m_pCertContext->pCertInfo->Issuer : &m_pCertContext->pCertInfo->Subject;
    DWORD n = CertNameToStrA(kEncoding, blob, kNameStrComma, nullptr, 0);
    x500 = static_cast<char*>(std::calloc(n + 1, 1));
    if (x500 == nullptr) {
      formatErrorText(m_szErrorText,
                      issuer ? "CMyCertContext::setIssuer -> Issuer(X500) buffer memory allocation failed"
                             : "CMyCertContext::setSubject -> Subject(X500) buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    CertNameToStrA(kEncoding, blob, kNameStrComma, x500, n);

    int x500Len = static_cast<int>(std::strlen(x500));
    int ownLen = 0;
    if (int r = covX500ToMyNameType(x500, x500Len, nullptr, &ownLen)) {
      cleanup();
      return r;
    }
    own = static_cast<char*>(std::calloc(static_cast<size_t>(ownLen) + 1, 1));
    if (own == nullptr) {
      cleanup();
      formatErrorText(m_szErrorText,
                      issuer ? "CMyCertContext::setIssuer -> Issuer(NonX500) buffer memory allocation failed"
                             : "CMyCertContext::setSubject -> Subject(NonX500) buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    if (int r = covX500ToMyNameType(x500, x500Len, own, &ownLen)) {
      cleanup();
      return r;
    }

    DWORD flags = issuer ? CERT_NAME_ISSUER_FLAG : 0;
    DWORD cnLen = CertGetNameStringA(m_pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, nullptr, 0);
    cn = static_cast<char*>(std::calloc(cnLen + 1, 1));
    if (cn == nullptr) {
      cleanup();
      formatErrorText(m_szErrorText, issuer
                                         ? "CMyCertContext::setIssuer -> Issuer_CN buffer memory allocation failed"
                                         : "CMyCertContext::setIssuer -> Subject_CN buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    CertGetNameStringA(m_pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, cn, cnLen);

    if (issuer) {
      const char* end = nullptr;
      if (const char* value = findOrganisation(own, &end)) {
        org = copyRange(value, end);
        if (org == nullptr) {
          cleanup();
          formatErrorText(m_szErrorText,
                          "CMyCertContext::setIssuer -> Issuer(NonX500) buffer memory allocation failed");
          return rc::OUT_OF_MEMORY;
        }
      }
    }
    std::free(x500);
    x500 = nullptr;
    if (issuer) {
      replaceText(m_info.issuer, own);
      replaceText(m_info.issuerCN, cn);
      replaceText(m_info.issuerOrg, org);
    } else {
      replaceText(m_info.subject, own);
      replaceText(m_info.subjectCN, cn);
    }
    own = cn = org = nullptr;
    return rc::OK;
  } catch (...) {
    cleanup();
    formatErrorText(m_szErrorText, "CMyCertContext::%s -> unknown error", method);
    return rc::UNKNOWN_ERROR;
  }
}

int CMyCertContext::setBefore() { return setDate(true); }
int CMyCertContext::setAfter() { return setDate(false); }

int CMyCertContext::setDate(bool before) {
  const char* method = before ? "setBefore" : "setAfter";
  try {
    if (int r = requireContext(method)) return r;
    const FILETIME& utc = before ? m_pCertContext->pCertInfo->NotBefore : m_pCertContext->pCertInfo->NotAfter;
    FILETIME local{};
    if (!FileTimeToLocalFileTime(&utc, &local)) {
      formatErrorText(m_szErrorText, "CMyCertContext::%s -> error %d durning FileTimeToLocalFileTime", method,
                      static_cast<int>(GetLastError()));
      return rc::OPERATION_ERROR;
    }
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&local, &st)) {
      formatErrorText(m_szErrorText, "CMyCertContext::%s -> error %d durning FileTimeToSystemTime", method,
                      static_cast<int>(GetLastError()));
      return rc::OPERATION_ERROR;
    }
    // 14 digits; room for any field value all the same.
    constexpr size_t kSize = 32;
    char* text = static_cast<char*>(std::malloc(kSize));
    if (text == nullptr) {
      formatErrorText(m_szErrorText, before ? "CMyCertContext::setBefore -> Before time buffer memory allocation failed"
                                            : "CMyCertContext::setAfter -> After time buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    std::snprintf(text, kSize, "%04d%02d%02d%02d%02d%02d", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                  st.wSecond);
    if (before) {
      m_ftNotBeforeLocal = local;
      replaceText(m_info.notBefore, text);
    } else {
      m_ftNotAfterLocal = local;
      replaceText(m_info.notAfter, text);
    }
    return rc::OK;
  } catch (...) {
    formatErrorText(m_szErrorText, "CMyCertContext::%s -> unknown error", method);
    return rc::UNKNOWN_ERROR;
  }
}

int CMyCertContext::setVersion() {
  try {
    if (int r = requireContext("setVersion")) return r;
    m_info.version = static_cast<int>(m_pCertContext->pCertInfo->dwVersion);
    return rc::OK;
  } catch (...) {
    formatErrorText(m_szErrorText, "CMyCertContext::setVersion -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CMyCertContext::setKeyUsage() {
  try {
    if (int r = requireContext("setKeyUsage")) return r;
    BYTE usage = 0;
    if (!CertGetIntendedKeyUsage(kEncoding, m_pCertContext->pCertInfo, &usage, 1)) {
      m_info.keyUsage = 0;  // no key-usage extension
      return rc::OK;
    }
    bool sign = (usage & CERT_DIGITAL_SIGNATURE_KEY_USAGE) != 0;
    bool keyEnc = (usage & CERT_KEY_ENCIPHERMENT_KEY_USAGE) != 0;
    bool dataEnc = (usage & CERT_DATA_ENCIPHERMENT_KEY_USAGE) != 0;
    bool agree = (usage & CERT_KEY_AGREEMENT_KEY_USAGE) != 0;
    if (!keyEnc)
      m_info.keyUsage = sign ? 1 : 0;
    else
      m_info.keyUsage = (!sign || dataEnc || agree) ? 2 : 1;
    return rc::OK;
  } catch (...) {
    formatErrorText(m_szErrorText, "CMyCertContext::setKeyUsage -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CMyCertContext::setTokenType() {
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
  BOOL callerFree = FALSE;
  try {
    if (int r = requireContext("setTokenType")) return r;
    std::memset(m_info.providerName, 0, sizeof m_info.providerName);
    DWORD keySpec = 0;
    if (!CryptAcquireCertificatePrivateKey(m_pCertContext, CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &prov, &keySpec,
                                           &callerFree)) {
      formatErrorText(m_szErrorText,
                      "CMyCertContext::setTokenType -> error 0x%x during CryptAcquireCertificatePrivateKey",
                      GetLastError());
      m_info.tokenType = 1;
      return rc::OK;
    }
    char name[sizeof m_info.providerName] = {};
    DWORD len = sizeof name;
    if (!CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &len, 0)) {
      formatErrorText(m_szErrorText, "CMyCertContext::setTokenType -> error 0x%x during CryptGetProvParam",
                      GetLastError());
      m_info.tokenType = 1;
    } else {
      name[sizeof name - 1] = '\0';
      std::memcpy(m_info.providerName, name, sizeof name);
      m_info.tokenType = std::strstr(name, "Microsoft") != nullptr ? 2 : 1;
    }
    if (callerFree) CryptReleaseContext(prov, 0);
    return rc::OK;
  } catch (...) {
    if (callerFree && prov != 0) CryptReleaseContext(prov, 0);
    formatErrorText(m_szErrorText, "CMyCertContext::setTokenType -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CMyCertContext::setPublicKeyLength() {
  try {
    if (int r = requireContext("getCertificate")) return r;
    m_info.publicKeyLength =
        static_cast<int>(CertGetPublicKeyLength(kEncoding, &m_pCertContext->pCertInfo->SubjectPublicKeyInfo));
    return rc::OK;
  } catch (...) {
    formatErrorText(m_szErrorText, "CMyCertContext::getCertificate -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CMyCertContext::covX500ToMyNameType(const char* pchX500, int iX500Len, char* pchDest, int* piDestLen) {
  char* source = nullptr;
  char* joined = nullptr;
  try {
    if (pchX500 == nullptr || piDestLen == nullptr) {
      formatErrorText(m_szErrorText, "CMyCertContext::covX500ToMyNameType -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    size_t len = iX500Len < 0 ? std::strlen(pchX500) : strnlen(pchX500, static_cast<size_t>(iX500Len));
    source = copyRange(pchX500, pchX500 + len);
    if (source == nullptr) {
      formatErrorText(m_szErrorText, "CMyCertContext::covX500ToMyNameType -> (1) temp buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    joined = static_cast<char*>(std::malloc(len + 1));
    if (joined == nullptr) {
      std::free(source);
      formatErrorText(m_szErrorText, "CMyCertContext::covX500ToMyNameType -> (2) temp buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    // Each ", " becomes ",".
    size_t out = 0;
    for (size_t i = 0; i < len; ++i) {
      joined[out++] = source[i];
      if (source[i] == ',' && i + 1 < len && source[i + 1] == ' ') ++i;
    }
    joined[out] = '\0';
    int needed = static_cast<int>(out + 1);
    int result = rc::OK;
    if (pchDest == nullptr) {
      *piDestLen = needed;
    } else if (*piDestLen < needed) {
      formatErrorText(m_szErrorText,
                      "CMyCertContext::covX500ToMyNameType -> destination buffer size %d < %d is not enough ",
                      *piDestLen, needed);
      result = rc::WRONG_PARAMETER;
    } else {
      std::memcpy(pchDest, joined, static_cast<size_t>(needed));
    }
    std::free(source);
    std::free(joined);
    return result;
  } catch (...) {
    std::free(source);
    std::free(joined);
    formatErrorText(m_szErrorText, "CMyCertContext::covX500ToMyNameType -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CMyCertContext::covMyNameTypeToX500(const char* pchMyName, int iMyNameLen, char* pchDest, int* piDestLen,
                                        DWORD* pdwStrType) {
  char* source = nullptr;
  char* spaced = nullptr;
  try {
    if (pchMyName == nullptr || piDestLen == nullptr) {
      formatErrorText(m_szErrorText, "CMyCertContext::covMyNameTypeToX500 -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    size_t len = iMyNameLen < 0 ? std::strlen(pchMyName) : strnlen(pchMyName, static_cast<size_t>(iMyNameLen));
    source = copyRange(pchMyName, pchMyName + len);
    if (source == nullptr) {
      formatErrorText(m_szErrorText, "CMyCertContext::covMyNameTypeToX500 -> (1) temp buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    const bool semicolon = std::strchr(source, ';') != nullptr;
    const char sep = semicolon ? ';' : ',';
    if (pdwStrType != nullptr) *pdwStrType = semicolon ? kNameStrSemicolon : kNameStrComma;
    spaced = static_cast<char*>(std::malloc(2 * len + 1));
    if (spaced == nullptr) {
      std::free(source);
      formatErrorText(m_szErrorText, "CMyCertContext::covMyNameTypeToX500 -> (2) temp buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    // A blank after each separator that has none.
    size_t out = 0;
    for (size_t i = 0; i < len; ++i) {
      spaced[out++] = source[i];
      if (source[i] == sep && (i + 1 >= len || source[i + 1] != ' ')) spaced[out++] = ' ';
    }
    spaced[out] = '\0';
    int needed = static_cast<int>(out + 1);
    int result = rc::OK;
    if (pchDest == nullptr) {
      *piDestLen = needed;
    } else if (*piDestLen < needed) {
      formatErrorText(m_szErrorText,
                      "CMyCertContext::covMyNameTypeToX500 -> destination buffer size %d < %d is not enough ",
                      *piDestLen, needed);
      result = rc::WRONG_PARAMETER;
    } else {
      std::memcpy(pchDest, spaced, static_cast<size_t>(needed));
    }
    std::free(source);
    std::free(spaced);
    return result;
  } catch (...) {
    std::free(source);
    std::free(spaced);
    formatErrorText(m_szErrorText, "CMyCertContext::covMyNameTypeToX500 -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

// ---------------------------------------------------------------------------
// Diagnostic dump of a name, and a context from Base64 text

namespace {
// A value as 8-bit text of the ANSI code page: UTF-16 values (BMPString and
// UTF8String, as the name decoder gives them) are converted, UniversalString
// values taken as code points, others are their bytes.
std::string valueText(const CERT_RDN_ATTR& a) {
  const CERT_RDN_VALUE_BLOB& v = a.Value;
  if (v.pbData == nullptr || v.cbData == 0) return std::string();
  std::u16string wide;
  if (a.dwValueType == CERT_RDN_BMP_STRING || a.dwValueType == CERT_RDN_UTF8_STRING) {
    for (DWORD i = 0; i + 1 < v.cbData; i += 2)
      wide.push_back(static_cast<char16_t>(v.pbData[i] | (v.pbData[i + 1] << 8)));
  } else if (a.dwValueType == CERT_RDN_UNIVERSAL_STRING) {
    for (DWORD i = 0; i + 3 < v.cbData; i += 4) {
      uint32_t c = v.pbData[i] | (v.pbData[i + 1] << 8) | (v.pbData[i + 2] << 16) |
                   (static_cast<uint32_t>(v.pbData[i + 3]) << 24);
      if (c >= 0x10000 && c <= 0x10FFFF) {
        c -= 0x10000;
        wide.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        wide.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
      } else {
        wide.push_back(static_cast<char16_t>(c <= 0xFFFF ? c : 0xFFFD));
      }
    }
  } else {
    return std::string(reinterpret_cast<const char*>(v.pbData), v.cbData);
  }
  if (wide.empty()) return std::string();
  int n = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(wide.data()), static_cast<int>(wide.size()), nullptr,
                              0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0)
    WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWSTR>(wide.data()), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
  return out;
}
}  // namespace

int CMyCertContext::extractCertNameBlob(const CERT_NAME_BLOB* name, const char* path) {
  FILE* f = nullptr;
  BYTE* decoded = nullptr;
  try {
    f = path != nullptr ? crt_fopen(path, "a+") : nullptr;
    if (f == nullptr) return -1;
    std::fputs("==================================\n", f);
    DWORD size = 0;
    if (name == nullptr || !CryptDecodeObject(kEncoding, CRYPT_X509_NAME, name->pbData, name->cbData,
                                              CRYPT_DECODE_NOCOPY_FLAG, nullptr, &size)) {
      std::fprintf(f, "CMyCertContext::extractCertNameBlob -> error %x durning CryptDecodeObject1\n",
                   name == nullptr ? static_cast<unsigned>(E_INVALIDARG) : static_cast<unsigned>(GetLastError()));
      std::fclose(f);
      f = nullptr;
      return rc::CRYPTO_ERROR;
    }
    decoded = static_cast<BYTE*>(std::malloc(size));
    if (decoded == nullptr) {
      std::fputs("CMyCertContext::extractCertNameBlob -> Decode buffer memory allocation failed\n", f);
      std::fclose(f);
      f = nullptr;
      return rc::OUT_OF_MEMORY;
    }
    if (!CryptDecodeObject(kEncoding, CRYPT_X509_NAME, name->pbData, name->cbData, CRYPT_DECODE_NOCOPY_FLAG, decoded,
                           &size)) {
      std::fprintf(f, "CMyCertContext::extractCertNameBlob -> error %x durning CryptDecodeObject2\n",
                   static_cast<unsigned>(GetLastError()));
      std::free(decoded);
      decoded = nullptr;
      std::fclose(f);
      f = nullptr;
      return rc::CRYPTO_ERROR;
    }
    const auto* info = reinterpret_cast<const CERT_NAME_INFO*>(decoded);
    for (DWORD r = 0; r < info->cRDN; ++r) {
      for (DWORD k = 0; k < info->rgRDN[r].cRDNAttr; ++k) {
        const CERT_RDN_ATTR& a = info->rgRDN[r].rgRDNAttr[k];
        std::fprintf(f, "Value Type = %d \n", static_cast<int>(a.dwValueType));
        // Each value with its own length: it need not end in a NUL, and may hold one.
        const std::string v = valueText(a);
        const int n = static_cast<int>(v.size());
        if (std::strcmp(a.pszObjId, szOID_COMMON_NAME) == 0)
          std::fprintf(f, "CN = %.*s \n", n, v.data());
        else if (std::strcmp(a.pszObjId, szOID_COUNTRY_NAME) == 0)
          std::fprintf(f, "C = %.*s\n", n, v.data());
        else if (std::strcmp(a.pszObjId, szOID_ORGANIZATION_NAME) == 0)
          std::fprintf(f, "O = %.*s\n", n, v.data());
        else if (std::strcmp(a.pszObjId, szOID_ORGANIZATIONAL_UNIT_NAME) == 0)
          std::fprintf(f, "OU = %.*s\n", n, v.data());
        else
          std::fprintf(f, "OID.%s = %.*s\n", a.pszObjId, n, v.data());
      }
    }
    std::fputs("==================================\n", f);
    std::free(decoded);
    decoded = nullptr;
    std::fclose(f);
    f = nullptr;
    return rc::OK;
  } catch (...) {
    std::free(decoded);
    if (f != nullptr) {
      std::fputs("CMyCertContext::extractCertNameBlob -> unknown error\n", f);
      std::fclose(f);
    }
    return rc::UNKNOWN_ERROR;
  }
}

int CMyCertContext::b64Cert_2_CertContext(const char* pchCertB64, PCCERT_CONTEXT* pCertContext) {
  unsigned char* der = nullptr;
  try {
    if (pchCertB64 == nullptr) {
      formatErrorText(m_szErrorText, "CMyCertContext::b64Cert_2_CertContext -> parameter error(pchCertB64)");
      return rc::WRONG_PARAMETER;
    }
    if (pCertContext == nullptr || *pCertContext != nullptr) {
      formatErrorText(m_szErrorText,
                      "CMyCertContext::b64Cert_2_CertContext -> parameter error(pCertContext should be null)");
      return rc::WRONG_PARAMETER;
    }
    int n = static_cast<int>(std::strlen(pchCertB64));
    der = base64Decode(pchCertB64, &n);
    PCCERT_CONTEXT made =
        der != nullptr ? CertCreateCertificateContext(kEncoding, der, static_cast<DWORD>(n)) : nullptr;
    if (made == nullptr) {
      formatErrorText(m_szErrorText,
                      "CMyCertContext::b64Cert_2_CertContext -> error %x durning CertCreateCertificateContext",
                      der != nullptr ? GetLastError() : static_cast<DWORD>(CRYPT_E_ASN1_EOD));
      std::free(der);
      return rc::OPERATION_ERROR;
    }
    std::free(der);
    *pCertContext = made;
    return rc::OK;
  } catch (...) {
    std::free(der);
    formatErrorText(m_szErrorText, "CMyCertContext::b64Cert_2_CertContext -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}
