#include "signlib/PKCS7SignatureClient.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <openssl/crypto.h>

#include "platform/crypt.h"
#include "platform/kernel.h"
#include "signlib/Base64.h"
#include "signlib/EnvelopeFile.h"
#include "signlib/PKCS11TokenUtil.h"
#include "signlib/PKCS7MsgUtils.h"
#include "signlib/SignatureCheck.h"

namespace {
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

void wipePin(char (&pin)[CPKCS7SignatureClient::PIN_SIZE]) { OPENSSL_cleanse(pin, sizeof pin); }

// The permissions fopen gives a new file: 0666 less the process's umask
// (read, not set: setting it would race with other threads), owner-only
// when it cannot be read.
mode_t newFileMode() {
  mode_t mask = 077;
  if (FILE* f = std::fopen("/proc/self/status", "re")) {
    char line[128];
    unsigned value = 0;
    while (std::fgets(line, sizeof line, f) != nullptr)
      if (std::sscanf(line, "Umask: %o", &value) == 1) mask = static_cast<mode_t>(value);
    std::fclose(f);
  }
  return 0666 & ~mask;
}

// Everything loginSmartCard holds, released on every way out.
struct LoginResources {
  unsigned char* der = nullptr;
  PCCERT_CONTEXT given = nullptr;
  HCERTSTORE store = nullptr;
  PCCERT_CONTEXT found = nullptr;
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
  BOOL callerFree = FALSE;
  ~LoginResources() {
    if (callerFree && prov != 0) CryptReleaseContext(prov, 0);
    if (found != nullptr) CertFreeCertificateContext(found);
    if (given != nullptr) CertFreeCertificateContext(given);
    if (store != nullptr) CertCloseStore(store, 0);
    std::free(der);
  }
};
}  // namespace

CPKCS7SignatureClient::CPKCS7SignatureClient(const SignVariant& variant) : m_variant(&variant) {
  std::memset(m_szPinState, 0, sizeof m_szPinState);
  std::strcpy(m_szPinState, NO_LOGIN_MARKER);
  std::memset(m_szProvider, 0, sizeof m_szProvider);
  std::strcpy(m_szProvider, CAPI_PROVIDER);
  std::memset(m_szErrorText, 0, sizeof m_szErrorText);
}

CPKCS7SignatureClient::~CPKCS7SignatureClient() {
  std::free(m_pchResultText);
  if (m_pchDataContent != nullptr) OPENSSL_cleanse(m_pchDataContent, m_dataContentLength);
  std::free(m_pchDataContent);
  clearSigners();
  std::free(m_puchResultDER);
  for (int i = 0; i < m_iIllegalPINCount; ++i) {
    if (m_ppchIllegalPIN[i] != nullptr) OPENSSL_cleanse(m_ppchIllegalPIN[i], std::strlen(m_ppchIllegalPIN[i]));
    std::free(m_ppchIllegalPIN[i]);
  }
  std::free(m_ppchIllegalPIN);
  std::free(m_pdwCancelCodes);
  std::free(m_pdwWrongPasswordCodes);
}

bool CPKCS7SignatureClient::isCAPIProvider() const {
  return std::memcmp(m_szProvider, CAPI_PROVIDER, std::strlen(CAPI_PROVIDER) + 1) == 0;
}

void CPKCS7SignatureClient::clearSigners() {
  for (int i = 0; i < m_iSignerCount; ++i) std::free(m_ppchSignerCertificates[i]);
  std::free(m_ppchSignerCertificates);
  m_ppchSignerCertificates = nullptr;
  m_iSignerCount = 0;
}

// The envelope belongs to the data it was made for: new data drops it.
void CPKCS7SignatureClient::clearEnvelope() {
  m_envelopeBuilt = false;
  std::free(m_puchResultDER);
  m_puchResultDER = nullptr;
  m_iResultLength = 0;
  m_resultChecked = false;
}

// ---------------------------------------------------------------------------
// Data

