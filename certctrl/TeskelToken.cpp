// Token module, serial, PIN and initialisation members, and the module's
// version and folder.
#include "TeskelCtrl.h"

#include <openssl/crypto.h>

#include "ctrlkit/ModuleVersion.h"
#include "ctrlkit/ScriptText.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/resources.h"
#include "signlib/PKCS11TokenUtil.h"
#include "signlib/ui/ChangePwdDlg.h"

using namespace ctrlkit;

namespace {
// The token label and PINs a re-initialised token gets.
constexpr const char* kInitTokenLabel = "Corvane";
constexpr const char* kInitTokenSOPin = "Quorvinta";
constexpr const char* kInitTokenUserPin = "739164";

// Members that keep their code in LastErrorCode and write no log line.
Member unlogged(const char* unknownError) {
  return {.unknownError = unknownError, .record = Record::Result, .errorLine = ErrorLine::None};
}

// Wide PINs, wiped when they go.
struct WidePins {
  std::u16string oldPin, newPin;
  WidePins() = default;
  WidePins(const WidePins&) = delete;
  WidePins& operator=(const WidePins&) = delete;
  ~WidePins() {
    if (!oldPin.empty()) OPENSSL_cleanse(oldPin.data(), oldPin.size() * sizeof(char16_t));
    if (!newPin.empty()) OPENSSL_cleanse(newPin.data(), newPin.size() * sizeof(char16_t));
  }
};

// An 8-bit PIN, wiped when it goes.
struct AnsiPin {
  std::string text;
  explicit AnsiPin(const std::u16string& pin) : text(narrow(pin, CP_THREAD_ACP)) {}
  AnsiPin(const AnsiPin&) = delete;
  AnsiPin& operator=(const AnsiPin&) = delete;
  ~AnsiPin() {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
  }
};
}  // namespace

// ------------------------------------------------------------------ token modules
HRESULT CTeskelCtrl::put_PKCS11LibName(BSTR newVal) {
  return runBody(unlogged("setPKCS11LibName -> Unknown error"),
                 [&] {
                   CAnsiText name(newVal);
                   int code = signatureClient.setPKCS11LibName(name.get());
                   if (code != 0) return fail(code, "setPKCS11LibName -> %s", signatureClient.getErrorText());
                   code = pCertDBClient->setPKCS11LibName(name.get());
                   if (code != 0) return fail(code, "setPKCS11LibName -> %s", pCertDBClient->getErrorMessage());
                   return 0;
                 })
      .hr;
}

// Loads and probes modules: pages of an allowed host only.
HRESULT CTeskelCtrl::SetPKCS11LibNames(BSTR PKCS11LibNames, LONG* pVal) {
  Member m = unlogged("SetPKCS11LibNames -> Unknown error");
  m.hresult = alwaysOk;
  m.hostGate = "SetPKCS11LibNames";
  return runMember(pVal, m, [&] {
    CAnsiText list(PKCS11LibNames);
    CPKCS11TokenUtil token;
    int code = token.detectTokenByModule(list.get());
    if (code != 0) return fail(code, "SetPKCS11LibNames -> error during detectTokenByModule()!");
    DetectedTokenPKCS11LibName = widen(token.detectedModule(), CP_THREAD_ACP);
    return 0;
  });
}

HRESULT CTeskelCtrl::get_DetectedTokenPKCS11LibName(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  return wideResult(DetectedTokenPKCS11LibName, pVal);
}

// Initialising wipes the user's token, so it is done only for pages of an
// allowed host. A success leaves the earlier LastErrorCode in place.
HRESULT CTeskelCtrl::TokenInitial(BSTR P11DLL, LONG* pVal) {
  Member m{
      .unknownError = "TokenInitial -> Unknown error", .record = Record::FailureOnly, .errorLine = ErrorLine::None};
  return runMember(pVal, m, [&] {
    int previousCode = LastErrorCode;
    if (IsWebCtl() != 0) return fail(rc::ILLEGAL_URL, "TokenInitial -> The Component can not verify the URL");
    LastErrorCode = previousCode;
    CAnsiText module(P11DLL);
    CPKCS11TokenUtil token;
    int code = token.InitTokenCV(module.get(), kInitTokenLabel, kInitTokenSOPin, kInitTokenUserPin);
    if (code != 0) return fail(code, "TokenInitial -> error during InitTokenCV(),errmsg[%s]", token.getErrorText());
    return 0;
  });
}

