#include "TeskelCtrl.h"

#include <openssl/crypto.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "ctrlkit/HostAllowList.h"
#include "signlib/PKCS11TokenUtil.h"
#include "platform/afx.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/resources.h"
#include "platform/ui.h"

#include "signlib/ui/ChangePwdDlg.h"
#include "signlib/ui/SignUIDlg.h"
#include "signlib/ui/TokenInOutDlg.h"

namespace {

// The token label and PINs a re-initialised token gets.
constexpr const char* kInitTokenLabel = "Corvane";
constexpr const char* kInitTokenSOPin = "Quorvinta";
constexpr const char* kInitTokenUserPin = "739164";

// For the length of one member, the dialogs and strings that the library
// loads come from this module's resources, whoever hosts it.
class CModuleResourceState {
 public:
  CModuleResourceState() : m_saved(AfxGetResourceHandle()) { AfxSetResourceHandle(CAtlModule::GetModuleInstance()); }
  ~CModuleResourceState() { AfxSetResourceHandle(m_saved); }
  CModuleResourceState(const CModuleResourceState&) = delete;
  CModuleResourceState& operator=(const CModuleResourceState&) = delete;

 private:
  HINSTANCE m_saved;
};

bool isEmpty(BSTR text) { return text == nullptr || SysStringLen(text) == 0; }

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

// A script string as 8-bit text in a code page (CP_ACP for arguments, as the
// library expects). A null BSTR gives a null text. Secret texts (PINs) are
// wiped when the object goes.
class CAnsiText {
 public:
  explicit CAnsiText(BSTR text, UINT codePage = CP_ACP, bool secret = false) : m_null(text == nullptr), m_secret(secret) {
    if (text == nullptr) return;
    int length = static_cast<int>(SysStringLen(text));
    if (length == 0) return;
    int size = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) throw std::runtime_error("text conversion failed");
    m_text.resize(static_cast<std::size_t>(size));
    if (WideCharToMultiByte(codePage, 0, text, length, m_text.data(), size, nullptr, nullptr) != size)
      throw std::runtime_error("text conversion failed");
  }
  ~CAnsiText() {
    if (m_secret && !m_text.empty()) OPENSSL_cleanse(m_text.data(), m_text.size());
  }
  CAnsiText(const CAnsiText&) = delete;
  CAnsiText& operator=(const CAnsiText&) = delete;

  const char* get() const { return m_null ? nullptr : m_text.c_str(); }
  const char* text() const { return m_text.c_str(); }

 private:
  std::string m_text;
  bool m_null;
  bool m_secret;
};

// A wide string from 8-bit text in a code page.
std::u16string widen(const char* text, UINT codePage) {
  if (text == nullptr || *text == 0) return std::u16string();
  int count = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (count <= 0) throw std::runtime_error("text conversion failed");
  std::u16string out(static_cast<std::size_t>(count), u'\0');
  if (MultiByteToWideChar(codePage, 0, text, -1, out.data(), count) != count)
    throw std::runtime_error("text conversion failed");
  out.resize(static_cast<std::size_t>(count - 1));
  return out;
}

std::string narrow(const std::u16string& text, UINT codePage) {
  if (text.empty()) return std::string();
  int size = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (size <= 0) throw std::runtime_error("text conversion failed");
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

// A text result for script: the library's 8-bit text in the calling thread's
// ANSI code page as a new BSTR; a null text gives a null BSTR.
HRESULT textResult(const char* text, BSTR* out) {
  *out = nullptr;
  if (text == nullptr) return S_OK;
  int count = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
  if (count <= 0) return E_OUTOFMEMORY;
  BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(count - 1));
  if (b == nullptr) return E_OUTOFMEMORY;
  MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, b, count);
  *out = b;
  return S_OK;
}

HRESULT wideResult(const std::u16string& text, BSTR* out) {
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

// A flag from a script value: booleans and whole numbers by their low 16
// bits (VARIANT_TRUE, or a number such as -1 whose low 16 bits are all
// ones); any other kind of value (text, objects, fractions) is never read as
// a flag and gives 0.
BYTE flagOf(const VARIANT& v) {
  long long value = 0;
  switch (v.vt) {
    case VT_BOOL: return v.boolVal == VARIANT_TRUE ? 1 : 0;
    case VT_I1: value = v.cVal; break;
    case VT_UI1: value = v.bVal; break;
    case VT_I2: value = v.iVal; break;
    case VT_UI2: value = v.uiVal; break;
    case VT_I4: value = v.lVal; break;
    case VT_UI4: value = v.ulVal; break;
    case VT_INT: value = v.intVal; break;
    case VT_UINT: value = v.uintVal; break;
    case VT_I8: value = v.llVal; break;
    case VT_UI8: value = static_cast<long long>(v.ullVal); break;
    default: return 0;
  }
  return (value & 0xFFFF) == 0xFFFF ? 1 : 0;
}

bool validKeyUsage(LONG keyUsage) { return keyUsage == 0 || keyUsage == 1 || keyUsage == 2; }

// The extended version record GetVersionExW fills when asked with its size.
struct OSVERSIONINFOEXW : OSVERSIONINFOW {
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "the extended version record is 284 bytes");

using SetThreadUILanguageFn = LANGID (*)(LANGID);
}  // namespace

// ------------------------------------------------------------------ life
CTeskelCtrl::CTeskelCtrl() { pCertDBClient = &certDBClient; }

CTeskelCtrl::~CTeskelCtrl() = default;

void CTeskelCtrl::setError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vformatErrorText(LastErrorStr, format, args);
  va_end(args);
}

void CTeskelCtrl::setErrorText(const char* text) { formatErrorText(LastErrorStr, "%s", text); }

// ------------------------------------------------------------------ language
HRESULT CTeskelCtrl::setLanguage(BSTR languageCode, LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = 0;
  CModuleResourceState state;
  LastErrorCode = 0;
  try {
    language = isEmpty(languageCode) ? std::u16string() : std::u16string(languageCode, SysStringLen(languageCode));
    if (!language.empty()) {
      if (language == u"CHT") applyLanguage("CHT");
      else if (language == u"CHS") applyLanguage("CHS");
      else if (language == u"ENU") applyLanguage("ENU");
      else applyLanguage("CHT");
    }
  } catch (...) {
    LastErrorCode = rc::UNKNOWN_ERROR;
    setErrorText("CTeskelCtrl::setLanguage -> Unknow Error");
  }
  *pVal = LastErrorCode;
  return S_OK;
}

