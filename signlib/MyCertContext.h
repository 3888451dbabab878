// CMyCertContext: one certificate of the certificate store with its display
// fields, and the conversions between the CryptoAPI X.500 name text and the
// library's own name form (MyNameType).
//
// MyNameType is the X.500 text of CertNameToStrA (type 0x24000003: X.500,
// comma separator, no plus signs) with the blank after each separator left
// out: "CN=A,O=B,C=TW" for "CN=A, O=B, C=TW". It may also use ';' as its
// separator, which stands for the semicolon form (type 0x60000003).
//
// Every operation returns a ResultCode and lets no exception out; failures
// write the error text "CMyCertContext::<method> -> <message>".
#pragma once

#include "platform/crypt.h"
#include "signlib/ResultCode.h"

// The display fields of one certificate. Texts are 8-bit, in the user's code
// page, owned by the CMyCertContext that holds them (null until set).
struct CertificateInfo {
  int version = 0;               // as CryptoAPI gives it: 0 for v1, 2 for v3
  char* serialNumber = nullptr;  // upper-case hex, most significant byte first, sign byte kept
  char* issuerCN = nullptr;      // the issuer's simple display name
  char* notBefore = nullptr;     // local time, "%04d%02d%02d%02d%02d%02d"
  char* notAfter = nullptr;
  char* subjectCN = nullptr;    // the subject's simple display name
  int keyUsage = 0;             // 0 none, 1 signature, 2 encryption
  char* certificate = nullptr;  // Base64 of the DER, CR LF every 76 characters
  char* issuer = nullptr;       // MyNameType
  char* subject = nullptr;      // MyNameType
  char* issuerOrg = nullptr;    // value of the issuer's first O=, null without one
  int tokenType = 0;            // 2 "Microsoft" provider, 1 any other or unreadable, 0 not looked up
  char providerName[128] = {};  // the private key's provider name
  int publicKeyLength = 0;      // bits
};

class CMyCertContext {
 public:
  static constexpr DWORD kNameStrComma = 0x24000003;      // X.500, comma, no plus signs
  static constexpr DWORD kNameStrSemicolon = 0x60000003;  // X.500, semicolon, no plus signs

  CMyCertContext();
  ~CMyCertContext();
  CMyCertContext(const CMyCertContext&) = delete;
  CMyCertContext& operator=(const CMyCertContext&) = delete;

  // Takes the certificate and fills every field. With both flags false the
  // context is duplicated; with either flag set the same certificate is looked
  // up in the user's "MY" store and the store's context kept, so that its
  // private key can be found. lookUpProvider also reads the key's provider
  // (token type and provider name).
  int setCertContext(PCCERT_CONTEXT pCertContext, bool lookUpProvider, bool fromStore);
  // The same from the Base64 text of the DER certificate.
  int setCertContext(const char* pchBase64Cert, bool lookUpProvider, bool fromStore);

  // 8 when now lies outside the validity period, 0 inside.
  int IsCertExpired();
  // Refreshes the certificate text.
  int getCertificate();

  // MyNameType from X.500 text. pchDest null: *piDestLen receives the length
  // needed (NUL included).
  int covX500ToMyNameType(const char* pchX500, int iX500Len, char* pchDest, int* piDestLen);
  // X.500 text from MyNameType, and the CertNameToStrA type it matches.
  int covMyNameTypeToX500(const char* pchMyName, int iMyNameLen, char* pchDest, int* piDestLen, DWORD* pdwStrType);

  // Field setters: each reads the held certificate and replaces its field.
  int setSerialNumber();
  int setIssuer();
  int setSubject();
  int setBefore();
  int setAfter();
  int setVersion();
  int setKeyUsage();
  int setTokenType();
  int setPublicKeyLength();

  // Appends the name's attributes, one line each, to the text file at path
  // (a diagnostic dump): 0, -1 (file cannot be opened), 2, 23 or 99.
  int extractCertNameBlob(const CERT_NAME_BLOB* name, const char* path);
  // A new context from the Base64 certificate into *pCertContext, which must
  // hold null; the caller frees it with CertFreeCertificateContext.
  int b64Cert_2_CertContext(const char* pchCertB64, PCCERT_CONTEXT* pCertContext);

  const char* getErrorText() const { return m_szErrorText; }
  PCCERT_CONTEXT getCertContext() const { return m_pCertContext; }
  const CertificateInfo& getCertificateInfo() const { return m_info; }
  const FILETIME& getNotBeforeLocal() const { return m_ftNotBeforeLocal; }
  const FILETIME& getNotAfterLocal() const { return m_ftNotAfterLocal; }
  int getVersion() const { return m_info.version; }
  const char* getSerialNumber() const { return m_info.serialNumber; }
  const char* getIssuerCN() const { return m_info.issuerCN; }
  const char* getNotBefore() const { return m_info.notBefore; }
  const char* getNotAfter() const { return m_info.notAfter; }
  const char* getSubjectCN() const { return m_info.subjectCN; }
  int getKeyUsage() const { return m_info.keyUsage; }
  const char* getCertificateText() const { return m_info.certificate; }
  const char* getIssuer() const { return m_info.issuer; }
  const char* getSubject() const { return m_info.subject; }
  const char* getIssuerOrg() const { return m_info.issuerOrg; }
  int getTokenType() const { return m_info.tokenType; }
  const char* getProviderName() const { return m_info.providerName; }
  int getPublicKeyLength() const { return m_info.publicKeyLength; }

 private:
  int setName(bool issuer);
  int setDate(bool before);
  int requireContext(const char* method);

  char m_szErrorText[ERROR_TEXT_SIZE];
  FILETIME m_ftNotBeforeLocal;
  FILETIME m_ftNotAfterLocal;
  PCCERT_CONTEXT m_pCertContext;
  CertificateInfo m_info;
};
