#include "signlib/PKCS7MsgUtils.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/kernel.h"
#include "signlib/Base64.h"

namespace {
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;  // 0x10001
}

CPKCS7MsgUtils::CPKCS7MsgUtils() { std::memset(m_szErrorText, 0, sizeof m_szErrorText); }

CPKCS7MsgUtils::~CPKCS7MsgUtils() {
  releaseDecoded();
  closeMessage();
  freeEncodeInfos();
  freeContexts();
}

bool CPKCS7MsgUtils::isInArray(const DWORD* codes, int count, DWORD value) {
  if (codes == nullptr) return false;
  for (int i = 0; i < count; ++i)
    if (codes[i] == value) return true;
  return false;
}

void CPKCS7MsgUtils::freeContexts() {
  for (PCCERT_CONTEXT c : m_signerCertificates) CertFreeCertificateContext(c);
  m_signerCertificates.clear();
}

void CPKCS7MsgUtils::freeEncodeInfos() {
  for (size_t i = 0; i < m_providers.size(); ++i)
    if (m_callerFreesProvider[i]) CryptReleaseContext(m_providers[i], 0);
  m_providers.clear();
  m_callerFreesProvider.clear();
  m_signerEncodeInfos.clear();
  m_certificateBlobs.clear();
}

void CPKCS7MsgUtils::closeMessage() {
  if (m_hMsg != nullptr) CryptMsgClose(m_hMsg);
  m_hMsg = nullptr;
}

int CPKCS7MsgUtils::providerFailure(DWORD error, const char* step) {
  if (isInArray(m_cancelCodes, m_cancelCodeCount, error)) return rc::USER_CANCEL;
  if (isInArray(m_wrongPasswordCodes, m_wrongPasswordCodeCount, error)) return rc::PASSWORD_ERROR;
  formatErrorText(m_szErrorText, "CPKCS7MsgUtils::encodeSignedData -> error %x during %s", error, step);
  return rc::OPERATION_ERROR;
}

int CPKCS7MsgUtils::encodeSignedData(char* const* signerCertificates, int signerCount, const unsigned char* data,
                                     std::size_t dataLength, unsigned char* output, int* outputLength,
                                     const DWORD* cancelCodes, int cancelCodeCount, const DWORD* wrongPasswordCodes,
                                     int wrongPasswordCodeCount) {
  m_cancelCodes = cancelCodes;
  m_cancelCodeCount = cancelCodes != nullptr ? cancelCodeCount : 0;
  m_wrongPasswordCodes = wrongPasswordCodes;
  m_wrongPasswordCodeCount = wrongPasswordCodes != nullptr ? wrongPasswordCodeCount : 0;
  int code;
  try {
    code = encodeImpl(signerCertificates, signerCount, data, dataLength, output, outputLength);
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::encodeSignedData -> unknown error");
    code = rc::UNKNOWN_ERROR;
  }
  closeMessage();
  return code;
}

int CPKCS7MsgUtils::encodeImpl(char* const* signerCertificates, int signerCount, const unsigned char* data,
                               std::size_t dataLength, unsigned char* output, int* outputLength) {
  if (data == nullptr) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::encodeSignedData -> No SignedData.");
    return rc::OPERATION_ERROR;
  }
  if (outputLength == nullptr) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::encodeSignedData -> parameter error");
    return rc::WRONG_PARAMETER;
  }
  // The message functions take the content's length as 32 bits.
  if (dataLength > 0xFFFFFFFFULL) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::encodeSignedData -> SignedData too long");
    return rc::WRONG_PARAMETER;
  }
  const DWORD contentLength = static_cast<DWORD>(dataLength);
  if (int r = base64ToPCCERT_CONTEXT(signerCertificates, signerCount)) return r;
  if (int r = getSignerEncodeInfoAry()) return r;

  CMSG_SIGNED_ENCODE_INFO info{};
  info.cbSize = sizeof info;  // 48
  info.cSigners = static_cast<DWORD>(m_signerEncodeInfos.size());
  info.rgSigners = m_signerEncodeInfos.data();
  info.cCertEncoded = static_cast<DWORD>(m_certificateBlobs.size());
  info.rgCertEncoded = m_certificateBlobs.data();

  DWORD length = CryptMsgCalculateEncodedLength(kEncoding, 0, CMSG_SIGNED, &info, nullptr, contentLength);
  if (length == 0) return providerFailure(GetLastError(), "CryptMsgCalculateEncodedLength");
  if (length > static_cast<DWORD>(INT32_MAX)) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::encodeSignedData -> encoded BLOB buffer memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  if (output == nullptr) {
    *outputLength = static_cast<int>(length);
    return rc::OK;
  }
  if (*outputLength < 0 || static_cast<DWORD>(*outputLength) < length) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::encodeSignedData -> puchPKCS7Msg buffer size not enough");
    return rc::OUT_OF_MEMORY;
  }
  unsigned char* work = static_cast<unsigned char*>(std::malloc(length));
  if (work == nullptr) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::encodeSignedData -> encoded BLOB buffer memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  int code = rc::OK;
  DWORD reported = length;
  m_hMsg = CryptMsgOpenToEncode(kEncoding, 0, CMSG_SIGNED, &info, nullptr, nullptr);
  if (m_hMsg == nullptr) {
    code = providerFailure(GetLastError(), "CryptMsgOpenToEncode");
  } else if (!CryptMsgUpdate(m_hMsg, data, contentLength, TRUE)) {
    // The provider signs here and may have asked the user.
    code = providerFailure(GetLastError(), "CryptMsgUpdate");
  } else if (!CryptMsgGetParam(m_hMsg, CMSG_CONTENT_PARAM, 0, work, &reported)) {
    code = providerFailure(GetLastError(), "CryptMsgGetParam");
  }
  if (code == rc::OK) {
    // The message is as long as the message functions report, which may be
    // less than the length computed beforehand.
    std::memcpy(output, work, reported);
    *outputLength = static_cast<int>(reported);
  }
  std::free(work);
  closeMessage();
  return code;
}