int CTeskelCtrl::applyLanguage(const char* code) {
  OSVERSIONINFOEXW version;
  std::memset(&version, 0, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExW(&version);
  LANGID id = 1028;
  if (std::strcmp(code, "ENU") == 0) id = 1033;
  else if (std::strcmp(code, "CHS") == 0) id = 2052;
  if (version.dwMajorVersion >= 6) {
    HMODULE kernel = GetModuleHandleW(u"kernel32.dll");
    auto set = kernel != nullptr ? reinterpret_cast<SetThreadUILanguageFn>(GetProcAddress(kernel, "SetThreadUILanguage"))
                                 : nullptr;
    if (set != nullptr) set(id);
  } else {
    SetThreadLocale(MAKELCID(id, SORT_DEFAULT));
  }
  return 0;
}

// ------------------------------------------------------------------ selection and field members
template <class Body>
HRESULT CTeskelCtrl::selectionMember(LONG* pVal, const char* exceptionText, Body body) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = 0;
  CModuleResourceState state;
  int code = 0;
  HRESULT hr = S_OK;
  try {
    code = body();
  } catch (...) {
    code = rc::UNKNOWN_ERROR;
    setErrorText(exceptionText);
    hr = S_FALSE;
  }
  if (code != 0) log.writeLog(CLog::LEVEL_ERROR, LastErrorStr, code);
  *pVal = code;
  return hr;
}

template <class Body>
HRESULT CTeskelCtrl::resultMember(LONG* pVal, const char* exceptionText, Body body) {
  LastErrorCode = 0;
  HRESULT hr = selectionMember(pVal, exceptionText, [&] { return LastErrorCode = body(); });
  if (hr == S_FALSE) LastErrorCode = rc::UNKNOWN_ERROR;  // the body threw
  return hr;
}

// A store call's result: its failure text, or 0.
int CTeskelCtrl::selectWith(int code, const char* failureFormat) {
  if (code != 0) setError(failureFormat, pCertDBClient->getErrorMessage());
  return code;
}

HRESULT CTeskelCtrl::checkCertificateExpired(BSTR certificate, LONG* pVal) {
  return selectionMember(pVal, "CTeskelCtrl::checkCertificateExpired -> Unknown error", [&] {
    if (isEmpty(certificate)) {
      setErrorText("CTeskelCtrl::checkCertificateExpired -> error invalid parameter(certificate)!");
      return rc::WRONG_PARAMETER;
    }
    CAnsiText cert(certificate);
    int code = selectWith(pCertDBClient->checkCertificateExpired(cert.get()),
                          "CTeskelCtrl::checkCertificateExpired -> %s");
    if (code == 0) log.log(CLog::LEVEL_INFO, 0, "checkCertificateExpired success! [%s]", cert.text());
    return code;
  });
}

HRESULT CTeskelCtrl::selectCertificate(LONG* pVal) {
  return selectionMember(pVal, "CTeskelCtrl::selectCertificate ->Unknown error", [&] {
    pCertDBClient->closeCertStore();
    int code = selectWith(pCertDBClient->selectCertificate(0), "CTeskelCtrl::selectCertificate ->%s");
    if (code == 0)
      log.log(CLog::LEVEL_INFO, 0, "selectCertificate success! [%s]", orEmpty(pCertDBClient->getCertificateText()));
    return code;
  });
}

HRESULT CTeskelCtrl::selectCertificateBySubject(BSTR subjectName, LONG* pVal) {
  return selectionMember(pVal, "CTeskelCtrl::selectCertificateBySubject -> Unknown error", [&] {
    if (isEmpty(subjectName)) {
      setErrorText("CTeskelCtrl::selectCertificateBySubject -> error during invalid parameter(subjectName)!");
      return rc::WRONG_PARAMETER;
    }
    pCertDBClient->closeCertStore();
    CAnsiText subject(subjectName);
    int code = selectWith(pCertDBClient->selectCertificateBySubject(subject.get(), 0),
                          "CTeskelCtrl::selectCertificateBySubject -> %s");
    if (code == 0)
      log.log(CLog::LEVEL_INFO, 0, "selectCertificateBySubject[%s] success! [%s]", subject.text(),
              orEmpty(pCertDBClient->getCertificateText()));
    return code;
  });
}

HRESULT CTeskelCtrl::selectCertificateBySubjectCN(BSTR subjectCN, LONG* pVal) {
  return selectionMember(pVal, "CTeskelCtrl::selectCertificateBySubjectCN -> Unknown error", [&] {
    if (isEmpty(subjectCN)) {
      setErrorText("CTeskelCtrl::selectCertificateBySubjectCN -> error during invalid parameter(subjectCN)!");
      return rc::WRONG_PARAMETER;
    }
    pCertDBClient->closeCertStore();
    CAnsiText cn(subjectCN);
    int code = selectWith(pCertDBClient->selectCertificateBySubjectCN(cn.get(), 0),
                          "CTeskelCtrl::selectCertificateBySubjectCN -> %s");
    if (code == 0)
      log.log(CLog::LEVEL_INFO, 0, "selectCertificateBySubjectCN[%s] success! [%s]", cn.text(),
              orEmpty(pCertDBClient->getCertificateText()));
    return code;
  });
}

HRESULT CTeskelCtrl::getCertificate(BSTR issuerName, BSTR serialNumber, LONG* pVal) {
  return selectionMember(pVal, "CTeskelCtrl::getCertificate -> Unknown error", [&] {
    if (isEmpty(issuerName)) {
      setErrorText("CTeskelCtrl::getCertificate -> error during invalid parameter(issuerName)!");
      return rc::WRONG_PARAMETER;
    }
    if (isEmpty(serialNumber)) {
      setErrorText("CTeskelCtrl::getCertificate -> error during invalid parameter(serialNumber)!");
      return rc::WRONG_PARAMETER;
    }
    CAnsiText issuer(issuerName), serial(serialNumber);
    int code = selectWith(pCertDBClient->selectCertificateBySerialNum(issuer.get(), serial.get()),
                          "CTeskelCtrl::getCertificate ->%s");
    if (code == 0)
      log.log(CLog::LEVEL_INFO, 0, "getCertificate issuer[%s] serialNumber[%s] success! [%s]", issuer.text(),
              serial.text(), orEmpty(pCertDBClient->getCertificateText()));
    return code;
  });
}

