#include "signlib/X509Certificate.h"

#include <openssl/objects.h>

#include "signlib/QuietLibraryContext.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "signlib/Base64.h"

namespace {

constexpr std::size_t kMaxSubjectCNChars = 128;

template <class T, void (*F)(T*)>
struct Deleter {
  void operator()(T* p) const { F(p); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using P7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
using GenTimePtr = std::unique_ptr<ASN1_GENERALIZEDTIME, Deleter<ASN1_GENERALIZEDTIME, ASN1_GENERALIZEDTIME_free>>;
using BitStrPtr = std::unique_ptr<ASN1_BIT_STRING, Deleter<ASN1_BIT_STRING, ASN1_BIT_STRING_free>>;

struct MallocDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using MallocPtr = std::unique_ptr<T, MallocDeleter>;

void freeOpenSSLString(char* p) { OPENSSL_free(p); }
using OsslStr = std::unique_ptr<char, Deleter<char, freeOpenSSLString>>;
void freeOpenSSLBytes(unsigned char* p) { OPENSSL_free(p); }
using OsslBytes = std::unique_ptr<unsigned char, Deleter<unsigned char, freeOpenSSLBytes>>;

// A name, one RDN a line with short attribute names and "=" without blanks,
// then "\n". Values go out as UTF-8 (not as \UXXXX escapes), so Chinese names
// read as text.
std::string nameLines(const X509_NAME* name) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio) throw std::bad_alloc();
  if (name != nullptr) X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_SEP_MULTILINE | ASN1_STRFLGS_UTF8_CONVERT);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  std::string out = n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
  out += "\n";
  return out;
}

// The common-name line of a printed name: from "CN=" up to the next "\n". The
// "CN=" must begin an attribute (the start of a line, or after the "+" of a
// multi-valued RDN), so a value that merely contains "CN=" is not taken.
std::string commonNameLine(const std::string& lines) {
  std::size_t pos = 0;
  while ((pos = lines.find("CN=", pos)) != std::string::npos) {
    bool starts = pos == 0 || lines[pos - 1] == '\n' || lines[pos - 1] == '+' ||
                  (pos >= 2 && lines[pos - 1] == ' ' && lines[pos - 2] == '+');
    if (starts) {
      std::size_t end = lines.find('\n', pos);
      return lines.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    }
    pos += 3;
  }
  return std::string();
}

// Year, month, day, hour, minute, second from the GeneralizedTime form of t;
// all zero when the time cannot be read.
void readTime(const ASN1_TIME* t, int out[6]) {
  for (int i = 0; i < 6; ++i) out[i] = 0;
  if (t == nullptr) return;
  GenTimePtr g(ASN1_TIME_to_generalizedtime(t, nullptr));
  if (!g) return;
  const unsigned char* d = ASN1_STRING_get0_data(g.get());
  int len = ASN1_STRING_length(g.get());
  if (d == nullptr || len < 14) return;
  for (int i = 0; i < 14; ++i)
    if (d[i] < '0' || d[i] > '9') return;
  auto num = [d](int off, int digits) {
    int v = 0;
    for (int i = 0; i < digits; ++i) v = v * 10 + (d[off + i] - '0');
    return v;
  };
  out[0] = num(0, 4);
  out[1] = num(4, 2);
  out[2] = num(6, 2);
  out[3] = num(8, 2);
  out[4] = num(10, 2);
  out[5] = num(12, 2);
}

// Upper-case hexadecimal of a big number; "00" for zero, as OpenSSL prints
// serial numbers.
std::string bnHex(const BIGNUM* bn) {
  OsslStr hex(BN_bn2hex(bn));
  if (!hex) throw std::bad_alloc();
  std::string s = hex.get();
  if (s == "0") s = "00";
  return s;
}

void bnParam(const EVP_PKEY* pkey, const char* param, std::string* hex, std::vector<unsigned char>* bytes) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, param, &raw) != 1 || raw == nullptr) return;
  BnPtr bn(raw);
  *hex = bnHex(bn.get());
  // A zero has no significant bytes; it is kept as the one byte its text
  // "00" shows, so the text is always twice the bytes.
  bytes->assign(static_cast<std::size_t>(std::max(BN_num_bytes(bn.get()), 1)), 0);
  BN_bn2bin(bn.get(), bytes->data() + bytes->size() - static_cast<std::size_t>(BN_num_bytes(bn.get())));
}

