// Data, envelope, settings, log and PIN-list members: the data to sign, the
// signed envelope as text or file, the login settings, the PIN values and
// provider codes the login treats specially, and the control's log.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "HaldrinCtrl.h"
#include "ctrlkit/ScriptText.h"

using namespace ctrlkit;

namespace {
// The members whose code is also kept in LastErrorCode and logged.
Member recorded(const char* unknownError) { return {.unknownError = unknownError, .record = Record::Result}; }
// The same for members that read or write a file: pages of the allowed hosts
// only (61 with "<member> -> The Component can not verify the URL" first).
Member gated(const char* unknownError, const char* member) {
  return {.unknownError = unknownError, .record = Record::Result, .hostGate = member};
}
}  // namespace

// One Info line that quotes a whole text, formatted into a buffer of the
// text's length plus 128 bytes. When that buffer cannot be had the line is
// skipped (an error line says so); the member's result is not touched.
void CHaldrinCtrl::logTextBlock(const char* format, const char* mallocFailureFormat, const char* text) {
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

HRESULT CHaldrinCtrl::setDataContentByFile(BSTR dataPath, LONG* pVal) {
  return runMember(pVal, gated("setDataContentByFile ->Unknown error", "setDataContentByFile"), [&] {
    if (isEmpty(dataPath))
      return fail(rc::WRONG_PARAMETER, "setDataContentByFile -> error during invalid parameter(dataPath)!");
    CAnsiText path(dataPath);
    int code = signClient.setDataContentByFile(path.get());
    if (code != 0) return fail(code, "setDataContentByFile -> %s", signClient.getErrorText());
    log.log(CLog::LEVEL_INFO, 0, "setDataContentByFile success! File name:[%s]", path.text());
    return 0;
  });
}

HRESULT CHaldrinCtrl::setDataContentByString(BSTR dataContent, LONG* pVal) {
  return runMember(pVal, recorded("setDataContentByString ->Unknown error"), [&] {
    if (isEmpty(dataContent))
      return fail(rc::WRONG_PARAMETER, "setDataContentByString -> error during invalid parameter(dataContent)!");
    CAnsiText data(dataContent);
    int code = signClient.setDataContentByString(data.get());
    if (code != 0) return fail(code, "setDataContentByString -> %s", signClient.getErrorText());
    logTextBlock("setDataContentByString success! String:{{\n%s\n}}",
                 "CHaldrinCtrl::setDataContentByString -> error during malloc log message string(%d)!", data.text());
    return 0;
  });
}

HRESULT CHaldrinCtrl::getSignedEnvelopByFile(BSTR envelopPath, LONG* pVal) {
  return runMember(pVal, gated("getSignedEnvelopByFile ->Unknown error", "getSignedEnvelopByFile"), [&] {
    if (isEmpty(envelopPath))
      return fail(rc::WRONG_PARAMETER, "getSignedEnvelopByFile -> error invalid parameter(envelopPath)!");
    CAnsiText path(envelopPath);
    int code = signClient.writeSignedEnvelopeFile(path.get());
    if (code != 0) return fail(code, "getSignedEnvelopByFile -> %s", signClient.getErrorText());
    log.log(CLog::LEVEL_INFO, 0, "getSignedEnvelopByFile success! File Path: %s", path.text());
    return 0;
  });
}

HRESULT CHaldrinCtrl::getSignedEnvelopByString(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  BSTR text = nullptr;
  char* envelope = nullptr;
  Outcome outcome = runBody(recorded("getSignedEnvelopByString ->Unknown error"), [&] {
    int length = 0;
    int code = signClient.getSignedEnvelopeString(nullptr, &length);
    if (code != 0)
      return fail(code, "getSignedEnvelopByString -> 1.get envelop string length fail!%s", signClient.getErrorText());
    envelope = static_cast<char*>(std::malloc(static_cast<std::size_t>(length) + 1));
    if (envelope == nullptr)
      return fail(rc::OUT_OF_MEMORY,
                  "getSignedEnvelopByString -> error %d during memory allocate(pchEnvelopString) fail!",
                  rc::OUT_OF_MEMORY);
    code = signClient.getSignedEnvelopeString(envelope, &length);
    if (code != 0)
      return fail(code, "getSignedEnvelopByString -> 2.get envelop string  fail!%s", signClient.getErrorText());
    envelope[length] = '\0';
    logTextBlock("getSignedEnvelopByString success! String:{{\n%s\n}}",
                 "CHaldrinCtrl::getSignedEnvelopByString -> error during malloc log message string(%d)!", envelope);
    if (FAILED(textResult(envelope, &text, CP_ACP))) throw std::bad_alloc();
    log.log(CLog::LEVEL_INFO, 0, "getSignedEnvelopByString success! Envelop string: len[%d]", length);
    return 0;
  });
  std::free(envelope);
  if (outcome.code != 0) {
    SysFreeString(text);
    text = nullptr;
  }
  *pVal = text;
  return outcome.hr;
}

HRESULT CHaldrinCtrl::get_result(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  const char* text = nullptr;
  HRESULT hr = textProperty(pVal, [&] { return text = signClient.getResultText(); });
  if (hr == S_OK)
    log.log(CLog::LEVEL_INFO, 0, "get_result success! Envelop/MD5RSASigned string len:[%d",
            text != nullptr ? static_cast<int>(std::strlen(text)) : 0);
  return hr;
}

// ------------------------------------------------------------------ settings
HRESULT CHaldrinCtrl::put_PWDCatch(LONG newVal) {
  signClient.PWDCatch = newVal == -1 ? 1 : 0;
  if (signClient.PWDCatch == 0) signClient.clearUserPIN();
  return S_OK;
}

HRESULT CHaldrinCtrl::put_EnableLoginAgency(LONG newVal) {
  signClient.EnableLoginAgency = newVal == -1 ? 1 : 0;
  return S_OK;
}

HRESULT CHaldrinCtrl::put_PINLenLimit(LONG newVal) {
  signClient.PINLenLimit = newVal;
  return S_OK;
}

// A null name reaches the client as null: it refuses it and keeps its module.
HRESULT CHaldrinCtrl::put_PKCS11LibName(BSTR newVal) {
  Member m{.unknownError = "setPKCS11LibName -> Unknown error", .record = Record::Result, .errorLine = ErrorLine::None};
  return runBody(m, [&] {
           CAnsiText name(newVal);
           int code = signClient.setPKCS11LibName(name.get());
           if (code != 0) return fail(code, "setPKCS11LibName -> %s", signClient.getErrorText());
           return 0;
         })
      .hr;
}

// ------------------------------------------------------------------ log
HRESULT CHaldrinCtrl::setLogFile(BSTR logPath, BSTR logFileName, LONG* pVal) {
  Member m{.unknownError = "setLogFile ->Unknown error",
           .record = Record::Result,
           .errorLine = ErrorLine::None,
           .hostGate = "setLogFile"};
  return runMember(pVal, m, [&] {
    if (isEmpty(logPath)) return fail(rc::WRONG_PARAMETER, "setLogFile -> error during invalid parameter(logPath)!");
    if (isEmpty(logFileName))
      return fail(rc::WRONG_PARAMETER, "setLogFile -> error during invalid parameter(logFileName)!");
    CAnsiText path(logPath), name(logFileName);
    int code = log.setLogFile(path.get(), name.get());
    if (code != 0) return fail(code, "setLogFile -> setting log file full path error!");
    log.setLogLevel(CLog::LEVEL_INFO);
    return 0;
  });
}

// ------------------------------------------------------------------ PIN lists
// The page's list is a list of secrets: it is wiped after use and quoted in
// no message.
HRESULT CHaldrinCtrl::setIllegalPIN(BSTR multipleIllegalPIN, LONG* pVal) {
  return runMember(pVal, recorded("setIllegalPIN ->Unknown error"), [&] {
    if (isEmpty(multipleIllegalPIN))
      return fail(rc::WRONG_PARAMETER, "setIllegalPIN -> error during invalid parameter(multipleIllegalPIN)!");
    CAnsiText list(multipleIllegalPIN, CP_ACP, true);
    int code = signClient.setIllegalPIN(list.get());
    if (code != 0) return fail(code, "setIllegalPIN -> %s ", signClient.getErrorText());
    return 0;
  });
}

HRESULT CHaldrinCtrl::setCancelPINCode(ULONG code, LONG* pVal) {
  return runMember(pVal, recorded("setCancelPINCode ->Unknown error"), [&] {
    int result = signClient.addCancelPINCode(static_cast<DWORD>(code));
    if (result != 0) return fail(result, "setCancelPINCode -> %s ", signClient.getErrorText());
    return 0;
  });
}

HRESULT CHaldrinCtrl::setIncorrectPINCode(ULONG code, LONG* pVal) {
  return runMember(pVal, recorded("setIncorrectPINCode ->Unknown error"), [&] {
    int result = signClient.addIncorrectPINCode(static_cast<DWORD>(code));
    if (result != 0) return fail(result, "setIncorrectPINCode -> %s ", signClient.getErrorText());
    return 0;
  });
}