int CPKCS7SignatureClient::setDataContentByString(const char* text) {
  try {
    if (text == nullptr) {
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::setDataContentByString -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    clearSigners();
    clearEnvelope();
    if (m_pchDataContent != nullptr) OPENSSL_cleanse(m_pchDataContent, m_dataContentLength);
    std::free(m_pchDataContent);
    m_pchDataContent = nullptr;
    m_dataContentLength = 0;
    const std::size_t n = std::strlen(text);
    char* copy = static_cast<char*>(std::malloc(n + 1));
    if (copy == nullptr) {
      formatErrorText(m_szErrorText,
                      "CPKCS7SignatureClient::setDataContentByString -> DataContent buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    std::memcpy(copy, text, n + 1);
    m_pchDataContent = copy;
    m_dataContentLength = n;
    return rc::OK;
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::setDataContentByString -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS7SignatureClient::setDataContentByFile(const char* path) {
  FILE* f = nullptr;
  try {
    if (m_pchDataContent != nullptr) OPENSSL_cleanse(m_pchDataContent, m_dataContentLength);
    std::free(m_pchDataContent);
    m_pchDataContent = nullptr;
    m_dataContentLength = 0;
    clearSigners();
    clearEnvelope();
    struct _stat64 st {};
    if (path == nullptr || _stat64(path, &st) != 0) {
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::setDataContentByFile -> error during _stat %s",
                      path != nullptr ? path : "(null)");
      return rc::FILE_NOT_FOUND;
    }
    // A FIFO or a device would block the page's thread for ever, or never
    // end: only a regular file is read; anything else cannot be read.
    auto notRegular = [&](mode_t mode) {
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::setDataContentByFile -> error %d during fread %s",
                      S_ISDIR(mode) ? EISDIR : EINVAL, path);
      return rc::OPERATION_ERROR;
    };
    if (!S_ISREG(st.st_mode)) return notRegular(st.st_mode);
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > MAX_DATA_CONTENT) {
      formatErrorText(m_szErrorText,
                      "CPKCS7SignatureClient::setDataContentByFile -> DataContent buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    // The file is opened without waiting and looked at again through the
    // descriptor: what was a regular file at the stat may not be one now.
    std::string mapped(std::strlen(path) + std::strlen(PlatformRoot()) + 16, '\0');
    SIZE_T mappedLength = PlatformMapPath(path, mapped.data(), mapped.size());
    int fd = mappedLength > 0 ? open(mapped.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY) : -1;
    struct stat opened {};
    if (fd >= 0 && fstat(fd, &opened) != 0) {
      close(fd);
      fd = -1;
    }
    if (fd >= 0 && !S_ISREG(opened.st_mode)) {
      close(fd);
      return notRegular(opened.st_mode);
    }
    if (fd >= 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
      close(fd);
      fd = -1;
    }
    f = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (f == nullptr) {
      if (fd >= 0) close(fd);
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::setDataContentByFile -> error during fopen %s", path);
      return rc::FILE_NOT_FOUND;
    }
    if (static_cast<unsigned long long>(opened.st_size) > MAX_DATA_CONTENT) {
      std::fclose(f);
      f = nullptr;
      formatErrorText(m_szErrorText,
                      "CPKCS7SignatureClient::setDataContentByFile -> DataContent buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    const unsigned long long size = static_cast<unsigned long long>(opened.st_size);
    char* data = static_cast<char*>(std::calloc(static_cast<std::size_t>(size) + 1, 1));
    if (data == nullptr) {
      std::fclose(f);
      f = nullptr;
      formatErrorText(m_szErrorText,
                      "CPKCS7SignatureClient::setDataContentByFile -> DataContent buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    std::size_t got = 0;
    while (got < size) {
      std::size_t n = std::fread(data + got, 1, static_cast<std::size_t>(size) - got, f);
      if (n == 0) break;
      got += n;
    }
    if (std::ferror(f)) {
      std::fclose(f);
      f = nullptr;
      OPENSSL_cleanse(data, got);
      std::free(data);
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::setDataContentByFile -> error %d during fread %s",
                      static_cast<int>(GetLastError()), path);
      return rc::OPERATION_ERROR;
    }
    std::fclose(f);
    f = nullptr;
    m_pchDataContent = data;
    m_dataContentLength = got;  // a file that shrank meanwhile gives what it still held
    return rc::OK;
  } catch (...) {
    if (f != nullptr) std::fclose(f);
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::setDataContentByFile -> unknown error %d",
                    static_cast<int>(GetLastError()));
    return rc::UNKNOWN_ERROR;
  }
}

// ---------------------------------------------------------------------------
// Signing

int CPKCS7SignatureClient::signData(const char* certificate, const char* digestMethod, const char* signatureMethod) {
  try {
    if (isCAPIProvider()) return sign(certificate, digestMethod, signatureMethod);
    return signByPKCS11(certificate, digestMethod, signatureMethod);
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::signData -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS7SignatureClient::sign(const char* certificate, const char* digestMethod, const char* signatureMethod) {
  try {
    if (certificate == nullptr || digestMethod == nullptr || signatureMethod == nullptr ||
        std::strcmp(digestMethod, "SHA1") != 0 || std::strcmp(signatureMethod, "RSA") != 0) {
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::sign -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    if (int r = loginSmartCard(certificate)) return r;
    char** grown = static_cast<char**>(
        std::realloc(m_ppchSignerCertificates, sizeof(char*) * static_cast<std::size_t>(m_iSignerCount + 1)));
    if (grown == nullptr) {
      formatErrorText(m_szErrorText,
                      "CPKCS7SignatureClient::sign -> Array of Certificate buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    m_ppchSignerCertificates = grown;
    const std::size_t n = std::strlen(certificate);
    char* copy = static_cast<char*>(std::malloc(n + 1));
    if (copy == nullptr) {
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::sign -> Certificate buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    std::memcpy(copy, certificate, n + 1);
    m_ppchSignerCertificates[m_iSignerCount++] = copy;
    return rc::OK;
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::sign -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS7SignatureClient::loginSmartCard(const char* certificate) {
  return loginSmartCard(certificate, nullptr, nullptr, nullptr);
}

int CPKCS7SignatureClient::loginSmartCard(const char* certificate, HCRYPTPROV* provider, DWORD* keySpec,
                                          BOOL* callerFree) {
  char pin[PIN_SIZE] = {};
  int code;
  try {
    AcquiredKey key;
    const bool handOut = provider != nullptr && keySpec != nullptr && callerFree != nullptr;
    code = loginImpl(certificate, pin, handOut ? &key : nullptr);
    if (code == rc::OK && handOut) {
      *provider = key.provider;
      *keySpec = key.keySpec;
      *callerFree = key.callerFree;
    }
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::loginSmartCard -> unknown error");
    code = rc::UNKNOWN_ERROR;
  }
  wipePin(pin);
  return code;
}

int CPKCS7SignatureClient::loginImpl(const char* certificate, char (&pin)[PIN_SIZE], AcquiredKey* key) {
  LoginResources r;

  int n = certificate != nullptr ? static_cast<int>(std::strlen(certificate)) : 0;
  r.der = certificate != nullptr ? base64Decode(certificate, &n) : nullptr;
  if (r.der != nullptr) r.given = CertCreateCertificateContext(kEncoding, r.der, static_cast<DWORD>(n));
  if (r.given == nullptr) {
    formatErrorText(m_szErrorText,
                    "CPKCS7SignatureClient::loginSmartCard -> error 0x%x durning CertCreateCertificateContext",
                    r.der != nullptr ? GetLastError() : static_cast<DWORD>(CRYPT_E_ASN1_EOD));
    return rc::CRYPTO_ERROR;
  }
  r.store = CertOpenSystemStoreA(0, "MY");
  if (r.store == nullptr) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::loginSmartCard -> error  0x%x durning CertOpenSystemStore",
                    GetLastError());
    return rc::CRYPTO_ERROR;
  }
  r.found = CertFindCertificateInStore(r.store, kEncoding, 0, CERT_FIND_EXISTING, r.given, nullptr);
  if (r.found == nullptr) {
    formatErrorText(m_szErrorText,
                    "CPKCS7SignatureClient::loginSmartCard -> error 0x%x durning CertFindCertificateInStore",
                    GetLastError());
    return rc::CRYPTO_ERROR;
  }
  DWORD keySpec = 0;
  // The key must be the certificate's own: a replaced or damaged key file
  // would otherwise sign, and the page tell its customer "signed", with a
  // signature nobody can verify.
  if (!CryptAcquireCertificatePrivateKey(r.found, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &r.prov, &keySpec,
                                         &r.callerFree)) {
    formatErrorText(m_szErrorText,
                    "CPKCS7SignatureClient::loginSmartCard -> error 0x%x during CryptAcquireCertificatePrivateKey",
                    GetLastError());
    return rc::CRYPTO_ERROR;
  }
  // On success the acquired provider goes to the caller who asked for it.
  auto succeed = [&]() {
    if (key != nullptr) {
      key->provider = r.prov;
      key->keySpec = keySpec;
      key->callerFree = r.callerFree;
      r.prov = 0;
      r.callerFree = FALSE;
    }
    return rc::OK;
  };
  char name[128] = {};
  DWORD nameLength = sizeof name;
  if (!CryptGetProvParam(r.prov, PP_NAME, reinterpret_cast<BYTE*>(name), &nameLength, 0)) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::loginSmartCard -> error 0x%x during CryptGetProvParam",
                    GetLastError());
    return rc::CRYPTO_ERROR;
  }
  name[sizeof name - 1] = '\0';
  // The system's own software providers hold no PIN.
  if (std::strstr(name, "Microsoft") != nullptr) return succeed();

  const bool noLogin = std::strcmp(m_szPinState, NO_LOGIN_MARKER) == 0;
  if (!EnableLoginAgency) {
    const char* given = std::strcmp(name, "Datakey RSA CSP") == 0 ? NO_LOGIN_MARKER : nullptr;
    if (!PWDCatch) {
      CryptSetProvParam(r.prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(given), 0);
    } else if (noLogin) {
      CryptSetProvParam(r.prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(given), 0);
      std::memset(m_szPinState, 0, sizeof m_szPinState);
      std::strcpy(m_szPinState, LOGINED);
    }
    return succeed();
  }
  if (PWDCatch && !noLogin) return succeed();  // the earlier login stands
  int code = setUILoginSmartCard(certificate, pin);
  if (code != rc::OK) return code;
  pin[PIN_SIZE - 1] = '\0';
  if (!CryptSetProvParam(r.prov, PP_KEYEXCHANGE_PIN, reinterpret_cast<const BYTE*>(pin), 0)) {
    DWORD error = GetLastError();
    if (CPKCS7MsgUtils::isInArray(m_pdwWrongPasswordCodes, m_iWrongPasswordCodeCount, error)) return rc::PASSWORD_ERROR;
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::loginSmartCard -> error 0x%x during CryptSetProvParam",
                    error);
    return rc::CRYPTO_ERROR;
  }
  if (m_iIllegalPINCount > 0 && isIllegalPIN(pin)) {
    // The provider must not go on signing with a PIN that was refused.
    CryptSetProvParam(r.prov, PP_KEYEXCHANGE_PIN, nullptr, 0);
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::loginSmartCard -> can't sign by IllegalPIN");
    return rc::TOKEN_PIN_ILLEGAL;
  }
  if (PWDCatch) {
    std::memset(m_szPinState, 0, sizeof m_szPinState);
    std::strcpy(m_szPinState, LOGINED);
  }
  return succeed();
}

int CPKCS7SignatureClient::signByPKCS11(const char* certificate, const char* digestMethod,
                                        const char* signatureMethod) {
  char pin[PIN_SIZE] = {};
  int code;
  try {
    code = signByPKCS11Impl(certificate, digestMethod, signatureMethod, pin);
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::signByPKCS11 -> unknown error");
    code = rc::UNKNOWN_ERROR;
  }
  wipePin(pin);
  return code;
}

int CPKCS7SignatureClient::signByPKCS11Impl(const char* certificate, const char* digestMethod,
                                            const char* signatureMethod, char (&pin)[PIN_SIZE]) {
  // The message of an earlier signature goes first: after a failed sign the
  // page must find no envelope, rather than the one it had before.
  std::free(m_puchResultDER);
  m_puchResultDER = nullptr;
  m_iResultLength = 0;
  m_resultChecked = false;
  // One token client for this call alone: its destructor logs out, closes,
  // finalises and unloads, whichever way the call ends.
  CPKCS11TokenUtil token(*m_variant);
  int code = token.init(m_szProvider);
  if (code != rc::OK) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::signByPKCS11 -> %s", token.getErrorText());
    return code;
  }
  code = setUILoginSmartCard(certificate, pin);
  if (code != rc::OK) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::signByPKCS11 -> %s", token.getErrorText());
    return code;
  }
  pin[PIN_SIZE - 1] = '\0';
  // Exactly the bytes of the data content, NUL bytes included.
  unsigned char* der = nullptr;
  int derLength = 0;
  code =
      token.signPKCS7(pin, certificate, digestMethod, signatureMethod,
                      reinterpret_cast<const unsigned char*>(m_pchDataContent), m_dataContentLength, &der, &derLength);
  if (code != rc::OK) {
    OPENSSL_free(der);
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::signByPKCS11 -> %s", token.getErrorText());
    return code;
  }
  unsigned char* kept =
      static_cast<unsigned char*>(std::malloc(derLength > 0 ? static_cast<std::size_t>(derLength) : 1));
  if (kept == nullptr) {
    OPENSSL_free(der);
    formatErrorText(m_szErrorText,
                    "CPKCS7SignatureClient::signByPKCS11 -> m_puchResultDER buffer memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  std::memcpy(kept, der, static_cast<std::size_t>(derLength));
  OPENSSL_free(der);
  // The new message is kept aside until the whole call has succeeded; a
  // token key that is not the certificate's (another key under its
  // identifier, a damaged key) signs, but that signature is refused here.
  std::unique_ptr<unsigned char, decltype(&std::free)> aside(kept, &std::free);
  if (!sigcheck::signedDataVerifies(kept, static_cast<std::size_t>(derLength), nullptr)) {
    formatErrorText(m_szErrorText,
                    "CPKCS7SignatureClient::signByPKCS11 -> the signature does not verify with the signer certificate");
    return rc::CRYPTO_ERROR;
  }
  if (!PWDCatch) {
    code = token.Logout();
    if (code != rc::OK) {
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::signByPKCS11 -> %s", token.getErrorText());
      return code;
    }
  }
  m_puchResultDER = aside.release();
  m_iResultLength = derLength;
  m_resultChecked = true;
  return rc::OK;
}

// ---------------------------------------------------------------------------
// Envelopes

int CPKCS7SignatureClient::getSignedEnvelopeString(char* buffer, int* length) {
  try {
    if (isCAPIProvider()) return getSignedEnvelopeByString(buffer, length);
    return getSignedEnvelopeStringByPKCS11(buffer, length);
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::getSignedEnvelopeString -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS7SignatureClient::writeSignedEnvelopeFile(const char* path) {
  try {
    if (isCAPIProvider()) return getSignedEnvelopeByFile(path);
    return getSignedEnvelopeFileByPKCS11(path);
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::writeSignedEnvelopeFile -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

// The Base64 text of the DER this client holds, into the result text and,
// when it fits, the caller's buffer.
int CPKCS7SignatureClient::giveText(const char* method, char* buffer, int* length) {
  const int capacity = *length;
  *length = 0;
  if (m_puchResultDER == nullptr || m_iResultLength <= 0) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::%s -> error during m_puchResultDER is null", method);
    return rc::OPERATION_ERROR;
  }
  if (int r = checkEnvelope(method)) return r;
  m_pchResultText = base64Encode(m_puchResultDER, m_iResultLength);
  if (m_pchResultText == nullptr) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::%s -> m_pchResult buffer memory allocation failed", method);
    return rc::OUT_OF_MEMORY;
  }
  const std::size_t textLength = std::strlen(m_pchResultText);
  if (textLength > static_cast<std::size_t>(INT_MAX)) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::%s -> m_pchResult buffer memory allocation failed", method);
    return rc::OUT_OF_MEMORY;
  }
  *length = static_cast<int>(textLength);
  if (buffer != nullptr) {
    if (capacity < 0 || static_cast<std::size_t>(capacity) < textLength) {
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::%s -> buffer size not enough", method);
      return rc::OUT_OF_MEMORY;
    }
    std::memcpy(buffer, m_pchResultText, textLength + 1);
  }
  return rc::OK;
}

int CPKCS7SignatureClient::getSignedEnvelopeByString(char* buffer, int* length) {
  try {
    if (length == nullptr) {
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::getSignedEnvelopeByString -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    if (m_iSignerCount == 0) {
      *length = 0;
      formatErrorText(m_szErrorText,
                      "CPKCS7SignatureClient::getSignedEnvelopeByString -> Can't not find signing certificate");
      return rc::CERT_NOT_FOUND;
    }
    std::free(m_pchResultText);
    m_pchResultText = nullptr;
    if (!m_envelopeBuilt) {
      if (int r = startSignAndEncodeData()) {
        *length = 0;
        return r;
      }
      m_envelopeBuilt = true;
    }
    return giveText("getSignedEnvelopeByString", buffer, length);
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::getSignedEnvelopeByString -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS7SignatureClient::getSignedEnvelopeStringByPKCS11(char* buffer, int* length) {
  try {
    if (length == nullptr) {
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::getSignedEnvelopeStringByPKCS11 -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    if (m_puchResultDER == nullptr) {
      *length = 0;
      formatErrorText(m_szErrorText,
                      "CPKCS7SignatureClient::getSignedEnvelopeStringByPKCS11 -> error during m_puchResultDER is null");
      return rc::OPERATION_ERROR;
    }
    std::free(m_pchResultText);
    m_pchResultText = nullptr;
    return giveText("getSignedEnvelopeStringByPKCS11", buffer, length);
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::getSignedEnvelopeStringByPKCS11 -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS7SignatureClient::writeDer(const char* method, const char* path) {
  if (m_puchResultDER == nullptr || m_iResultLength <= 0) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::%s -> error during m_puchResultDER is null", method);
    return rc::OPERATION_ERROR;
  }
  if (int r = checkEnvelope(method)) return r;
  // A new file, or a regular file replaced: written whole beside its name and
  // renamed over it, so that a process killed while writing leaves the old
  // file or none, never part of an envelope under the name the page gave.
  // Anything else (a link, a device, a FIFO) is written in place.
  FILE* f = nullptr;
  if (path != nullptr) {
    std::string mapped(std::strlen(path) + std::strlen(PlatformRoot()) + 16, '\0');
    SIZE_T mappedLength = PlatformMapPath(path, mapped.data(), mapped.size());
    mapped.resize(mappedLength);
    struct stat target {};
    const int found = mappedLength > 0 ? lstat(mapped.c_str(), &target) : -1;
    const bool absent = mappedLength > 0 && found != 0 && errno == ENOENT;
    // The old file's permissions, as a write in place keeps them, without
    // set-user-id, set-group-id and sticky, as an ordinary write clears them.
    if (found == 0 && S_ISREG(target.st_mode)) return writeDerBeside(method, path, mapped, target.st_mode & 0777);
    if (absent) return writeDerBeside(method, path, mapped, newFileMode());
    const int fd = mappedLength > 0 ? envfile::openInPlace(mapped) : -1;
    if (fd >= 0 && (f = fdopen(fd, "wb")) == nullptr) close(fd);
  }
  if (f == nullptr) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::%s -> error during fopen %s", method,
                    path != nullptr ? path : "(null)");
    return rc::FILE_NOT_FOUND;
  }
  struct stat st {};
  const bool regular = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
  errno = 0;
  std::fwrite(m_puchResultDER, 1, static_cast<std::size_t>(m_iResultLength), f);
  int error = std::ferror(f) != 0 ? errno : 0;
  // A failed flush loses the file's end as surely as a failed write.
  if (std::fclose(f) != 0 && error == 0) error = errno != 0 ? errno : EIO;
  if (error != 0) {
    // No part of an envelope is left behind to be taken for a whole one.
    // Only a file of our own making goes: never a device named by the page.
    if (regular) crt_remove(path);
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::%s -> error %d during fwrite %s", method, error, path);
    return rc::OPERATION_ERROR;
  }
  return rc::OK;
}

int CPKCS7SignatureClient::writeDerBeside(const char* method, const char* path, const std::string& mapped,
                                          mode_t mode) {
  bool created = false;
  int error =
      envfile::writeReplacing(mapped, m_puchResultDER, static_cast<std::size_t>(m_iResultLength), mode, &created);
  if (!created) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::%s -> error during fopen %s", method, path);
    return rc::FILE_NOT_FOUND;
  }
  if (error != 0) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::%s -> error %d during fwrite %s", method, error, path);
    return rc::OPERATION_ERROR;
  }
  return rc::OK;
}

int CPKCS7SignatureClient::checkEnvelope(const char* method) {
  if (m_resultChecked) return rc::OK;
  std::string why;
  if (!sigcheck::signedDataVerifies(m_puchResultDER, static_cast<std::size_t>(m_iResultLength), &why)) {
    clearEnvelope();
    formatErrorText(m_szErrorText,
                    "CPKCS7SignatureClient::%s -> the signature does not verify with the signer certificate (%s)",
                    method, why.c_str());
    return rc::CRYPTO_ERROR;
  }
  m_resultChecked = true;
  return rc::OK;
}

int CPKCS7SignatureClient::getSignedEnvelopeByFile(const char* path) {
  try {
    if (m_iSignerCount == 0) {
      formatErrorText(m_szErrorText,
                      "CPKCS7SignatureClient::getSignedEnvelopeByFile -> Can't not find signing certificate");
      return rc::CERT_NOT_FOUND;
    }
    if (!m_envelopeBuilt) {
      if (int r = startSignAndEncodeData()) return r;
      m_envelopeBuilt = true;
    }
    return writeDer("getSignedEnvelopeByFile", path);
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::getSignedEnvelopeByFile -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS7SignatureClient::getSignedEnvelopeFileByPKCS11(const char* path) {
  try {
    if (m_puchResultDER == nullptr) {
      formatErrorText(m_szErrorText,
                      "CPKCS7SignatureClient::getSignedEnvelopeStringByPKCS11 -> error during m_puchResultDER is null");
      return rc::OPERATION_ERROR;
    }
    return writeDer("getSignedEnvelopeByFile", path);
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::getSignedEnvelopeByFile -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS7SignatureClient::startSignAndEncodeData() {
  try {
    std::free(m_puchResultDER);
    m_puchResultDER = nullptr;
    m_iResultLength = 0;
    m_resultChecked = false;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(m_pchDataContent);
    // The signer keys are acquired on each of the two requests; the
    // provider keeps what it loaded, so the second costs little.
    CPKCS7MsgUtils encoder;
    int length = 0;
    int code = encoder.encodeSignedData(m_ppchSignerCertificates, m_iSignerCount, data, m_dataContentLength, nullptr,
                                        &length, m_pdwCancelCodes, m_iCancelCodeCount, m_pdwWrongPasswordCodes,
                                        m_iWrongPasswordCodeCount);
    if (code != rc::OK) {
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::startSignAndEncodeData -> 1. %s", encoder.getErrorText());
      return code;
    }
    unsigned char* der = static_cast<unsigned char*>(std::malloc(length > 0 ? static_cast<std::size_t>(length) : 1));
    if (der == nullptr) {
      formatErrorText(m_szErrorText,
                      "CPKCS7SignatureClient::startSignAndEncodeData -> m_pchResult buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    code = encoder.encodeSignedData(m_ppchSignerCertificates, m_iSignerCount, data, m_dataContentLength, der, &length,
                                    m_pdwCancelCodes, m_iCancelCodeCount, m_pdwWrongPasswordCodes,
                                    m_iWrongPasswordCodeCount);
    if (code != rc::OK) {
      std::free(der);
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::startSignAndEncodeData -> 2. %s", encoder.getErrorText());
      return code;
    }
    m_puchResultDER = der;
    m_iResultLength = length;
    m_resultChecked = false;
    return rc::OK;
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::startSignAndEncodeData -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

// ---------------------------------------------------------------------------
// Settings

int CPKCS7SignatureClient::clearUserPIN() {
  std::memset(m_szPinState, 0, sizeof m_szPinState);
  std::strcpy(m_szPinState, NO_LOGIN_MARKER);
  return rc::OK;
}

int CPKCS7SignatureClient::setPKCS11LibName(const char* name) {
  try {
    if (name == nullptr || *name == '\0') {
      if (!m_variant->emptyNameKeepsProvider) std::memset(m_szProvider, 0, sizeof m_szProvider);
      formatErrorText(m_szErrorText,
                      "CPKCS7SignatureClient::setPKCS11LibName -> pchPKCS11LibName can't be null or empty string");
      return rc::WRONG_PARAMETER;
    }
    // A name cut to fit would name another file: it is refused whole.
    const std::size_t field = m_variant->providerSize < PROVIDER_SIZE ? m_variant->providerSize : PROVIDER_SIZE;
    if (strnlen(name, field) >= field) {
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::setPKCS11LibName -> pchPKCS11LibName too long");
      return rc::WRONG_PARAMETER;
    }
    std::memset(m_szProvider, 0, sizeof m_szProvider);
    std::strcpy(m_szProvider, name);
    return rc::OK;
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::setPKCS11LibName -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

bool CPKCS7SignatureClient::isIllegalPIN(const char* pin) const {
  if (pin == nullptr || m_ppchIllegalPIN == nullptr) return false;
  for (int i = 0; i < m_iIllegalPINCount; ++i)
    if (m_ppchIllegalPIN[i] != nullptr && std::strcmp(m_ppchIllegalPIN[i], pin) == 0) return true;
  return false;
}

// ---------------------------------------------------------------------------
// PIN hooks

int CPKCS7SignatureClient::setUILoginSmartCard(const char* /*certificate*/, char* pin) {
  try {
    if (pin == nullptr) {
      formatErrorText(m_szErrorText, "CXMLSignatureClient::setUILoginSmartCard -> pchPwd is NULL");
      return rc::WRONG_PARAMETER;
    }
    std::fputs("\nPlease Input PIN:  ", stdout);
    std::fflush(stdout);
    pin[0] = '\0';
    // At most 127 bytes: the buffer's size less its NUL. A longer word is
    // refused, not cut: a cut PIN is a wrong guess the user never made.
    char typed[PIN_SIZE + 1] = {};
    if (std::scanf("%128s", typed) != 1) typed[0] = '\0';
    std::fputs("\n", stdout);
    std::fflush(stdout);
    const std::size_t n = std::strlen(typed);
    if (n >= PIN_SIZE) {
      int ch;
      while ((ch = std::getchar()) != EOF && ch != '\n' && ch != ' ' && ch != '\t') {
      }
      OPENSSL_cleanse(typed, sizeof typed);
      formatErrorText(m_szErrorText, "CXMLSignatureClient::setUILoginSmartCard -> PIN too long");
      return rc::WRONG_PARAMETER;
    }
    std::memcpy(pin, typed, n + 1);
    OPENSSL_cleanse(typed, sizeof typed);
    return rc::OK;
  } catch (...) {
    formatErrorText(m_szErrorText, "CXMLSignatureClient::setUILoginSmartCard -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}