HRESULT CTeskelCtrl::eraseTokenExpiredCertKeyObj(BSTR, BSTR, LONG* pVal) {
  return runMember(pVal, {.errorLine = ErrorLine::None}, [] { return 0; });
}

// ------------------------------------------------------------------ token serial and PIN
// A failure gives the empty text, never a null one.
HRESULT CTeskelCtrl::GetTokenSN(BSTR P11DLL, BSTR* TokenSN) {
  if (TokenSN == nullptr) return E_POINTER;
  *TokenSN = nullptr;
  std::u16string serialText;
  Member m = unlogged("GetTokenSN -> Unknown error");
  m.hostGate = "GetTokenSN";
  Outcome outcome = runBody(m, [&] {
    char serial[32] = {0};
    CAnsiText module(P11DLL);
    CPKCS11TokenUtil token;
    int code = token.getTokenSN(module.get(), serial);
    if (code != 0) return fail(code, "GetTokenSN -> error during getTokenSN(),errmsg[%s]", token.getErrorText());
    serial[sizeof serial - 1] = '\0';
    serialText = widen(serial, CP_THREAD_ACP);
    return 0;
  });
  if (outcome.code != 0) serialText.clear();
  HRESULT made = wideResult(serialText, TokenSN);
  return FAILED(made) ? made : outcome.hr;
}

// Tries PINs against the token: pages of an allowed host only. A PIN with a
// NUL inside would reach the token cut there, and is refused like any text.
HRESULT CTeskelCtrl::TokenChangePIN(BSTR P11DLL, BSTR OldPIN, BSTR NewPIN, LONG* pVal) {
  Member m = unlogged("TokenChangePIN ->Unknown error");
  m.hostGate = "TokenChangePIN";
  return runMember(pVal, m, [&] {
    if (hasEmbeddedNul(OldPIN) || hasEmbeddedNul(NewPIN))
      return fail(rc::WRONG_PARAMETER, "TokenChangePIN -> error during invalid parameter(text with NUL)!");
    WidePins pins;
    if (!isEmpty(OldPIN) && !isEmpty(NewPIN)) {
      pins.oldPin.assign(OldPIN, SysStringLen(OldPIN));
      pins.newPin.assign(NewPIN, SysStringLen(NewPIN));
    } else {
      CChangePwdDlg dialog;
      if (dialog.DoModal() != IDOK)
        return fail(rc::USER_CANCEL,
                    "TokenChangePIN -> error during CChangePwdDlg() -> User Cancel or Something error");
      pins.oldPin = dialog.oldPIN;
      pins.newPin = dialog.newPIN;
    }
    AnsiPin oldText(pins.oldPin), newText(pins.newPin);
    CAnsiText module(P11DLL);
    CPKCS11TokenUtil token;
    int code = token.SetUserPIN(module.get(), oldText.text.c_str(), newText.text.c_str());
    if (code == 0) return 0;
    int id = 541;
    if (code == rc::TOKEN_PIN_INCORRECT || code == rc::TOKEN_PIN_ILLEGAL || code == rc::TOKEN_PIN_LOCKED)
      id = rc::textIdForCode(code, GetThreadUILanguage());
    char16_t text[512] = {0};
    LoadStringW(CAtlModule::GetModuleInstance(), static_cast<UINT>(id), text, 512);
    std::string message = narrow(text, CP_THREAD_ACP);
    return fail(code, "TokenChangePIN -> error -> %s", message.c_str());
  });
}

// ------------------------------------------------------------------ version and folder
HRESULT CTeskelCtrl::get_VERSION(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  CModuleResourceState state(moduleInstance());
  return wideResult(versionText(moduleInstance()), pVal);
}

// A module name that cannot be read gives 99 with no folder; something
// thrown gives 99 and S_FALSE; neither changes LastErrorStr.
HRESULT CTeskelCtrl::get_FullPath(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  std::u16string folder;
  Outcome outcome = runBody({.record = Record::Result, .errorLine = ErrorLine::None}, [&] {
    char16_t path[1024] = {0};
    DWORD n = GetModuleFileNameW(moduleInstance(), path, 1024);
    if (n == 0) return rc::UNKNOWN_ERROR;
    folder.assign(path, n);
    std::size_t cut = folder.find_last_of(u"/\\");
    if (cut != std::u16string::npos) folder.resize(cut + 1);
    return 0;
  });
  if (outcome.code != 0) return outcome.hr;
  return wideResult(folder, pVal);
}
