// Signing members: the page's data signed with the page's signer, for pages
// of an allowed host only; with a confirmation window (signUI), after the
// token was pulled out and plugged in again (signIO), the token window alone
// (CheckP11TokenInOut), and the MD5-with-RSA value of the data.
#include "HaldrinCtrl.h"
#include "ctrlkit/ScriptText.h"
#include "platform/kernel.h"
#include "signlib/ui/TokenInOutDlg.h"

using namespace ctrlkit;

namespace {
// The signature control's confirmation window and its data field.
constexpr UINT kSignTemplate = 103;
constexpr int kSignDataEdit = 206;
// Its message-box texts: no token for signIO, for CheckP11TokenInOut.
constexpr UINT kInsertTokenAndRetry = 2508;
constexpr UINT kPlugInFirst = 2507;
// CheckP11TokenInOut's code for a module that cannot be probed.
constexpr int kTokenProbeFailed = 63;

// The signature control's token window: template 104, texts 107 to 116,
// the countdown as three digits, 99 when the time ran out. Its probe keeps
// no module name: the window never probes again.
TokenWindow tokenWindow() {
  CTokenInOutDlg::Resources r;
  r.templateId = 104;
  r.instructionId = 202;
  r.countdownId = 204;
  r.pullOut = 107;
  r.insert = 110;
  r.remainPrefix = 111;
  r.remainSuffix = 112;
  r.disconnected = 113;
  r.connected = 114;
  r.timeout = 116;
  r.timeoutCode = rc::UNKNOWN_ERROR;
  r.countdownFormat = "%03d";
  r.reloadInPhase1 = false;
  return {r, probeOnly};
}

// The confirmation window and its texts.
const SignUIWindow kSignUIWindow{.templateId = kSignTemplate,
                                 .dataEditId = kSignDataEdit,
                                 .refusedMember = "CallGRD",
                                 .dataFailureCode = rc::UNKNOWN_ERROR,
                                 .dataFailure = "sign ->Unknown error",
                                 .showFailure = "sign ->Unknown error"};

// signUI: the user's cancel is a result, not a failure.
HRESULT falseUnlessCancel(int code, bool threw) {
  return (threw || (code != 0 && code != rc::USER_CANCEL)) ? S_FALSE : S_OK;
}
}  // namespace

HRESULT CHaldrinCtrl::sign(BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) {
  return signMember(signerCert, digestMethod, signatureMethod, pVal);
}

// Without the host check any page would get a signature of its own data from
// a software key, silently when login agency is off.
HRESULT CHaldrinCtrl::MD5RSASignValue(BSTR signerCert, LONG* pVal) {
  return runMember(pVal, {.unknownError = "MD5RSASignValue ->Unknown error", .record = Record::Result}, [&] {
    hostCheckResult = IsWebCtl();
    if (hostCheckResult != 0) return fail(rc::ILLEGAL_URL, "MD5RSASignValue -> The Component can not verify the URL");
    if (isEmpty(signerCert))
      return fail(rc::WRONG_PARAMETER, "MD5RSASignValue -> error during invalid parameter(signerCert)!");
    CAnsiText cert(signerCert);
    int code = signClient.MD5RSASignValue(cert.get());
    if (code != 0) return fail(code, "MD5RSASignValue -> %s", signClient.getErrorText());
    log.log(CLog::LEVEL_INFO, 0, "MD5RSA sign success! signerCert:[%s]", cert.text());
    return 0;
  });
}

// ------------------------------------------------------------------ signUI
// Signs only what the user confirmed with the Sign button.
HRESULT CHaldrinCtrl::signUI(BSTR dataContent, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) {
  Member m{.unknownError = "sign ->Unknown error", .record = Record::Result, .hresult = falseUnlessCancel};
  return runMember(pVal, m,
                   [&] { return signUISteps(dataContent, signerCert, digestMethod, signatureMethod, kSignUIWindow); });
}

// ------------------------------------------------------------------ token window
// A page never reads "signed" when nothing was signed: no token is 14, a
// module that cannot be probed is the probe's code.
HRESULT CHaldrinCtrl::signIO(BSTR P11DLL, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = 0;
  bool noToken = false;
  Member m{.unknownError = "sign ->Unknown error", .record = Record::Body, .errorLine = ErrorLine::OnThrow};
  Outcome outcome = runBody(m, [&] {
    LastErrorCode = 0;
    hostCheckResult = IsWebCtl();
    if (hostCheckResult != 0) {
      LastErrorCode = fail(rc::ILLEGAL_URL, "CallGRD -> The Component can not verify the URL");
      errorLine(LastErrorCode);
      return LastErrorCode;
    }
    if (isEmpty(P11DLL)) return rc::WRONG_PARAMETER;  // no message; LastErrorCode stays 0
    auto [end, probeFailure] = tokenInOut(P11DLL, kInsertTokenAndRetry, tokenWindow());
    if (probeFailure != 0) {
      LastErrorCode = fail(probeFailure, "signIO -> error during initP11()!");
      errorLine(LastErrorCode);
      return LastErrorCode;
    }
    if (end == rc::NO_TOKEN) {
      noToken = true;
      LastErrorCode = fail(rc::NO_TOKEN, "signIO -> No token present!");
      errorLine(LastErrorCode);
      return LastErrorCode;
    }
    if (end != 0) return end;  // the window's own end: no message, no line
    LastErrorCode = signSteps(signerCert, digestMethod, signatureMethod);
    if (LastErrorCode != 0) errorLine(LastErrorCode);
    return LastErrorCode;
  });
  *pVal = outcome.code;
  return (outcome.code == 0 || (noToken && !outcome.threw)) ? S_OK : S_FALSE;
}

// Touches the token module, so pages of other hosts are refused first.
HRESULT CHaldrinCtrl::CheckP11TokenInOut(BSTR P11DLL, LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = 0;
  bool falseResult = false;
  Member m{.unknownError = "sign ->Unknown error", .record = Record::Body, .errorLine = ErrorLine::None};
  Outcome outcome = runBody(m, [&] {
    falseResult = true;
    int previousCode = LastErrorCode;
    hostCheckResult = IsWebCtl();  // LastErrorCode := 0 or 61
    if (hostCheckResult != 0)
      return fail(rc::ILLEGAL_URL, "CheckP11TokenInOut -> The Component can not verify the URL");
    LastErrorCode = previousCode;
    if (isEmpty(P11DLL)) return rc::PROBE_UNKNOWN_ERROR;
    falseResult = false;
    std::u16string line = u"目前行數：" + widen("1180", CP_ACP) + u"行";
    OutputDebugStringW(line.c_str());
    auto [end, probeFailure] = tokenInOut(P11DLL, kPlugInFirst, tokenWindow());
    if (probeFailure != 0) {
      LastErrorCode = kTokenProbeFailed;
      return fail(kTokenProbeFailed, "CheckP11TokenInOut -> error during initP11()!");
    }
    if (end == rc::NO_TOKEN) return rc::NO_TOKEN;
    falseResult = end != 0;
    return end;
  });
  *pVal = outcome.code;
  return (falseResult && !outcome.threw) ? S_FALSE : S_OK;
}
