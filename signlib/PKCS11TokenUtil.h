// The PKCS#11 token client: drives one token vendor's module for one task
// (load, initialise, open a session on the token's slot, log in, find the key
// of a certificate, sign, list the token's certificates, tear down), plus the
// module-list detection, the token probe and the token-management operations.
//
// Modules are called through the platform's native PKCS#11 ABI (the pkcs11.h
// of p11-kit: unsigned long CK_ULONG, natural alignment), which is what every
// module on this machine is built with.
#pragma once

#include <cstddef>

#include <p11-kit-1/p11-kit/pkcs11.h>

#include "platform/wintypes.h"
#include "signlib/ResultCode.h"
#include "signlib/SignVariant.h"

class CX509Certificate;

// ---- The token vendor's extension for initialising a token ----
// Reached through the module's "ETC_GetFunctionListEx" export. The vendor
// defines the calls; we declare the three the token initialisation makes.
struct CK_ETC_FUNCTION_LIST_EX {
  CK_VERSION version;
  // Starts initialising the token in the slot: erases it, sets the security
  // officer PIN and the label, and opens a read-write SO session on it.
  CK_RV(*ETC_InitTokenInit)
  (CK_SLOT_ID slotID, CK_UTF8CHAR_PTR soPin, CK_ULONG soPinLen, CK_ULONG maxRetries, CK_UTF8CHAR_PTR label,
   CK_SESSION_HANDLE_PTR session);
  // Sets the user PIN of the token being initialised.
  CK_RV(*ETC_InitPIN)
  (CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR pin, CK_ULONG pinLen, CK_ULONG maxRetries, CK_VOID_PTR reserved);
  // Completes the initialisation begun by ETC_InitTokenInit.
  CK_RV (*ETC_InitTokenFinal)(CK_SESSION_HANDLE session);
};
using CK_ETC_FUNCTION_LIST_EX_PTR = CK_ETC_FUNCTION_LIST_EX*;
using CK_ETC_GetFunctionListEx = CK_RV (*)(CK_ETC_FUNCTION_LIST_EX_PTR* list);

// Vendor object and attributes written by the token initialisation.
constexpr CK_HW_FEATURE_TYPE CKH_ETC_TOKEN_SETTINGS = 0x80005003UL;

// Mechanism selector of signRSA.
enum HashKindValue { HASH_SHA1 = 0, HASH_MD5 = 1, HASH_SHA256 = 2, HASH_SHA384 = 3, HASH_SHA512 = 4 };

class CPKCS11TokenUtil {
 public:
  static constexpr std::size_t MODULE_NAME_SIZE = 256;      // detected module, list entries
  static constexpr std::size_t MODULE_LIST_TEXT_MAX = 260;  // characters of a module list
  static constexpr std::size_t PIN_MAX = 128;
  static constexpr const char* FALLBACK_MODULE = "DKCK201.DLL";
  static constexpr const char* FALLBACK_MODULE_REPORTED = "DKCK201.dll";

  // The variant decides init's routes, the key search and the digest of
  // signPKCS7 (see SignVariant).
  explicit CPKCS11TokenUtil(const SignVariant& variant = SignVariant::certificateControl());
  virtual ~CPKCS11TokenUtil();
  CPKCS11TokenUtil(const CPKCS11TokenUtil&) = delete;
  CPKCS11TokenUtil& operator=(const CPKCS11TokenUtil&) = delete;

  // Logs out, closes the session, finalises and unloads the module, frees the
  // lists; the client can be used again afterwards.
  void teardown();

  int init(const char* moduleName);
  int Login(const char* pin);
  int Logout();
  int findPrivateKeyByCertEx(CX509Certificate* certificate, CK_OBJECT_HANDLE* key);
  // The certificate object with this DER, its CKA_ID, C_Login with the PIN,
  // then the private key with that CKA_ID: 0, 4 (no such certificate), 13
  // (no such key), 21 / 52 (PIN wrong / locked), 2 or 23.
  int findPrivateKeyByCert(const unsigned char* der, std::size_t derLength, const char* pin, CK_OBJECT_HANDLE* key);
  // *signatureLength: the buffer's size in, the signature's length out.
  int signRSA(CK_OBJECT_HANDLE key, const unsigned char* data, CK_ULONG dataLength, unsigned char* signature,
              CK_ULONG* signatureLength);
  int openCertStore();
  int getTokenCount(int* count);

  // Signs every byte of data (dataLength of them, NUL bytes included) and
  // builds the attached PKCS#7 SignedData. *der is allocated by OpenSSL: free
  // it with OPENSSL_free.
  int signPKCS7(const char* pin, const char* certificate, const char* digestMethod, const char* signatureMethod,
                const unsigned char* data, std::size_t dataLength, unsigned char** der, int* derLength);

  // Module list and detection.
  int DllListParser(const char* list, char (&message)[ERROR_TEXT_SIZE]);
  int detectTokenByModule(const char* list);
  int init5200(const char* moduleName);

  // Token management; each takes the module's file name.
  // serial: a caller buffer of at least 17 bytes, zeroed by the caller.
  int getTokenSN(const char* moduleName, char* serial);
  int SetUserPIN(const char* moduleName, const char* oldPin, const char* newPin);
  int InitTokenCV(const char* moduleName, const char* label, const char* soPin, const char* userPin);

  const char* getErrorText() const { return m_errorText; }