HRESULT CTeskelCtrl::getCertificateInfo(BSTR certificate, LONG* pVal) {
  return selectionMember(pVal, "CTeskelCtrl::getCertificateInfo -> Unknown error", [&] {
    if (isEmpty(certificate)) {
      setErrorText("CTeskelCtrl::getCertificateInfo -> error during invalid parameter(certificate)!");
      return rc::WRONG_PARAMETER;
    }
    CAnsiText cert(certificate);
    int code = selectWith(pCertDBClient->getCertificateInfo(cert.get()),
                          "CTeskelCtrl::getCertificateInfo -> %s");
    if (code == 0) log.log(CLog::LEVEL_INFO, 0, "getCertificateInfo success! [%s]", cert.text());
    return code;
  });
}

HRESULT CTeskelCtrl::selectCertificate_Ex(LONG KeyUsage, LONG* pVal) {
  return selectionMember(pVal, "CTeskelCtrl::selectCertificate_Ex ->Unknown error", [&] {
    if (!validKeyUsage(KeyUsage)) {
      setErrorText("CTeskelCtrl::selectCertificate_Ex -> error invalid parameter(KeyUsage)!");
      return rc::WRONG_PARAMETER;
    }
    pCertDBClient->closeCertStore();
    int code = selectWith(pCertDBClient->selectCertificate(KeyUsage),
                          "CTeskelCtrl::selectCertificate_Ex ->%s");
    if (code == 0)
      log.log(CLog::LEVEL_INFO, 0, "selectCertificate_Ex[%d] success! [%s]", static_cast<int>(KeyUsage),
              orEmpty(pCertDBClient->getCertificateText()));
    return code;
  });
}

HRESULT CTeskelCtrl::selectCertificateBySubjectCN_Ex(BSTR subjectCN, LONG KeyUsage, LONG* pVal) {
  return selectionMember(pVal, "CTeskelCtrl::selectCertificateBySubjectCN_Ex -> Unknown error", [&] {
    if (isEmpty(subjectCN)) {
      setErrorText("CTeskelCtrl::selectCertificateBySubjectCN_Ex -> error during invalid parameter(subjectCN)!");
      return rc::WRONG_PARAMETER;
    }
    if (!validKeyUsage(KeyUsage)) {
      setErrorText("CTeskelCtrl::selectCertificateBySubjectCN_Ex -> error invalid parameter(KeyUsage)!");
      return rc::WRONG_PARAMETER;
    }
    pCertDBClient->closeCertStore();
    CAnsiText cn(subjectCN);
    int code = selectWith(pCertDBClient->selectCertificateBySubjectCN(cn.get(), KeyUsage),
                          "CTeskelCtrl::selectCertificateBySubjectCN_Ex -> %s");
    if (code == 0)
      log.log(CLog::LEVEL_INFO, 0, "selectCertificateBySubjectCN_Ex[%s][%d] success! [%s]", cn.text(),
              static_cast<int>(KeyUsage), orEmpty(pCertDBClient->getCertificateText()));
    return code;
  });
}

HRESULT CTeskelCtrl::selectCertificateBySubject_Ex(BSTR subjectName, LONG KeyUsage, LONG* pVal) {
  return selectionMember(pVal, "CTeskelCtrl::selectCertificateBySubject_Ex -> Unknown error", [&] {
    if (isEmpty(subjectName)) {
      setErrorText("CTeskelCtrl::selectCertificateBySubject_Ex -> error during invalid parameter(subjectName)!");
      return rc::WRONG_PARAMETER;
    }
    if (!validKeyUsage(KeyUsage)) {
      setErrorText("CTeskelCtrl::selectCertificateBySubject_Ex -> error invalid parameter(KeyUsage)!");
      return rc::WRONG_PARAMETER;
    }
    pCertDBClient->closeCertStore();
    CAnsiText subject(subjectName);
    int code = selectWith(pCertDBClient->selectCertificateBySubject(subject.get(), KeyUsage),
                          "CTeskelCtrl::selectCertificateBySubject_Ex -> %s");
    if (code == 0)
      log.log(CLog::LEVEL_INFO, 0, "selectCertificateBySubject_Ex[%s][%d] success! [%s]", subject.text(),
              static_cast<int>(KeyUsage), orEmpty(pCertDBClient->getCertificateText()));
    return code;
  });
}

HRESULT CTeskelCtrl::selectCertificateBySerialNum(BSTR serialNum, LONG* pVal) {
  return selectionMember(pVal, "CTeskelCtrl::selectCertificateBySerialNum -> Unknown error", [&] {
    if (isEmpty(serialNum)) {
      setErrorText("CTeskelCtrl::selectCertificateBySerialNum -> error during invalid parameter(serialNum)!");
      return rc::WRONG_PARAMETER;
    }
    pCertDBClient->closeCertStore();
    CAnsiText serial(serialNum);
    int code = selectWith(pCertDBClient->selectCertificateBySerialNum(serial.get()),
                          "CTeskelCtrl::selectCertificateBySerialNum -> %s");
    if (code == 0)
      log.log(CLog::LEVEL_INFO, 0, "selectCertificateBySerialNum[%s] success! [%s]", serial.text(),
              orEmpty(pCertDBClient->getCertificateText()));
    return code;
  });
}

HRESULT CTeskelCtrl::selectCertificateByMultipleIssuer(BSTR multimpleIssuer, LONG* pVal) {
  return selectionMember(pVal, "CTeskelCtrl::selectCertificateByMultipleIssuer -> Unknown error", [&] {
    if (isEmpty(multimpleIssuer)) {
      setErrorText(
          "CTeskelCtrl::selectCertificateByMultipleIssuer -> error during invalid parameter(multimpleIssuer)!");
      return rc::WRONG_PARAMETER;
    }
    pCertDBClient->closeCertStore();
    CAnsiText issuers(multimpleIssuer);
    int code = selectWith(pCertDBClient->selectCertificateBySubject(MultipleCriteria{issuers.get()}, 0),
                          "CTeskelCtrl::selectCertificateByMultipleIssuer -> %s");
    if (code == 0)
      log.log(CLog::LEVEL_INFO, 0, "selectCertificateByMultipleIssuer[%s] success! [%s]", issuers.text(),
              orEmpty(pCertDBClient->getCertificateText()));
    return code;
  });
}

