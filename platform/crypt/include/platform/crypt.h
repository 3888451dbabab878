// Crypt family: certificate contexts, certificate stores (memory stores and
// the file-backed system stores under the platform root), name strings, key
// usage and key length, and the key providers that hold certificates' private
// keys. Declarations follow the public CryptoAPI documentation; the
// implementation runs on OpenSSL.
//
// Text of the A functions is in the ANSI code page (CP_ACP) of the locale
// family; wide text is UTF-16 (WCHAR = char16_t).
#pragma once

#include "platform/wintypes.h"

// ---- handles ----
using HCERTSTORE = void*;
using HCRYPTPROV = ULONG_PTR;
using HCRYPTPROV_LEGACY = ULONG_PTR;
using HCRYPTPROV_OR_NCRYPT_KEY_HANDLE = ULONG_PTR;
using ALG_ID = unsigned int;

// ---- blobs ----
struct CRYPTOAPI_BLOB {
  DWORD cbData;
  BYTE* pbData;
};
using CRYPT_INTEGER_BLOB = CRYPTOAPI_BLOB;
using PCRYPT_INTEGER_BLOB = CRYPTOAPI_BLOB*;
using CRYPT_UINT_BLOB = CRYPTOAPI_BLOB;
using CRYPT_OBJID_BLOB = CRYPTOAPI_BLOB;
using CERT_NAME_BLOB = CRYPTOAPI_BLOB;
using PCERT_NAME_BLOB = CRYPTOAPI_BLOB*;
using CERT_RDN_VALUE_BLOB = CRYPTOAPI_BLOB;
using CERT_BLOB = CRYPTOAPI_BLOB;
using PCERT_BLOB = CRYPTOAPI_BLOB*;
using CRL_BLOB = CRYPTOAPI_BLOB;
using DATA_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DATA_BLOB = CRYPTOAPI_BLOB;
using PCRYPT_DATA_BLOB = CRYPTOAPI_BLOB*;
using CRYPT_HASH_BLOB = CRYPTOAPI_BLOB;
using PCRYPT_HASH_BLOB = CRYPTOAPI_BLOB*;
using CRYPT_DIGEST_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DER_BLOB = CRYPTOAPI_BLOB;
using CRYPT_ATTR_BLOB = CRYPTOAPI_BLOB;
using PCRYPT_ATTR_BLOB = CRYPTOAPI_BLOB*;

struct CRYPT_ALGORITHM_IDENTIFIER {
  LPSTR pszObjId;
  CRYPT_OBJID_BLOB Parameters;
};
using PCRYPT_ALGORITHM_IDENTIFIER = CRYPT_ALGORITHM_IDENTIFIER*;

struct CRYPT_BIT_BLOB {
  DWORD cbData;
  BYTE* pbData;
  DWORD cUnusedBits;
};
using PCRYPT_BIT_BLOB = CRYPT_BIT_BLOB*;

struct CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
};
using PCERT_PUBLIC_KEY_INFO = CERT_PUBLIC_KEY_INFO*;

struct CERT_EXTENSION {
  LPSTR pszObjId;
  BOOL fCritical;
  CRYPT_OBJID_BLOB Value;  // the DER of the extension's value
};
using PCERT_EXTENSION = CERT_EXTENSION*;

// SerialNumber holds the DER INTEGER's content octets least significant first,
// the sign byte included (serial 0x80 is the blob 80 00).
struct CERT_INFO {
  DWORD dwVersion;  // CERT_V1, CERT_V2, CERT_V3
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;  // DER of the issuer name
  FILETIME NotBefore;     // UTC
  FILETIME NotAfter;      // UTC
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  CRYPT_BIT_BLOB IssuerUniqueId;
  CRYPT_BIT_BLOB SubjectUniqueId;
  DWORD cExtension;
  PCERT_EXTENSION rgExtension;
};
using PCERT_INFO = CERT_INFO*;

struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
};
using PCERT_CONTEXT = CERT_CONTEXT*;
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct CRYPT_KEY_PROV_PARAM {
  DWORD dwParam;
  BYTE* pbData;
  DWORD cbData;
  DWORD dwFlags;
};
using PCRYPT_KEY_PROV_PARAM = CRYPT_KEY_PROV_PARAM*;

// Where a certificate's private key lives. CertGetCertificateContextProperty
// returns it in one buffer: the structure followed by the strings it points to.
struct CRYPT_KEY_PROV_INFO {
  LPWSTR pwszContainerName;
  LPWSTR pwszProvName;
  DWORD dwProvType;
  DWORD dwFlags;
  DWORD cProvParam;
  PCRYPT_KEY_PROV_PARAM rgProvParam;
  DWORD dwKeySpec;
};
using PCRYPT_KEY_PROV_INFO = CRYPT_KEY_PROV_INFO*;

// ---- encoding types ----
constexpr DWORD X509_ASN_ENCODING = 0x00000001;
constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;
constexpr DWORD CERT_ENCODING_TYPE_MASK = 0x0000FFFF;

constexpr DWORD CERT_V1 = 0;
constexpr DWORD CERT_V2 = 1;
constexpr DWORD CERT_V3 = 2;

