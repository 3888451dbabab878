// The control's life, its language, its error properties, its version and
// the operation no type library lists.
#include "HaldrinCtrl.h"

#include <cstring>

#include "ctrlkit/ModuleVersion.h"
#include "ctrlkit/ScriptText.h"
#include "ctrlkit/ThreadLanguage.h"

using namespace ctrlkit;

static_assert(code::WRONG_PARAMETER == rc::WRONG_PARAMETER && code::ILLEGAL_URL == rc::ILLEGAL_URL &&
                  code::UNKNOWN_ERROR == rc::UNKNOWN_ERROR && LAST_ERROR_SIZE == ERROR_TEXT_SIZE,
              "the kit's codes are the library's");

// ------------------------------------------------------------------ life
CHaldrinCtrl::CHaldrinCtrl()
    : CSigningControl("CHaldrinCtrl", falseOnFailure, HostCheck::ServerCertificate, log, signClient,
                      SigningPolicy{.envelopeCodePage = CP_ACP, .resultLineWithoutResult = true}),
      signClient(SignVariant::signatureControl()) {}

CHaldrinCtrl::~CHaldrinCtrl() = default;

void CHaldrinCtrl::errorLine(int code) { log.writeLog(CLog::LEVEL_ERROR, LastErrorStr, code); }

HRESULT CHaldrinCtrl::unlistedOperation() { return S_OK; }

// ------------------------------------------------------------------ language
HRESULT CHaldrinCtrl::setLanguage(BSTR languageCode, LONG* pVal) {
  // Only stored: the protected-input members apply it before their dialogs.
  Member m{"setLanguage -> Unknow Error", Record::Result, ErrorLine::None, alwaysOk};
  return runMember(pVal, m, [&] {
    language = languageCode == nullptr ? std::u16string() : std::u16string(languageCode, SysStringLen(languageCode));
    return 0;
  });
}

namespace {
// The internal code of a page's language code: exact, case-sensitive.
const char* internalCode(const std::u16string& language) {
  if (language == u"en") return "enu";
  if (language == u"zh_tw") return "zhtw";
  if (language == u"zh_cn") return "zhcn";
  return "zhtw";
}

void SetUILanguage(const char* code) {
  LANGID id = 1028;
  if (std::strcmp(code, "enu") == 0)
    id = 1033;
  else if (std::strcmp(code, "zhcn") == 0)
    id = 2052;
  applyThreadLanguage(id);
}
}  // namespace

void CHaldrinCtrl::ApplyLanguage() {
  CModuleResourceState state(moduleInstance());
  SetUILanguage(internalCode(language));
}

// ------------------------------------------------------------------ errors
HRESULT CHaldrinCtrl::get_LastErrorCode(LONG* pVal) { return lastErrorCode(pVal); }

HRESULT CHaldrinCtrl::get_LastErrorStr(BSTR* pVal) { return lastErrorStr(pVal, CP_ACP); }

// ------------------------------------------------------------------ version
HRESULT CHaldrinCtrl::get_VERSION(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  CModuleResourceState state(moduleInstance());
  return wideResult(versionText(moduleInstance()), pVal);
}
