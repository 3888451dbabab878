// The decoding side of CPKCS7MsgUtils: a received SignedData opened with the
// platform's message functions, its content, certificates and signer infos
// copied out. Each array entry is filled before it is counted, so what a
// failure leaves behind is whole.
#include <cstdlib>
#include <cstring>

#include "platform/kernel.h"
#include "signlib/PKCS7MsgUtils.h"

namespace {
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
}

int CPKCS7MsgUtils::add2Array(DWORD** array, int* count, DWORD value, char (&errorText)[ERROR_TEXT_SIZE]) {
  try {
    if (array == nullptr || count == nullptr || *count < 0) {
      formatErrorText(errorText, "CPKCS7MsgUtils::add2Array -> unknown error");
      return rc::UNKNOWN_ERROR;
    }
    // Exactly one more entry each time: realloc keeps the old list on failure.
    auto* grown = static_cast<DWORD*>(std::realloc(*array, sizeof(DWORD) * (static_cast<std::size_t>(*count) + 1)));
    if (grown == nullptr) {
      formatErrorText(errorText, "CPKCS7MsgUtils::add2Array -> error during array memory alloc");
      return rc::OUT_OF_MEMORY;
    }
    *array = grown;
    grown[*count] = value;
    ++*count;
    return rc::OK;
  } catch (...) {
    formatErrorText(errorText, "CPKCS7MsgUtils::add2Array -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

void CPKCS7MsgUtils::releaseDecoded() {
  if (m_hDecodeMsg != nullptr) CryptMsgClose(m_hDecodeMsg);
  m_hDecodeMsg = nullptr;
  std::free(m_pchDataContent);
  m_pchDataContent = nullptr;
  m_dataContentLength = 0;
  for (int i = 0; i < m_iSignerCertCount; ++i) std::free(m_ppSignerCerts[i]);
  std::free(m_ppSignerCerts);
  std::free(m_pSignerCertLengths);
  m_ppSignerCerts = nullptr;
  m_pSignerCertLengths = nullptr;
  m_iSignerCertCount = 0;
  for (int i = 0; i < m_iSignerInfoCount; ++i) std::free(m_ppSignerInfos[i]);
  std::free(m_ppSignerInfos);
  m_ppSignerInfos = nullptr;
  m_iSignerInfoCount = 0;
}

const BYTE* CPKCS7MsgUtils::getSignerCert(int i, DWORD* length) const {
  if (i < 0 || i >= m_iSignerCertCount) return nullptr;
  if (length != nullptr) *length = m_pSignerCertLengths[i];
  return m_ppSignerCerts[i];
}

const CMSG_SIGNER_INFO* CPKCS7MsgUtils::getSignerInfo(int i) const {
  return i >= 0 && i < m_iSignerInfoCount ? m_ppSignerInfos[i] : nullptr;
}

int CPKCS7MsgUtils::decodeSignedData(const unsigned char* der, std::size_t length) {
  try {
    return decodeImpl(der, length);
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::decodeSignedData -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS7MsgUtils::decodeImpl(const unsigned char* der, std::size_t length) {
  releaseDecoded();
  m_hDecodeMsg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
  if (m_hDecodeMsg == nullptr) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::decodeSignedData -> error %x during CryptMsgOpenToDecode",
                    GetLastError());
    return rc::OPERATION_ERROR;
  }
  if (length > 0xFFFFFFFFULL || (der == nullptr && length != 0) ||
      !CryptMsgUpdate(m_hDecodeMsg, der, static_cast<DWORD>(length), TRUE)) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::decodeSignedData -> error %x during CryptMsgUpdate",
                    der == nullptr || length > 0xFFFFFFFFULL ? static_cast<DWORD>(E_INVALIDARG) : GetLastError());
    return rc::OPERATION_ERROR;
  }
  DWORD type = 0;
  DWORD n = sizeof type;
  if (!CryptMsgGetParam(m_hDecodeMsg, CMSG_TYPE_PARAM, 0, &type, &n)) {
    formatErrorText(m_szErrorText,
                    "CPKCS7MsgUtils::decodeSignedData ->get message type error %x during CryptMsgGetParam",
                    GetLastError());
    return rc::OPERATION_ERROR;
  }
  if (type != CMSG_SIGNED) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::decodeSignedData ->The message type isn't Signed-Data");
    return rc::UNKNOWN_ERROR;
  }
  if (int r = getdataContent()) return r;
  if (int r = getSignerCertAry()) return r;
  return getSignerInfoAry();
}