// ---- object identifiers ----
#define szOID_RSA_RSA "1.2.840.113549.1.1.1"
#define szOID_RSA_SHA1RSA "1.2.840.113549.1.1.5"
#define szOID_RSA_SHA256RSA "1.2.840.113549.1.1.11"
#define szOID_OIWSEC_sha1 "1.3.14.3.2.26"
#define szOID_RSA_MD5 "1.2.840.113549.2.5"
#define szOID_ECC_PUBLIC_KEY "1.2.840.10045.2.1"
#define szOID_KEY_USAGE "2.5.29.15"
#define szOID_SUBJECT_ALT_NAME2 "2.5.29.17"
#define szOID_ISSUER_ALT_NAME2 "2.5.29.18"
#define szOID_COMMON_NAME "2.5.4.3"
#define szOID_SUR_NAME "2.5.4.4"
#define szOID_DEVICE_SERIAL_NUMBER "2.5.4.5"
#define szOID_COUNTRY_NAME "2.5.4.6"
#define szOID_LOCALITY_NAME "2.5.4.7"
#define szOID_STATE_OR_PROVINCE_NAME "2.5.4.8"
#define szOID_STREET_ADDRESS "2.5.4.9"
#define szOID_ORGANIZATION_NAME "2.5.4.10"
#define szOID_ORGANIZATIONAL_UNIT_NAME "2.5.4.11"
#define szOID_TITLE "2.5.4.12"
#define szOID_GIVEN_NAME "2.5.4.42"
#define szOID_RSA_emailAddr "1.2.840.113549.1.9.1"
#define szOID_DOMAIN_COMPONENT "0.9.2342.19200300.100.1.25"

// ---- certificate contexts ----
// Parses the DER certificate; the context owns a copy of the bytes. Bad
// encodings fail with CRYPT_E_ASN1_BADTAG or CRYPT_E_ASN1_EOD (truncated).
PLATFORM_API PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE* pbCertEncoded,
                                                         DWORD cbCertEncoded);
// Contexts are reference counted: duplicating returns the same pointer.
PLATFORM_API PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
PLATFORM_API BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);

// Property ids.
constexpr DWORD CERT_KEY_PROV_HANDLE_PROP_ID = 1;
constexpr DWORD CERT_KEY_PROV_INFO_PROP_ID = 2;
constexpr DWORD CERT_SHA1_HASH_PROP_ID = 3;
constexpr DWORD CERT_MD5_HASH_PROP_ID = 4;
constexpr DWORD CERT_HASH_PROP_ID = CERT_SHA1_HASH_PROP_ID;
constexpr DWORD CERT_KEY_CONTEXT_PROP_ID = 5;
constexpr DWORD CERT_KEY_SPEC_PROP_ID = 6;

// Size contract: pvData NULL gives the size in *pcbData; a buffer too small
// fails with ERROR_MORE_DATA and the size needed. A missing property fails
// with CRYPT_E_NOT_FOUND.
PLATFORM_API BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, void* pvData,
                                                    DWORD* pcbData);
// CERT_KEY_PROV_INFO_PROP_ID only (pvData: CRYPT_KEY_PROV_INFO*, NULL removes
// it). A context of a system store writes the change to the store's file.
PLATFORM_API BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT pCertContext, DWORD dwPropId, DWORD dwFlags,
                                                    const void* pvData);

// -1 before NotBefore, +1 after NotAfter, 0 inside. pTimeToVerify NULL: now.
PLATFORM_API LONG CertVerifyTimeValidity(LPFILETIME pTimeToVerify, PCERT_INFO pCertInfo);

// ---- stores ----
#define CERT_STORE_PROV_MEMORY (reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(2)))
#define CERT_STORE_PROV_SYSTEM_A (reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(9)))
#define CERT_STORE_PROV_SYSTEM_W (reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(10)))
#define CERT_STORE_PROV_SYSTEM CERT_STORE_PROV_SYSTEM_W

constexpr DWORD CERT_STORE_CREATE_NEW_FLAG = 0x00002000;
constexpr DWORD CERT_STORE_OPEN_EXISTING_FLAG = 0x00004000;
constexpr DWORD CERT_STORE_READONLY_FLAG = 0x00008000;
constexpr DWORD CERT_SYSTEM_STORE_CURRENT_USER = 0x00010000;
constexpr DWORD CERT_SYSTEM_STORE_LOCAL_MACHINE = 0x00020000;

constexpr DWORD CERT_CLOSE_STORE_FORCE_FLAG = 0x00000001;
constexpr DWORD CERT_CLOSE_STORE_CHECK_FLAG = 0x00000002;

constexpr DWORD CERT_STORE_ADD_NEW = 1;
constexpr DWORD CERT_STORE_ADD_USE_EXISTING = 2;
constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING = 3;
constexpr DWORD CERT_STORE_ADD_ALWAYS = 4;
constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES = 5;
constexpr DWORD CERT_STORE_ADD_NEWER = 6;
constexpr DWORD CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES = 7;

