// Data, envelope, settings, log and PIN-list members: the data to sign, the
// signed envelope as text or file, the login settings, the PIN values and
// provider codes the login treats specially, and the control's log. The
// shared steps run with the ANSI code page for the envelope and a result
// line (length 0) even without a result.
#include "HaldrinCtrl.h"
#include "ctrlkit/ScriptText.h"

using namespace ctrlkit;

namespace {
// The members whose code is also kept in LastErrorCode and logged.
Member recorded(const char* unknownError) { return {.unknownError = unknownError, .record = Record::Result}; }
}  // namespace

CTRLKIT_SIGNING_DATA_MEMBERS(CHaldrinCtrl, LONG)

// A null name reaches the client as null: it refuses it and keeps its module.
HRESULT CHaldrinCtrl::put_PKCS11LibName(BSTR newVal) {
  Member m{.unknownError = "setPKCS11LibName -> Unknown error", .record = Record::Result, .errorLine = ErrorLine::None};
  return runBody(m,
                 [&] {
                   CAnsiText name(newVal);
                   int code = signClient.setPKCS11LibName(name.get());
                   if (code != 0) return fail(code, "setPKCS11LibName -> %s", signClient.getErrorText());
                   return 0;
                 })
      .hr;
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