HRESULT CTeskelCtrl::selectCertificateByMultipleIssuer_Ex(BSTR multimpleIssuer, LONG KeyUsage, LONG* pVal) {
  return selectionMember(pVal, "CTeskelCtrl::selectCertificateByMultipleIssuer_Ex -> Unknown error", [&] {
    if (isEmpty(multimpleIssuer)) {
      setErrorText(
          "CTeskelCtrl::selectCertificateByMultipleIssuer_Ex -> error during invalid parameter(multimpleIssuer)!");
      return rc::WRONG_PARAMETER;
    }
    if (!validKeyUsage(KeyUsage)) {
      setErrorText("CTeskelCtrl::selectCertificateByMultipleIssuer_Ex -> error invalid parameter(KeyUsage)!");
      return rc::WRONG_PARAMETER;
    }
    pCertDBClient->closeCertStore();
    CAnsiText issuers(multimpleIssuer);
    int code = selectWith(pCertDBClient->selectCertificateBySubject(MultipleCriteria{issuers.get()}, KeyUsage),
                          "CTeskelCtrl::selectCertificateByMultipleIssuer_Ex -> %s");
    if (code == 0)
      log.log(CLog::LEVEL_INFO, 0, "selectCertificateByMultipleIssuer_Ex[%s][%d] success! [%s]", issuers.text(),
              static_cast<int>(KeyUsage), orEmpty(pCertDBClient->getCertificateText()));
    return code;
  });
}

HRESULT CTeskelCtrl::selectCertificateBySubject_Text(BSTR subjectname_text, LONG KeyUsage, LONG* pVal) {
  return selectionMember(pVal, "CTeskelCtrl::selectCertificateBySubject_Text -> Unknown error", [&] {
    if (isEmpty(subjectname_text)) {
      setErrorText("CTeskelCtrl::selectCertificateBySubject_Text -> error during invalid parameter(subject text)!");
      return rc::WRONG_PARAMETER;
    }
    pCertDBClient->closeCertStore();
    CAnsiText text(subjectname_text);
    // The key usage goes on as the page gave it: the store client reads any
    // value other than 1 and 2 as "any".
    int code = selectWith(pCertDBClient->selectCertificateBySubject_Text(text.get(), KeyUsage),
                          "CTeskelCtrl::selectCertificateBySubject_Text -> %s");
    if (code == 0)
      log.log(CLog::LEVEL_INFO, 0, "selectCertificateBySubject_Text[%s] success! [%s]", text.text(),
              orEmpty(pCertDBClient->getCertificateText()));
    return code;
  });
}

HRESULT CTeskelCtrl::get_Issuer(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  CModuleResourceState state;
  return textResult(pCertDBClient->getIssuer(), pVal);
}
HRESULT CTeskelCtrl::get_Subject(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  CModuleResourceState state;
  return textResult(pCertDBClient->getSubject(), pVal);
}
HRESULT CTeskelCtrl::get_SerialNumber(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  CModuleResourceState state;
  return textResult(pCertDBClient->getSerialNumber(), pVal);
}
HRESULT CTeskelCtrl::get_KeyUsage(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  CModuleResourceState state;
  return textResult(pCertDBClient->getKeyUsage(), pVal);
}
HRESULT CTeskelCtrl::get_StartDate(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  CModuleResourceState state;
  return textResult(pCertDBClient->getStartDate(), pVal);
}
HRESULT CTeskelCtrl::get_EndDate(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  CModuleResourceState state;
  return textResult(pCertDBClient->getEndDate(), pVal);
}
HRESULT CTeskelCtrl::get_certificate(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  CModuleResourceState state;
  return textResult(pCertDBClient->getCertificateText(), pVal);
}
HRESULT CTeskelCtrl::get_serialNumber(BSTR* pVal) { return get_SerialNumber(pVal); }
HRESULT CTeskelCtrl::get_issuerName(BSTR* pVal) { return get_Issuer(pVal); }
HRESULT CTeskelCtrl::get_subjectName(BSTR* pVal) { return get_Subject(pVal); }
HRESULT CTeskelCtrl::get_startDate(BSTR* pVal) { return get_StartDate(pVal); }
HRESULT CTeskelCtrl::get_endDate(BSTR* pVal) { return get_EndDate(pVal); }

HRESULT CTeskelCtrl::put_BlockExpiredCert(VARIANT newVal) {
  pCertDBClient->BlockExpiredCert = flagOf(newVal);
  return S_OK;
}
HRESULT CTeskelCtrl::put_ShowExpiredCert(VARIANT newVal) {
  pCertDBClient->ShowExpiredCert = flagOf(newVal);
  return S_OK;
}
HRESULT CTeskelCtrl::put_SelectLatestCert(VARIANT newVal) {
  pCertDBClient->SelectLatestCert = flagOf(newVal);
  return S_OK;
}

HRESULT CTeskelCtrl::get_selectedCertLength(LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = pCertDBClient->getSelectedCertLength();
  return S_OK;
}

// ------------------------------------------------------------------ data, envelope, settings and log
// One Info line that quotes a whole text: formatted into a buffer of the
// text's length plus 128 bytes. Nothing is built while Info lines are off.
void CTeskelCtrl::logTextBlock(const char* format, const char* mallocFailureFormat, const char* text) {
  if (log.level() < CLog::LEVEL_INFO) return;
  std::size_t size = std::strlen(text) + 128;
  char* buffer = static_cast<char*>(std::calloc(size, 1));
  if (buffer == nullptr) {
    log.log(CLog::LEVEL_ERROR, rc::OUT_OF_MEMORY, mallocFailureFormat, static_cast<int>(size));
    return;
  }
  formatBounded(buffer, size, format, text);
  log.writeLog(CLog::LEVEL_INFO, buffer, 0);
  std::free(buffer);
}

HRESULT CTeskelCtrl::setDataContentByFile(BSTR dataPath, LONG* pVal) {
  return resultMember(pVal, "CTeskelCtrl::setDataContentByFile ->Unknown error", [&] {
    if (isEmpty(dataPath)) {
      setErrorText("CTeskelCtrl::setDataContentByFile -> error during invalid parameter(dataPath)!");
      return rc::WRONG_PARAMETER;
    }
    CAnsiText path(dataPath);
    int code = signatureClient.setDataContentByFile(path.get());
    if (code != 0)
      setError("CTeskelCtrl::setDataContentByFile -> %s", signatureClient.getErrorText());
    else
      log.log(CLog::LEVEL_INFO, 0, "setDataContentByFile success! File name:[%s]", path.text());
    return code;
  });
}

HRESULT CTeskelCtrl::setDataContentByString(BSTR dataContent, LONG* pVal) {
  return resultMember(pVal, "CTeskelCtrl::setDataContentByString ->Unknown error", [&] {
    if (isEmpty(dataContent)) {
      setErrorText("CTeskelCtrl::setDataContentByString -> error during invalid parameter(dataContent)!");
      return rc::WRONG_PARAMETER;
    }
    CAnsiText data(dataContent);
    int code = signatureClient.setDataContentByString(data.get());
    if (code != 0)
      setError("CTeskelCtrl::setDataContentByString -> %s", signatureClient.getErrorText());
    else
      logTextBlock("setDataContentByString success! String:{{\n%s\n}}",
                   "CTeskelCtrl::setDataContentByString -> error during malloc log message string(%d)!", data.text());
    return code;
  });
}