// A system store ("MY", "CA", "ROOT", ... case-insensitive) lives in the
// folder $PLATFORM_ROOT/stores/<NAME>/, one file per certificate; the folder is
// made on first open. hProv is not used.
PLATFORM_API HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV_LEGACY hProv, LPCSTR szSubsystemProtocol);
PLATFORM_API HCERTSTORE CertOpenSystemStoreW(HCRYPTPROV_LEGACY hProv, LPCWSTR szSubsystemProtocol);
// CERT_STORE_PROV_MEMORY (a new, empty store) and CERT_STORE_PROV_SYSTEM_A/_W
// (pvPara: the store name).
PLATFORM_API HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType, HCRYPTPROV_LEGACY hCryptProv,
                                      DWORD dwFlags, const void* pvPara);
PLATFORM_API HCERTSTORE CertDuplicateStore(HCERTSTORE hCertStore);
// The store stays alive while contexts taken from it are; with
// CERT_CLOSE_STORE_CHECK_FLAG a close that leaves such contexts returns FALSE
// with CRYPT_E_PENDING_CLOSE (the handle is closed all the same).
PLATFORM_API BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);

// Adds a copy of the certificate with its properties. CERT_STORE_ADD_ALWAYS
// behaves as CERT_STORE_ADD_REPLACE_EXISTING (a store holds a certificate once).
PLATFORM_API BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                                   DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext);
PLATFORM_API BOOL CertAddEncodedCertificateToStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                   const BYTE* pbCertEncoded, DWORD cbCertEncoded,
                                                   DWORD dwAddDisposition, PCCERT_CONTEXT* ppCertContext);
// Always frees pCertContext, even on failure.
PLATFORM_API BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext);
// Frees pPrevCertContext; NULL with CRYPT_E_NOT_FOUND at the end.
PLATFORM_API PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext);

constexpr DWORD CERT_COMPARE_SHIFT = 16;
constexpr DWORD CERT_COMPARE_ANY = 0;
constexpr DWORD CERT_COMPARE_SHA1_HASH = 1;
constexpr DWORD CERT_COMPARE_EXISTING = 13;
constexpr DWORD CERT_FIND_ANY = CERT_COMPARE_ANY << CERT_COMPARE_SHIFT;
constexpr DWORD CERT_FIND_SHA1_HASH = CERT_COMPARE_SHA1_HASH << CERT_COMPARE_SHIFT;
constexpr DWORD CERT_FIND_HASH = CERT_FIND_SHA1_HASH;
constexpr DWORD CERT_FIND_EXISTING = CERT_COMPARE_EXISTING << CERT_COMPARE_SHIFT;

// CERT_FIND_ANY, CERT_FIND_SHA1_HASH (pvFindPara: CRYPT_HASH_BLOB*) and
// CERT_FIND_EXISTING (pvFindPara: PCCERT_CONTEXT; the same encoded
// certificate). Frees pPrevCertContext; NULL with CRYPT_E_NOT_FOUND.
PLATFORM_API PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType,
                                                       DWORD dwFindFlags, DWORD dwFindType, const void* pvFindPara,
                                                       PCCERT_CONTEXT pPrevCertContext);

// ---- names ----
constexpr DWORD CERT_SIMPLE_NAME_STR = 1;
constexpr DWORD CERT_OID_NAME_STR = 2;
constexpr DWORD CERT_X500_NAME_STR = 3;
constexpr DWORD CERT_NAME_STR_SEMICOLON_FLAG = 0x40000000;
constexpr DWORD CERT_NAME_STR_NO_PLUS_FLAG = 0x20000000;
constexpr DWORD CERT_NAME_STR_NO_QUOTING_FLAG = 0x10000000;
constexpr DWORD CERT_NAME_STR_CRLF_FLAG = 0x08000000;
constexpr DWORD CERT_NAME_STR_COMMA_FLAG = 0x04000000;
constexpr DWORD CERT_NAME_STR_REVERSE_FLAG = 0x02000000;
constexpr DWORD CERT_NAME_STR_DISABLE_IE4_UTF8_FLAG = 0x00010000;

// The RDNs in encoded order (reversed with CERT_NAME_STR_REVERSE_FLAG), keys
// C, S, L, O, OU, CN, E, T, G, SN, STREET, DC, SERIALNUMBER and the dotted OID
// for any other attribute. A value that holds , ; " = + < > # or a line
// break, or begins or ends with a blank, is quoted, with quotes inside it
// doubled. Separators ", " (default and COMMA), "; " (SEMICOLON) or CR LF;
// values of a multi-valued RDN are joined by " + ", or a blank with NO_PLUS.
// Returns the characters written (NUL included); with psz NULL or csz 0 the
// characters needed. A short buffer receives as much as fits.
PLATFORM_API DWORD CertNameToStrA(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPSTR psz,
                                  DWORD csz);
PLATFORM_API DWORD CertNameToStrW(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPWSTR psz,
                                  DWORD csz);