int CPKCS7MsgUtils::base64ToPCCERT_CONTEXT(char* const* signerCertificates, int signerCount) {
  try {
    return base64Impl(signerCertificates, signerCount);
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::base64ToPCCERT_CONTEXT -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS7MsgUtils::base64Impl(char* const* signerCertificates, int signerCount) {
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  if (store == nullptr) {
    formatErrorText(m_szErrorText,
                    "CCertificateDBClient::base64ToPCCERT_CONTEXT -> error %x durning CertOpenSystemStore",
                    GetLastError());
    return rc::CRYPTO_ERROR;
  }
  freeContexts();
  int code = rc::OK;
  for (int i = 0; i < signerCount && code == rc::OK; ++i) {
    try {
      m_signerCertificates.reserve(m_signerCertificates.size() + 1);
    } catch (const std::bad_alloc&) {
      formatErrorText(
          m_szErrorText,
          "CCertificateDBClient::base64ToPCCERT_CONTEXT -> Array of CERT_CONTEXT buffer memory allocation failed");
      code = rc::OUT_OF_MEMORY;
      break;
    }
    const char* text = signerCertificates != nullptr ? signerCertificates[i] : nullptr;
    int n = text != nullptr ? static_cast<int>(std::strlen(text)) : 0;
    unsigned char* der = text != nullptr ? base64Decode(text, &n) : nullptr;
    PCCERT_CONTEXT temp =
        der != nullptr ? CertCreateCertificateContext(kEncoding, der, static_cast<DWORD>(n)) : nullptr;
    if (temp == nullptr) {
      formatErrorText(m_szErrorText,
                      "CCertificateDBClient::base64ToPCCERT_CONTEXT -> error %x durning CertCreateCertificateContext",
                      der != nullptr ? GetLastError() : static_cast<DWORD>(CRYPT_E_ASN1_EOD));
      code = rc::CRYPTO_ERROR;
    } else {
      PCCERT_CONTEXT found = CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_EXISTING, temp, nullptr);
      if (found == nullptr) {
        formatErrorText(
            m_szErrorText,
            "CPKCS7SignatureClient::base64ToPCCERT_CONTEXT -> error 0x%x durning CertFindCertificateInStore",
            GetLastError());
        code = rc::CRYPTO_ERROR;
      } else {
        m_signerCertificates.push_back(found);
      }
      CertFreeCertificateContext(temp);
    }
    std::free(der);
  }
  CertCloseStore(store, 0);
  return code;
}

int CPKCS7MsgUtils::getSignerEncodeInfoAry() {
  try {
    return encodeInfoImpl();
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::getSignerEncodeInfoAry -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS7MsgUtils::encodeInfoImpl() {
  freeEncodeInfos();
  const size_t count = m_signerCertificates.size();
  try {
    m_signerEncodeInfos.reserve(count);
  } catch (const std::bad_alloc&) {
    formatErrorText(
        m_szErrorText,
        "CPKCS7MsgUtils::getSignerEncodeInfoAry -> Array of CMSG_SIGNER_ENCODE_INFO buffer memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  try {
    m_certificateBlobs.reserve(count);
  } catch (const std::bad_alloc&) {
    formatErrorText(m_szErrorText,
                    "CPKCS7MsgUtils::getSignerEncodeInfoAry -> Array of CERT_BLOB buffer memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  try {
    m_providers.reserve(count);
    m_callerFreesProvider.reserve(count);
  } catch (const std::bad_alloc&) {
    formatErrorText(m_szErrorText,
                    "CPKCS7MsgUtils::getSignerEncodeInfoAry -> Array of HCRYPTPROV buffer memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  for (PCCERT_CONTEXT c : m_signerCertificates) {
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
    if (!CryptAcquireCertificatePrivateKey(c, 0, nullptr, &prov, &keySpec, &callerFree)) {
      formatErrorText(m_szErrorText,
                      "CPKCS7MsgUtils::getSignerEncodeInfoAry -> error %x during CryptAcquireCertificatePrivateKey",
                      GetLastError());
      return rc::PRIVATE_KEY_NOT_FOUND;
    }
    m_providers.push_back(prov);
    m_callerFreesProvider.push_back(callerFree);

    CMSG_SIGNER_ENCODE_INFO si{};
    si.cbSize = sizeof si;  // 96
    si.pCertInfo = c->pCertInfo;
    si.hCryptProv = prov;
    si.dwKeySpec = keySpec;
    si.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_OIWSEC_sha1);
    m_signerEncodeInfos.push_back(si);
    m_certificateBlobs.push_back(CERT_BLOB{c->cbCertEncoded, c->pbCertEncoded});
  }
  return rc::OK;
}
