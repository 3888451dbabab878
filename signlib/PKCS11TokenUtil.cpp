#include "signlib/PKCS11TokenUtil.h"

#include "signlib/QuietLibraryContext.h"

#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include "platform/kernel.h"
#include "signlib/Base64.h"
#include "signlib/X509Certificate.h"

namespace {

constexpr CK_FLAGS kSessionFlags = CKF_SERIAL_SESSION | CKF_RW_SESSION;
constexpr CK_ULONG kMaxTokenCertificates = 1024;
constexpr CK_ULONG kVendorRetryCount = 10;

bool initializeAccepted(CK_RV rv) { return rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED; }

unsigned int hex32(CK_RV rv) { return static_cast<unsigned int>(rv); }

// Wipes a PIN copy whichever way the scope is left.
struct PinBuffer {
  char text[CPKCS11TokenUtil::PIN_MAX + 1] = {};
  explicit PinBuffer(const char* pin) {
    std::size_t n = strnlen(pin, CPKCS11TokenUtil::PIN_MAX);
    std::memcpy(text, pin, n);
    text[n] = '\0';
  }
  ~PinBuffer() { OPENSSL_cleanse(text, sizeof text); }
  PinBuffer(const PinBuffer&) = delete;
  PinBuffer& operator=(const PinBuffer&) = delete;
  CK_UTF8CHAR_PTR data() { return reinterpret_cast<CK_UTF8CHAR_PTR>(text); }
  CK_ULONG length() const { return static_cast<CK_ULONG>(std::strlen(text)); }
};

bool pinFits(const char* pin) { return strnlen(pin, CPKCS11TokenUtil::PIN_MAX + 1) <= CPKCS11TokenUtil::PIN_MAX; }

CK_ULONG pinLength(const char* pin) { return static_cast<CK_ULONG>(strnlen(pin, CPKCS11TokenUtil::PIN_MAX)); }

CK_UTF8CHAR_PTR utf8(const char* text) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(text)); }

// The first 16 bytes of a blank-padded field contain the text.
bool fieldContains(const CK_UTF8CHAR* field, std::size_t size, const char* text) {
  std::string s(reinterpret_cast<const char*>(field), size);
  return s.find(text) != std::string::npos;
}

char* duplicate(const char* begin, std::size_t n) {
  char* p = static_cast<char*>(std::malloc(n + 1));
  if (p == nullptr) return nullptr;
  std::memcpy(p, begin, n);
  p[n] = '\0';
  return p;
}

void freeStrings(char**& list, int& count) {
  if (list != nullptr) {
    for (int i = 0; i < count; ++i) std::free(list[i]);
    std::free(list);
  }
  list = nullptr;
  count = 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Lifecycle

CPKCS11TokenUtil::CPKCS11TokenUtil(const SignVariant& variant) : m_variant(&variant) { m_errorText[0] = '\0'; }

CPKCS11TokenUtil::~CPKCS11TokenUtil() {
  teardown();
  freeModuleList();
}

void CPKCS11TokenUtil::setError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vformatErrorText(m_errorText, format, args);
  va_end(args);
}

void CPKCS11TokenUtil::closeModule() {
  if (m_functionList != nullptr) {
    if (m_sessionOpen) {
      if (m_loggedIn) m_functionList->C_Logout(m_session);
      m_functionList->C_CloseSession(m_session);
    }
    // Only a client that initialised the module finalises it.
    if (m_initialized) m_functionList->C_Finalize(nullptr);
  }
  if (m_module != nullptr) FreeLibrary(m_module);
  m_module = nullptr;
  m_getFunctionList = nullptr;
  m_functionList = nullptr;
  m_session = 0;
  m_initialized = 0;
  m_sessionOpen = 0;
  m_loggedIn = 0;
  m_slotKnown = 0;
  m_slot = 0;
  delete[] m_slotList;
  m_slotList = nullptr;
}

void CPKCS11TokenUtil::teardown() {
  closeModule();
  freeTokenCertificates();
}

void CPKCS11TokenUtil::freeTokenCertificates() {
  int count = static_cast<int>(m_certCount);
  freeStrings(m_certs, count);
  m_certCount = 0;
  m_certReadPos = 0;
}

void CPKCS11TokenUtil::freeModuleList() { freeStrings(m_moduleList, m_moduleCount); }

const char* CPKCS11TokenUtil::tokenCertificate(unsigned int index) const {
  return (m_certs != nullptr && index < m_certCount) ? m_certs[index] : nullptr;
}

const char* CPKCS11TokenUtil::moduleName(int index) const {
  return (m_moduleList != nullptr && index >= 0 && index < m_moduleCount) ? m_moduleList[index] : nullptr;
}

int CPKCS11TokenUtil::pinMapping(CK_RV rv) const {
  if (rv == CKR_PIN_INCORRECT) return rc::TOKEN_PIN_INCORRECT;
  if (rv == CKR_PIN_LOCKED) return rc::TOKEN_PIN_LOCKED;
  return rc::CRYPTO_ERROR;
}

bool CPKCS11TokenUtil::reinitializeAfterFinalize(CK_RV rv, bool& retried, bool reopen) {
  if (rv != CKR_CRYPTOKI_NOT_INITIALIZED || retried || m_functionList == nullptr) return false;
  retried = true;
  m_initialized = 0;
  m_sessionOpen = 0;
  m_loggedIn = 0;
  if (!initializeAccepted(m_functionList->C_Initialize(nullptr))) return false;
  m_initialized = 1;
  if (reopen && m_slotKnown) {
    if (m_functionList->C_OpenSession(m_slot, kSessionFlags, nullptr, nullptr, &m_session) != CKR_OK) return false;
    m_sessionOpen = 1;
  }
  return true;
}

// ---------------------------------------------------------------------------
// init and the eToken route

int CPKCS11TokenUtil::bindModule(const char* moduleName) {
  if (m_module == nullptr) {
    m_module = LoadLibraryA(moduleName);
    if (m_module == nullptr) {
      setError("CPKCS11TokenUtil::init -> error during Load dll:%s Failure.", moduleName);
      return rc::CRYPTO_ERROR;
    }
  }
  if (m_getFunctionList == nullptr) {
    m_getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(GetProcAddress(m_module, "C_GetFunctionList"));
    if (m_getFunctionList == nullptr) {
      setError("CPKCS11TokenUtil::init -> GetProcAddres Failure.");
      return rc::CRYPTO_ERROR;
    }
  }
  if (m_functionList == nullptr) {
    CK_FUNCTION_LIST_PTR list = nullptr;
    CK_RV rv = m_getFunctionList(&list);
    if (rv != CKR_OK || list == nullptr) {
      setError("CPKCS11TokenUtil::init -> error 0x%X during m_pC_GetFunctionList",
               hex32(rv != CKR_OK ? rv : CKR_GENERAL_ERROR));
      return rc::CRYPTO_ERROR;
    }
    m_functionList = list;
  }
  // "Already initialised" is accepted on both routes: another client in the
  // process (the token probe keeps its module initialised) may have done it.
  CK_RV rv = m_functionList->C_Initialize(nullptr);
  if (!initializeAccepted(rv)) {
    setError("CPKCS11TokenUtil::init -> error 0x%X during C_Initialize", hex32(rv));
    return rc::CRYPTO_ERROR;
  }
  m_initialized = 1;
  return rc::OK;
}

// How one way in finds the token's slot: the texts and codes it reports and
// how far it goes again after another client finalised the module.
const CPKCS11TokenUtil::SlotSearch CPKCS11TokenUtil::kGeneralSearch = {
    "CPKCS11TokenUtil::init -> No token present!",
    rc::TOKEN_NOT_FOUND,
    "CPKCS11TokenUtil::init -> error 0x%X during C_GetSlotList(2)",
    "CPKCS11TokenUtil::init -> slot list memory allocation failed",
    true,
    true,
    SlotSearch::RETRY_EVERY_STEP};
const CPKCS11TokenUtil::SlotSearch CPKCS11TokenUtil::kETokenSearch = {
    "CPKCS11TokenUtil::init5200 -> No token present!",
    rc::TOKEN_NOT_FOUND,
    "CPKCS11TokenUtil::init5200 -> error 0x%X during C_GetSlotList(2)",
    "CPKCS11TokenUtil::init -> slot list memory allocation failed",
    true,
    true,
    SlotSearch::RETRY_EVERY_STEP};
