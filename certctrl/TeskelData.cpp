// Data, envelope, settings and log members: the data to sign, the signed
// envelope as text or file, the signing settings and the control's log.
#include "TeskelCtrl.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "ctrlkit/ScriptText.h"

using namespace ctrlkit;

namespace {
// The members whose code is also kept in LastErrorCode and logged.
Member recorded(const char* unknownError) { return {.unknownError = unknownError, .record = Record::Result}; }
}  // namespace

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

// The steps of a data or envelope member on one text from the page: the
// argument's test, the text as 8-bit text to the signature client, then the
// failure text ("<name> -> %s" with the client's text) or the success line.
template <class Call, class Success>
HRESULT CTeskelCtrl::dataByPageText(LONG* pVal, const PageArgument& a, BSTR argument, Call call, Success success) {
  const std::string unknownError = std::string(a.member) + " ->Unknown error";
  Member m = recorded(unknownError.c_str());
  if (a.gated) m.hostGate = a.member;
  return runMember(pVal, m, [&] {
    if (isEmpty(argument)) return fail(rc::WRONG_PARAMETER, "%s -> %s(%s)!", a.member, a.emptyWording, a.argument);
    CAnsiText text(argument);
    int code = call(text.get());
    if (code != 0) return fail(code, "%s -> %s", a.member, signatureClient.getErrorText());
    success(text.text());
    return 0;
  });
}

HRESULT CTeskelCtrl::setDataContentByFile(BSTR dataPath, LONG* pVal) {
  return dataByPageText(
      pVal, {"setDataContentByFile", "dataPath", "error during invalid parameter", true}, dataPath,
      [&](const char* path) { return signatureClient.setDataContentByFile(path); },
      [&](const char* path) { log.log(CLog::LEVEL_INFO, 0, "setDataContentByFile success! File name:[%s]", path); });
}

HRESULT CTeskelCtrl::setDataContentByString(BSTR dataContent, LONG* pVal) {
  return dataByPageText(
      pVal, {"setDataContentByString", "dataContent"}, dataContent,
      [&](const char* data) { return signatureClient.setDataContentByString(data); },
      [&](const char* data) {
        logTextBlock("setDataContentByString success! String:{{\n%s\n}}",
                     "CTeskelCtrl::setDataContentByString -> error during malloc log message string(%d)!", data);
      });
}

HRESULT CTeskelCtrl::getSignedEnvelopByFile(BSTR envelopPath, LONG* pVal) {
  return dataByPageText(
      pVal, {"getSignedEnvelopByFile", "envelopPath", "error invalid parameter", true}, envelopPath,
      [&](const char* path) { return signatureClient.writeSignedEnvelopeFile(path); },
      [&](const char* path) { log.log(CLog::LEVEL_INFO, 0, "getSignedEnvelopByFile success! File Path: %s", path); });
}

HRESULT CTeskelCtrl::getSignedEnvelopByString(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  BSTR text = nullptr;
  char* envelope = nullptr;
  Outcome outcome = runBody(recorded("getSignedEnvelopByString ->Unknown error"), [&] {
    int length = 0;
    int code = signatureClient.getSignedEnvelopeString(nullptr, &length);
    if (code != 0)
      return fail(code, "getSignedEnvelopByString -> 1.get envelop string length fail!%s",
                  signatureClient.getErrorText());
    envelope = static_cast<char*>(std::malloc(static_cast<std::size_t>(length) + 1));
    if (envelope == nullptr)
      return fail(rc::OUT_OF_MEMORY,
                  "getSignedEnvelopByString -> error %d during memory allocate(pchEnvelopString) fail!",
                  rc::OUT_OF_MEMORY);
    code = signatureClient.getSignedEnvelopeString(envelope, &length);
    if (code != 0)
      return fail(code, "getSignedEnvelopByString -> 2.get envelop string  fail!%s", signatureClient.getErrorText());
    envelope[length] = '\0';
    logTextBlock("getSignedEnvelopByString success! String:{{\n%s\n}}",
                 "CTeskelCtrl::getSignedEnvelopByString -> error during malloc log message string(%d)!", envelope);
    if (FAILED(textResult(envelope, &text))) throw std::bad_alloc();
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

HRESULT CTeskelCtrl::get_result(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  const char* text = nullptr;
  HRESULT hr = textProperty(pVal, [&] { return text = signatureClient.getResultText(); });
  if (hr == S_OK && text != nullptr)
    log.log(CLog::LEVEL_INFO, 0, "get_result success! Envelop/MD5RSASigned string len:[%d",
            static_cast<int>(std::strlen(text)));
  return hr;
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

HRESULT CTeskelCtrl::setLogFile(BSTR logPath, BSTR logFileName, LONG* pVal) {
  // The log writes page text into a file: pages of an allowed host only.
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