constexpr DWORD CERT_NAME_EMAIL_TYPE = 1;
constexpr DWORD CERT_NAME_RDN_TYPE = 2;
constexpr DWORD CERT_NAME_ATTR_TYPE = 3;
constexpr DWORD CERT_NAME_SIMPLE_DISPLAY_TYPE = 4;
constexpr DWORD CERT_NAME_FRIENDLY_DISPLAY_TYPE = 5;
constexpr DWORD CERT_NAME_ISSUER_FLAG = 0x00000001;
constexpr DWORD CERT_NAME_DISABLE_IE4_UTF8_FLAG = 0x00010000;

// SIMPLE_DISPLAY (and FRIENDLY_DISPLAY): the first CN, else OU, else O, else
// the e-mail address (E attribute, then the rfc822 alternative name) of the
// subject, or the issuer with CERT_NAME_ISSUER_FLAG. EMAIL, RDN (pvTypePara:
// DWORD* name-string type) and ATTR (pvTypePara: the attribute's OID) as
// documented. Returns the characters (NUL included); nothing found gives "".
PLATFORM_API DWORD CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                                      LPSTR pszNameString, DWORD cchNameString);
PLATFORM_API DWORD CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                                      LPWSTR pszNameString, DWORD cchNameString);

// ---- key usage and key length ----
constexpr BYTE CERT_DIGITAL_SIGNATURE_KEY_USAGE = 0x80;
constexpr BYTE CERT_NON_REPUDIATION_KEY_USAGE = 0x40;
constexpr BYTE CERT_KEY_ENCIPHERMENT_KEY_USAGE = 0x20;
constexpr BYTE CERT_DATA_ENCIPHERMENT_KEY_USAGE = 0x10;
constexpr BYTE CERT_KEY_AGREEMENT_KEY_USAGE = 0x08;
constexpr BYTE CERT_KEY_CERT_SIGN_KEY_USAGE = 0x04;
constexpr BYTE CERT_OFFLINE_CRL_SIGN_KEY_USAGE = 0x02;
constexpr BYTE CERT_CRL_SIGN_KEY_USAGE = 0x02;
constexpr BYTE CERT_ENCIPHER_ONLY_KEY_USAGE = 0x01;
constexpr BYTE CERT_DECIPHER_ONLY_KEY_USAGE = 0x80;  // second byte

// Copies the first cbKeyUsage bytes of the key-usage bit string (zero-filled
// beyond its end). No key-usage extension: FALSE with last error 0.
PLATFORM_API BOOL CertGetIntendedKeyUsage(DWORD dwCertEncodingType, PCERT_INFO pCertInfo, BYTE* pbKeyUsage,
                                          DWORD cbKeyUsage);
// Bits of the key (RSA modulus, EC field); 0 for a key that cannot be read.
PLATFORM_API DWORD CertGetPublicKeyLength(DWORD dwCertEncodingType, PCERT_PUBLIC_KEY_INFO pPublicKey);

// ---- key providers ----
constexpr DWORD PROV_RSA_FULL = 1;
constexpr DWORD AT_KEYEXCHANGE = 1;
constexpr DWORD AT_SIGNATURE = 2;
#define MS_DEF_PROV_A "Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_A "Microsoft Enhanced Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_W u"Microsoft Enhanced Cryptographic Provider v1.0"

constexpr DWORD CRYPT_ACQUIRE_CACHE_FLAG = 0x00000001;
constexpr DWORD CRYPT_ACQUIRE_USE_PROV_INFO_FLAG = 0x00000002;
constexpr DWORD CRYPT_ACQUIRE_COMPARE_KEY_FLAG = 0x00000004;
constexpr DWORD CRYPT_ACQUIRE_NO_HEALING = 0x00000008;
constexpr DWORD CRYPT_ACQUIRE_SILENT_FLAG = 0x00000040;
constexpr DWORD CRYPT_ACQUIRE_WINDOW_HANDLE_FLAG = 0x00000080;
constexpr DWORD CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG = 0x00010000;
constexpr DWORD CRYPT_ACQUIRE_PREFER_NCRYPT_KEY_FLAG = 0x00020000;
constexpr DWORD CRYPT_ACQUIRE_ONLY_NCRYPT_KEY_FLAG = 0x00040000;

// The provider of the key named by the certificate's CERT_KEY_PROV_INFO_PROP_ID.
// No such property: CRYPT_E_NO_KEY_PROPERTY; the container's key is missing:
// NTE_BAD_KEYSET; with CRYPT_ACQUIRE_COMPARE_KEY_FLAG a key that does not
// belong to the certificate: NTE_BAD_PUBLIC_KEY. With CRYPT_ACQUIRE_CACHE_FLAG
// the handle is kept with the context (*pfCallerFree FALSE) and released with
// it; otherwise the caller releases it with CryptReleaseContext.
PLATFORM_API BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
                                                    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProv, DWORD* pdwKeySpec,
                                                    BOOL* pfCallerFreeProv);

constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000;
constexpr DWORD CRYPT_NEWKEYSET = 0x00000008;
constexpr DWORD CRYPT_DELETEKEYSET = 0x00000010;
constexpr DWORD CRYPT_MACHINE_KEYSET = 0x00000020;
constexpr DWORD CRYPT_SILENT = 0x00000040;

