// CPKCS7MsgUtils: PKCS#7 SignedData on the CryptoAPI path. Finds each signer
// certificate in the user's "MY" store, acquires its private key from its
// provider and lets the platform's message functions hash with SHA-1 and
// sign. The content is carried in the message; one SignerInfo per signer, in
// the order given, with no signed attributes; every signer certificate goes
// into the certificate set.
//
// One object serves one encoding (asked twice: for the length, then for the
// message); everything it acquired is released when it is destroyed, also
// after a failure.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/crypt.h"
#include "signlib/ResultCode.h"

class CPKCS7MsgUtils {
 public:
  CPKCS7MsgUtils();
  ~CPKCS7MsgUtils();
  CPKCS7MsgUtils(const CPKCS7MsgUtils&) = delete;
  CPKCS7MsgUtils& operator=(const CPKCS7MsgUtils&) = delete;

  // signerCertificates: Base64 texts of DER certificates. data: the content,
  // dataLength bytes (NUL bytes included). output null asks for the length,
  // written to *outputLength (nothing is signed then); otherwise
  // *outputLength is the capacity of output and receives the length of the
  // message written. The two code lists (not owned) say which Windows errors
  // of the provider mean that the user cancelled (28) or gave a wrong
  // password (21); they are looked at wherever the provider works: the length
  // step, and the encoding step where it signs and may prompt.
  int encodeSignedData(char* const* signerCertificates, int signerCount, const unsigned char* data,
                       std::size_t dataLength, unsigned char* output, int* outputLength,
                       const DWORD* cancelCodes = nullptr, int cancelCodeCount = 0,
                       const DWORD* wrongPasswordCodes = nullptr, int wrongPasswordCodeCount = 0);

  // Fills the signer-certificate array with the store's contexts.
  int base64ToPCCERT_CONTEXT(char* const* signerCertificates, int signerCount);
  // Fills the encode infos, certificate blobs and providers from the signer
  // certificates.
  int getSignerEncodeInfoAry();
  // True when value is one of the first count codes.
  static bool isInArray(const DWORD* codes, int count, DWORD value);
  // Appends value to the code list (*array holds *count values, malloc'd):
  // every value is kept, in order; a failed allocation leaves the list as it
  // was (2, with the message in errorText).
  static int add2Array(DWORD** array, int* count, DWORD value, char (&errorText)[ERROR_TEXT_SIZE]);

  // ---- Decoding a received SignedData ----
  // Opens the DER message and takes out its content, certificates and signer
  // infos (each in the order of the message). A second decode releases what
  // the first one held. 0, 3 (not a message), 2, 99 (not SignedData).
  int decodeSignedData(const unsigned char* der, std::size_t length);
  int getdataContent();
  int getSignerCertAry();
  int getSignerInfoAry();
  // The content: getDataContentLength() bytes (NUL bytes kept), a NUL after them.
  const char* getDataContent() const { return m_pchDataContent; }
  std::size_t getDataContentLength() const { return m_dataContentLength; }
  int getSignerCertCount() const { return m_iSignerCertCount; }
  const BYTE* getSignerCert(int i, DWORD* length) const;
  int getSignerInfoCount() const { return m_iSignerInfoCount; }
  const CMSG_SIGNER_INFO* getSignerInfo(int i) const;

  const char* getErrorText() const { return m_szErrorText; }

 private:
  int encodeImpl(char* const* signerCertificates, int signerCount, const unsigned char* data, std::size_t dataLength,
                 unsigned char* output, int* outputLength);
  int base64Impl(char* const* signerCertificates, int signerCount);
  int encodeInfoImpl();
  // The code of a failing provider step: 28 or 21 from the code lists (the
  // error text is left as it was), else 3 with the message.
  int providerFailure(DWORD error, const char* step);
  void freeContexts();
  void freeEncodeInfos();
  void closeMessage();
  void releaseDecoded();
  int decodeImpl(const unsigned char* der, std::size_t length);

  char m_szErrorText[ERROR_TEXT_SIZE];
  std::vector<PCCERT_CONTEXT> m_signerCertificates;
  std::vector<CMSG_SIGNER_ENCODE_INFO> m_signerEncodeInfos;
  std::vector<CERT_BLOB> m_certificateBlobs;
  std::vector<HCRYPTPROV> m_providers;
  std::vector<BOOL> m_callerFreesProvider;
  HCRYPTMSG m_hMsg = nullptr;
  const DWORD* m_cancelCodes = nullptr;
  int m_cancelCodeCount = 0;
  const DWORD* m_wrongPasswordCodes = nullptr;
  int m_wrongPasswordCodeCount = 0;

  // Decoding: the open message and what was taken out of it (owned).
  HCRYPTMSG m_hDecodeMsg = nullptr;
  char* m_pchDataContent = nullptr;
  std::size_t m_dataContentLength = 0;
  BYTE** m_ppSignerCerts = nullptr;
  DWORD* m_pSignerCertLengths = nullptr;
  int m_iSignerCertCount = 0;
  CMSG_SIGNER_INFO** m_ppSignerInfos = nullptr;
  int m_iSignerInfoCount = 0;
};
