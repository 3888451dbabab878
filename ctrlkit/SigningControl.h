// The members the two signing controls (certificate and signature) share:
// the data to sign and the signed envelope by text or file, the result, the
// signing settings, the log and its text-block lines, the signing steps with
// and without the confirmation window, and the probe and two phases of the
// token insert-and-remove window. Where the controls differ (the envelope's
// code page, the result line without a result, the windows, the probe) the
// control says so through SigningPolicy, SignUIWindow and TokenWindow.
//
// Header only, and the only kit piece that needs the signing library: the
// kit itself stays free of it for a control that only checks its page.
#pragma once

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "ctrlkit/MemberShell.h"
#include "ctrlkit/ScriptText.h"
#include "platform/kernel.h"
#include "platform/resources.h"
#include "platform/ui.h"
#include "signlib/Log.h"
#include "signlib/PKCS11TokenUtil.h"
#include "signlib/ResultCode.h"
#include "signlib/ui/PKCS7SignatureClientUI.h"
#include "signlib/ui/SignUIDlg.h"
#include "signlib/ui/TokenInOutDlg.h"

// The interface members both signing controls serve alike, defined once for
// a control (in one of its source files); Flag is the type its interface
// gives the two flag properties.
#define CTRLKIT_SIGNING_DATA_MEMBERS(Control, Flag)                                                              \
  HRESULT Control::setDataContentByFile(BSTR dataPath, LONG* pVal) { return dataContentByFile(dataPath, pVal); } \
  HRESULT Control::setDataContentByString(BSTR dataContent, LONG* pVal) {                                        \
    return dataContentByString(dataContent, pVal);                                                               \
  }                                                                                                              \
  HRESULT Control::getSignedEnvelopByFile(BSTR envelopPath, LONG* pVal) {                                        \
    return signedEnvelopeByFile(envelopPath, pVal);                                                              \
  }                                                                                                              \
  HRESULT Control::getSignedEnvelopByString(BSTR* pVal) { return signedEnvelopeByString(pVal); }                 \
  HRESULT Control::get_result(BSTR* pVal) { return resultText(pVal); }                                           \
  HRESULT Control::put_PWDCatch(Flag newVal) {                                                                   \
    setPWDCatch(newVal);                                                                                         \
    return S_OK;                                                                                                 \
  }                                                                                                              \
  HRESULT Control::put_EnableLoginAgency(Flag newVal) {                                                          \
    setEnableLoginAgency(newVal);                                                                                \
    return S_OK;                                                                                                 \
  }                                                                                                              \
  HRESULT Control::put_PINLenLimit(LONG newVal) {                                                                \
    setPINLenLimit(newVal);                                                                                      \
    return S_OK;                                                                                                 \
  }                                                                                                              \
  HRESULT Control::setLogFile(BSTR logPath, BSTR logFileName, LONG* pVal) {                                      \
    return logFile(logPath, logFileName, pVal);                                                                  \
  }

namespace ctrlkit {

// The data, envelope and result members' differences.
struct SigningPolicy {
  // The code page the envelope text is handed to the page in.
  UINT envelopeCodePage = CP_THREAD_ACP;
  // The result's Info line is written with length 0 when there is no result.
  bool resultLineWithoutResult = false;
};

// signUI's confirmation window and the texts of its failures.
struct SignUIWindow {
  UINT templateId = CSignUIDlg::IDD;
  int dataEditId = CSignUIDlg::kDataEditId;
  // The member named when another host's page is refused.
  const char* refusedMember;
  // The window could not take the data.
  int dataFailureCode;
  const char* dataFailure;
  // The window could not be shown.
  const char* showFailure;
};

// The token module probe: the variant that keeps the module name in the
// window (which probes again with it), or the one that ignores its caller.
using TokenProbe = int (*)(CTokenInOutDlg& window, const char* moduleName);
inline int probeIntoWindow(CTokenInOutDlg& window, const char* moduleName) {
  return loadPKCS11FunctionList(window.moduleName, sizeof window.moduleName, moduleName);
}
inline int probeOnly(CTokenInOutDlg&, const char* moduleName) { return loadPKCS11FunctionList(moduleName); }

// The token insert-and-remove window of a control and its probe.
struct TokenWindow {
  CTokenInOutDlg::Resources resources;
  TokenProbe probe;
};

// The end of the token steps: 0 when both phases saw the change, else the
// code that ended them; probeFailure is a probe result other than 0 and 14
// (nothing shown then), 0 otherwise.
struct TokenPhases {
  int end;
  int probeFailure;
};

template <class Control>
class CSigningControl : public CControlKit<Control> {
 public:
  // log and client are the control's members (bound here, used only once
  // the control is built).
  CSigningControl(const char* classPrefix, HResultPolicy policy, HostCheck hostCheck, CLog& log,
                  CPKCS7SignatureClientUI& client, SigningPolicy signing)
      : CControlKit<Control>(classPrefix, policy, hostCheck),
        m_prefix(classPrefix),
        m_log(log),
        m_client(client),
        m_signing(signing) {}