// Opens an existing key container (flags 0 or CRYPT_SILENT) or deletes one
// (CRYPT_DELETEKEYSET; *phProv becomes 0). A NULL provider name means the
// system's software provider. No such container: NTE_BAD_KEYSET.
PLATFORM_API BOOL CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider, DWORD dwProvType,
                                       DWORD dwFlags);
PLATFORM_API BOOL CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider, DWORD dwProvType,
                                       DWORD dwFlags);
PLATFORM_API BOOL CryptContextAddRef(HCRYPTPROV hProv, DWORD* pdwReserved, DWORD dwFlags);
PLATFORM_API BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);

constexpr DWORD PP_NAME = 4;
constexpr DWORD PP_CONTAINER = 6;
constexpr DWORD PP_PROVTYPE = 16;
constexpr DWORD PP_KEYEXCHANGE_PIN = 32;
constexpr DWORD PP_SIGNATURE_PIN = 33;
constexpr DWORD PP_UNIQUE_CONTAINER = 36;

// PP_NAME, PP_CONTAINER, PP_UNIQUE_CONTAINER (ANSI text with its NUL) and
// PP_PROVTYPE (DWORD). Size contract as for the properties; an unknown
// parameter fails with NTE_BAD_TYPE, a bad handle with NTE_BAD_UID.
PLATFORM_API BOOL CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags);

// The PIN of the key's token: PP_KEYEXCHANGE_PIN or PP_SIGNATURE_PIN, pbData
// the PIN as NUL-terminated text (flags 0). Other parameters: NTE_BAD_TYPE.
// - The token provider checks the PIN at once by logging in to the token: a
//   wrong PIN fails with SCARD_W_WRONG_CHV, a locked one with
//   SCARD_W_CHV_BLOCKED, a missing token with SCARD_E_NO_SMARTCARD. A PIN
//   that works is kept for the token key for the life of the process (every
//   handle on the key uses it) until another PIN is set or it is cleared.
//   pbData NULL, or the text PLATFORM_NO_PIN_MARKER, clears it: the provider
//   then asks through its own prompt when it signs.
// - A software key has no PIN: any value is accepted and nothing is kept.
#define PLATFORM_NO_PIN_MARKER "\n\t\r\t\n"
PLATFORM_API BOOL CryptSetProvParam(HCRYPTPROV hProv, DWORD dwParam, const BYTE* pbData, DWORD dwFlags);

// ---- PKCS#12 ----
constexpr DWORD CRYPT_EXPORTABLE = 0x00000001;
constexpr DWORD CRYPT_USER_PROTECTED = 0x00000002;
constexpr DWORD CRYPT_USER_KEYSET = 0x00001000;
constexpr DWORD PKCS12_NO_PERSIST_KEY = 0x00008000;

// A memory store with the PKCS#12's certificates; each private key goes to a
// new key container of the software provider, named in its certificate's
// CERT_KEY_PROV_INFO_PROP_ID. Wrong password: ERROR_INVALID_PASSWORD; data
// that is no PKCS#12: CRYPT_E_BAD_ENCODE.
PLATFORM_API HCERTSTORE PFXImportCertStore(CRYPT_DATA_BLOB* pPFX, LPCWSTR szPassword, DWORD dwFlags);

// ---- the token provider ----
// Keys on PKCS#11 tokens are reached through the token provider: a
// certificate's key properties then name the module (its file name, found as
// LoadLibraryA finds it), the token (serial number and label) and the key
// (CKA_ID), as "key.*" lines of its store file with key.storage=pkcs11.
// Acquiring such a key does not touch the token. The provider logs in when a
// PIN is set (CryptSetProvParam) and when it signs; with no PIN set it asks
// through its own prompt (dialog PLATFORM_TOKEN_PIN_DLG of this family, in
// the thread's modal loop), where cancelling fails the signature with
// SCARD_W_CANCELLED_BY_USER; a handle acquired with CRYPT_ACQUIRE_SILENT_FLAG
// fails with NTE_SILENT_CONTEXT instead. A PIN typed there that works is kept
// like one set by CryptSetProvParam.
#define PLATFORM_TOKEN_PROV_A "Platform PKCS#11 Token Provider"
constexpr int PLATFORM_TOKEN_PIN_DLG = 4100;   // template id
constexpr int PLATFORM_TOKEN_PIN_EDIT = 4101;  // password edit, at most 127 characters
constexpr int PLATFORM_TOKEN_PIN_NAME = 4102;  // static: the certificate's name and the token's label
// Buttons IDOK and IDCANCEL.

// A memory store with the certificates of every token the PKCS#11 module
// shows, each bound to its key on the token through the token provider
// (provider name PLATFORM_TOKEN_PROV_A, PROV_RSA_FULL, AT_KEYEXCHANGE). With a
// PIN (NUL-terminated; used for this call only, never kept) the provider logs
// in and binds only certificates whose private key it finds (same CKA_ID and,
// where the token shows it, the same modulus); without one, every certificate
// that has a CKA_ID. dwFlags 0.
// Failures: the module's LoadLibraryA error (ERROR_MOD_NOT_FOUND),
// NTE_PROVIDER_DLL_FAIL (no PKCS#11 entry point, or initialisation failed),
// SCARD_E_NO_SMARTCARD (no token), SCARD_W_WRONG_CHV / SCARD_W_CHV_BLOCKED.
PLATFORM_API HCERTSTORE PlatformTokenImportCertStore(LPCSTR moduleName, LPCSTR pin, DWORD dwFlags);