int CPKCS7MsgUtils::getdataContent() {
  try {
    if (m_hDecodeMsg == nullptr) {
      formatErrorText(
          m_szErrorText,
          "CPKCS7MsgUtils::getdataContent ->get message data content length error %x during CryptMsgGetParam",
          static_cast<DWORD>(E_INVALIDARG));
      return rc::OPERATION_ERROR;
    }
    DWORD n = 0;
    if (!CryptMsgGetParam(m_hDecodeMsg, CMSG_CONTENT_PARAM, 0, nullptr, &n)) {
      formatErrorText(
          m_szErrorText,
          "CPKCS7MsgUtils::getdataContent ->get message data content length error %x during CryptMsgGetParam",
          GetLastError());
      return rc::OPERATION_ERROR;
    }
    char* content = static_cast<char*>(std::calloc(static_cast<std::size_t>(n) + 1, 1));
    if (content == nullptr) {
      formatErrorText(m_szErrorText, "CPKCS7MsgUtils::getdataContent ->data content buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    if (n != 0 && !CryptMsgGetParam(m_hDecodeMsg, CMSG_CONTENT_PARAM, 0, content, &n)) {
      std::free(content);
      formatErrorText(m_szErrorText,
                      "CPKCS7MsgUtils::getdataContent ->get message data content error %x during CryptMsgGetParam",
                      GetLastError());
      return rc::OPERATION_ERROR;
    }
    std::free(m_pchDataContent);
    m_pchDataContent = content;
    m_dataContentLength = n;
    return rc::OK;
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::getdataContent -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS7MsgUtils::getSignerCertAry() {
  try {
    DWORD count = 0;
    DWORD n = sizeof count;
    if (m_hDecodeMsg == nullptr || !CryptMsgGetParam(m_hDecodeMsg, CMSG_CERT_COUNT_PARAM, 0, &count, &n)) {
      formatErrorText(m_szErrorText,
                      "CPKCS7MsgUtils::getSignerCertAry ->get message data certificate count error %x during "
                      "CryptMsgGetParam",
                      m_hDecodeMsg == nullptr ? static_cast<DWORD>(E_INVALIDARG) : GetLastError());
      return rc::OPERATION_ERROR;
    }
    for (int i = 0; i < m_iSignerCertCount; ++i) std::free(m_ppSignerCerts[i]);
    m_iSignerCertCount = 0;
    for (DWORD index = 0; index < count; ++index) {
      const std::size_t slots = static_cast<std::size_t>(m_iSignerCertCount) + 1;
      auto* certs = static_cast<BYTE**>(std::realloc(m_ppSignerCerts, sizeof(BYTE*) * slots));
      if (certs != nullptr) m_ppSignerCerts = certs;
      auto* lengths =
          certs != nullptr ? static_cast<DWORD*>(std::realloc(m_pSignerCertLengths, sizeof(DWORD) * slots)) : nullptr;
      if (lengths != nullptr) m_pSignerCertLengths = lengths;
      if (certs == nullptr || lengths == nullptr) {
        formatErrorText(m_szErrorText,
                        "CPKCS7MsgUtils::getSignerCertAry -> error during certificate array memory realloc");
        return rc::OUT_OF_MEMORY;
      }
      DWORD size = 0;
      if (!CryptMsgGetParam(m_hDecodeMsg, CMSG_CERT_PARAM, index, nullptr, &size)) {
        formatErrorText(m_szErrorText,
                        "CPKCS7MsgUtils::getSignerCertAry ->get certificate length error %x during CryptMsgGetParam",
                        GetLastError());
        return rc::OPERATION_ERROR;
      }
      auto* cert = static_cast<BYTE*>(std::malloc(size != 0 ? size : 1));
      if (cert == nullptr) {
        formatErrorText(m_szErrorText, "CPKCS7MsgUtils::getSignerCertAry -> error during certificate memory allocate");
        return rc::OUT_OF_MEMORY;
      }
      if (!CryptMsgGetParam(m_hDecodeMsg, CMSG_CERT_PARAM, index, cert, &size)) {
        std::free(cert);
        formatErrorText(m_szErrorText,
                        "CPKCS7MsgUtils::getSignerCertAry ->get certificate content error %x during CryptMsgGetParam",
                        GetLastError());
        return rc::OPERATION_ERROR;
      }
      m_ppSignerCerts[m_iSignerCertCount] = cert;
      m_pSignerCertLengths[m_iSignerCertCount] = size;
      ++m_iSignerCertCount;  // counted once filled
    }
    return rc::OK;
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::getSignerCertAry -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS7MsgUtils::getSignerInfoAry() {
  try {
    DWORD count = 0;
    DWORD n = sizeof count;
    if (m_hDecodeMsg == nullptr || !CryptMsgGetParam(m_hDecodeMsg, CMSG_SIGNER_COUNT_PARAM, 0, &count, &n)) {
      formatErrorText(
          m_szErrorText,
          "CPKCS7MsgUtils::getSignerInfoAry ->get message signer info count error %x during CryptMsgGetParam",
          m_hDecodeMsg == nullptr ? static_cast<DWORD>(E_INVALIDARG) : GetLastError());
      return rc::OPERATION_ERROR;
    }
    for (int i = 0; i < m_iSignerInfoCount; ++i) std::free(m_ppSignerInfos[i]);
    m_iSignerInfoCount = 0;
    for (DWORD index = 0; index < count; ++index) {
      auto* infos = static_cast<CMSG_SIGNER_INFO**>(std::realloc(
          m_ppSignerInfos, sizeof(CMSG_SIGNER_INFO*) * (static_cast<std::size_t>(m_iSignerInfoCount) + 1)));
      if (infos == nullptr) {
        formatErrorText(m_szErrorText,
                        "CPKCS7MsgUtils::getSignerInfoAry -> error during signer info array memory realloc");
        return rc::OUT_OF_MEMORY;
      }
      m_ppSignerInfos = infos;
      DWORD size = 0;
      if (!CryptMsgGetParam(m_hDecodeMsg, CMSG_SIGNER_INFO_PARAM, index, nullptr, &size)) {
        formatErrorText(m_szErrorText,
                        "CPKCS7MsgUtils::getSignerInfoAry ->get message signer info structure length error %x during "
                        "CryptMsgGetParam",
                        GetLastError());
        return rc::OPERATION_ERROR;
      }
      auto* info = static_cast<CMSG_SIGNER_INFO*>(std::malloc(size));
      if (info == nullptr) {
        formatErrorText(m_szErrorText,
                        "CPKCS7MsgUtils::getSignerInfoAry -> error during signer info structure memory allocate");
        return rc::OUT_OF_MEMORY;
      }
      if (!CryptMsgGetParam(m_hDecodeMsg, CMSG_SIGNER_INFO_PARAM, index, info, &size)) {
        std::free(info);
        formatErrorText(m_szErrorText,
                        "CPKCS7MsgUtils::getSignerInfoAry ->get message signer info structure error %x during "
                        "CryptMsgGetParam",
                        GetLastError());
        return rc::OPERATION_ERROR;
      }
      m_ppSignerInfos[m_iSignerInfoCount] = info;
      ++m_iSignerInfoCount;  // counted once filled
    }
    return rc::OK;
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7MsgUtils::getSignerInfoAry -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}