HRESULT CTeskelCtrl::getSignedEnvelopByFile(BSTR envelopPath, LONG* pVal) {
  return resultMember(pVal, "CTeskelCtrl::getSignedEnvelopByFile ->Unknown error", [&] {
    if (isEmpty(envelopPath)) {
      setErrorText("CTeskelCtrl::getSignedEnvelopByFile -> error invalid parameter(envelopPath)!");
      return rc::WRONG_PARAMETER;
    }
    CAnsiText path(envelopPath);
    int code = signatureClient.writeSignedEnvelopeFile(path.get());
    if (code != 0)
      setError("CTeskelCtrl::getSignedEnvelopByFile -> %s", signatureClient.getErrorText());
    else
      log.log(CLog::LEVEL_INFO, 0, "getSignedEnvelopByFile success! File Path: %s", path.text());
    return code;
  });
}

HRESULT CTeskelCtrl::getSignedEnvelopByString(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  CModuleResourceState state;
  HRESULT hr = S_OK;
  LastErrorCode = 0;
  int length = 0;
  char* envelope = nullptr;
  BSTR text = nullptr;
  try {
    LastErrorCode = signatureClient.getSignedEnvelopeString(nullptr, &length);
    if (LastErrorCode != 0) {
      setError("CTeskelCtrl::getSignedEnvelopByString -> 1.get envelop string length fail!%s",
               signatureClient.getErrorText());
    } else if ((envelope = static_cast<char*>(std::malloc(static_cast<std::size_t>(length) + 1))) == nullptr) {
      LastErrorCode = rc::OUT_OF_MEMORY;
      setError("CTeskelCtrl::getSignedEnvelopByString -> error %d during memory allocate(pchEnvelopString) fail!",
               rc::OUT_OF_MEMORY);
    } else {
      LastErrorCode = signatureClient.getSignedEnvelopeString(envelope, &length);
      if (LastErrorCode != 0) {
        setError("CTeskelCtrl::getSignedEnvelopByString -> 2.get envelop string  fail!%s",
                 signatureClient.getErrorText());
      } else {
        envelope[length] = '\0';
        logTextBlock("getSignedEnvelopByString success! String:{{\n%s\n}}",
                     "CTeskelCtrl::getSignedEnvelopByString -> error during malloc log message string(%d)!", envelope);
        if (FAILED(textResult(envelope, &text))) throw std::bad_alloc();
      }
    }
  } catch (...) {
    LastErrorCode = rc::UNKNOWN_ERROR;
    setErrorText("CTeskelCtrl::getSignedEnvelopByString ->Unknown error");
    hr = S_FALSE;
  }
  if (LastErrorCode != 0) {
    SysFreeString(text);
    text = nullptr;
    log.writeLog(CLog::LEVEL_ERROR, LastErrorStr, LastErrorCode);
  } else {
    log.log(CLog::LEVEL_INFO, 0, "getSignedEnvelopByString success! Envelop string: len[%d]", length);
  }
  std::free(envelope);
  *pVal = text;
  return hr;
}

HRESULT CTeskelCtrl::get_result(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  CModuleResourceState state;
  const char* text = signatureClient.getResultText();
  if (text == nullptr) return S_OK;
  HRESULT hr = textResult(text, pVal);
  if (FAILED(hr)) return hr;
  log.log(CLog::LEVEL_INFO, 0, "get_result success! Envelop/MD5RSASigned string len:[%d",
          static_cast<int>(std::strlen(text)));
  return S_OK;
}

HRESULT CTeskelCtrl::put_PWDCatch(VARIANT_BOOL newVal) {
  signatureClient.PWDCatch = newVal == VARIANT_TRUE ? 1 : 0;
  if (signatureClient.PWDCatch == 0) signatureClient.clearUserPIN();
  return S_OK;
}

HRESULT CTeskelCtrl::put_EnableLoginAgency(VARIANT_BOOL newVal) {
  signatureClient.EnableLoginAgency = newVal == VARIANT_TRUE ? 1 : 0;
  return S_OK;
}

HRESULT CTeskelCtrl::put_PINLenLimit(LONG newVal) {
  signatureClient.PINLenLimit = newVal;
  return S_OK;
}

HRESULT CTeskelCtrl::get_LastErrorCode(LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = LastErrorCode;
  return S_OK;
}

HRESULT CTeskelCtrl::get_LastErrorStr(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  return textResult(LastErrorStr, pVal);
}

HRESULT CTeskelCtrl::setLogFile(BSTR logPath, BSTR logFileName, LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = 0;
  CModuleResourceState state;
  HRESULT hr = S_OK;
  LastErrorCode = 0;
  try {
    if (isEmpty(logPath)) {
      LastErrorCode = rc::WRONG_PARAMETER;
      setErrorText("CTeskelCtrl::setLogFile -> error during invalid parameter(logPath)!");
    } else if (isEmpty(logFileName)) {
      LastErrorCode = rc::WRONG_PARAMETER;
      setErrorText("CTeskelCtrl::setLogFile -> error during invalid parameter(logFileName)!");
    } else {
      CAnsiText path(logPath), name(logFileName);
      LastErrorCode = log.setLogFile(path.get(), name.get());
      if (LastErrorCode != 0)
        setErrorText("CTeskelCtrl::setLogFile -> setting log file full path error!");
      else
        log.setLogLevel(CLog::LEVEL_INFO);
    }
  } catch (...) {
    LastErrorCode = rc::UNKNOWN_ERROR;
    setErrorText("CTeskelCtrl::setLogFile ->Unknown error");
    hr = S_FALSE;
  }
  *pVal = LastErrorCode;
  return hr;
}

// ------------------------------------------------------------------ token module members
HRESULT CTeskelCtrl::put_PKCS11LibName(BSTR newVal) {
  CModuleResourceState state;
  HRESULT hr = S_OK;
  LastErrorCode = 0;
  try {
    CAnsiText name(newVal);
    LastErrorCode = signatureClient.setPKCS11LibName(name.get());
    if (LastErrorCode != 0) {
      setError("CTeskelCtrl::setPKCS11LibName -> %s", signatureClient.getErrorText());
    } else {
      LastErrorCode = pCertDBClient->setPKCS11LibName(name.get());
      if (LastErrorCode != 0) setError("CTeskelCtrl::setPKCS11LibName -> %s", pCertDBClient->getErrorMessage());
    }
  } catch (...) {
    LastErrorCode = rc::UNKNOWN_ERROR;
    setErrorText("CTeskelCtrl::setPKCS11LibName -> Unknown error");
    hr = S_FALSE;
  }
  return hr;
}