// ---- low-level messages: attached PKCS#7 SignedData ----
using HCRYPTMSG = void*;

struct CRYPT_ATTRIBUTE {
  LPSTR pszObjId;
  DWORD cValue;
  PCRYPT_ATTR_BLOB rgValue;
};
using PCRYPT_ATTRIBUTE = CRYPT_ATTRIBUTE*;

struct CMSG_SIGNER_ENCODE_INFO {
  DWORD cbSize;
  PCERT_INFO pCertInfo;
  HCRYPTPROV hCryptProv;  // (a union with an NCrypt key handle, not offered here)
  DWORD dwKeySpec;
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  void* pvHashAuxInfo;
  DWORD cAuthAttr;
  PCRYPT_ATTRIBUTE rgAuthAttr;
  DWORD cUnauthAttr;
  PCRYPT_ATTRIBUTE rgUnauthAttr;
};
using PCMSG_SIGNER_ENCODE_INFO = CMSG_SIGNER_ENCODE_INFO*;
static_assert(sizeof(CMSG_SIGNER_ENCODE_INFO) == 96);

struct CMSG_SIGNED_ENCODE_INFO {
  DWORD cbSize;
  DWORD cSigners;
  PCMSG_SIGNER_ENCODE_INFO rgSigners;
  DWORD cCertEncoded;
  PCERT_BLOB rgCertEncoded;
  DWORD cCrlEncoded;
  CRL_BLOB* rgCrlEncoded;
};
using PCMSG_SIGNED_ENCODE_INFO = CMSG_SIGNED_ENCODE_INFO*;
static_assert(sizeof(CMSG_SIGNED_ENCODE_INFO) == 48);

struct CMSG_STREAM_INFO;  // streaming is not offered
using PCMSG_STREAM_INFO = CMSG_STREAM_INFO*;

constexpr DWORD CMSG_DATA = 1;
constexpr DWORD CMSG_SIGNED = 2;
constexpr DWORD CMSG_CONTENT_PARAM = 2;
#define szOID_RSA_data "1.2.840.113549.1.7.1"
#define szOID_RSA_signedData "1.2.840.113549.1.7.2"

// What is offered: CMSG_SIGNED, encoding type with PKCS_7_ASN_ENCODING, flags
// 0 (the content is carried in the message), inner content type NULL or
// szOID_RSA_data, no stream, no CRLs, signers with the hash algorithm
// szOID_OIWSEC_sha1 (other: CRYPT_E_UNKNOWN_ALGO), an RSA key and no
// attributes (E_NOTIMPL otherwise). Each SignerInfo signs the SHA-1 of the
// content (PKCS#1 v1.5, rsaEncryption); the SignerInfos and certificates are
// encoded in the order given; the digest algorithm is sha1 with NULL
// parameters.
//
// The exact length of the encoded message for cbData bytes of content; 0
// with the last error on failure. Nothing is signed.
PLATFORM_API DWORD CryptMsgCalculateEncodedLength(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                                  const void* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                                                  DWORD cbData);
// The message keeps its own copies of the signers' names, serial numbers and
// certificates, and a reference on each provider, until CryptMsgClose.
PLATFORM_API HCRYPTMSG CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                            const void* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                                            PCMSG_STREAM_INFO pStreamInfo);
// Content may come in several updates; the final one signs (each signer in
// order, through its provider, which may prompt) and encodes. A signing
// failure fails the update with the provider's error, and the message can
// give no content. After the final update: CRYPT_E_MSG_ERROR.
PLATFORM_API BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal);
// CMSG_CONTENT_PARAM (index 0): the encoded message, size contract as for the
// properties; before a successful final update CRYPT_E_MSG_ERROR. Other
// parameters: CRYPT_E_INVALID_MSG_TYPE.
PLATFORM_API BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData, DWORD* pcbData);
// NULL is accepted (TRUE).
PLATFORM_API BOOL CryptMsgClose(HCRYPTMSG hCryptMsg);

// ---- low-level messages: decoding ----
struct CRYPT_ATTRIBUTES {
  DWORD cAttr;
  PCRYPT_ATTRIBUTE rgAttr;
};
using PCRYPT_ATTRIBUTES = CRYPT_ATTRIBUTES*;

// Issuer and SerialNumber name the signer's certificate; a signer named by
// subject key identifier has an Issuer of one attribute szOID_KEYID_RDN (an
// OCTET STRING of the identifier) and an empty SerialNumber. SerialNumber is
// least significant byte first, as in CERT_INFO; EncryptedHash is as the
// message carries it. Attribute values are each one value's DER.
struct CMSG_SIGNER_INFO {
  DWORD dwVersion;
  CERT_NAME_BLOB Issuer;
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
  CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
  CRYPT_DATA_BLOB EncryptedHash;
  CRYPT_ATTRIBUTES AuthAttrs;
  CRYPT_ATTRIBUTES UnauthAttrs;
};
using PCMSG_SIGNER_INFO = CMSG_SIGNER_INFO*;
#define szOID_KEYID_RDN "1.3.6.1.4.1.311.10.7.1"

