// Signing members: the page's data signed with the page's signer, for pages
// of an allowed host only; with a confirmation window (signUI) or after the
// token was pulled out and plugged in again (signIO).
#include "TeskelCtrl.h"

#include <cstring>

#include "ctrlkit/ScriptText.h"
#include "platform/kernel.h"
#include "platform/resources.h"
#include "platform/ui.h"
#include "signlib/PKCS11TokenUtil.h"
#include "signlib/ui/SignUIDlg.h"
#include "signlib/ui/TokenInOutDlg.h"

using namespace ctrlkit;

int CTeskelCtrl::signSteps(BSTR signerCert, BSTR digestMethod, BSTR signatureMethod) {
  if (isEmpty(signerCert)) return fail(rc::WRONG_PARAMETER, "sign -> error during invalid parameter(signerCert)!");
  if (isEmpty(digestMethod)) return fail(rc::WRONG_PARAMETER, "sign -> error during invalid parameter(digestMethod)!");
  if (isEmpty(signatureMethod))
    return fail(rc::WRONG_PARAMETER, "sign -> error during invalid parameter(signatureMethod)!");
  CAnsiText cert(signerCert), digest(digestMethod), method(signatureMethod);
  int code = signatureClient.signData(cert.get(), digest.get(), method.get());
  if (code != 0) return fail(code, "sign -> %s", signatureClient.getErrorText());
  log.log(CLog::LEVEL_INFO, 0, "sign success! signerCert: %s", cert.text());
  return 0;
}

HRESULT CTeskelCtrl::sign(BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) {
  return runMember(pVal, {.unknownError = "sign ->Unknown error", .record = Record::Result}, [&] {
    hostCheckResult = IsWebCtl();
    if (hostCheckResult != 0) return fail(rc::ILLEGAL_URL, "sign -> The Component can not verify the URL");
    return signSteps(signerCert, digestMethod, signatureMethod);
  });
}

// LastErrorCode carries only the host check's result.
HRESULT CTeskelCtrl::signUI(BSTR dataContent, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) {
  return runMember(pVal, {.unknownError = "sign ->Unknown error"},
                   [&] { return signUISteps(dataContent, signerCert, digestMethod, signatureMethod); });
}

int CTeskelCtrl::signUISteps(BSTR dataContent, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod) {
  hostCheckResult = IsWebCtl();
  if (hostCheckResult != 0) return fail(rc::ILLEGAL_URL, "signUI -> The Component can not verify the URL");
  if (isEmpty(dataContent))
    return fail(rc::WRONG_PARAMETER, "setDataContentByString -> error during invalid parameter(dataContent)!");
  CAnsiText data(dataContent);
  int code = signatureClient.setDataContentByString(data.get());
  if (code != 0) return fail(code, "setDataContentByString -> %s", signatureClient.getErrorText());
  log.log(CLog::LEVEL_INFO, 0, "setDataContentByString success! String len:[%d]",
          static_cast<int>(SysStringLen(dataContent)));
  CSignUIDlg dialog;
  if (!dialog.setDataText(data.get()))
    return fail(rc::OUT_OF_MEMORY, "signUI -> error during memory allocate(dataContent) fail!");
  INT_PTR end = dialog.DoModal(GetActiveWindow());
  if (end == IDOK) return signSteps(signerCert, digestMethod, signatureMethod);
  // The confirmation could not be shown: nothing is signed unseen.
  if (end == -1) return fail(rc::UNKNOWN_ERROR, "signUI -> error during CSignUIDlg()!");
  return rc::USER_CANCEL;
}

HWND CTeskelCtrl::messageBoxOwner() { return (m_hWnd != nullptr && IsWindow(m_hWnd)) ? m_hWnd : nullptr; }

void CTeskelCtrl::tokenMessageBox(UINT textId) {
  char16_t text[512] = {0};
  LoadStringW(CAtlModule::GetModuleInstance(), textId, text, 512);
  MessageBoxW(messageBoxOwner(), text, u"", MB_OK | MB_ICONINFORMATION);
}

// The probe, then the insert-and-remove window's two phases (pull the token
// out, plug it in). 0 when both phases saw the change; otherwise the code
// that ended the steps.
int CTeskelCtrl::tokenInOut(BSTR P11DLL, UINT noTokenText, const char* probeFailure) {
  CTokenInOutDlg dialog;
  dialog.countdown = 60;
  dialog.phase = 0;
  std::memset(dialog.moduleName, 0, sizeof dialog.moduleName);
  CAnsiText module(P11DLL);
  int probe = loadPKCS11FunctionList(dialog.moduleName, sizeof dialog.moduleName, module.get());
  if (probe == rc::NO_TOKEN) {
    tokenMessageBox(noTokenText);
    return rc::NO_TOKEN;
  }
  if (probe != 0) {
    // No module to ask for its slots: report the probe's failure.
    LastErrorCode = probe;
    return fail(probe, "%s", probeFailure);
  }
  CK_ULONG slots = 0;
  getPKCS11SlotList(&slots);
  if (slots == 0) {
    tokenMessageBox(noTokenText);
    return rc::NO_TOKEN;
  }
  int end = static_cast<int>(dialog.DoModal(GetActiveWindow()));
  if (end != 0) return end;  // not pulled out in time, or the window was closed
  dialog.phase = 1;
  return static_cast<int>(dialog.DoModal(GetActiveWindow()));
}

// Only the signing's own failure (or the unknown error) goes to the log.
HRESULT CTeskelCtrl::signIO(BSTR P11DLL, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) {
  Member m{.unknownError = "sign ->Unknown error", .record = Record::Body, .errorLine = ErrorLine::OnThrow};
  return runMember(pVal, m, [&] { return signIOSteps(P11DLL, signerCert, digestMethod, signatureMethod); });
}

int CTeskelCtrl::signIOSteps(BSTR P11DLL, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod) {
  hostCheckResult = IsWebCtl();  // LastErrorCode := 0 or 61
  if (hostCheckResult != 0) return fail(rc::ILLEGAL_URL, "signIO -> The Component can not verify the URL");
  if (isEmpty(P11DLL)) return rc::WRONG_PARAMETER;
  int end = tokenInOut(P11DLL, 401, "signIO -> error during initP11()!");
  if (end != 0) return end;
  LastErrorCode = signSteps(signerCert, digestMethod, signatureMethod);
  if (LastErrorCode != 0) errorLine(LastErrorCode);
  return LastErrorCode;
}

HRESULT CTeskelCtrl::CheckP11TokenInOut(BSTR P11DLL, LONG* pVal) {
  // S_OK and no log line, whatever the outcome. It loads a module and shows
  // the insert-and-remove window: pages of an allowed host only.
  Member m{"sign ->Unknown error", Record::Body, ErrorLine::None, alwaysOk, "CheckP11TokenInOut"};
  return runMember(pVal, m, [&] {
    if (isEmpty(P11DLL)) return rc::PROBE_UNKNOWN_ERROR;
    char16_t trace[1024] = {0};
    std::u16string line = u"目前行數：" + widen("2405", CP_ACP) + u"行";
    std::memcpy(trace, line.data(), line.size() * sizeof(char16_t));
    OutputDebugStringW(trace);
    int end = tokenInOut(P11DLL, 400, "CheckP11TokenInOut -> error during initP11()!");
    if (end != 0) return end;
    LastErrorCode = 0;
    clearError();
    return 0;
  });
}