HRESULT CTeskelCtrl::SetPKCS11LibNames(BSTR PKCS11LibNames, LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = 0;
  CModuleResourceState state;
  LastErrorCode = 0;
  try {
    CAnsiText list(PKCS11LibNames);
    CPKCS11TokenUtil token;
    int code = token.detectTokenByModule(list.get());
    if (code == 0) {
      DetectedTokenPKCS11LibName = widen(token.detectedModule(), CP_THREAD_ACP);
    } else {
      LastErrorCode = code;
      setErrorText("CTeskelCtrl::SetPKCS11LibNames -> error during detectTokenByModule()!");
    }
  } catch (...) {
    LastErrorCode = rc::UNKNOWN_ERROR;
    setErrorText("CTeskelCtrl::SetPKCS11LibNames -> Unknown error");
  }
  *pVal = LastErrorCode;
  return S_OK;
}

HRESULT CTeskelCtrl::get_DetectedTokenPKCS11LibName(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  return wideResult(DetectedTokenPKCS11LibName, pVal);
}

// Initialising wipes the user's token, so it is done only for pages of an
// allowed host.
HRESULT CTeskelCtrl::TokenInitial(BSTR P11DLL, LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = 0;
  CModuleResourceState state;
  HRESULT hr = S_OK;
  int code = 0;
  try {
    int previousCode = LastErrorCode;
    if (IsWebCtl() != 0) {
      code = rc::ILLEGAL_URL;
      setErrorText("CTeskelCtrl::TokenInitial -> The Component can not verify the URL");
    } else {
      LastErrorCode = previousCode;  // a success leaves the earlier code in place
      CAnsiText module(P11DLL);
      CPKCS11TokenUtil token;
      code = token.InitTokenCV(module.get(), kInitTokenLabel, kInitTokenSOPin, kInitTokenUserPin);
      if (code != 0) setError("CTeskelCtrl::TokenInitial -> error during InitTokenCV(),errmsg[%s]", token.getErrorText());
    }
  } catch (...) {
    code = rc::UNKNOWN_ERROR;
    setErrorText("CTeskelCtrl::TokenInitial -> Unknown error");
    hr = S_FALSE;
  }
  if (code != 0) LastErrorCode = code;
  *pVal = code;
  return hr;
}

HRESULT CTeskelCtrl::eraseTokenExpiredCertKeyObj(BSTR, BSTR, LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  CModuleResourceState state;
  *pVal = 0;
  return S_OK;
}

// ------------------------------------------------------------------ host-page check
void CTeskelCtrl::getContainerURL(std::u16string& url) {
  url.clear();
  LPOLESTR name = nullptr;
  if (SUCCEEDED(AtlGetContainerDisplayName(m_spClientSite, &name)) && name != nullptr) url = name;
  CoTaskMemFree(name);
}

int CTeskelCtrl::IsWebCtl() {
  LastErrorCode = 0;
  std::u16string url;
  getContainerURL(url);
  hostcheck::PageAddress page;
  DWORD error = hostcheck::splitPageAddress(url, &page);
  if (error != 0) {
    LastErrorCode = rc::ILLEGAL_URL;
    setError("CTeskelCtrl::IsWebCtl >> error %d", static_cast<int>(error));
    return rc::ILLEGAL_URL;
  }
  if (hostcheck::isAllowedHost(page.host)) return 0;
  LastErrorCode = rc::ILLEGAL_URL;
  setError("CTeskelCtrl::IsWebCtl >> error %d", 0);
  return rc::ILLEGAL_URL;
}

// ------------------------------------------------------------------ signing members
int CTeskelCtrl::signSteps(BSTR signerCert, BSTR digestMethod, BSTR signatureMethod) {
  if (isEmpty(signerCert)) {
    setErrorText("CTeskelCtrl::sign -> error during invalid parameter(signerCert)!");
    return rc::WRONG_PARAMETER;
  }
  if (isEmpty(digestMethod)) {
    setErrorText("CTeskelCtrl::sign -> error during invalid parameter(digestMethod)!");
    return rc::WRONG_PARAMETER;
  }
  if (isEmpty(signatureMethod)) {
    setErrorText("CTeskelCtrl::sign -> error during invalid parameter(signatureMethod)!");
    return rc::WRONG_PARAMETER;
  }
  CAnsiText cert(signerCert), digest(digestMethod), method(signatureMethod);
  int code = signatureClient.signData(cert.get(), digest.get(), method.get());
  if (code != 0)
    setError("CTeskelCtrl::sign -> %s", signatureClient.getErrorText());
  else
    log.log(CLog::LEVEL_INFO, 0, "sign success! signerCert: %s", cert.text());
  return code;
}

HRESULT CTeskelCtrl::sign(BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = 0;
  CModuleResourceState state;
  HRESULT hr = S_OK;
  LastErrorCode = 0;
  try {
    hostCheckResult = IsWebCtl();
    if (hostCheckResult != 0) {
      LastErrorCode = rc::ILLEGAL_URL;
      setErrorText("CTeskelCtrl::sign -> The Component can not verify the URL");
    } else {
      hostCheckResult = 0;
      LastErrorCode = signSteps(signerCert, digestMethod, signatureMethod);
    }
  } catch (...) {
    LastErrorCode = rc::UNKNOWN_ERROR;
    setErrorText("CTeskelCtrl::sign ->Unknown error");
    hr = S_FALSE;
  }
  if (LastErrorCode != 0) log.writeLog(CLog::LEVEL_ERROR, LastErrorStr, LastErrorCode);
  *pVal = LastErrorCode;
  return hr;
}

HRESULT CTeskelCtrl::signUI(BSTR dataContent, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = 0;
  CModuleResourceState state;
  HRESULT hr = S_OK;
  int code = 0;
  try {
    code = signUISteps(dataContent, signerCert, digestMethod, signatureMethod);
  } catch (...) {
    code = rc::UNKNOWN_ERROR;
    setErrorText("CTeskelCtrl::sign ->Unknown error");
    hr = S_FALSE;
  }
  if (code != 0) log.writeLog(CLog::LEVEL_ERROR, LastErrorStr, code);
  *pVal = code;
  return hr;
}