 protected:
  using CControlKit<Control>::fail;
  using CControlKit<Control>::runMember;
  using CControlKit<Control>::runBody;
  using CControlKit<Control>::textProperty;
  using CControlKit<Control>::IsWebCtl;
  using CControlKit<Control>::moduleInstance;

  // -------------------------------------------------------------- data
  HRESULT dataContentByFile(BSTR dataPath, LONG* pVal) {
    return dataByPageText(
        pVal, {"setDataContentByFile", "dataPath", "error during invalid parameter", true}, dataPath,
        [&](const char* path) { return m_client.setDataContentByFile(path); },
        [&](const char* path) {
          m_log.log(CLog::LEVEL_INFO, 0, "setDataContentByFile success! File name:[%s]", path);
        });
  }

  HRESULT dataContentByString(BSTR dataContent, LONG* pVal) {
    return dataByPageText(
        pVal, {"setDataContentByString", "dataContent"}, dataContent,
        [&](const char* data) { return m_client.setDataContentByString(data); },
        [&](const char* data) {
          logTextBlock("setDataContentByString success! String:{{\n%s\n}}",
                       "setDataContentByString -> error during malloc log message string(%d)!", data);
        });
  }

  HRESULT signedEnvelopeByFile(BSTR envelopPath, LONG* pVal) {
    return dataByPageText(
        pVal, {"getSignedEnvelopByFile", "envelopPath", "error invalid parameter", true}, envelopPath,
        [&](const char* path) { return m_client.writeSignedEnvelopeFile(path); },
        [&](const char* path) {
          m_log.log(CLog::LEVEL_INFO, 0, "getSignedEnvelopByFile success! File Path: %s", path);
        });
  }