// With several tokens the first slot listed is used.
const CPKCS11TokenUtil::SlotSearch CPKCS11TokenUtil::kFirstSlotSearch = {
    "CPKCS11TokenUtil::init -> No token present!",
    rc::PRIVATE_KEY_NOT_FOUND,  // 13: no token
    "CPKCS11TokenUtil::init -> error 0x%X during C_GetSlotList(2)",
    "CPKCS11TokenUtil::init -> Allocate ulSlotCount Memory[%d] Error",
    false,
    false,
    SlotSearch::NO_RETRY};
const CPKCS11TokenUtil::SlotSearch CPKCS11TokenUtil::kLoginSearch = {
    "CPKCS11TokenUtil::init -> No token present!",
    rc::TOKEN_NOT_FOUND,
    "CPKCS11TokenUtil::init -> error 0x%X during C_GetSlotList(2)",
    "CPKCS11TokenUtil::Login -> slot list memory allocation failed",
    false,
    true,
    SlotSearch::RETRY_COUNT_ONLY};

int CPKCS11TokenUtil::noTokenFound(const SlotSearch& search) {
  if (search.tracksCount) m_tokenCount = 0;
  setError("%s", search.noTokenText);
  return search.noTokenCode;
}

int CPKCS11TokenUtil::listTokenSlots(const SlotSearch& search, bool& retried, CK_ULONG& count) {
  for (;;) {
    count = 0;
    CK_RV rv = m_functionList->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK) {
      if (search.retry != SlotSearch::NO_RETRY && reinitializeAfterFinalize(rv, retried, false)) continue;
      setError("CPKCS11TokenUtil::init -> error 0x%X during C_GetSlotList(1)", hex32(rv));
      return rc::CRYPTO_ERROR;
    }
    if (count == 0) return noTokenFound(search);
    if (search.tracksCount) m_tokenCount = static_cast<int>(count);
    if (search.refuseSeveral && count >= 2) {
      setError("CPKCS11TokenUtil::init5200 -> Too many token present!");
      return rc::SEVERAL_TOKENS;
    }
    delete[] m_slotList;
    m_slotList = new (std::nothrow) CK_SLOT_ID[count];
    if (m_slotList == nullptr) {
      setError(search.allocErrorFormat, static_cast<int>(count));
      return rc::OUT_OF_MEMORY;
    }
    rv = m_functionList->C_GetSlotList(CK_TRUE, m_slotList, &count);
    if (rv != CKR_OK) {
      if (search.retry == SlotSearch::RETRY_EVERY_STEP && reinitializeAfterFinalize(rv, retried, false)) continue;
      setError(search.listErrorFormat, hex32(rv));
      return rc::CRYPTO_ERROR;
    }
    if (count == 0) return noTokenFound(search);  // the token went between the two queries
    return rc::OK;
  }
}

CK_RV CPKCS11TokenUtil::openSessionOn(CK_SLOT_ID slot) {
  CK_RV rv = m_functionList->C_OpenSession(slot, kSessionFlags, nullptr, nullptr, &m_session);
  if (rv == CKR_OK) {
    m_slot = slot;
    m_slotKnown = 1;
    m_sessionOpen = 1;
  }
  return rv;
}

int CPKCS11TokenUtil::initRoute(const char* moduleName, Route route) {
  const bool eToken = route == ETOKEN_ROUTE;
  const char* name = moduleName != nullptr ? moduleName : "";
  bool retried = false;
  for (;;) {
    if (!m_initialized) {
      int code = bindModule(name);
      if (code != rc::OK) return code;
    }
    if (m_sessionOpen) {
      CK_SESSION_INFO info;
      if (m_functionList->C_GetSessionInfo(m_session, &info) == CKR_OK) return rc::OK;
      m_sessionOpen = 0;
      m_loggedIn = 0;
    }
    CK_ULONG count = 0;
    int code = listTokenSlots(eToken ? kETokenSearch : kGeneralSearch, retried, count);
    if (code != rc::OK) return code;
    CK_SLOT_ID slot = m_slotList[0];
    if (eToken) {
      CK_SLOT_INFO slotInfo;
      CK_RV rv = m_functionList->C_GetSlotInfo(slot, &slotInfo);
      if (rv != CKR_OK) {
        m_sessionOpen = 0;
        m_tokenCount = 0;
        setError("CPKCS11TokenUtil::init5200 -> error 0x%X during C_GetSlotInfo", hex32(rv));
        return rc::CRYPTO_ERROR;
      }
      CK_TOKEN_INFO tokenInfo;
      rv = m_functionList->C_GetTokenInfo(slot, &tokenInfo);
      if (rv != CKR_OK) {
        m_sessionOpen = 0;
        m_tokenCount = 0;
        setError("CPKCS11TokenUtil::init5200 -> error 0x%X during C_GetTokenInfo", hex32(rv));
        return rc::CRYPTO_ERROR;
      }
      if (!fieldContains(tokenInfo.model, sizeof tokenInfo.model, "eToken")) {
        m_sessionOpen = 0;
        m_tokenCount = 0;
        if (fieldContains(tokenInfo.model, sizeof tokenInfo.model, "Model 330")) {
          m_otherModel = 1;
          setError("CPKCS11TokenUtil::init5200 -> This is not eToken, this is iKey!");
        } else {
          setError("CPKCS11TokenUtil::init5200 -> No token present!");
        }
        return rc::TOKEN_NOT_FOUND;
      }
    }
    CK_RV rv = openSessionOn(slot);
    if (rv != CKR_OK) {
      if (reinitializeAfterFinalize(rv, retried, false)) continue;
      setError("CPKCS11TokenUtil::init -> error 0x%X during C_OpenSession", hex32(rv));
      return rc::CRYPTO_ERROR;
    }
    return rc::OK;
  }
}

int CPKCS11TokenUtil::initFirstSlot(const char* moduleName) {
  const char* name = moduleName != nullptr ? moduleName : "";
  if (!m_initialized) {
    int code = bindModule(name);
    if (code != rc::OK) return code;
  }
  bool retried = false;
  CK_ULONG count = 0;
  int code = listTokenSlots(kFirstSlotSearch, retried, count);
  if (code != rc::OK) return code;
  CK_RV rv = openSessionOn(m_slotList[0]);
  if (rv != CKR_OK) {
    setError("CPKCS11TokenUtil::init -> error 0x%X during C_OpenSession", hex32(rv));
    return rc::CRYPTO_ERROR;
  }
  m_tokenCount = static_cast<int>(count);
  return rc::OK;
}