// The steps of signUI; LastErrorCode carries only the host check's result.
int CTeskelCtrl::signUISteps(BSTR dataContent, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod) {
  hostCheckResult = IsWebCtl();
  if (hostCheckResult != 0) {
    LastErrorCode = rc::ILLEGAL_URL;
    setErrorText("CTeskelCtrl::signUI -> The Component can not verify the URL");
    return rc::ILLEGAL_URL;
  }
  hostCheckResult = 0;
  if (isEmpty(dataContent)) {
    setErrorText("CTeskelCtrl::setDataContentByString -> error during invalid parameter(dataContent)!");
    return rc::WRONG_PARAMETER;
  }
  CAnsiText data(dataContent);
  int code = signatureClient.setDataContentByString(data.get());
  if (code != 0) {
    setError("CTeskelCtrl::setDataContentByString -> %s", signatureClient.getErrorText());
    return code;
  }
  log.log(CLog::LEVEL_INFO, 0, "setDataContentByString success! String len:[%d]",
          static_cast<int>(SysStringLen(dataContent)));
  CSignUIDlg dialog;
  if (!dialog.setDataText(data.get())) {
    setErrorText("CTeskelCtrl::signUI -> error during memory allocate(dataContent) fail!");
    return rc::OUT_OF_MEMORY;
  }
  INT_PTR end = dialog.DoModal(GetActiveWindow());
  if (end == IDOK) return signSteps(signerCert, digestMethod, signatureMethod);
  if (end == -1) {
    // The confirmation could not be shown: nothing is signed unseen.
    setErrorText("CTeskelCtrl::signUI -> error during CSignUIDlg()!");
    return rc::UNKNOWN_ERROR;
  }
  return rc::USER_CANCEL;
}

HWND CTeskelCtrl::messageBoxOwner() { return (m_hWnd != nullptr && IsWindow(m_hWnd)) ? m_hWnd : nullptr; }

void CTeskelCtrl::tokenMessageBox(UINT textId) {
  char16_t text[512] = {0};
  LoadStringW(CAtlModule::GetModuleInstance(), textId, text, 512);
  MessageBoxW(messageBoxOwner(), text, u"", MB_OK | MB_ICONINFORMATION);
}

HRESULT CTeskelCtrl::signIO(BSTR P11DLL, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = 0;
  CModuleResourceState state;
  HRESULT hr = S_OK;
  int result = 0;
  bool signingRan = false;
  LastErrorCode = 0;
  try {
    result = signIOSteps(P11DLL, signerCert, digestMethod, signatureMethod, &signingRan);
  } catch (...) {
    LastErrorCode = rc::UNKNOWN_ERROR;
    setErrorText("CTeskelCtrl::sign ->Unknown error");
    result = rc::UNKNOWN_ERROR;
    signingRan = true;
    hr = S_FALSE;
  }
  if (signingRan && LastErrorCode != 0) log.writeLog(CLog::LEVEL_ERROR, LastErrorStr, LastErrorCode);
  *pVal = result;
  return hr;
}

// The steps of signIO: the host check, the probe, the two phases of the
// insert-and-remove window, then the signing. Returns the member's result.
int CTeskelCtrl::signIOSteps(BSTR P11DLL, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod,
                             bool* signingRan) {
  hostCheckResult = IsWebCtl();
  if (hostCheckResult != 0) {
    LastErrorCode = rc::ILLEGAL_URL;
    setErrorText("CTeskelCtrl::signIO -> The Component can not verify the URL");
    return rc::ILLEGAL_URL;
  }
  hostCheckResult = 0;
  if (isEmpty(P11DLL)) return rc::WRONG_PARAMETER;

  CTokenInOutDlg dialog;
  dialog.countdown = 60;
  dialog.phase = 0;
  std::memset(dialog.moduleName, 0, sizeof dialog.moduleName);
  CAnsiText module(P11DLL);
  int probe = loadPKCS11FunctionList(dialog.moduleName, sizeof dialog.moduleName, module.get());
  if (probe == rc::NO_TOKEN) {
    tokenMessageBox(401);
    return rc::NO_TOKEN;
  }
  if (probe != 0) {
    // No module to ask for its slots: report the probe's failure.
    LastErrorCode = probe;
    setErrorText("CTeskelCtrl::signIO -> error during initP11()!");
    return probe;
  }
  CK_ULONG slots = 0;
  getPKCS11SlotList(&slots);
  if (slots == 0) {
    tokenMessageBox(401);
    return rc::NO_TOKEN;
  }
  int end = static_cast<int>(dialog.DoModal(GetActiveWindow()));
  if (end != 0) return end;  // not pulled out in time, or the window was closed
  dialog.phase = 1;
  end = static_cast<int>(dialog.DoModal(GetActiveWindow()));
  if (end != 0) return end;
  *signingRan = true;
  LastErrorCode = signSteps(signerCert, digestMethod, signatureMethod);
  return LastErrorCode;
}

HRESULT CTeskelCtrl::CheckP11TokenInOut(BSTR P11DLL, LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = 0;
  CModuleResourceState state;
  try {
    if (isEmpty(P11DLL)) {
      *pVal = rc::PROBE_UNKNOWN_ERROR;
      return S_OK;
    }
    char16_t trace[1024] = {0};
    std::u16string line = u"目前行數：" + widen("2405", CP_ACP) + u"行";
    std::memcpy(trace, line.data(), line.size() * sizeof(char16_t));
    OutputDebugStringW(trace);

    CTokenInOutDlg dialog;
    dialog.countdown = 60;
    dialog.phase = 0;
    std::memset(dialog.moduleName, 0, sizeof dialog.moduleName);
    CAnsiText module(P11DLL);
    int probe = loadPKCS11FunctionList(dialog.moduleName, sizeof dialog.moduleName, module.get());
    if (probe == rc::NO_TOKEN) {
      tokenMessageBox(400);
      *pVal = rc::NO_TOKEN;
      return S_OK;
    }
    if (probe != 0) {
      LastErrorCode = probe;
      setErrorText("CTeskelCtrl::CheckP11TokenInOut -> error during initP11()!");
      *pVal = probe;
      return S_OK;
    }
    CK_ULONG slots = 0;
    getPKCS11SlotList(&slots);
    if (slots == 0) {
      tokenMessageBox(400);
      *pVal = rc::NO_TOKEN;
      return S_OK;
    }
    INT_PTR end = dialog.DoModal(GetActiveWindow());
    if (end != 0) {
      *pVal = static_cast<LONG>(end);
      return S_OK;
    }
    dialog.phase = 1;
    end = dialog.DoModal(GetActiveWindow());
    if (end != 0) {
      *pVal = static_cast<LONG>(end);
      return S_OK;
    }
    LastErrorCode = 0;
    std::memset(LastErrorStr, 0, sizeof LastErrorStr);
    *pVal = 0;
  } catch (...) {
    LastErrorCode = rc::UNKNOWN_ERROR;
    setErrorText("CTeskelCtrl::sign ->Unknown error");
    *pVal = rc::UNKNOWN_ERROR;
  }
  return S_OK;
}