  // The token's certificates read by openCertStore (Base64 texts).
  unsigned int tokenCertificateCount() const { return m_certCount; }
  const char* tokenCertificate(unsigned int index) const;
  // Frees the certificate texts and the list; count and read position 0.
  void freeTokenCertificates();
  // Where the certificate store client's walk over the list stands.
  unsigned int certificateReadPosition() const { return m_certReadPos; }
  void setCertificateReadPosition(unsigned int position) { m_certReadPos = position; }

  int moduleCount() const { return m_moduleCount; }
  const char* moduleName(int index) const;
  const char* detectedModule() const { return m_detectedModule; }
  int tokenCount() const { return m_tokenCount; }
  int hashKind() const { return m_hashKind; }
  void setHashKind(int kind) { m_hashKind = kind; }
  bool isInitialized() const { return m_initialized != 0; }
  bool isSessionOpen() const { return m_sessionOpen != 0; }
  bool isLoggedIn() const { return m_loggedIn != 0; }
  bool otherModelSeen() const { return m_otherModel != 0; }

 private:
  enum Route { GENERAL_ROUTE, ETOKEN_ROUTE };
  int initRoute(const char* moduleName, Route route);
  // The session on the first slot with a token, whatever the count.
  int initFirstSlot(const char* moduleName);
  // How one way in looks for the token's slot; the differences between the
  // ways in are only these.
  struct SlotSearch {
    const char* noTokenText;
    int noTokenCode;
    const char* listErrorFormat;   // the second C_GetSlotList failed (0x%X)
    const char* allocErrorFormat;  // the slot list could not be allocated (may show the count, %d)
    bool refuseSeveral;            // more than one token is refused rather than the first used
    bool tracksCount;              // the token count follows the slot queries
    enum Retry { NO_RETRY, RETRY_COUNT_ONLY, RETRY_EVERY_STEP } retry;  // after another client finalised
  };
  static const SlotSearch kGeneralSearch, kETokenSearch, kFirstSlotSearch, kLoginSearch;
  // The slots with a token into m_slotList (count of them in count): the
  // count query, then the list, the token may go between the two.
  int listTokenSlots(const SlotSearch& search, bool& retried, CK_ULONG& count);
  int noTokenFound(const SlotSearch& search);
  // A session on slot, kept as the client's session and slot.
  CK_RV openSessionOn(CK_SLOT_ID slot);
  int findKeyById(const unsigned char* der, std::size_t derLength, const char* pin, CK_OBJECT_HANDLE* key);
  int bindModule(const char* moduleName);
  // The module was finalised under us by another client in the process
  // (C_Finalize is process-wide): clear the marks and initialise again, and,
  // when reopen is set and the slot is known, open a fresh session on it.
  // True when the caller should retry its step.
  bool reinitializeAfterFinalize(CK_RV rv, bool& retried, bool reopen);
  void closeModule();  // logout, close, finalise, free; marks cleared
  void freeModuleList();
  void setError(const char* format, ...) __attribute__((format(printf, 2, 3)));
  int pinMapping(CK_RV rv) const;
  int findOne(CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_HANDLE* found, CK_ULONG* foundCount, const char* method,
              const char* what, bool& reinitRetried);
  int signPKCS7Body(const char* pin, const char* certificate, const char* digestMethod, const unsigned char* data,
                    std::size_t dataLength, unsigned char** der, int* derLength, CX509Certificate& reader);

  HMODULE m_module = nullptr;
  CK_C_GetFunctionList m_getFunctionList = nullptr;
  CK_FUNCTION_LIST_PTR m_functionList = nullptr;
  CK_SESSION_HANDLE m_session = 0;
  CK_SLOT_ID* m_slotList = nullptr;
  char** m_certs = nullptr;
  unsigned int m_certCount = 0;
  unsigned int m_certReadPos = 0;
  BYTE m_initialized = 0;
  BYTE m_sessionOpen = 0;
  BYTE m_loggedIn = 0;
  BYTE m_slotKnown = 0;
  CK_SLOT_ID m_slot = 0;
  int m_otherModel = 0;
  char** m_moduleList = nullptr;
  int m_moduleCount = 0;
  int m_tokenCount = 0;
  char m_detectedModule[MODULE_NAME_SIZE] = {};
  char m_errorText[ERROR_TEXT_SIZE] = {};
  int m_hashKind = HASH_SHA1;
  const SignVariant* m_variant;
};

// ---- The token probe of the insert-and-remove flow ----
// Process-wide: the first module loaded, its function list and one session are
// kept for the life of the process; later calls with another name still use
// that module. Results: 0, 14 (no token), 24 (module, function list,
// C_Initialize, slot list or session failed), 3 (allocation), 999 (unexpected),
// and 1 for a name that is null or does not fit the caller's field.
//
// On success the module name is copied into callerModuleName (a field of
// callerModuleNameSize bytes that the caller zeroed).
int loadPKCS11FunctionList(char* callerModuleName, std::size_t callerModuleNameSize, const char* moduleName);
// The same probe for a caller that keeps no module name: nothing is copied
// anywhere. 0, 14, 24, 3 or 999 (1 for a null name).
int loadPKCS11FunctionList(const char* moduleName);
// Number of slots with a token present; 0 on any failure. Needs an earlier
// successful loadPKCS11FunctionList in the process.
int getPKCS11SlotList(CK_ULONG* count);