using PCMSG_RECIPIENT_INFO = void*;  // not offered

constexpr DWORD CMSG_ENVELOPED = 3;
constexpr DWORD CMSG_SIGNED_AND_ENVELOPED = 4;
constexpr DWORD CMSG_HASHED = 5;
constexpr DWORD CMSG_ENCRYPTED = 6;
constexpr DWORD CMSG_TYPE_PARAM = 1;
constexpr DWORD CMSG_SIGNER_COUNT_PARAM = 5;
constexpr DWORD CMSG_SIGNER_INFO_PARAM = 6;
constexpr DWORD CMSG_CERT_COUNT_PARAM = 11;
constexpr DWORD CMSG_CERT_PARAM = 12;
constexpr DWORD CMSG_DETACHED_FLAG = 0x00000004;

// A message to decode, read by OpenSSL's CMS parser when the final update
// comes (the whole message in one or several updates). dwMsgType 0 takes the
// type from the message; another type must match it (else
// CRYPT_E_INVALID_MSG_TYPE). No provider, recipient or stream (E_NOTIMPL);
// flags 0 or CMSG_DETACHED_FLAG. Bytes that are no message fail the final
// update with CRYPT_E_ASN1_BADTAG.
//
// CryptMsgGetParam on a decoded message (size contract as for the
// properties; before the final update CRYPT_E_MSG_ERROR):
//   CMSG_TYPE_PARAM          DWORD: CMSG_DATA, CMSG_SIGNED, CMSG_ENVELOPED, ...
//   CMSG_CONTENT_PARAM       the inner content's bytes (signed or data messages;
//                            a detached signature has none: length 0)
//   CMSG_CERT_COUNT_PARAM    DWORD, CMSG_CERT_PARAM (index) a certificate's DER
//   CMSG_SIGNER_COUNT_PARAM  DWORD, CMSG_SIGNER_INFO_PARAM (index)
//                            CMSG_SIGNER_INFO followed by what it points to
// An index beyond the count: CRYPT_E_INVALID_INDEX; a parameter the type has
// not (certificates of an enveloped message, ...): CRYPT_E_INVALID_MSG_TYPE.
PLATFORM_API HCRYPTMSG CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                            HCRYPTPROV_LEGACY hCryptProv, PCMSG_RECIPIENT_INFO pRecipientInfo,
                                            PCMSG_STREAM_INFO pStreamInfo);

// ---- hashes and signatures of a hash ----
using HCRYPTHASH = ULONG_PTR;
using HCRYPTKEY = ULONG_PTR;
constexpr ALG_ID CALG_MD5 = 0x00008003;

// A hash object of the provider (which it keeps a reference on until
// CryptDestroyHash). Only CALG_MD5 is offered (other: NTE_BAD_ALGID); no key
// and flags 0.
PLATFORM_API BOOL CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash);
// Data may come in several calls, until the hash is signed (then
// NTE_BAD_HASH_STATE). dwFlags 0.
PLATFORM_API BOOL CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
// PKCS#1 v1.5 signature of the hash with the provider's key (AT_KEYEXCHANGE or
// AT_SIGNATURE: a container holds one key that serves both), written least
// significant byte first as CryptoAPI gives it. Size contract as for the
// properties (pbSignature NULL gives the length and signs nothing). The token
// provider signs on the token (its PIN as for messages: the kept PIN, else
// its prompt). szDescription must be NULL, dwFlags 0.
PLATFORM_API BOOL CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec, LPCSTR szDescription, DWORD dwFlags,
                                 BYTE* pbSignature, DWORD* pdwSigLen);
PLATFORM_API BOOL CryptDestroyHash(HCRYPTHASH hHash);

// ---- decoding structures ----
// CryptoAPI's structure type X509_NAME (7). OpenSSL's type of that name is in
// scope wherever both are used, so the constant goes by this name here.
#define CRYPT_X509_NAME (reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(7)))
constexpr DWORD CRYPT_DECODE_NOCOPY_FLAG = 0x00000008;

constexpr DWORD CERT_RDN_ANY_TYPE = 0;
constexpr DWORD CERT_RDN_ENCODED_BLOB = 1;
constexpr DWORD CERT_RDN_OCTET_STRING = 2;
constexpr DWORD CERT_RDN_NUMERIC_STRING = 3;
constexpr DWORD CERT_RDN_PRINTABLE_STRING = 4;
constexpr DWORD CERT_RDN_TELETEX_STRING = 5;
constexpr DWORD CERT_RDN_T61_STRING = 5;
constexpr DWORD CERT_RDN_VIDEOTEX_STRING = 6;
constexpr DWORD CERT_RDN_IA5_STRING = 7;
constexpr DWORD CERT_RDN_GRAPHIC_STRING = 8;
constexpr DWORD CERT_RDN_VISIBLE_STRING = 9;
constexpr DWORD CERT_RDN_ISO646_STRING = 9;
constexpr DWORD CERT_RDN_GENERAL_STRING = 10;
constexpr DWORD CERT_RDN_UNIVERSAL_STRING = 11;
constexpr DWORD CERT_RDN_BMP_STRING = 12;
constexpr DWORD CERT_RDN_UTF8_STRING = 13;