// First common-name value of a name as UTF-8, whole; "" when there is none.
std::string commonNameValue(const X509_NAME* name) {
  if (name == nullptr) return std::string();
  int idx = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (idx < 0) return std::string();
  const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, idx));
  unsigned char* utf8 = nullptr;
  int n = ASN1_STRING_to_UTF8(&utf8, data);
  if (n < 0 || utf8 == nullptr) return std::string();
  std::string out(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(n));
  OPENSSL_free(utf8);
  return out;
}

// A malloc'ed copy of n bytes plus a NUL; null when memory runs out.
template <class T>
T* mallocCopy(const void* src, std::size_t n) {
  void* p = std::malloc(n + 1);
  if (p == nullptr) return nullptr;
  if (n > 0) std::memcpy(p, src, n);
  static_cast<char*>(p)[n] = '\0';
  return static_cast<T*>(p);
}

const char* keyUsageText(char letter) {
  switch (letter) {
    case 'S': return "Sign";
    case 'E': return "Encrypt";
    case 'B': return "Sign_Encrypt";
    default: return "Unknown";
  }
}

}  // namespace

CX509Certificate::CX509Certificate()
    : m_szErrorText{},
      m_pchB64X509Cert(nullptr),
      m_pchIssuer(nullptr),
      m_pchSubject(nullptr),
      m_pchSubjectCN(nullptr),
      m_pchSerialNum(nullptr),
      m_pchKeyUsage("Unknown"),
      m_szNotBefore{},
      m_szNotAfter{},
      m_puchBinaryX590Cert(nullptr),
      m_iBinaryX509CertLen(0),
      m_puchModulus(nullptr),
      m_iModulusLen(0),
      m_puchExponent(nullptr),
      m_iExponentLen(0),
      m_iExpired(0),
      m_puchIssuerDER(nullptr),
      m_iIssuerDERLen(0),
      m_puchSubjectDER(nullptr),
      m_iSubjectDERLen(0),
      m_puchSerial(nullptr),
      m_iSerialLen(0) {}

CX509Certificate::~CX509Certificate() { clear(); }

void CX509Certificate::clearParsed() {
  std::free(m_pchIssuer);
  m_pchIssuer = nullptr;
  std::free(m_pchSubject);
  m_pchSubject = nullptr;
  std::free(m_pchSubjectCN);
  m_pchSubjectCN = nullptr;
  std::free(m_pchSerialNum);
  m_pchSerialNum = nullptr;
  std::free(m_puchModulus);
  m_puchModulus = nullptr;
  m_iModulusLen = 0;
  std::free(m_puchExponent);
  m_puchExponent = nullptr;
  m_iExponentLen = 0;
  m_pchKeyUsage = "Unknown";
  m_szNotBefore[0] = '\0';
  m_szNotAfter[0] = '\0';
  m_iExpired = 0;
  m_cCert = X509CertRecord();
}

void CX509Certificate::clear() {
  clearParsed();
  std::free(m_pchB64X509Cert);
  m_pchB64X509Cert = nullptr;
  std::free(m_puchBinaryX590Cert);
  m_puchBinaryX590Cert = nullptr;
  m_iBinaryX509CertLen = 0;
  std::free(m_puchIssuerDER);
  m_puchIssuerDER = nullptr;
  m_iIssuerDERLen = 0;
  std::free(m_puchSubjectDER);
  m_puchSubjectDER = nullptr;
  m_iSubjectDERLen = 0;
  std::free(m_puchSerial);
  m_puchSerial = nullptr;
  m_iSerialLen = 0;
}

