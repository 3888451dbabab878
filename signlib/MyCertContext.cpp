// CMyCertContext: one certificate of the store with its display fields.
#include "signlib/MyCertContext.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "signlib/Base64.h"
#include "platform/kernel.h"

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
        if (*q == '"') quoted = !quoted;
        else if (*q == ',' && !quoted) break;
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
  try {
    if (int r = requireContext("setSerialNumber")) return r;
    const CRYPT_INTEGER_BLOB& serial = m_pCertContext->pCertInfo->SerialNumber;
    // The blob holds the content octets least significant first.
    reversed = static_cast<unsigned char*>(std::malloc(serial.cbData + 1));
    if (reversed == nullptr) {
      formatErrorText(m_szErrorText, "CMyCertContext::setSerialNumber -> Convert buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    for (DWORD i = 0; i < serial.cbData; ++i) reversed[i] = serial.pbData[serial.cbData - 1 - i];
    char* text = static_cast<char*>(std::malloc(2 * static_cast<size_t>(serial.cbData) + 1));
    if (text == nullptr) {
      std::free(reversed);
      formatErrorText(m_szErrorText,
                      "CMyCertContext::setSerialNumber -> SerialNumber buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    static const char kDigits[] = "0123456789ABCDEF";
    for (DWORD i = 0; i < serial.cbData; ++i) {
      text[2 * i] = kDigits[reversed[i] >> 4];
      text[2 * i + 1] = kDigits[reversed[i] & 0x0F];
    }
    text[2 * static_cast<size_t>(serial.cbData)] = '\0';
    std::free(reversed);
    replaceText(m_info.serialNumber, text);
    return rc::OK;
  } catch (...) {
    std::free(reversed);
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
      formatErrorText(m_szErrorText, issuer ? "CMyCertContext::setIssuer -> Issuer(X500) buffer memory allocation failed"
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
      formatErrorText(m_szErrorText, issuer
                                         ? "CMyCertContext::setIssuer -> Issuer(NonX500) buffer memory allocation failed"
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
      formatErrorText(m_szErrorText, issuer ? "CMyCertContext::setIssuer -> Issuer_CN buffer memory allocation failed"
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
          formatErrorText(m_szErrorText, "CMyCertContext::setIssuer -> Issuer(NonX500) buffer memory allocation failed");
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
    // 14 digits; room for a five-digit year all the same.
    constexpr size_t kSize = 24;
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
      formatErrorText(m_szErrorText, "CMyCertContext::covX500ToMyNameType -> destination buffer size %d < %d is not enough ",
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
      formatErrorText(m_szErrorText, "CMyCertContext::covMyNameTypeToX500 -> destination buffer size %d < %d is not enough ",
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
