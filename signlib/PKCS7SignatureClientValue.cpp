// The signature client's operations beyond the envelope: the MD5-with-RSA
// signature value, the lists of PINs that must not sign and of provider
// errors that mean a cancelled or wrong PIN, and the PIN hook for a
// certificate given as DER.
#include <cstdlib>
#include <cstring>
#include <vector>

#include <openssl/crypto.h>

#include "platform/crypt.h"
#include "platform/kernel.h"
#include "signlib/Base64.h"
#include "signlib/MathUtils.h"
#include "signlib/PKCS7MsgUtils.h"
#include "signlib/PKCS7SignatureClient.h"
#include "signlib/SignatureCheck.h"

int CPKCS7SignatureClient::MD5RSASignValue(const char* certificate) {
  try {
    return md5Impl(certificate);
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::MD5RSASignValue -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS7SignatureClient::md5Impl(const char* certificate) {
  // What the operation holds, released on every way out.
  struct Held {
    HCRYPTPROV provider = 0;
    BOOL callerFree = FALSE;
    HCRYPTHASH hash = 0;
    std::vector<BYTE> signature;
    ~Held() {
      if (hash != 0) CryptDestroyHash(hash);
      if (provider != 0 && callerFree) CryptReleaseContext(provider, 0);
    }
  } held;
  if (certificate == nullptr) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::MD5RSASignValue -> parameter error");
    return rc::WRONG_PARAMETER;
  }
  // No data set is not the empty text: nothing is signed.
  if (m_pchDataContent == nullptr) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::MD5RSASignValue -> no data content");
    return rc::OPERATION_ERROR;
  }
  const unsigned char* data = reinterpret_cast<const unsigned char*>(m_pchDataContent);
  const std::size_t length = std::strlen(m_pchDataContent);
  DWORD keySpec = 0;
  if (int r = loginSmartCard(certificate, &held.provider, &keySpec, &held.callerFree)) return r;
  if (!CryptCreateHash(held.provider, CALG_MD5, 0, 0, &held.hash)) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::MD5RSASignValue -> error 0x%x durning CryptCreateHash",
                    GetLastError());
    return rc::CRYPTO_ERROR;
  }
  if (!CryptHashData(held.hash, data, static_cast<DWORD>(length), 0)) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::MD5RSASignValue -> error 0x%x durning CryptHashData",
                    GetLastError());
    return rc::CRYPTO_ERROR;
  }
  DWORD signatureLength = 0;
  if (!CryptSignHashA(held.hash, keySpec, nullptr, 0, nullptr, &signatureLength)) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::MD5RSASignValue -> error 0x%x durning CryptSignHash",
                    GetLastError());
    return rc::CRYPTO_ERROR;
  }
  held.signature.assign(signatureLength, 0);
  if (!CryptSignHashA(held.hash, keySpec, nullptr, 0, held.signature.data(), &signatureLength)) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::MD5RSASignValue -> error 0x%x durning CryptSignHash",
                    GetLastError());
    return rc::CRYPTO_ERROR;
  }
  held.signature.resize(signatureLength);
  // CryptoAPI gives the signature least significant byte first; the text
  // shows it as PKCS #1 writes it. The reversal buffer is the signature's own
  // length, whatever the key's size.
  std::vector<unsigned char> reversed(signatureLength);
  if (int r = CMathUtils::SwapByte(held.signature.data(), signatureLength, reversed.data())) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::MD5RSASignValue -> error %d during SwapByte().error:%s", r,
                    CMathUtils::getErrorText());
    return rc::OPERATION_ERROR;
  }
  // A key that does not belong to its certificate still signs, and only the
  // relying party would notice: such a value is never kept.
  int certLength = static_cast<int>(std::strlen(certificate));
  unsigned char* certDer = base64Decode(certificate, &certLength);
  const bool matches =
      certDer != nullptr && sigcheck::signatureVerifies(certDer, static_cast<std::size_t>(certLength), "MD5", data,
                                                        length, reversed.data(), reversed.size(), nullptr);
  std::free(certDer);
  if (!matches) {
    formatErrorText(
        m_szErrorText,
        "CPKCS7SignatureClient::MD5RSASignValue -> the signature does not verify with the signer certificate");
    return rc::CRYPTO_ERROR;
  }
  char* text = static_cast<char*>(std::calloc(2 * static_cast<std::size_t>(signatureLength) + 1, 1));
  if (text == nullptr) {
    std::free(m_pchResultText);
    m_pchResultText = nullptr;
    formatErrorText(m_szErrorText,
                    "CPKCS7SignatureClient::MD5RSASignValue -> m_pchResult buffer memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  std::size_t written = 0;
  Binary2Ascii(reversed.data(), reversed.size(), text, &written);
  text[written] = '\0';
  std::free(m_pchResultText);
  m_pchResultText = text;
  return rc::OK;
}

// ---------------------------------------------------------------------------
// PIN lists

int CPKCS7SignatureClient::setIllegalPIN(const char* text) {
  char** fresh = nullptr;
  int count = 0;
  auto dropFresh = [&]() {
    for (int i = 0; i < count; ++i) {
      if (fresh[i] != nullptr) OPENSSL_cleanse(fresh[i], std::strlen(fresh[i]));
      std::free(fresh[i]);
    }
    std::free(fresh);
  };
  try {
    if (text == nullptr) {
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::setIllegalPIN -> MultipleIllegalPIN setting format error");
      return rc::WRONG_PARAMETER;
    }
    // The form first: braces that pair, do not nest and are never empty.
    const std::size_t n = std::strlen(text);
    int depth = 0;
    std::size_t open = 0;
    int values = 0;
    bool bad = false;
    for (std::size_t i = 0; i < n && !bad; ++i) {
      if (text[i] == '{') {
        if (++depth == 2) bad = true;
        open = i;
      } else if (text[i] == '}') {
        if (--depth == -1 || i == open + 1)
          bad = true;
        else
          ++values;
      }
    }
    if (bad || depth != 0) {
      formatErrorText(m_szErrorText, "CPKCS7SignatureClient::setIllegalPIN -> MultipleIllegalPIN setting format error");
      return rc::WRONG_PARAMETER;
    }
    // The new list is built aside: the old one stays until it is whole.
    if (values > 0) {
      fresh = static_cast<char**>(std::calloc(static_cast<std::size_t>(values), sizeof(char*)));
      if (fresh == nullptr) {
        formatErrorText(m_szErrorText,
                        "CPKCS7SignatureClient::setIllegalPIN -> MultipleIssuer buffer memory allocation failed");
        return rc::OUT_OF_MEMORY;
      }
      count = values;
      int slot = values;  // the last value of the text is entry 0
      for (std::size_t i = 0; i < n; ++i) {
        if (text[i] == '{') open = i;
        if (text[i] != '}') continue;
        const std::size_t length = i - open - 1;
        char* value = static_cast<char*>(std::calloc(length + 1, 1));
        if (value == nullptr) {
          dropFresh();
          formatErrorText(m_szErrorText,
                          "CPKCS7SignatureClient::setIllegalPIN -> SingleIssuer buffer memory allocation failed");
          return rc::OUT_OF_MEMORY;
        }
        std::memcpy(value, text + open + 1, length);
        fresh[--slot] = value;
      }
    }
    for (int i = 0; i < m_iIllegalPINCount; ++i) {
      if (m_ppchIllegalPIN[i] != nullptr) OPENSSL_cleanse(m_ppchIllegalPIN[i], std::strlen(m_ppchIllegalPIN[i]));
      std::free(m_ppchIllegalPIN[i]);
    }
    std::free(m_ppchIllegalPIN);
    m_ppchIllegalPIN = fresh;
    m_iIllegalPINCount = count;
    return rc::OK;
  } catch (...) {
    if (fresh != nullptr) dropFresh();
    formatErrorText(m_szErrorText, "CPKCS7SignatureClient::setIllegalPIN -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS7SignatureClient::addCancelPINCode(DWORD code) {
  int r = CPKCS7MsgUtils::add2Array(&m_pdwCancelCodes, &m_iCancelCodeCount, code, m_szErrorText);
  return r;
}

int CPKCS7SignatureClient::addIncorrectPINCode(DWORD code) {
  return CPKCS7MsgUtils::add2Array(&m_pdwWrongPasswordCodes, &m_iWrongPasswordCodeCount, code, m_szErrorText);
}

bool CPKCS7SignatureClient::isCancelPINCode(DWORD code) const {
  return CPKCS7MsgUtils::isInArray(m_pdwCancelCodes, m_iCancelCodeCount, code);
}

// ---------------------------------------------------------------------------
// PIN hook by DER

int CPKCS7SignatureClient::setUILoginSmartCardByDER(const unsigned char* der, int length, char* pin) {
  char* text = nullptr;
  try {
    if (der == nullptr || length <= 0) {
      formatErrorText(m_szErrorText, "CXMLSignatureClient::setUILoginSmartCard -> unknown error");
      return rc::UNKNOWN_ERROR;
    }
    text = base64Encode(der, length);
    if (text == nullptr) {
      formatErrorText(m_szErrorText, "CXMLSignatureClient::setUILoginSmartCard -> unknown error");
      return rc::UNKNOWN_ERROR;
    }
    int code = setUILoginSmartCard(text, pin);
    std::free(text);
    return code;
  } catch (...) {
    std::free(text);
    formatErrorText(m_szErrorText, "CXMLSignatureClient::setUILoginSmartCard -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}