int CX509Certificate::ParsingCertificate(const unsigned char* der, int len) {
  try {
    if (der == nullptr || len < 1) return PARSE_NULL_INPUT;
    const unsigned char* p = der;
    // Parsing in a library context with only the "null" provider keeps
    // OpenSSL from decoding the public key through its provider framework on
    // every parse, which costs far more than the rest of the certificate; the
    // RSA numbers are read below with the legacy decoder instead.
    X509* raw = X509_new_ex(quietLibraryContext(), nullptr);
    if (raw != nullptr && d2i_X509(&raw, &p, len) == nullptr) raw = nullptr;
    X509Ptr cert(raw);
    if (!cert) {
      ERR_clear_error();
      return PARSE_BAD_ENCODING;
    }
    X509CertRecord rec;
    rec.issuer = nameLines(X509_get_issuer_name(cert.get()));
    rec.subject = nameLines(X509_get_subject_name(cert.get()));

    BnPtr serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert.get()), nullptr));
    if (!serial) throw std::bad_alloc();
    rec.serialNo = bnHex(serial.get());

    int critical = -1;
    BitStrPtr ku(static_cast<ASN1_BIT_STRING*>(X509_get_ext_d2i(cert.get(), NID_key_usage, &critical, nullptr)));
    if (ku) {
      bool sign = ASN1_BIT_STRING_get_bit(ku.get(), 0) != 0;  // digitalSignature
      bool enc = ASN1_BIT_STRING_get_bit(ku.get(), 2) != 0;   // keyEncipherment
      rec.keyUsage = sign && enc ? 'B' : sign ? 'S' : enc ? 'E' : 'U';
    }

    readTime(X509_get0_notBefore(cert.get()), rec.notBefore);
    readTime(X509_get0_notAfter(cert.get()), rec.notAfter);
    // -1: not after lies before now; 0: the time cannot be read, which is no
    // reason to treat the certificate as valid.
    rec.expired = X509_cmp_time(X509_get0_notAfter(cert.get()), nullptr) <= 0 ? 1 : 0;

    // Only RSA keys have a modulus; any other key leaves both empty.
    const unsigned char* bits = nullptr;
    int blen = 0;
    X509_ALGOR* alg = nullptr;
    X509_PUBKEY_get0_param(nullptr, &bits, &blen, &alg, X509_get_X509_PUBKEY(cert.get()));
    int nid = alg != nullptr ? OBJ_obj2nid(alg->algorithm) : NID_undef;
    EVP_PKEY* pkey = (nid == NID_rsaEncryption || nid == NID_rsassaPss)
                         ? d2i_PublicKey(EVP_PKEY_RSA, nullptr, &bits, blen)
                         : nullptr;
    if (pkey != nullptr) {
      bnParam(pkey, OSSL_PKEY_PARAM_RSA_N, &rec.modulusHex, &rec.modulus);
      bnParam(pkey, OSSL_PKEY_PARAM_RSA_E, &rec.exponentHex, &rec.exponent);
      EVP_PKEY_free(pkey);
    }
    ERR_clear_error();
    m_cCert = std::move(rec);
    return 0;
  } catch (const std::bad_alloc&) {
    ERR_clear_error();
    return PARSE_NO_MEMORY;
  }
}

