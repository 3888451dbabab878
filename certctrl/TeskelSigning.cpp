// Signing members: the page's data signed with the page's signer, for pages
// of an allowed host only; with a confirmation window (signUI) or after the
// token was pulled out and plugged in again (signIO).
#include "TeskelCtrl.h"

#include <cstring>

#include "ctrlkit/ScriptText.h"
#include "platform/kernel.h"

using namespace ctrlkit;

namespace {
// The library's confirmation window, with the certificate control's texts.
const SignUIWindow kSignUIWindow{.refusedMember = "signUI",
                                 .dataFailureCode = rc::OUT_OF_MEMORY,
                                 .dataFailure = "signUI -> error during memory allocate(dataContent) fail!",
                                 .showFailure = "signUI -> error during CSignUIDlg()!"};
// The library's token window; the probe keeps the module name in it, for
// the window probes again with it before each count of its second phase.
const TokenWindow kTokenWindow{CTokenInOutDlg::Resources{}, probeIntoWindow};
}  // namespace

HRESULT CTeskelCtrl::sign(BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) {
  return signMember(signerCert, digestMethod, signatureMethod, pVal);
}

// LastErrorCode carries only the host check's result.
HRESULT CTeskelCtrl::signUI(BSTR dataContent, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) {
  return runMember(pVal, {.unknownError = "sign ->Unknown error"},
                   [&] { return signUISteps(dataContent, signerCert, digestMethod, signatureMethod, kSignUIWindow); });
}

// The shared token steps; a probe failure other than 14 is the member's
// failure, kept in LastErrorCode with probeFailure's text.
int CTeskelCtrl::tokenSteps(BSTR P11DLL, UINT noTokenText, const char* probeFailure) {
  TokenPhases phases = tokenInOut(P11DLL, noTokenText, kTokenWindow);
  if (phases.probeFailure != 0) {
    LastErrorCode = phases.probeFailure;
    return fail(phases.probeFailure, "%s", probeFailure);
  }
  return phases.end;
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
  int end = tokenSteps(P11DLL, 401, "signIO -> error during initP11()!");
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
    int end = tokenSteps(P11DLL, 400, "CheckP11TokenInOut -> error during initP11()!");
    if (end != 0) return end;
    LastErrorCode = 0;
    clearError();
    return 0;
  });
}