// ------------------------------------------------------------------ token serial, PIN change, version and path
HRESULT CTeskelCtrl::GetTokenSN(BSTR P11DLL, BSTR* TokenSN) {
  if (TokenSN == nullptr) return E_POINTER;
  *TokenSN = nullptr;
  CModuleResourceState state;
  HRESULT hr = S_OK;
  std::u16string serialText;
  try {
    char serial[32] = {0};
    CAnsiText module(P11DLL);
    CPKCS11TokenUtil token;
    int code = token.getTokenSN(module.get(), serial);
    if (code != 0) {
      LastErrorCode = code;
      setError("CTeskelCtrl::GetTokenSN -> error during getTokenSN(),errmsg[%s]", token.getErrorText());
    } else {
      serial[sizeof serial - 1] = '\0';
      serialText = widen(serial, CP_THREAD_ACP);
      LastErrorCode = 0;
    }
  } catch (...) {
    LastErrorCode = rc::UNKNOWN_ERROR;
    setErrorText("CTeskelCtrl::GetTokenSN -> Unknown error");
    serialText.clear();
    hr = S_FALSE;
  }
  // A failure gives the empty text, never a null one.
  HRESULT made = wideResult(serialText, TokenSN);
  return FAILED(made) ? made : hr;
}

HRESULT CTeskelCtrl::TokenChangePIN(BSTR P11DLL, BSTR OldPIN, BSTR NewPIN, LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = 0;
  CModuleResourceState state;
  HRESULT hr = S_OK;
  try {
    std::u16string oldPin, newPin;
    struct Wipe {
      std::u16string& a;
      std::u16string& b;
      ~Wipe() {
        if (!a.empty()) OPENSSL_cleanse(a.data(), a.size() * sizeof(char16_t));
        if (!b.empty()) OPENSSL_cleanse(b.data(), b.size() * sizeof(char16_t));
      }
    } wipe{oldPin, newPin};
    bool confirmed = true;
    if (!isEmpty(OldPIN) && !isEmpty(NewPIN)) {
      oldPin.assign(OldPIN, SysStringLen(OldPIN));
      newPin.assign(NewPIN, SysStringLen(NewPIN));
    } else {
      CChangePwdDlg dialog;
      if (dialog.DoModal() != IDOK) {
        confirmed = false;
        LastErrorCode = rc::USER_CANCEL;
        setErrorText("CTeskelCtrl::TokenChangePIN -> error during CChangePwdDlg() -> User Cancel or Something error");
      } else {
        oldPin = dialog.oldPIN;
        newPin = dialog.newPIN;
      }
    }
    if (confirmed) {
      std::string oldText = narrow(oldPin, CP_THREAD_ACP);
      std::string newText = narrow(newPin, CP_THREAD_ACP);
      CAnsiText module(P11DLL);
      CPKCS11TokenUtil token;
      LastErrorCode = token.SetUserPIN(module.get(), oldText.c_str(), newText.c_str());
      if (!oldText.empty()) OPENSSL_cleanse(oldText.data(), oldText.size());
      if (!newText.empty()) OPENSSL_cleanse(newText.data(), newText.size());
      if (LastErrorCode != 0) {
        LANGID ui = GetThreadUILanguage();
        int id = 541;
        if (LastErrorCode == rc::TOKEN_PIN_INCORRECT || LastErrorCode == rc::TOKEN_PIN_ILLEGAL ||
            LastErrorCode == rc::TOKEN_PIN_LOCKED)
          id = rc::textIdForCode(LastErrorCode, ui);
        char16_t text[512] = {0};
        LoadStringW(CAtlModule::GetModuleInstance(), static_cast<UINT>(id), text, 512);
        std::string message = narrow(text, CP_THREAD_ACP);
        setError("CTeskelCtrl::TokenChangePIN -> error -> %s", message.c_str());
      }
    }
  } catch (...) {
    LastErrorCode = rc::UNKNOWN_ERROR;
    setErrorText("CTeskelCtrl::TokenChangePIN ->Unknown error");
    hr = S_FALSE;
  }
  *pVal = LastErrorCode;
  return hr;
}

HRESULT CTeskelCtrl::get_VERSION(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  CModuleResourceState state;
  std::u16string version = u"0,0,0,0";
  try {
    char16_t path[1024] = {0};
    if (GetModuleFileNameW(CAtlModule::GetModuleInstance(), path, 1024) != 0) {
      DWORD handle = 0;
      DWORD size = GetFileVersionInfoSizeW(path, &handle);
      if (size != 0) {
        std::string block(size, '\0');
        if (GetFileVersionInfoW(path, 0, size, block.data())) {
          WORD* translation = nullptr;
          UINT length = 0;
          if (VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", reinterpret_cast<LPVOID*>(&translation),
                             &length) &&
              translation != nullptr && length >= 4) {
            char query[50];
            std::snprintf(query, sizeof query, "\\StringFileInfo\\%04hX%04hX\\FileVersion", translation[0],
                          translation[1]);
            std::u16string wideQuery = widen(query, CP_ACP);
            char16_t* text = nullptr;
            if (VerQueryValueW(block.data(), wideQuery.c_str(), reinterpret_cast<LPVOID*>(&text), &length) &&
                text != nullptr)
              version = text;
          }
        }
      }
    }
  } catch (...) {
    version = u"0,0,0,0";
  }
  std::u16string shown;
  for (char16_t c : version) {
    if (c == u',') shown.push_back(u'.');
    else if (c != u' ') shown.push_back(c);
  }
  return wideResult(shown, pVal);
}

HRESULT CTeskelCtrl::get_FullPath(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  CModuleResourceState state;
  try {
    char16_t path[1024] = {0};
    DWORD n = GetModuleFileNameW(CAtlModule::GetModuleInstance(), path, 1024);
    if (n == 0) {
      LastErrorCode = rc::UNKNOWN_ERROR;
      return S_OK;
    }
    std::u16string name(path, n);
    std::size_t cut = name.find_last_of(u"/\\");
    if (cut != std::u16string::npos) name.resize(cut + 1);
    LastErrorCode = 0;
    return wideResult(name, pVal);
  } catch (...) {
    LastErrorCode = rc::UNKNOWN_ERROR;
    return S_FALSE;
  }
}