int CX509Certificate::loadBinaryImpl(const unsigned char* der, int len) {
  int parsed = ParsingCertificate(der, len);
  if (parsed != 0) {
    formatErrorText(m_szErrorText, "ParsingCertificate() error, return code:0x[%X].", parsed);
    return rc::INPUT_FORMAT_ERROR;
  }
  // Issuer and subject are kept whole, however long.
  m_pchIssuer = mallocCopy<char>(m_cCert.issuer.data(), m_cCert.issuer.size());
  if (m_pchIssuer == nullptr) {
    formatErrorText(m_szErrorText, "m_pchIssuer malloc() error, m_cCert.issuer->length:0x[%X].",
                    static_cast<unsigned>(m_cCert.issuer.size()));
    return rc::OUT_OF_MEMORY;
  }
  m_pchSubject = mallocCopy<char>(m_cCert.subject.data(), m_cCert.subject.size());
  if (m_pchSubject == nullptr) {
    formatErrorText(m_szErrorText, "m_pchSubject malloc() error, m_cCert.subject->length:0x[%X].",
                    static_cast<unsigned>(m_cCert.subject.size()));
    return rc::OUT_OF_MEMORY;
  }
  std::string cn = commonNameLine(m_cCert.subject);
  if (cn.size() > kMaxSubjectCNChars) cn.clear();
  m_pchSubjectCN = mallocCopy<char>(cn.data(), cn.size());
  if (m_pchSubjectCN == nullptr) {
    formatErrorText(m_szErrorText, "m_pchSubjectCN malloc() error, tmpSubjectCN->length:0x[%X].",
                    static_cast<unsigned>(cn.size()));
    return rc::OUT_OF_MEMORY;
  }
  m_pchSerialNum = mallocCopy<char>(m_cCert.serialNo.data(), m_cCert.serialNo.size());
  if (m_pchSerialNum == nullptr) {
    formatErrorText(m_szErrorText, "m_pchSerialNum malloc() error, m_cCert.serialNo->length:0x[%X].",
                    static_cast<unsigned>(m_cCert.serialNo.size()));
    return rc::OUT_OF_MEMORY;
  }
  m_pchKeyUsage = keyUsageText(m_cCert.keyUsage);
  const int* b = m_cCert.notBefore;
  const int* a = m_cCert.notAfter;
  if (b[0] != 0)
    formatBounded(m_szNotBefore, sizeof m_szNotBefore, "%04d%02d%02d%02d%02d%02d", b[0], b[1], b[2], b[3], b[4], b[5]);
  if (a[0] != 0)
    formatBounded(m_szNotAfter, sizeof m_szNotAfter, "%04d%02d%02d%02d%02d%02d", a[0], a[1], a[2], a[3], a[4], a[5]);
  m_iExpired = m_cCert.expired;

  if (!m_cCert.modulus.empty()) {
    m_puchModulus = mallocCopy<unsigned char>(m_cCert.modulus.data(), m_cCert.modulus.size());
    if (m_puchModulus == nullptr) {
      formatErrorText(m_szErrorText, "m_puchModulus malloc() error, publicKey.modulus->length:0x[%X].",
                      static_cast<unsigned>(m_cCert.modulusHex.size()));
      return rc::OUT_OF_MEMORY;
    }
    m_iModulusLen = static_cast<int>(m_cCert.modulus.size());
  }
  if (!m_cCert.exponent.empty()) {
    m_puchExponent = mallocCopy<unsigned char>(m_cCert.exponent.data(), m_cCert.exponent.size());
    if (m_puchExponent == nullptr) {
      formatErrorText(m_szErrorText, "m_puchExponent malloc() error, publicKey.exponent->length:0x[%X].",
                      static_cast<unsigned>(m_cCert.exponentHex.size()));
      return rc::OUT_OF_MEMORY;
    }
    m_iExponentLen = static_cast<int>(m_cCert.exponent.size());
  }
  return rc::OK;
}