int CPKCS11TokenUtil::init(const char* moduleName) {
  try {
    if (!m_variant->tokenRoutes) return initFirstSlot(moduleName);
    if (moduleName != nullptr && std::strstr(moduleName, "eToken.dll") != nullptr) return init5200(moduleName);
    return initRoute(moduleName, GENERAL_ROUTE);
  } catch (...) {
    setError("CPKCS11TokenUtil::init -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS11TokenUtil::init5200(const char* moduleName) {
  try {
    return initRoute(moduleName, ETOKEN_ROUTE);
  } catch (...) {
    setError("CPKCS11TokenUtil::init5200 -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

// ---------------------------------------------------------------------------
// Login, Logout

int CPKCS11TokenUtil::Login(const char* pin) {
  try {
    if (m_functionList == nullptr) {
      setError("CPKCS11TokenUtil::Login -> no token module loaded");
      return rc::CRYPTO_ERROR;
    }
    // A PIN longer than the token client holds is refused whole: a cut one
    // would be tried against the token (and count as a wrong guess).
    if (pin == nullptr || !pinFits(pin)) {
      setError("CPKCS11TokenUtil::Login -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    bool retried = false;
    if (m_sessionOpen) {
      m_functionList->C_Logout(m_session);
      m_functionList->C_CloseSession(m_session);
    }
    m_sessionOpen = 0;
    m_loggedIn = 0;
    CK_ULONG count = 0;
    int code = listTokenSlots(kLoginSearch, retried, count);
    if (code != rc::OK) return code;
    CK_RV rv = openSessionOn(m_slotList[0]);
    if (rv != CKR_OK) {
      setError("CPKCS11TokenUtil::init -> error 0x%X during C_OpenSession", hex32(rv));
      return rc::CRYPTO_ERROR;
    }
    rv = m_functionList->C_Login(m_session, CKU_USER, utf8(pin), pinLength(pin));
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
      m_loggedIn = 1;
      return rc::OK;
    }
    setError("CPKCS11TokenUtil::Login -> error 0x%X during C_Login", hex32(rv));
    return pinMapping(rv);
  } catch (...) {
    setError("CPKCS11TokenUtil::signRSA -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS11TokenUtil::Logout() {
  try {
    if (m_functionList == nullptr || !m_sessionOpen) {  // nobody can be logged in
      m_loggedIn = 0;
      return rc::OK;
    }
    CK_RV rv = m_functionList->C_Logout(m_session);
    if (rv == CKR_OK || rv == CKR_USER_NOT_LOGGED_IN) {
      m_loggedIn = 0;
      return rc::OK;
    }
    setError("CPKCS11TokenUtil::Logout -> error 0x%X during C_Logout", hex32(rv));
    return rc::CRYPTO_ERROR;
  } catch (...) {
    setError("CPKCS11TokenUtil::signRSA -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

// ---------------------------------------------------------------------------
// Object search

// One search: C_FindObjectsInit, C_FindObjects, and C_FindObjectsFinal after
// every successful init, also when C_FindObjects failed, so the session is
// free for the next search.
int CPKCS11TokenUtil::findOne(CK_ATTRIBUTE* tmpl, CK_ULONG count, CK_OBJECT_HANDLE* found, CK_ULONG* foundCount,
                              const char* method, const char* what, bool& reinitRetried) {
  CK_ULONG max = *foundCount;
  *foundCount = 0;
  CK_RV rv = m_functionList->C_FindObjectsInit(m_session, tmpl, count);
  if (rv != CKR_OK && reinitializeAfterFinalize(rv, reinitRetried, true)) {
    rv = m_functionList->C_FindObjectsInit(m_session, tmpl, count);
  }
  if (rv != CKR_OK) {
    setError("CPKCS11TokenUtil::%s -> error 0x%X during %s C_FindObjectsInit", method, hex32(rv), what);
    return rc::CRYPTO_ERROR;
  }
  CK_ULONG n = 0;
  rv = m_functionList->C_FindObjects(m_session, found, max, &n);
  if (rv != CKR_OK) {
    m_functionList->C_FindObjectsFinal(m_session);
    setError("CPKCS11TokenUtil::%s -> error 0x%X during %s C_FindObjects", method, hex32(rv), what);
    return rc::CRYPTO_ERROR;
  }
  rv = m_functionList->C_FindObjectsFinal(m_session);
  if (rv != CKR_OK) {
    setError("CPKCS11TokenUtil::%s -> error 0x%X during %s C_FindObjectsFinal", method, hex32(rv), what);
    return rc::CRYPTO_ERROR;
  }
  *foundCount = n > max ? max : n;
  return rc::OK;
}

int CPKCS11TokenUtil::findPrivateKeyByCertEx(CX509Certificate* certificate, CK_OBJECT_HANDLE* key) {
  try {
    if (certificate == nullptr || key == nullptr || certificate->getBinaryX509Cert() == nullptr) {
      setError("CPKCS11TokenUtil::findPrivateKeyByCertEx -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    if (m_functionList == nullptr) {
      setError("CPKCS11TokenUtil::findPrivateKeyByCertEx -> no token module loaded");
      return rc::CRYPTO_ERROR;
    }
    // A session that no longer answers is replaced by a fresh one on the
    // kept slot (after initialising again if the module was finalised).
    bool retried = false;
    CK_SESSION_INFO info;
    CK_RV rv = m_sessionOpen ? m_functionList->C_GetSessionInfo(m_session, &info) : CKR_SESSION_HANDLE_INVALID;
    if (rv != CKR_OK) {
      if (m_sessionOpen && rv != CKR_CRYPTOKI_NOT_INITIALIZED) m_functionList->C_CloseSession(m_session);
      m_sessionOpen = 0;
      m_loggedIn = 0;
      rv = m_slotKnown ? m_functionList->C_OpenSession(m_slot, kSessionFlags, nullptr, nullptr, &m_session)
                       : CKR_SLOT_ID_INVALID;
      if (rv == CKR_CRYPTOKI_NOT_INITIALIZED && reinitializeAfterFinalize(rv, retried, true)) {
        rv = m_sessionOpen ? CKR_OK : CKR_SLOT_ID_INVALID;
      }
      if (rv != CKR_OK) {
        setError("CPKCS11TokenUtil::findPrivateKeyByCertEx -> error 0x%X during cert C_FindObjectsInit", hex32(rv));
        return rc::CRYPTO_ERROR;
      }
      m_sessionOpen = 1;
    }

    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE certTemplate[] = {
        {CKA_CLASS, &certClass, sizeof certClass},
        {CKA_VALUE, const_cast<unsigned char*>(certificate->getBinaryX509Cert()),
         static_cast<CK_ULONG>(certificate->getBinaryX509CertLen())},
    };
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    CK_ULONG found = 1;
    int code = findOne(certTemplate, 2, &object, &found, "findPrivateKeyByCertEx", "cert", retried);
    if (code != rc::OK) return code;
    if (found == 0) {
      setError("CPKCS11TokenUtil::findPrivateKeyByCertEx -> certificate not found in token");
      return rc::CERT_NOT_FOUND;
    }

    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE keyTemplate[] = {
        {CKA_CLASS, &keyClass, sizeof keyClass},
        {CKA_MODULUS, const_cast<unsigned char*>(certificate->getModulus()),
         static_cast<CK_ULONG>(certificate->getModulusLen())},
    };
    found = 1;
    code = findOne(keyTemplate, 2, key, &found, "findPrivateKeyByCertEx", "privateKey", retried);
    if (code != rc::OK) return code;
    if (found == 0) {
      setError("CPKCS11TokenUtil::findPrivateKeyByCertEx -> privateKey not found in token");
      return rc::PRIVATE_KEY_NOT_FOUND;
    }
    return rc::OK;
  } catch (...) {
    setError("CPKCS11TokenUtil::findPrivateKeyByCertEx -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS11TokenUtil::findPrivateKeyByCert(const unsigned char* der, std::size_t derLength, const char* pin,
                                           CK_OBJECT_HANDLE* key) {
  try {
    return findKeyById(der, derLength, pin, key);
  } catch (...) {
    setError("CPKCS11TokenUtil::findPrivateKeyByCert -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS11TokenUtil::findKeyById(const unsigned char* der, std::size_t derLength, const char* pin,
                                  CK_OBJECT_HANDLE* key) {
  if (der == nullptr || derLength == 0 || pin == nullptr || key == nullptr) {
    setError("CPKCS11TokenUtil::findPrivateKeyByCert -> parameter error");
    return rc::WRONG_PARAMETER;
  }
  if (m_functionList == nullptr || !m_sessionOpen) {
    setError("CPKCS11TokenUtil::findPrivateKeyByCert -> no token module loaded");
    return rc::CRYPTO_ERROR;
  }
  bool retried = true;  // this client made its session itself: no re-initialisation
  CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
  CK_ATTRIBUTE certTemplate[] = {
      {CKA_CLASS, &certClass, sizeof certClass},
      {CKA_VALUE, const_cast<unsigned char*>(der), static_cast<CK_ULONG>(derLength)},
  };
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  CK_ULONG found = 1;
  int code = findOne(certTemplate, 2, &object, &found, "findPrivateKeyByCert", "cert", retried);
  if (code != rc::OK) return code;
  if (found == 0) {
    setError("CPKCS11TokenUtil::findPrivateKeyByCert -> certificate not found in token");
    return rc::CERT_NOT_FOUND;
  }
  CK_ATTRIBUTE idQuery = {CKA_ID, nullptr, 0};
  CK_RV rv = m_functionList->C_GetAttributeValue(m_session, object, &idQuery, 1);
  if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) {
    setError("CPKCS11TokenUtil::findPrivateKeyByCert -> error 0x%X during 1. C_GetAttributeValue", hex32(rv));
    return rc::CRYPTO_ERROR;
  }
  if (idQuery.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
    setError("CPKCS11TokenUtil::findPrivateKeyByCert -> error 0x%X during 1. C_GetAttributeValue",
             hex32(CKR_ATTRIBUTE_TYPE_INVALID));
    return rc::CRYPTO_ERROR;
  }
  std::vector<unsigned char> id;
  try {
    id.assign(idQuery.ulValueLen != 0 ? idQuery.ulValueLen : 1, 0);
  } catch (const std::bad_alloc&) {
    setError("CPKCS11TokenUtil::findPrivateKeyByCert -> Allocate CKA_ID Memory[%d] Error",
             static_cast<int>(idQuery.ulValueLen));
    return rc::OUT_OF_MEMORY;
  }
  idQuery.pValue = id.data();
  rv = m_functionList->C_GetAttributeValue(m_session, object, &idQuery, 1);
  if (rv != CKR_OK) {
    setError("CPKCS11TokenUtil::findPrivateKeyByCert -> error 0x%X during 2. C_GetAttributeValue", hex32(rv));
    return rc::CRYPTO_ERROR;
  }
  PinBuffer pinCopy(pin);
  rv = m_functionList->C_Login(m_session, CKU_USER, pinCopy.data(), pinCopy.length());
  if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
    setError("CPKCS11TokenUtil::findPrivateKeyByCert -> error 0x%X during C_Login", hex32(rv));
    if (rv == CKR_PIN_INCORRECT) return rc::PASSWORD_ERROR;
    return rv == CKR_PIN_LOCKED ? rc::TOKEN_PIN_LOCKED : rc::CRYPTO_ERROR;
  }
  m_loggedIn = 1;
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE keyTemplate[] = {
      {CKA_CLASS, &keyClass, sizeof keyClass},
      {CKA_ID, id.data(), idQuery.ulValueLen},
  };
  found = 1;
  code = findOne(keyTemplate, 2, key, &found, "findPrivateKeyByCert", "privateKey", retried);
  if (code != rc::OK) return code;
  if (found == 0) {
    setError("CPKCS11TokenUtil::findPrivateKeyByCert -> privateKey not found in token");
    return rc::PRIVATE_KEY_NOT_FOUND;
  }
  return rc::OK;
}

// ---------------------------------------------------------------------------
// signRSA, openCertStore, getTokenCount

int CPKCS11TokenUtil::signRSA(CK_OBJECT_HANDLE key, const unsigned char* data, CK_ULONG dataLength,
                              unsigned char* signature, CK_ULONG* signatureLength) {
  try {
    if (signature == nullptr || signatureLength == nullptr || (data == nullptr && dataLength > 0)) {
      setError("CPKCS11TokenUtil::signRSA -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    if (m_functionList == nullptr) {
      setError("CPKCS11TokenUtil::signRSA -> no token module loaded");
      return rc::CRYPTO_ERROR;
    }
    CK_MECHANISM mechanism = {CKM_SHA1_RSA_PKCS, nullptr, 0};
    switch (m_hashKind) {
      case HASH_MD5: mechanism.mechanism = CKM_MD5_RSA_PKCS; break;
      case HASH_SHA256: mechanism.mechanism = CKM_SHA256_RSA_PKCS; break;
      case HASH_SHA384: mechanism.mechanism = CKM_SHA384_RSA_PKCS; break;
      case HASH_SHA512: mechanism.mechanism = CKM_SHA512_RSA_PKCS; break;
      default: mechanism.mechanism = CKM_SHA1_RSA_PKCS; break;
    }
    CK_RV rv = m_functionList->C_SignInit(m_session, &mechanism, key);
    if (rv != CKR_OK) {
      setError("CPKCS11TokenUtil::signRSA -> error 0x%X during C_SignInit", hex32(rv));
      return m_variant->pinMappingAtSign ? pinMapping(rv) : rc::CRYPTO_ERROR;
    }
    static unsigned char empty = 0;
    rv = m_functionList->C_Sign(m_session, data != nullptr ? const_cast<unsigned char*>(data) : &empty, dataLength,
                                signature, signatureLength);
    if (rv != CKR_OK) {
      setError("CPKCS11TokenUtil::signRSA -> error 0x%X during C_Sign", hex32(rv));
      return m_variant->pinMappingAtSign ? pinMapping(rv) : rc::CRYPTO_ERROR;
    }
    return rc::OK;
  } catch (...) {
    setError("CPKCS11TokenUtil::signRSA -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS11TokenUtil::openCertStore() {
  try {
    if (m_functionList == nullptr) {
      setError("CPKCS11TokenUtil::openCertStore -> no token module loaded");
      return rc::CRYPTO_ERROR;
    }
    freeTokenCertificates();
    std::vector<CK_OBJECT_HANDLE> objects(kMaxTokenCertificates);
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &certClass, sizeof certClass}};
    CK_ULONG found = kMaxTokenCertificates;
    bool retried = false;
    int code = findOne(tmpl, 1, objects.data(), &found, "openCertStore", "cert", retried);
    if (code != rc::OK) return code;
    if (found == 0) {
      setError("CPKCS11TokenUtil::openCertStore -> certificate not found in token");
      return rc::CERT_NOT_FOUND;
    }
    m_certs = static_cast<char**>(std::calloc(found, sizeof(char*)));
    if (m_certs == nullptr) {
      setError("CPKCS11TokenUtil::openCertStore -> Allocate certificate list Memory[%d] Error",
               static_cast<int>(found));
      return rc::OUT_OF_MEMORY;
    }
    // The count always says how many entries hold a certificate text.
    for (CK_ULONG i = 0; i < found; ++i) {
      CK_ATTRIBUTE value = {CKA_VALUE, nullptr, 0};
      CK_RV rv = m_functionList->C_GetAttributeValue(m_session, objects[i], &value, 1);
      if ((rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) || value.ulValueLen == CK_UNAVAILABLE_INFORMATION ||
          value.ulValueLen > static_cast<CK_ULONG>(INT32_MAX / 2)) {
        setError("CPKCS11TokenUtil::openCertStore -> error 0x%X during 1. C_GetAttributeValue",
                 hex32(rv != CKR_OK ? rv : CKR_ATTRIBUTE_VALUE_INVALID));
        return rc::CRYPTO_ERROR;
      }
      std::unique_ptr<unsigned char, decltype(&std::free)> bytes(
          static_cast<unsigned char*>(std::malloc(value.ulValueLen > 0 ? value.ulValueLen : 1)), &std::free);
      if (!bytes) {
        setError("CPKCS11TokenUtil::openCertStore -> Allocate CKA_ID Memory[%d] Error",
                 static_cast<int>(value.ulValueLen));
        return rc::OUT_OF_MEMORY;
      }
      value.pValue = bytes.get();
      rv = m_functionList->C_GetAttributeValue(m_session, objects[i], &value, 1);
      if (rv != CKR_OK) {
        setError("CPKCS11TokenUtil::openCertStore -> error 0x%X during 2. C_GetAttributeValue", hex32(rv));
        return rc::CRYPTO_ERROR;
      }
      char* text = base64Encode(bytes.get(), static_cast<int>(value.ulValueLen));
      if (text == nullptr) {
        setError("CPKCS11TokenUtil::openCertStore -> Allocate Base64 text Memory[%d] Error",
                 static_cast<int>(value.ulValueLen));
        return rc::OUT_OF_MEMORY;
      }
      m_certs[m_certCount++] = text;
    }
    return rc::OK;
  } catch (...) {
    setError("CPKCS11TokenUtil::findPrivateKeyByCert -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS11TokenUtil::getTokenCount(int* count) {
  try {
    if (count == nullptr) {
      setError("CPKCS11TokenUtil::getTokenCount -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    if (m_functionList == nullptr) {
      setError("CPKCS11TokenUtil::getTokenCount -> no token module loaded");
      return rc::CRYPTO_ERROR;
    }
    bool retried = false;
    CK_ULONG n = 0;
    CK_RV rv = m_functionList->C_GetSlotList(CK_TRUE, nullptr, &n);
    if (rv != CKR_OK && reinitializeAfterFinalize(rv, retried, false)) {
      rv = m_functionList->C_GetSlotList(CK_TRUE, nullptr, &n);
    }
    if (rv != CKR_OK) {
      setError("CPKCS11TokenUtil::getTokenCount -> error 0x%X during C_GetSlotList", hex32(rv));
      return rc::CRYPTO_ERROR;
    }
    m_tokenCount = static_cast<int>(n);
    *count = static_cast<int>(n);
    return rc::OK;
  } catch (...) {
    setError("CPKCS11TokenUtil::getTokenCount -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

// ---------------------------------------------------------------------------
// PKCS#7 SignedData, signed on the token

namespace {
struct OpenSslObjects {
  X509* cert = nullptr;
  PKCS7_SIGNER_INFO* signer = nullptr;  // owned until handed to the message
  PKCS7* message = nullptr;
  PKCS7* content = nullptr;  // owned until handed to the message
  unsigned char* attributes = nullptr;
  ~OpenSslObjects() {
    OPENSSL_free(attributes);
    PKCS7_free(content);
    PKCS7_free(message);
    PKCS7_SIGNER_INFO_free(signer);
    X509_free(cert);
  }
};

// The signer's certificate is only named and carried in the message, never
// used for its key, so it is parsed without key decoding.
OSSL_LIB_CTX* carriedCertificateContext() { return quietLibraryContext(); }

// Size in bytes of a signature by the certificate's RSA key.
int publicKeySize(X509* cert) {
  const unsigned char* bits = nullptr;
  int length = 0;
  if (X509_PUBKEY_get0_param(nullptr, &bits, &length, nullptr, X509_get_X509_PUBKEY(cert)) != 1) return 0;
  EVP_PKEY* key = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &bits, length);
  int size = key != nullptr ? EVP_PKEY_get_size(key) : 0;
  EVP_PKEY_free(key);
  return size;
}

bool setNullAlgorithm(X509_ALGOR* algorithm, int nid) {
  return X509_ALGOR_set0(algorithm, OBJ_nid2obj(nid), V_ASN1_NULL, nullptr) == 1;
}
}  // namespace

int CPKCS11TokenUtil::signPKCS7(const char* pin, const char* certificate, const char* digestMethod,
                                const char* signatureMethod, const unsigned char* data, std::size_t dataLength,
                                unsigned char** der, int* derLength) {
  (void)signatureMethod;  // the mechanism follows from the key
  CX509Certificate reader;
  int code;
  try {
    code = signPKCS7Body(pin, certificate, digestMethod, data, dataLength, der, derLength, reader);
  } catch (...) {
    setError("CPKCS11TokenUtil::signPKCS7 -> unknown error");
    code = rc::UNKNOWN_ERROR;
  }
  reader.clear();
  return code;
}

int CPKCS11TokenUtil::signPKCS7Body(const char* pin, const char* certificate, const char* digestMethod,
                                    const unsigned char* data, std::size_t dataLength, unsigned char** der,
                                    int* derLength, CX509Certificate& reader) {
  if (der == nullptr || derLength == nullptr || pin == nullptr || certificate == nullptr) {
    setError("CPKCS11TokenUtil::signPKCS7 -> parameter error");
    return rc::WRONG_PARAMETER;
  }
  *der = nullptr;
  *derLength = 0;
  if (data == nullptr) {
    setError("CPKCS11TokenUtil::signPKCS7 -> no data to sign");
    return rc::OPERATION_ERROR;
  }
  if (dataLength > static_cast<std::size_t>(INT32_MAX)) {
    setError("CPKCS11TokenUtil::signPKCS7 -> data too long to sign");
    return rc::WRONG_PARAMETER;
  }

  std::string method = digestMethod != nullptr ? digestMethod : "";
  for (char& c : method) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (method == "MD5")
    m_hashKind = HASH_MD5;
  else if (method == "SHA256")
    m_hashKind = HASH_SHA256;
  else if (method == "SHA384")
    m_hashKind = HASH_SHA384;
  else if (method == "SHA512")
    m_hashKind = HASH_SHA512;
  else
    m_hashKind = HASH_SHA1;

  int code = m_variant->acceptsBundle ? reader.loadPKCS7Cert(certificate) : rc::OPERATION_ERROR;
  if (code != rc::OK) {
    code = reader.LoadX509Cert(certificate);
    if (code != rc::OK && !m_variant->acceptsBundle) {
      // One certificate only: anything else is no certificate here.
      setError("CPKCS11TokenUtil::signPKCS7 -> error during d2i_X509");
      return rc::OPERATION_ERROR;
    }
    if (code != rc::OK) {
      setError("CPKCS11TokenUtil::signPKCS7 -> %s", reader.getErrorText());
      return code;
    }
  }

  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  if (m_variant->keySearch == SignVariant::KeySearch::IdWithLogin) {
    code = findPrivateKeyByCert(reader.getBinaryX509Cert(), static_cast<std::size_t>(reader.getBinaryX509CertLen()),
                                pin, &key);
    if (code != rc::OK) return code;
  } else {
    code = Login(pin);
    if (code != rc::OK) return code;
    code = findPrivateKeyByCertEx(&reader, &key);
    if (code != rc::OK) return code;
  }

  // The digest: SHA-1, or, where the key decides it, SHA-256 for a 2048-bit
  // key and SHA-1 for every other size; never what the page asked for.
  const EVP_MD* md = EVP_sha1();
  int mdNid = NID_sha1;
  m_hashKind = HASH_SHA1;
  if (m_variant->digestFromKey && reader.getModulusLen() == 256) {
    md = EVP_sha256();
    mdNid = NID_sha256;
    m_hashKind = HASH_SHA256;
  }

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (EVP_Digest(data, dataLength, digest, &digestLength, md, nullptr) != 1) {
    setError("CPKCS11TokenUtil::signPKCS7 -> error %d during EVP_Digest", rc::OPERATION_ERROR);
    return rc::OPERATION_ERROR;
  }

  OpenSslObjects o;
  const unsigned char* p = reader.getBinaryX509Cert();
  o.cert = X509_new_ex(carriedCertificateContext(), nullptr);
  if (o.cert == nullptr || d2i_X509(&o.cert, &p, reader.getBinaryX509CertLen()) == nullptr) {
    setError("CPKCS11TokenUtil::signPKCS7 -> error during d2i_X509");
    return rc::OPERATION_ERROR;
  }
  // The signature is as long as the key says; the buffer follows from it.
  int signatureSize = publicKeySize(o.cert);
  if (signatureSize <= 0) {
    setError("CPKCS11TokenUtil::signPKCS7 -> error during reading the signer's public key");
    return rc::OPERATION_ERROR;
  }

  o.signer = PKCS7_SIGNER_INFO_new();
  if (o.signer == nullptr) {
    setError("CPKCS11TokenUtil::signPKCS7 -> SignerInfo memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  PKCS7_SIGNER_INFO* si = o.signer;
  ASN1_INTEGER* serial = ASN1_INTEGER_dup(X509_get0_serialNumber(o.cert));
  if (ASN1_INTEGER_set(si->version, 1) != 1 || serial == nullptr ||
      X509_NAME_set(&si->issuer_and_serial->issuer, X509_get_issuer_name(o.cert)) != 1 ||
      !setNullAlgorithm(si->digest_alg, mdNid)) {
    ASN1_INTEGER_free(serial);
    setError("CPKCS11TokenUtil::signPKCS7 -> SignerInfo memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  ASN1_INTEGER_free(si->issuer_and_serial->serial);
  si->issuer_and_serial->serial = serial;

  if (PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data)) != 1) {
    setError("CPKCS11TokenUtil::signPKCS7 -> signed attribute memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  ASN1_OCTET_STRING* digestValue = ASN1_OCTET_STRING_new();
  if (digestValue == nullptr || ASN1_OCTET_STRING_set(digestValue, digest, static_cast<int>(digestLength)) != 1) {
    ASN1_OCTET_STRING_free(digestValue);
    setError("CPKCS11TokenUtil::signPKCS7 -> error %d during M_ASN1_OCTET_STRING_set", rc::OPERATION_ERROR);
    return rc::OPERATION_ERROR;
  }
  if (PKCS7_add_signed_attribute(si, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, digestValue) != 1) {
    ASN1_OCTET_STRING_free(digestValue);
    setError("CPKCS11TokenUtil::signPKCS7 -> signed attribute memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  ASN1_UTCTIME* now = ASN1_UTCTIME_set(nullptr, std::time(nullptr));
  if (now == nullptr || PKCS7_add_signed_attribute(si, NID_pkcs9_signingTime, V_ASN1_UTCTIME, now) != 1) {
    ASN1_UTCTIME_free(now);
    setError("CPKCS11TokenUtil::signPKCS7 -> signed attribute memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }

  // The token signs the DER SET OF the signed attributes.
  int attributesLength =
      ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &o.attributes, ASN1_ITEM_rptr(PKCS7_ATTR_SIGN));
  if (attributesLength <= 0 || o.attributes == nullptr) {
    setError("CPKCS11TokenUtil::signPKCS7 -> error during encoding the signed attributes");
    return rc::OPERATION_ERROR;
  }
  std::vector<unsigned char> signature(static_cast<std::size_t>(signatureSize));
  CK_ULONG signatureLength = static_cast<CK_ULONG>(signature.size());
  code = signRSA(key, o.attributes, static_cast<CK_ULONG>(attributesLength), signature.data(), &signatureLength);
  if (code != rc::OK) return code;
  if (signatureLength == 0 || signatureLength > signature.size()) {
    setError("CPKCS11TokenUtil::signPKCS7 -> the token returned a signature of length %lu", signatureLength);
    return rc::CRYPTO_ERROR;
  }

  if (!setNullAlgorithm(si->digest_enc_alg, NID_rsaEncryption) ||
      ASN1_STRING_set(si->enc_digest, signature.data(), static_cast<int>(signatureLength)) != 1) {
    setError("CPKCS11TokenUtil::signPKCS7 -> error %d during M_ASN1_OCTET_STRING_set", rc::OPERATION_ERROR);
    return rc::OPERATION_ERROR;
  }

  o.message = PKCS7_new();
  if (o.message == nullptr || PKCS7_set_type(o.message, NID_pkcs7_signed) != 1) {
    setError("CPKCS11TokenUtil::signPKCS7 -> SignedData memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  if (PKCS7_add_signer(o.message, si) != 1) {
    setError("CPKCS11TokenUtil::signPKCS7 -> SignedData memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  o.signer = nullptr;  // the message owns it now
  if (PKCS7_add_certificate(o.message, o.cert) != 1) {
    setError("CPKCS11TokenUtil::signPKCS7 -> SignedData memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  o.content = PKCS7_new();
  if (o.content == nullptr || PKCS7_set_type(o.content, NID_pkcs7_data) != 1 ||
      ASN1_OCTET_STRING_set(o.content->d.data, data, static_cast<int>(dataLength)) != 1) {
    setError("CPKCS11TokenUtil::signPKCS7 -> error %d during M_ASN1_OCTET_STRING_set", rc::OPERATION_ERROR);
    return rc::OPERATION_ERROR;
  }
  if (PKCS7_set_content(o.message, o.content) != 1) {
    setError("CPKCS11TokenUtil::signPKCS7 -> SignedData memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  o.content = nullptr;

  unsigned char* out = nullptr;
  int outLength = i2d_PKCS7(o.message, &out);
  if (outLength <= 0 || out == nullptr) {
    setError("CPKCS11TokenUtil::signPKCS7 -> error during i2d_PKCS7");
    return rc::OPERATION_ERROR;
  }
  *der = out;
  *derLength = outLength;
  return rc::OK;
}

// ---------------------------------------------------------------------------
// Module list and detection

int CPKCS11TokenUtil::DllListParser(const char* list, char (&message)[ERROR_TEXT_SIZE]) {
  try {
    if (list == nullptr) {
      formatErrorText(message, "DllListParser()->dllNameList is NULL.");
      return rc::WRONG_PARAMETER;
    }
    std::size_t length = strnlen(list, MODULE_LIST_TEXT_MAX + 1);
    if (length > MODULE_LIST_TEXT_MAX) {
      formatErrorText(message, "DllListParser()->dllNameList longer than %d characters.",
                      static_cast<int>(MODULE_LIST_TEXT_MAX));
      return rc::WRONG_PARAMETER;
    }
    unsigned int opens = 0;
    unsigned int closes = 0;
    for (std::size_t i = 0; i < length; ++i) {
      if (list[i] == '{') ++opens;
      if (list[i] == '}') ++closes;
    }
    if (opens != closes) {
      formatErrorText(message, "DllListParser()->dllNameList format error, { Count:0x[%X], } Count:0x[%X]", opens,
                      closes);
      return rc::WRONG_PARAMETER;
    }
    std::string text = opens == 0 ? "{" + std::string(list, length) + "}" : std::string(list, length);
    int depth = 0;
    for (char c : text) {
      if (c == '{' && ++depth > 2) {
        formatErrorText(message, "DllListParser()->dllNameList format error, { & } not in pairs");
        return rc::WRONG_PARAMETER;
      }
      if (c == '}' && --depth < 0) {
        formatErrorText(message, "DllListParser()->dllNameList format error, { & } not in pairs");
        return rc::WRONG_PARAMETER;
      }
    }
    // Each name runs from a "{" to the "}" that follows it; text between the
    // groups is not part of any name.
    std::vector<std::string> names;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] != '{') continue;
      std::size_t end = text.find('}', i + 1);
      if (end == std::string::npos) break;  // cannot happen once the counts agree
      names.push_back(text.substr(i + 1, end - i - 1));
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (names[i].size() >= MODULE_NAME_SIZE) {
        formatErrorText(message, "DllListParser()->dll name longer than %d characters in dll name list.",
                        static_cast<int>(MODULE_NAME_SIZE - 1));
        return rc::WRONG_PARAMETER;
      }
      for (std::size_t j = 0; j < i; ++j) {
        if (names[i] == names[j]) {
          formatErrorText(message, "DllListParser()->dllNameList error, dll name dupicated in dll name list.");
          return rc::WRONG_PARAMETER;
        }
      }
    }
    char** parsed = static_cast<char**>(std::calloc(names.size() + 1, sizeof(char*)));
    if (parsed == nullptr) {
      formatErrorText(message, "DllListParser()->memcpy_s failed, pchTmpDllList.");
      return rc::OUT_OF_MEMORY;
    }
    int parsedCount = 0;
    for (const std::string& name : names) {
      parsed[parsedCount] = duplicate(name.data(), name.size());
      if (parsed[parsedCount] == nullptr) {
        freeStrings(parsed, parsedCount);
        formatErrorText(message, "DllListParser()->memcpy_s failed, pchTmpDllList.");
        return rc::OUT_OF_MEMORY;
      }
      ++parsedCount;
    }
    freeModuleList();
    m_moduleList = parsed;
    m_moduleCount = parsedCount;
    return rc::OK;
  } catch (...) {
    formatErrorText(message, "DllListParser()->unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS11TokenUtil::detectTokenByModule(const char* list) {
  try {
    m_detectedModule[0] = '\0';
    char message[ERROR_TEXT_SIZE] = {};
    int code = DllListParser(list, message);
    if (code != rc::OK) {
      setError("SetDll()->DllListParser()->%s", message);
      return code;
    }
    if (m_moduleCount == 0) {
      setError("detectTokenByModule()->DllInitialize()->Can't find any token.");
      return rc::TOKEN_NOT_FOUND;
    }
    // Nothing stays loaded between two modules; the found name is the one of
    // the module that actually saw the token.
    closeModule();
    int found = 0;
    std::string foundName;
    for (int i = 0; i < m_moduleCount; ++i) {
      const char* name = m_moduleList[i];
      if (std::strstr(name, "eToken.dll") != nullptr) {
        m_otherModel = 0;
        code = init5200(name);
        if (code == rc::OK) {
          ++found;
          foundName = name;
        } else if (code == rc::TOKEN_NOT_FOUND && m_otherModel) {
          // The token is of the other model: ask that model's own module,
          // not the one that is loaded now.
          closeModule();
          code = init(FALLBACK_MODULE);
          if (code == rc::SEVERAL_TOKENS) {
            closeModule();
            setError("detectTokenByModule()->DllInitialize()->Find multi tokens.");
            return rc::SEVERAL_TOKENS;
          }
          if (code == rc::OK) {
            ++found;
            foundName = FALLBACK_MODULE_REPORTED;
          }
        }
      } else {
        code = init(name);
        if (code == rc::SEVERAL_TOKENS) {
          closeModule();
          setError("detectTokenByModule()->DllInitialize()->Find multi tokens.");
          return rc::SEVERAL_TOKENS;
        }
        if (code == rc::OK) {
          ++found;
          foundName = name;
        }
      }
      closeModule();
    }
    if (found == 0) {
      setError("detectTokenByModule()->DllInitialize()->Can't find any token.");
      return rc::TOKEN_NOT_FOUND;
    }
    if (found >= 2) {
      setError("detectTokenByModule()->DllInitialize()->Find multi tokens.");
      return rc::SEVERAL_TOKENS;
    }
    if (foundName.size() >= sizeof m_detectedModule) {  // list entries are checked; kept as a guard
      setError("detectTokenByModule()->detected module name too long");
      return rc::WRONG_PARAMETER;
    }
    std::memcpy(m_detectedModule, foundName.c_str(), foundName.size() + 1);
    return rc::OK;
  } catch (...) {
    closeModule();
    setError("detectTokenByModule()->unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

// ---------------------------------------------------------------------------
// Token management

int CPKCS11TokenUtil::getTokenSN(const char* moduleName, char* serial) {
  try {
    int code = init(moduleName);
    if (code != rc::OK) {
      setError("CPKCS11TokenUtil::getTokenSN -> error 0x%X during init", static_cast<unsigned int>(code));
      return rc::CRYPTO_ERROR;
    }
    CK_ULONG count = 0;
    CK_RV rv = m_functionList->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK) {
      setError("CPKCS11TokenUtil::getTokenSN -> error 0x%X during C_GetSlotList", hex32(rv));
      return rc::CRYPTO_ERROR;
    }
    if (count == 0) {
      setError("CPKCS11TokenUtil::getTokenSN -> No token present!");
      return rc::TOKEN_NOT_FOUND;
    }
    std::vector<CK_SLOT_ID> slots(count);
    rv = m_functionList->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv != CKR_OK) {
      setError("CPKCS11TokenUtil::getTokenSN -> error 0x%X during C_GetSlotList", hex32(rv));
      return rc::CRYPTO_ERROR;
    }
    if (count == 0) {
      setError("CPKCS11TokenUtil::getTokenSN -> No token present!");
      return rc::TOKEN_NOT_FOUND;
    }
    m_slot = slots[0];
    m_slotKnown = 1;
    CK_TOKEN_INFO info;
    rv = m_functionList->C_GetTokenInfo(m_slot, &info);
    if (rv != CKR_OK) {
      setError("CPKCS11TokenUtil::getTokenSN -> error 0x%X during C_GetTokenInfo", hex32(rv));
      return rc::CRYPTO_ERROR;
    }
    char text[sizeof info.serialNumber + 1] = {};
    std::size_t n = 0;
    while (n < sizeof info.serialNumber && info.serialNumber[n] != ' ' && info.serialNumber[n] != '\0') {
      text[n] = static_cast<char>(std::toupper(info.serialNumber[n]));
      ++n;
    }
    if (serial != nullptr) std::memcpy(serial, text, n);
    m_functionList->C_Finalize(nullptr);
    // The finalise ended our session and initialisation.
    m_initialized = 0;
    m_sessionOpen = 0;
    m_loggedIn = 0;
    return rc::OK;
  } catch (...) {
    setError("CPKCS11TokenUtil::getTokenSN -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CPKCS11TokenUtil::SetUserPIN(const char* moduleName, const char* oldPin, const char* newPin) {
  try {
    // Cutting a new PIN would leave the token with a PIN nobody chose; a PIN
    // that does not fit is refused before the token is touched.
    if (oldPin == nullptr || newPin == nullptr || !pinFits(oldPin) || !pinFits(newPin)) {
      setError("CPKCS11TokenUtil::SetUserPIN -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    PinBuffer oldCopy(oldPin);
    PinBuffer newCopy(newPin);
    int code = init(moduleName);
    if (code != rc::OK) {
      setError("CPKCS11TokenUtil::SetUserPIN -> error 0x%X during init", static_cast<unsigned int>(code));
      return rc::CRYPTO_ERROR;
    }
    Logout();
    code = Login(oldCopy.text);
    if (code != rc::OK) {
      setError("CPKCS11TokenUtil::SetUserPIN -> error 0x%X during Login", static_cast<unsigned int>(code));
      return code;
    }
    CK_RV rv = m_functionList->C_SetPIN(m_session, oldCopy.data(), oldCopy.length(), newCopy.data(), newCopy.length());
    if (rv != CKR_OK) {
      setError("CPKCS11TokenUtil::SetUserPIN -> error 0x%X during C_SetPIN", hex32(rv));
      if (rv == CKR_PIN_INCORRECT) return rc::TOKEN_PIN_INCORRECT;
      if (rv == CKR_PIN_LOCKED) return rc::TOKEN_PIN_LOCKED;
      if (rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE) return rc::TOKEN_PIN_ILLEGAL;
      return rc::CRYPTO_ERROR;
    }
    return rc::OK;
  } catch (...) {
    setError("CPKCS11TokenUtil::SetUserPIN -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

namespace {
// The vendor's token-settings object written at initialisation. The standard
// attributes are CK_ULONG wide; the vendor's own are 4 bytes (one of 1 byte).
struct TokenSettingsTemplate {
  CK_OBJECT_CLASS cls = CKO_HW_FEATURE;
  CK_HW_FEATURE_TYPE feature = CKH_ETC_TOKEN_SETTINGS;
  std::uint32_t values[12] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::uint8_t flag = 0;
  CK_ATTRIBUTE attributes[15];
  TokenSettingsTemplate() {
    static const CK_ATTRIBUTE_TYPE vendor[] = {0x80001201UL, 0x80001205UL, 0x80001204UL, 0x80001206UL, 0x80001202UL,
                                               0x80001207UL, 0x80001209UL, 0x80001203UL, 0x8000120eUL, 0x8000120aUL,
                                               0x8000120bUL, 0x8000120cUL, 0x8000120dUL};
    attributes[0] = {CKA_CLASS, &cls, sizeof cls};
    attributes[1] = {CKA_HW_FEATURE_TYPE, &feature, sizeof feature};
    int next = 0;
    for (int i = 0; i < 13; ++i) {
      if (vendor[i] == 0x80001203UL) {
        attributes[2 + i] = {vendor[i], &flag, sizeof flag};
      } else {
        attributes[2 + i] = {vendor[i], &values[next++], sizeof(std::uint32_t)};
      }
    }
  }
};
}  // namespace

int CPKCS11TokenUtil::InitTokenCV(const char* moduleName, const char* label, const char* soPin, const char* userPin) {
  HMODULE module = nullptr;
  CK_FUNCTION_LIST_PTR list = nullptr;
  bool initialized = false;
  bool sessionOpen = false;
  CK_SESSION_HANDLE session = 0;
  // Every way out after loading frees the module, and after initialising
  // closes the session and finalises it first.
  auto leave = [&](int code) {
    if (list != nullptr && initialized) {
      if (sessionOpen) list->C_CloseSession(session);
      list->C_Finalize(nullptr);
    }
    if (module != nullptr) FreeLibrary(module);
    return code;
  };
  try {
    if (moduleName == nullptr || label == nullptr || soPin == nullptr || userPin == nullptr) {
      setError("CPKCS11TokenUtil::InitTokenCV -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    module = LoadLibraryA(moduleName);
    if (module == nullptr) {
      setError("CPKCS11TokenUtil::InitTokenCV -> error durring in LoadLibrary return code[%d]",
               static_cast<int>(GetLastError()));
      return rc::TOKEN_LIBRARY_FAILURE;
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(GetProcAddress(module, "C_GetFunctionList"));
    if (getList == nullptr) {
      setError("CPKCS11TokenUtil::InitTokenCV -> error durring in GetProcAddress return code[%d]",
               static_cast<int>(GetLastError()));
      return leave(rc::TOKEN_LIBRARY_FAILURE);
    }
    CK_RV rv = getList(&list);
    if (rv != CKR_OK || list == nullptr) {
      list = nullptr;
      setError("CPKCS11TokenUtil::InitTokenCV -> error durring in pC_GetFunctionList return code[%d]",
               static_cast<int>(rv));
      return leave(rc::TOKEN_LIBRARY_FAILURE);
    }
    auto getExtension = reinterpret_cast<CK_ETC_GetFunctionListEx>(GetProcAddress(module, "ETC_GetFunctionListEx"));
    if (getExtension == nullptr) {
      setError("CPKCS11TokenUtil::InitTokenCV -> error durring in GetProcessAddress f_CK_ETC_GetFunctionListEx");
      return leave(rc::TOKEN_LIBRARY_FAILURE);
    }
    CK_ETC_FUNCTION_LIST_EX_PTR extension = nullptr;
    rv = getExtension(&extension);
    if (rv != CKR_OK || extension == nullptr || extension->ETC_InitTokenInit == nullptr ||
        extension->ETC_InitPIN == nullptr || extension->ETC_InitTokenFinal == nullptr) {
      setError("CPKCS11TokenUtil::InitTokenCV -> error durring in f_CK_ETC_GetFunctionListEx return code[%d]",
               static_cast<int>(GetLastError()));
      return leave(rc::TOKEN_LIBRARY_FAILURE);
    }
    rv = list->C_Initialize(nullptr);
    if (!initializeAccepted(rv)) {
      setError("CPKCS11TokenUtil::InitTokenCV -> error durring in C_Initialize return code[%d]", static_cast<int>(rv));
      return leave(rc::TOKEN_LIBRARY_FAILURE);
    }
    initialized = true;
    CK_ULONG count = 0;
    rv = list->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK) {
      setError("CPKCS11TokenUtil::InitTokenCV -> error durring in C_GetSlotList return code[%d]", static_cast<int>(rv));
      return leave(rc::TOKEN_NOT_FOUND);
    }
    if (count == 0) {
      setError("CPKCS11TokenUtil::InitTokenCV -> No token present!");
      return leave(rc::TOKEN_NOT_FOUND);
    }
    std::vector<CK_SLOT_ID> slots(count);
    rv = list->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv != CKR_OK || count == 0) {
      setError("CPKCS11TokenUtil::InitTokenCV -> error durring in C_GetSlotList 2 return code[%d]",
               static_cast<int>(rv));
      return leave(rc::TOKEN_NOT_FOUND);
    }
    CK_SLOT_ID slot = slots[0];
    CK_SLOT_INFO slotInfo;
    rv = list->C_GetSlotInfo(slot, &slotInfo);
    if (rv != CKR_OK) {
      setError("CPKCS11TokenUtil::InitTokenCV -> error durring in C_GetSlotInfo return code[%d]", static_cast<int>(rv));
      return leave(rc::TOKEN_NOT_FOUND);
    }
    CK_TOKEN_INFO tokenInfo;
    rv = list->C_GetTokenInfo(slot, &tokenInfo);
    if (rv != CKR_OK) {
      setError("CPKCS11TokenUtil::InitTokenCV -> error durring in C_GetSlotInfo 2 return code[%d]",
               static_cast<int>(rv));
      return leave(rc::TOKEN_NOT_FOUND);
    }
    rv = extension->ETC_InitTokenInit(slot, utf8(soPin), static_cast<CK_ULONG>(std::strlen(soPin)), kVendorRetryCount,
                                      utf8(label), &session);
    if (rv != CKR_OK) {
      setError("CPKCS11TokenUtil::InitTokenCV -> error durring in ETC_InitTokenInit return code[%d]",
               static_cast<int>(rv));
      return leave(rc::TOKEN_INIT_FAILURE);
    }
    sessionOpen = true;
    TokenSettingsTemplate settings;
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    list->C_CreateObject(session, settings.attributes, 15, &object);
    rv = extension->ETC_InitPIN(session, utf8(userPin), static_cast<CK_ULONG>(std::strlen(userPin)), kVendorRetryCount,
                                nullptr);
    if (rv != CKR_OK) {
      // Without a user PIN the token must not be completed.
      setError("CPKCS11TokenUtil::InitTokenCV -> error durring in ETC_InitPIN return code[%d]", static_cast<int>(rv));
      return leave(rc::TOKEN_INIT_FAILURE);
    }
    extension->ETC_InitTokenFinal(session);
    return leave(rc::OK);
  } catch (...) {
    setError("CPKCS11TokenUtil::InitTokenCV -> unknown error");
    return leave(rc::UNKNOWN_ERROR);
  }
}

// ---------------------------------------------------------------------------
// The token probe

namespace {
struct ProbeCache {
  HMODULE module = nullptr;
  CK_C_GetFunctionList entry = nullptr;
  CK_FUNCTION_LIST_PTR list = nullptr;
  CK_SESSION_HANDLE session = 0;
  bool sessionOpen = false;
};
ProbeCache gProbe;
}  // namespace

namespace {
// The probe's steps shared by both callers: the module, its function list
// and one session on the first slot with a token, kept for the process.
int probeModule(const char* moduleName);
}  // namespace

int loadPKCS11FunctionList(const char* moduleName) {
  try {
    if (moduleName == nullptr) return rc::WRONG_PARAMETER;
    return probeModule(moduleName);
  } catch (...) {
    return rc::PROBE_UNKNOWN_ERROR;
  }
}

int loadPKCS11FunctionList(char* callerModuleName, std::size_t callerModuleNameSize, const char* moduleName) {
  try {
    if (callerModuleName == nullptr || moduleName == nullptr) return rc::WRONG_PARAMETER;
    std::size_t length = strnlen(moduleName, callerModuleNameSize);
    if (length >= callerModuleNameSize) return rc::WRONG_PARAMETER;  // would not fit the caller's field
    int code = probeModule(moduleName);
    if (code != rc::OK) return code;
    std::memcpy(callerModuleName, moduleName, length);
    callerModuleName[length] = '\0';
    return rc::OK;
  } catch (...) {
    return rc::PROBE_UNKNOWN_ERROR;
  }
}

namespace {
// After the count query answered count: the slots with a token, the second
// step of the probe's slot list (the token may go between the two).
int listProbeSlots(CK_FUNCTION_LIST_PTR f, CK_ULONG& count, std::unique_ptr<CK_SLOT_ID[]>& slots) {
  if (count == 0) return rc::NO_TOKEN;
  slots.reset(new (std::nothrow) CK_SLOT_ID[count]);
  if (!slots) return rc::OPERATION_ERROR;
  if (f->C_GetSlotList(CK_TRUE, slots.get(), &count) != CKR_OK) return rc::PROBE_LIBRARY_FAILURE;
  if (count == 0) return rc::NO_TOKEN;
  return rc::OK;
}

int probeModule(const char* moduleName) {
  {
    if (gProbe.module == nullptr) {
      gProbe.module = LoadLibraryA(moduleName);
      if (gProbe.module == nullptr) return rc::PROBE_LIBRARY_FAILURE;
    }
    if (gProbe.entry == nullptr) {
      gProbe.entry = reinterpret_cast<CK_C_GetFunctionList>(GetProcAddress(gProbe.module, "C_GetFunctionList"));
      if (gProbe.entry == nullptr) return rc::PROBE_LIBRARY_FAILURE;
    }
    if (gProbe.list == nullptr) {
      CK_FUNCTION_LIST_PTR list = nullptr;
      if (gProbe.entry(&list) != CKR_OK || list == nullptr) return rc::PROBE_LIBRARY_FAILURE;
      gProbe.list = list;
    }
    CK_FUNCTION_LIST_PTR f = gProbe.list;
    if (!initializeAccepted(f->C_Initialize(nullptr))) return rc::PROBE_LIBRARY_FAILURE;
    CK_ULONG count = 0;
    if (f->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) return rc::PROBE_LIBRARY_FAILURE;
    std::unique_ptr<CK_SLOT_ID[]> slots;
    int code = listProbeSlots(f, count, slots);
    if (code != rc::OK) return code;
    // One cached session at a time: the previous one is closed first.
    if (gProbe.sessionOpen) {
      f->C_CloseSession(gProbe.session);
      gProbe.sessionOpen = false;
    }
    if (f->C_OpenSession(slots[0], kSessionFlags, nullptr, nullptr, &gProbe.session) != CKR_OK)
      return rc::PROBE_LIBRARY_FAILURE;
    gProbe.sessionOpen = true;
    return rc::OK;
  }
}
}  // namespace

int getPKCS11SlotList(CK_ULONG* count) {
  if (count == nullptr) return rc::WRONG_PARAMETER;
  *count = 0;
  try {
    CK_FUNCTION_LIST_PTR f = gProbe.list;
    if (f == nullptr) return rc::PROBE_LIBRARY_FAILURE;
    CK_ULONG n = 0;
    CK_RV rv = f->C_GetSlotList(CK_TRUE, nullptr, &n);
    if (rv == CKR_CRYPTOKI_NOT_INITIALIZED) {
      // Another client finalised the module; its sessions are gone with it.
      gProbe.sessionOpen = false;
      if (initializeAccepted(f->C_Initialize(nullptr))) rv = f->C_GetSlotList(CK_TRUE, nullptr, &n);
    }
    if (rv != CKR_OK) return rc::PROBE_LIBRARY_FAILURE;
    std::unique_ptr<CK_SLOT_ID[]> slots;
    int code = listProbeSlots(f, n, slots);
    if (code != rc::OK) return code;
    CK_TOKEN_INFO info;
    if (f->C_GetTokenInfo(slots[0], &info) != CKR_OK) return rc::PROBE_LIBRARY_FAILURE;
    *count = n;
    return rc::OK;
  } catch (...) {
    *count = 0;
    return rc::PROBE_UNKNOWN_ERROR;
  }
}