struct CERT_RDN_ATTR {
  LPSTR pszObjId;
  DWORD dwValueType;
  CERT_RDN_VALUE_BLOB Value;
};
using PCERT_RDN_ATTR = CERT_RDN_ATTR*;
struct CERT_RDN {
  DWORD cRDNAttr;
  PCERT_RDN_ATTR rgRDNAttr;
};
using PCERT_RDN = CERT_RDN*;
struct CERT_NAME_INFO {
  DWORD cRDN;
  PCERT_RDN rgRDN;
};
using PCERT_NAME_INFO = CERT_NAME_INFO*;

// CRYPT_X509_NAME into CERT_NAME_INFO, the structure followed by everything it
// points to in the one buffer (size contract as for the properties). Values:
// BMPString and UTF8String as UTF-16 (Value.cbData counts bytes),
// UniversalString as 32-bit code points, the 8-bit string types and OCTET
// STRING as their bytes, anything else the value's whole DER
// (CERT_RDN_ENCODED_BLOB); each value is followed by a NUL character that
// cbData does not count. Flags 0 or CRYPT_DECODE_NOCOPY_FLAG (the values are
// copied all the same). Not a name: CRYPT_E_ASN1_BADTAG; another
// structure type: ERROR_FILE_NOT_FOUND, as CryptoAPI reports a type it has no
// decoder for.
PLATFORM_API BOOL CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                                    DWORD cbEncoded, DWORD dwFlags, void* pvStructInfo, DWORD* pcbStructInfo);

// ---- error numbers ----
constexpr DWORD NTE_BAD_UID = 0x80090001;
constexpr DWORD NTE_BAD_HASH = 0x80090002;
constexpr DWORD NTE_BAD_KEY = 0x80090003;
constexpr DWORD NTE_BAD_LEN = 0x80090004;
constexpr DWORD NTE_BAD_DATA = 0x80090005;
constexpr DWORD NTE_BAD_SIGNATURE = 0x80090006;
constexpr DWORD NTE_BAD_ALGID = 0x80090008;
constexpr DWORD NTE_BAD_FLAGS = 0x80090009;
constexpr DWORD NTE_BAD_TYPE = 0x8009000A;
constexpr DWORD NTE_NO_KEY = 0x8009000D;
constexpr DWORD NTE_NO_MEMORY = 0x8009000E;
constexpr DWORD NTE_EXISTS = 0x8009000F;
constexpr DWORD NTE_PERM = 0x80090010;
constexpr DWORD NTE_NOT_FOUND = 0x80090011;
constexpr DWORD NTE_BAD_PROVIDER = 0x80090013;
constexpr DWORD NTE_BAD_PROV_TYPE = 0x80090014;
constexpr DWORD NTE_BAD_PUBLIC_KEY = 0x80090015;
constexpr DWORD NTE_BAD_KEYSET = 0x80090016;
constexpr DWORD NTE_KEYSET_NOT_DEF = 0x80090019;
constexpr DWORD NTE_KEYSET_ENTRY_BAD = 0x8009001A;
constexpr DWORD NTE_BAD_KEYSET_PARAM = 0x8009001F;
constexpr DWORD NTE_FAIL = 0x80090020;
constexpr DWORD NTE_SILENT_CONTEXT = 0x80090022;
constexpr DWORD CRYPT_E_BAD_ENCODE = 0x80092002;
constexpr DWORD CRYPT_E_FILE_ERROR = 0x80092003;
constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004;
constexpr DWORD CRYPT_E_EXISTS = 0x80092005;
constexpr DWORD CRYPT_E_NO_PROVIDER = 0x80092006;
constexpr DWORD CRYPT_E_NO_KEY_PROPERTY = 0x8009200B;
constexpr DWORD CRYPT_E_PENDING_CLOSE = 0x8009200F;
constexpr DWORD CRYPT_E_ASN1_EOD = 0x80093102;
constexpr DWORD CRYPT_E_ASN1_BADTAG = 0x8009310B;
constexpr DWORD ERROR_INVALID_PASSWORD = 86;
constexpr DWORD NTE_PROVIDER_DLL_FAIL = 0x8009001D;
constexpr DWORD CRYPT_E_MSG_ERROR = 0x80091001;
constexpr DWORD CRYPT_E_UNKNOWN_ALGO = 0x80091002;
constexpr DWORD CRYPT_E_INVALID_MSG_TYPE = 0x80091004;
constexpr DWORD CRYPT_E_INVALID_INDEX = 0x80091008;
constexpr DWORD NTE_BAD_HASH_STATE = 0x8009000B;
constexpr DWORD SCARD_E_NO_SMARTCARD = 0x8010000C;
constexpr DWORD SCARD_W_WRONG_CHV = 0x8010006B;
constexpr DWORD SCARD_W_CHV_BLOCKED = 0x8010006C;
constexpr DWORD SCARD_W_CANCELLED_BY_USER = 0x8010006E;
