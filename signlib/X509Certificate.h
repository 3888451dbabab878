// CX509Certificate: the certificate reader of the token path. It takes a
// certificate as Base64 text, as DER bytes, or as a Base64 PKCS#7 bundle from
// which it picks the signer's certificate, and keeps the certificate's fields
// as text and bytes.
//
// Every operation returns a ResultCode and lets no exception out; on failure
// the error text (without class prefix) says why and the object is left
// cleared.
#pragma once

#include <string>
#include <vector>

#include "signlib/ResultCode.h"

typedef struct pkcs7_st PKCS7;

// The parsed record of one certificate.
struct X509CertRecord {
  std::string serialNo;  // hexadecimal, upper case, every digit of the serial
  std::string issuer;    // one RDN a line, each line ended by "\n"
  std::string subject;
  // Validity in the certificate's own UTC time: year, month, day, hour,
  // minute, second; all zero when the time cannot be read.
  int notBefore[6] = {};
  int notAfter[6] = {};
  std::string modulusHex;  // RSA only; empty for other keys
  std::string exponentHex;
  std::vector<unsigned char> modulus;  // big-endian, no sign byte
  std::vector<unsigned char> exponent;
  char keyUsage = ' ';  // 'S', 'E', 'B', 'U', or ' ' without the extension
  int expired = 0;
};

class CX509Certificate {
 public:
  // Internal codes of ParsingCertificate (LoadBinaryX509Cert reports 17).
  static constexpr int PARSE_BAD_ENCODING = 9201;
  static constexpr int PARSE_NO_MEMORY = 9202;
  static constexpr int PARSE_NULL_INPUT = 9203;
  // Base64 texts are read up to their NUL or this many characters.
  static constexpr int MAX_TEXT_CHARS = 16384;

  CX509Certificate();
  ~CX509Certificate();
  CX509Certificate(const CX509Certificate&) = delete;
  CX509Certificate& operator=(const CX509Certificate&) = delete;

  // A certificate as Base64 text of its DER.
  int LoadX509Cert(const char* pchBase64Cert);
  // A certificate as DER bytes.
  int LoadCertificate(const unsigned char* puchBinaryCert, int iBinaryCertLen);
  // Parses DER and fills the fields (not the kept DER and text); 17 on any
  // parse failure.
  int LoadBinaryX509Cert(const unsigned char* puchBinaryCert, int iBinaryCertLen);
  // Decodes DER into the parsed record: 0 or one of the PARSE_ codes.
  int ParsingCertificate(const unsigned char* puchBinaryCert, int iBinaryCertLen);
  // The signer's certificate out of a Base64 PKCS#7 bundle.
  int loadPKCS7Cert(const char* pchBase64Text);
  // A PKCS#7 object (free with PKCS7_free) of signed or signed-and-enveloped
  // type that carries certificates, read from Base64 text; null otherwise,
  // with the ResultCode in *code.
  PKCS7* sz2pkcs7(const char* pchBase64Text, int iLength, int* code);
  // Frees every owned buffer and resets every field.
  void clear();

  const char* getErrorText() const { return m_szErrorText; }
  const char* getB64X509Cert() const { return m_pchB64X509Cert; }
  const char* getIssuer() const { return m_pchIssuer; }
  const char* getSubject() const { return m_pchSubject; }
  const char* getSubjectCN() const { return m_pchSubjectCN; }
  const char* getSerialNum() const { return m_pchSerialNum; }
  // "Sign", "Encrypt", "Sign_Encrypt" or "Unknown".
  const char* getKeyUsage() const { return m_pchKeyUsage; }
  char getKeyUsageFlag() const { return m_cCert.keyUsage; }
  // "%04d%02d%02d%02d%02d%02d", UTC; "" before a load.
  const char* getNotBefore() const { return m_szNotBefore; }
  const char* getNotAfter() const { return m_szNotAfter; }
  const unsigned char* getBinaryX509Cert() const { return m_puchBinaryX590Cert; }
  int getBinaryX509CertLen() const { return m_iBinaryX509CertLen; }
  const unsigned char* getModulus() const { return m_puchModulus; }
  int getModulusLen() const { return m_iModulusLen; }
  const unsigned char* getExponent() const { return m_puchExponent; }
  int getExponentLen() const { return m_iExponentLen; }
  int isExpired() const { return m_iExpired; }
  const X509CertRecord& getCertRecord() const { return m_cCert; }
  // Set only when the certificate came from a PKCS#7 bundle.
  const unsigned char* getIssuerNameDER() const { return m_puchIssuerDER; }
  int getIssuerNameDERLen() const { return m_iIssuerDERLen; }
  const unsigned char* getSubjectNameDER() const { return m_puchSubjectDER; }
  int getSubjectNameDERLen() const { return m_iSubjectDERLen; }
  // The serial's content octets as the DER INTEGER holds them, most
  // significant first, without the sign byte.
  const unsigned char* getSerialBytes() const { return m_puchSerial; }
  int getSerialBytesLen() const { return m_iSerialLen; }

 private:
  int loadCertificateImpl(const unsigned char* der, int len);
  int loadBinaryImpl(const unsigned char* der, int len);
  int loadPKCS7Impl(const char* text);
  void clearParsed();

  char m_szErrorText[ERROR_TEXT_SIZE];
  char* m_pchB64X509Cert;
  char* m_pchIssuer;
  char* m_pchSubject;
  char* m_pchSubjectCN;
  char* m_pchSerialNum;
  const char* m_pchKeyUsage;
  char m_szNotBefore[32];
  char m_szNotAfter[32];
  unsigned char* m_puchBinaryX590Cert;
  int m_iBinaryX509CertLen;
  unsigned char* m_puchModulus;
  int m_iModulusLen;
  unsigned char* m_puchExponent;
  int m_iExponentLen;
  int m_iExpired;
  X509CertRecord m_cCert;
  unsigned char* m_puchIssuerDER;
  int m_iIssuerDERLen;
  unsigned char* m_puchSubjectDER;
  int m_iSubjectDERLen;
  unsigned char* m_puchSerial;
  int m_iSerialLen;
};
