// The control's life, its language, its error properties and its host check.
#include "TeskelCtrl.h"

#include <cstring>

#include "ctrlkit/ScriptText.h"
#include "ctrlkit/ThreadLanguage.h"

using namespace ctrlkit;

static_assert(code::WRONG_PARAMETER == rc::WRONG_PARAMETER && code::ILLEGAL_URL == rc::ILLEGAL_URL &&
                  code::UNKNOWN_ERROR == rc::UNKNOWN_ERROR && LAST_ERROR_SIZE == ERROR_TEXT_SIZE,
              "the kit's codes are the library's");

// ------------------------------------------------------------------ life
CTeskelCtrl::CTeskelCtrl()
    : CSigningControl("CTeskelCtrl", falseOnThrow, HostCheck::HostList, log, signatureClient, SigningPolicy{}) {
  pCertDBClient = &certDBClient;
}

CTeskelCtrl::~CTeskelCtrl() = default;

void CTeskelCtrl::errorLine(int code) { log.writeLog(CLog::LEVEL_ERROR, LastErrorStr, code); }

// ------------------------------------------------------------------ language
HRESULT CTeskelCtrl::setLanguage(BSTR languageCode, LONG* pVal) {
  // No line is logged, and the code is 0 even after an unknown error's 99.
  Member m{"setLanguage -> Unknow Error", Record::Result, ErrorLine::None, alwaysOk};
  return runMember(pVal, m, [&] {
    language = isEmpty(languageCode) ? std::u16string() : std::u16string(languageCode, SysStringLen(languageCode));
    if (language.empty()) return 0;
    if (language == u"CHT")
      applyLanguage("CHT");
    else if (language == u"CHS")
      applyLanguage("CHS");
    else if (language == u"ENU")
      applyLanguage("ENU");
    else
      applyLanguage("CHT");
    return 0;
  });
}

int CTeskelCtrl::applyLanguage(const char* code) {
  LANGID id = 1028;
  if (std::strcmp(code, "ENU") == 0)
    id = 1033;
  else if (std::strcmp(code, "CHS") == 0)
    id = 2052;
  applyThreadLanguage(id);
  return 0;
}

// ------------------------------------------------------------------ errors
HRESULT CTeskelCtrl::get_LastErrorCode(LONG* pVal) { return lastErrorCode(pVal); }

HRESULT CTeskelCtrl::get_LastErrorStr(BSTR* pVal) { return lastErrorStr(pVal, CP_THREAD_ACP); }