  HRESULT signedEnvelopeByString(BSTR* pVal) {
    if (pVal == nullptr) return E_POINTER;
    *pVal = nullptr;
    BSTR text = nullptr;
    char* envelope = nullptr;
    Outcome outcome = runBody(recordedMember("getSignedEnvelopByString ->Unknown error"), [&] {
      int length = 0;
      int code = m_client.getSignedEnvelopeString(nullptr, &length);
      if (code != 0)
        return fail(code, "getSignedEnvelopByString -> 1.get envelop string length fail!%s", m_client.getErrorText());
      envelope = static_cast<char*>(std::malloc(static_cast<std::size_t>(length) + 1));
      if (envelope == nullptr)
        return fail(rc::OUT_OF_MEMORY,
                    "getSignedEnvelopByString -> error %d during memory allocate(pchEnvelopString) fail!",
                    rc::OUT_OF_MEMORY);
      code = m_client.getSignedEnvelopeString(envelope, &length);
      if (code != 0)
        return fail(code, "getSignedEnvelopByString -> 2.get envelop string  fail!%s", m_client.getErrorText());
      envelope[length] = '\0';
      logTextBlock("getSignedEnvelopByString success! String:{{\n%s\n}}",
                   "getSignedEnvelopByString -> error during malloc log message string(%d)!", envelope);
      if (FAILED(textResult(envelope, &text, m_signing.envelopeCodePage))) throw std::bad_alloc();
      m_log.log(CLog::LEVEL_INFO, 0, "getSignedEnvelopByString success! Envelop string: len[%d]", length);
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

  HRESULT resultText(BSTR* pVal) {
    if (pVal == nullptr) return E_POINTER;
    *pVal = nullptr;
    const char* text = nullptr;
    HRESULT hr = textProperty(pVal, [&] { return text = m_client.getResultText(); });
    if (hr == S_OK && (text != nullptr || m_signing.resultLineWithoutResult))
      m_log.log(CLog::LEVEL_INFO, 0, "get_result success! Envelop/MD5RSASigned string len:[%d",
                text != nullptr ? static_cast<int>(std::strlen(text)) : 0);
    return hr;
  }

  // -------------------------------------------------------------- settings
  // The flags are on for the script's true (-1) alone.
  void setPWDCatch(LONG value) {
    m_client.PWDCatch = value == -1 ? 1 : 0;
    if (m_client.PWDCatch == 0) m_client.clearUserPIN();
  }
  void setEnableLoginAgency(LONG value) { m_client.EnableLoginAgency = value == -1 ? 1 : 0; }
  void setPINLenLimit(LONG value) { m_client.PINLenLimit = value; }

  // -------------------------------------------------------------- log
  // The log writes page text into a file: pages of an allowed host only.
  HRESULT logFile(BSTR logPath, BSTR logFileName, LONG* pVal) {
    Member m{.unknownError = "setLogFile ->Unknown error",
             .record = Record::Result,
             .errorLine = ErrorLine::None,
             .hostGate = "setLogFile"};
    return runMember(pVal, m, [&] {
      if (isEmpty(logPath)) return fail(rc::WRONG_PARAMETER, "setLogFile -> error during invalid parameter(logPath)!");
      if (isEmpty(logFileName))
        return fail(rc::WRONG_PARAMETER, "setLogFile -> error during invalid parameter(logFileName)!");
      CAnsiText path(logPath), name(logFileName);
      int code = m_log.setLogFile(path.get(), name.get());
      if (code != 0) return fail(code, "setLogFile -> setting log file full path error!");
      m_log.setLogLevel(CLog::LEVEL_INFO);
      return 0;
    });
  }

  // One Info line that quotes a whole text, formatted into a buffer of the
  // text's length plus 128 bytes. Nothing is built while Info lines are off;
  // when the buffer cannot be had the line is skipped (an error line after
  // the class prefix says so) and the member's result is not touched.
  void logTextBlock(const char* format, const char* mallocFailure, const char* text) {
    if (m_log.level() < CLog::LEVEL_INFO) return;
    std::size_t size = std::strlen(text) + 128;
    char* buffer = static_cast<char*>(std::calloc(size, 1));
    if (buffer == nullptr) {
      const std::string failure = std::string(m_prefix) + "::" + mallocFailure;
      m_log.log(CLog::LEVEL_ERROR, rc::OUT_OF_MEMORY, failure.c_str(), static_cast<int>(size));
      return;
    }
    formatBounded(buffer, size, format, text);
    m_log.writeLog(CLog::LEVEL_INFO, buffer, 0);
    std::free(buffer);
  }

  // -------------------------------------------------------------- signing
  int signSteps(BSTR signerCert, BSTR digestMethod, BSTR signatureMethod) {
    if (isEmpty(signerCert)) return fail(rc::WRONG_PARAMETER, "sign -> error during invalid parameter(signerCert)!");
    if (isEmpty(digestMethod))
      return fail(rc::WRONG_PARAMETER, "sign -> error during invalid parameter(digestMethod)!");
    if (isEmpty(signatureMethod))
      return fail(rc::WRONG_PARAMETER, "sign -> error during invalid parameter(signatureMethod)!");
    CAnsiText cert(signerCert), digest(digestMethod), method(signatureMethod);
    int code = m_client.signData(cert.get(), digest.get(), method.get());
    if (code != 0) return fail(code, "sign -> %s", m_client.getErrorText());
    m_log.log(CLog::LEVEL_INFO, 0, "sign success! signerCert: %s", cert.text());
    return 0;
  }

  HRESULT signMember(BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) {
    return runMember(pVal, {.unknownError = "sign ->Unknown error", .record = Record::Result}, [&] {
      hostCheckResult = IsWebCtl();
      if (hostCheckResult != 0) return fail(rc::ILLEGAL_URL, "sign -> The Component can not verify the URL");
      return signSteps(signerCert, digestMethod, signatureMethod);
    });
  }

  // The host check, the data as for setDataContentByString, then the
  // confirmation window: signs only what the user confirmed with its Sign
  // button; nothing is signed unseen when the window cannot be shown.
  int signUISteps(BSTR dataContent, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod,
                  const SignUIWindow& window) {
    hostCheckResult = IsWebCtl();
    if (hostCheckResult != 0)
      return fail(rc::ILLEGAL_URL, "%s -> The Component can not verify the URL", window.refusedMember);
    if (isEmpty(dataContent))
      return fail(rc::WRONG_PARAMETER, "setDataContentByString -> error during invalid parameter(dataContent)!");
    CAnsiText data(dataContent);
    int code = m_client.setDataContentByString(data.get());
    if (code != 0) return fail(code, "setDataContentByString -> %s", m_client.getErrorText());
    m_log.log(CLog::LEVEL_INFO, 0, "setDataContentByString success! String len:[%d]",
              static_cast<int>(SysStringLen(dataContent)));
    CSignUIDlg dialog(window.templateId, window.dataEditId);
    if (!dialog.setDataText(data.get())) return fail(window.dataFailureCode, "%s", window.dataFailure);
    INT_PTR end = dialog.DoModal(GetActiveWindow());
    if (end == IDOK) return signSteps(signerCert, digestMethod, signatureMethod);
    if (end == -1) return fail(rc::UNKNOWN_ERROR, "%s", window.showFailure);
    return rc::USER_CANCEL;
  }

  // -------------------------------------------------------------- token window
  // The probe, the message box noTokenText when no token is there (14), then
  // the window's two phases (pull the token out, plug it in).
  TokenPhases tokenInOut(BSTR P11DLL, UINT noTokenText, const TokenWindow& window) {
    CTokenInOutDlg dialog(window.resources);
    dialog.countdown = 60;
    dialog.phase = 0;
    std::memset(dialog.moduleName, 0, sizeof dialog.moduleName);
    CAnsiText module(P11DLL);
    int probe = window.probe(dialog, module.get());
    if (probe == rc::NO_TOKEN) {
      tokenMessageBox(noTokenText);
      return {rc::NO_TOKEN, 0};
    }
    if (probe != 0) return {probe, probe};  // no module to ask for its slots
    CK_ULONG slots = 0;
    getPKCS11SlotList(&slots);
    if (slots == 0) {
      tokenMessageBox(noTokenText);
      return {rc::NO_TOKEN, 0};
    }
    int end = static_cast<int>(dialog.DoModal(GetActiveWindow()));
    if (end != 0) return {end, 0};  // not pulled out in time, or the window could not be made
    dialog.phase = 1;
    return {static_cast<int>(dialog.DoModal(GetActiveWindow())), 0};
  }

  // The result of the last host check a signing member ran.
  int hostCheckResult = 0;

  // A member that takes one text from the page: its name, its argument's
  // name and the wording of the argument's test; `gated` when the member
  // reads or writes a file and so runs the host check first.
  struct PageArgument {
    const char* member;
    const char* argument;
    const char* emptyWording = "error during invalid parameter";
    bool gated = false;
  };

 private:
  // The members whose code is also kept in LastErrorCode and logged.
  static Member recordedMember(const char* unknownError) {
    return {.unknownError = unknownError, .record = Record::Result};
  }

  // The argument's test, the text as 8-bit text to the signature client,
  // then the failure text ("<member> -> %s" with the client's text) or the
  // success line.
  template <class Call, class Success>
  HRESULT dataByPageText(LONG* pVal, const PageArgument& a, BSTR argument, Call call, Success success) {
    const std::string unknownError = std::string(a.member) + " ->Unknown error";
    Member m = recordedMember(unknownError.c_str());
    if (a.gated) m.hostGate = a.member;
    return runMember(pVal, m, [&] {
      if (isEmpty(argument)) return fail(rc::WRONG_PARAMETER, "%s -> %s(%s)!", a.member, a.emptyWording, a.argument);
      CAnsiText text(argument);
      int code = call(text.get());
      if (code != 0) return fail(code, "%s -> %s", a.member, m_client.getErrorText());
      success(text.text());
      return 0;
    });
  }

  // Message boxes have an owner only while the control has a window.
  HWND messageBoxOwner() {
    HWND window = static_cast<Control*>(this)->m_hWnd;
    return (window != nullptr && IsWindow(window)) ? window : nullptr;
  }

  void tokenMessageBox(UINT textId) {
    char16_t text[512] = {0};
    LoadStringW(moduleInstance(), textId, text, 512);
    MessageBoxW(messageBoxOwner(), text, u"", MB_OK | MB_ICONINFORMATION);
  }

  const char* m_prefix;
  CLog& m_log;
  CPKCS7SignatureClientUI& m_client;
  SigningPolicy m_signing;
};

}  // namespace ctrlkit