int CX509Certificate::LoadBinaryX509Cert(const unsigned char* der, int len) {
  try {
    clearParsed();
    int code = loadBinaryImpl(der, len);
    if (code != rc::OK) clearParsed();
    return code;
  } catch (...) {
    clearParsed();
    formatErrorText(m_szErrorText, "LoadBinaryX509Cert()->unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CX509Certificate::LoadX509Cert(const char* pchBase64Cert) {
  try {
    clear();
    if (pchBase64Cert == nullptr) {
      formatErrorText(m_szErrorText, "LoadX509Cert() error, pchBase64Cert is NULL.");
      return rc::WRONG_PARAMETER;
    }
    const int textLen = static_cast<int>(strnlen(pchBase64Cert, MAX_TEXT_CHARS));
    int derLen = textLen;
    MallocPtr<unsigned char> der(base64Decode(pchBase64Cert, &derLen));
    if (!der) {
      formatErrorText(m_szErrorText, "LoadX509Cert()->malloc() m_puchBinaryX590Cert error, m_iBinaryX509CertLen:0x[%X]",
                      static_cast<unsigned>(textLen));
      return rc::OUT_OF_MEMORY;
    }
    int code = loadBinaryImpl(der.get(), derLen);
    if (code != rc::OK) {
      formatErrorText(m_szErrorText, "LoadBinaryX509Cert() error, return code:0x[%X].", static_cast<unsigned>(code));
      clear();
      return code;
    }
    m_puchBinaryX590Cert = mallocCopy<unsigned char>(der.get(), static_cast<std::size_t>(derLen));
    if (m_puchBinaryX590Cert == nullptr) {
      formatErrorText(m_szErrorText, "LoadX509Cert()->malloc() m_puchBinaryX590Cert error, m_iBinaryX509CertLen:0x[%X]",
                      static_cast<unsigned>(derLen));
      clear();
      return rc::OUT_OF_MEMORY;
    }
    m_iBinaryX509CertLen = derLen;
    m_pchB64X509Cert = mallocCopy<char>(pchBase64Cert, static_cast<std::size_t>(textLen));
    if (m_pchB64X509Cert == nullptr) {
      formatErrorText(m_szErrorText, "LoadX509Cert()->malloc() m_pchB64X509Cert error, pchBase64Cert length:0x[%X]",
                      static_cast<unsigned>(textLen));
      clear();
      return rc::OUT_OF_MEMORY;
    }
    return rc::OK;
  } catch (...) {
    clear();
    formatErrorText(m_szErrorText, "LoadX509Cert()->unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CX509Certificate::loadCertificateImpl(const unsigned char* der, int len) {
  if (der == nullptr) {
    formatErrorText(m_szErrorText, "LoadCertificate() error, puchBinaryCert is NULL.");
    return rc::WRONG_PARAMETER;
  }
  if (len < 1) {
    formatErrorText(m_szErrorText, "LoadCertificate() error, BinaryCertLen:0x[%X] is invalid.",
                    static_cast<unsigned>(len));
    return rc::WRONG_PARAMETER;
  }
  int code = loadBinaryImpl(der, len);
  if (code != rc::OK) {
    formatErrorText(m_szErrorText, "LoadBinaryX509Cert() error, return code:0x[%X].", static_cast<unsigned>(code));
    return code;
  }
  m_puchBinaryX590Cert = mallocCopy<unsigned char>(der, static_cast<std::size_t>(len));
  if (m_puchBinaryX590Cert == nullptr) {
    formatErrorText(m_szErrorText, "LoadX509Cert()->malloc() m_puchBinaryX590Cert error, iBinaryCertLen:0x[%X]",
                    static_cast<unsigned>(len));
    return rc::OUT_OF_MEMORY;
  }
  m_iBinaryX509CertLen = len;
  m_pchB64X509Cert = base64Encode(der, len);
  if (m_pchB64X509Cert == nullptr) {
    formatErrorText(m_szErrorText, "LoadX509Cert()->malloc() m_pchB64X509Cert error, puchTempB64Cert length:0x[%X]",
                    static_cast<unsigned>(len));
    return rc::OUT_OF_MEMORY;
  }
  return rc::OK;
}

int CX509Certificate::LoadCertificate(const unsigned char* der, int len) {
  try {
    clear();
    int code = loadCertificateImpl(der, len);
    if (code != rc::OK) clear();
    return code;
  } catch (...) {
    clear();
    formatErrorText(m_szErrorText, "LoadCertificate()->unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

PKCS7* CX509Certificate::sz2pkcs7(const char* text, int length, int* code) {
  int localCode = 0;
  if (code == nullptr) code = &localCode;
  try {
    if (text == nullptr || length < 0) {
      *code = rc::WRONG_PARAMETER;
      formatErrorText(m_szErrorText, "sz2pkcs7()->input error");
      return nullptr;
    }
    // Trailing line ends are not part of the text (the caller's text is left
    // as it is; the decoder would skip them anyway).
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;

    int n = length;
    MallocPtr<unsigned char> bytes(base64Decode(text, &n));
    if (!bytes) {
      *code = rc::OUT_OF_MEMORY;
      formatErrorText(m_szErrorText, "sz2pkcs7()->base64Decode() error");
      return nullptr;
    }
    // Encoded again so the PEM reader sees clean lines, whatever the caller's
    // line layout was.
    MallocPtr<char> lines(base64Encode(bytes.get(), n));
    if (!lines) {
      *code = rc::OUT_OF_MEMORY;
      formatErrorText(m_szErrorText, "sz2pkcs7()->base64Encode() error");
      return nullptr;
    }
    std::string pem = "-----BEGIN PKCS7-----\n";
    pem += lines.get();
    std::size_t linesLen = std::strlen(lines.get());
    if (!(linesLen >= 2 && lines.get()[linesLen - 2] == '\r' && lines.get()[linesLen - 1] == '\n')) pem += "\n";
    pem += "-----END PKCS7-----\n";

    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) {
      *code = rc::OUT_OF_MEMORY;
      formatErrorText(m_szErrorText, "sz2pkcs7()->BIO_new() error");
      return nullptr;
    }
    int written = BIO_write(bio.get(), pem.data(), static_cast<int>(pem.size()));
    if (written != static_cast<int>(pem.size())) {
      *code = rc::OPERATION_ERROR;
      formatErrorText(m_szErrorText, "sz2pkcs7()->BIO_write() error, written:0x[%X]", static_cast<unsigned>(written));
      ERR_clear_error();
      return nullptr;
    }
    P7Ptr p7(PEM_read_bio_PKCS7(bio.get(), nullptr, nullptr, nullptr));
    ERR_clear_error();
    if (!p7) {
      *code = rc::INPUT_FORMAT_ERROR;
      formatErrorText(m_szErrorText, "sz2pkcs7()->PEM_read_bio_PKCS7() error");
      return nullptr;
    }
    STACK_OF(X509)* certs = nullptr;
    if (PKCS7_type_is_signed(p7.get()))
      certs = p7->d.sign != nullptr ? p7->d.sign->cert : nullptr;
    else if (PKCS7_type_is_signedAndEnveloped(p7.get()))
      certs = p7->d.signed_and_enveloped != nullptr ? p7->d.signed_and_enveloped->cert : nullptr;
    else {
      *code = rc::INPUT_FORMAT_ERROR;
      formatErrorText(m_szErrorText, "sz2pkcs7()->PKCS7 type error");
      return nullptr;
    }
    if (certs == nullptr || sk_X509_num(certs) <= 0) {
      *code = rc::INPUT_FORMAT_ERROR;
      formatErrorText(m_szErrorText, "sz2pkcs7()->no certificate in PKCS7");
      return nullptr;
    }
    *code = rc::OK;
    return p7.release();
  } catch (const std::bad_alloc&) {
    *code = rc::OUT_OF_MEMORY;
    formatErrorText(m_szErrorText, "sz2pkcs7()->memory allocation error");
    return nullptr;
  } catch (...) {
    *code = rc::UNKNOWN_ERROR;
    formatErrorText(m_szErrorText, "sz2pkcs7()->unknown error");
    return nullptr;
  }
}

int CX509Certificate::loadPKCS7Impl(const char* text) {
  if (text == nullptr || *text == '\0') {
    formatErrorText(m_szErrorText, "loadPKCS7Cert -> loadPKCS7Cert can't be null or empty string");
    return rc::WRONG_PARAMETER;
  }
  const int textLen = static_cast<int>(strnlen(text, MAX_TEXT_CHARS));
  int code = 0;
  P7Ptr p7(sz2pkcs7(text, textLen, &code));
  if (!p7) {
    formatErrorText(m_szErrorText, "loadB64CertData -> sz2pkcs7 failed! rtn:0x[%X]", static_cast<unsigned>(code));
    return code != rc::OK ? code : rc::INPUT_FORMAT_ERROR;
  }
  STACK_OF(X509)* certs = nullptr;
  if (PKCS7_type_is_signed(p7.get()) && p7->d.sign != nullptr)
    certs = p7->d.sign->cert;
  else if (PKCS7_type_is_signedAndEnveloped(p7.get()) && p7->d.signed_and_enveloped != nullptr)
    certs = p7->d.signed_and_enveloped->cert;
  else {
    formatErrorText(m_szErrorText, "loadCertB64 -> PKCS7 format error.");
    return rc::INPUT_FORMAT_ERROR;
  }
  const int count = certs != nullptr ? sk_X509_num(certs) : 0;
  if (count <= 0) {
    formatErrorText(m_szErrorText, "loadB64CertData -> failed to get certs from PKCS7.");
    return rc::INPUT_FORMAT_ERROR;
  }

  X509* signer = nullptr;
  if (count == 1) {
    signer = sk_X509_value(certs, 0);
  } else {
    // The signer is the first certificate that issued none of the others; its
    // issuer must be in the bundle too. Common names are compared whole.
    std::vector<std::string> issuers;
    try {
      issuers.reserve(static_cast<std::size_t>(count));
      for (int i = 0; i < count; ++i) issuers.push_back(commonNameValue(X509_get_issuer_name(sk_X509_value(certs, i))));
    } catch (const std::bad_alloc&) {
      formatErrorText(m_szErrorText, "caIssuers malloc() error, iNum:0x[%X]", static_cast<unsigned>(count));
      return rc::OUT_OF_MEMORY;
    }
    for (int i = 0; i < count && signer == nullptr; ++i) {
      X509* c = sk_X509_value(certs, i);
      std::string subjectCN = commonNameValue(X509_get_subject_name(c));
      bool issuedAnother = false;
      for (const std::string& is : issuers)
        if (is == subjectCN) issuedAnother = true;
      if (!issuedAnother) signer = c;
    }
    std::string signerIssuer = signer != nullptr ? commonNameValue(X509_get_issuer_name(signer)) : std::string();
    if (signer == nullptr || signerIssuer.empty()) {
      formatErrorText(m_szErrorText, "loadCertB64 -> The Cert from PKCS7 format error!");
      return rc::INPUT_FORMAT_ERROR;
    }
    bool caFound = false;
    for (int i = 0; i < count && !caFound; ++i)
      caFound = commonNameValue(X509_get_subject_name(sk_X509_value(certs, i))) == signerIssuer;
    if (!caFound) {
      formatErrorText(m_szErrorText, "loadB64CertData -> no matched CAert with Subject commonName(%s)!",
                      signerIssuer.c_str());
      return rc::INPUT_FORMAT_ERROR;
    }
  }
  if (signer == nullptr) {
    formatErrorText(m_szErrorText, "loadCertB64 -> The Cert from PKCS7 format error!");
    return rc::INPUT_FORMAT_ERROR;
  }

  // The signer's issuer and subject names and serial, kept for the token path.
  unsigned char* issuerDer = nullptr;
  int issuerLen = i2d_X509_NAME(X509_get_issuer_name(signer), &issuerDer);
  OsslBytes issuerHold(issuerDer);
  unsigned char* subjectDer = nullptr;
  int subjectLen = i2d_X509_NAME(X509_get_subject_name(signer), &subjectDer);
  OsslBytes subjectHold(subjectDer);
  unsigned char* certDer = nullptr;
  int certLen = i2d_X509(signer, &certDer);
  OsslBytes certHold(certDer);
  if (issuerLen <= 0 || subjectLen <= 0 || certLen <= 0) {
    ERR_clear_error();
    formatErrorText(m_szErrorText, "loadCertB64 -> The Cert from PKCS7 format error!");
    return rc::INPUT_FORMAT_ERROR;
  }
  const ASN1_INTEGER* serial = X509_get0_serialNumber(signer);
  const unsigned char* serialData = ASN1_STRING_get0_data(serial);
  const int serialLen = ASN1_STRING_length(serial);

  code = loadCertificateImpl(certDer, certLen);
  if (code != rc::OK) return code;

  m_puchIssuerDER = mallocCopy<unsigned char>(issuerDer, static_cast<std::size_t>(issuerLen));
  m_puchSubjectDER = mallocCopy<unsigned char>(subjectDer, static_cast<std::size_t>(subjectLen));
  m_puchSerial = mallocCopy<unsigned char>(serialData, static_cast<std::size_t>(serialLen));
  if (m_puchIssuerDER == nullptr || m_puchSubjectDER == nullptr || m_puchSerial == nullptr) {
    formatErrorText(m_szErrorText, "loadB64CertData -> malloc() error, issuer/subject/serial");
    return rc::OUT_OF_MEMORY;
  }
  m_iIssuerDERLen = issuerLen;
  m_iSubjectDERLen = subjectLen;
  m_iSerialLen = serialLen;
  return rc::OK;
}

int CX509Certificate::loadPKCS7Cert(const char* pchBase64Text) {
  try {
    clear();
    int code = loadPKCS7Impl(pchBase64Text);
    if (code != rc::OK) clear();
    ERR_clear_error();
    return code;
  } catch (...) {
    clear();
    ERR_clear_error();
    formatErrorText(m_szErrorText, "loadB64CertData -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}
