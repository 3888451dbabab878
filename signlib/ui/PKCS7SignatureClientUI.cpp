// The token login dialog as the signature client's way to ask for a token PIN.
#include "signlib/ui/PKCS7SignatureClientUI.h"

#include <cstring>

#include <openssl/crypto.h>

#include "signlib/ui/IKEYLoginDlg.h"
#include "signlib/ui/TokenLoginDlg.h"

namespace {
// The dialog's PIN (at most 31 bytes) into the caller's buffer; the dialog
// wipes its own copy when it goes out of scope.
template <typename Dialog>
INT_PTR runPinDialog(Dialog& dlg, const char* certificate, int limit, char* pin) {
  dlg.certificate = certificate;
  dlg.PINLenLimit = limit;
  INT_PTR result = dlg.DoModal();
  if (result == IDOK && pin != nullptr) {
    std::size_t n = strnlen(dlg.pin, sizeof dlg.pin - 1);
    std::memcpy(pin, dlg.pin, n);
    pin[n] = '\0';
  }
  return result;
}
}  // namespace

INT_PTR CPKCS7SignatureClientUI::runTokenLoginDialog(const char* certificate, char* pin) {
  if (variant().cardLoginDialog) {
    CIKEYLoginDlg dlg;
    return runPinDialog(dlg, certificate, PINLenLimit, pin);
  }
  CTokenLoginDlg dlg;
  return runPinDialog(dlg, certificate, PINLenLimit, pin);
}

int CPKCS7SignatureClientUI::setUILoginSmartCard(const char* certificate, char* pin) {
  try {
    if (pin == nullptr) {
      formatErrorText(m_szErrorText, "CPKCS7SignatureClientUI::setUILoginSmartCard -> pchPwd is NULL");
      return rc::WRONG_PARAMETER;
    }
    if (certificate == nullptr) {
      formatErrorText(m_szErrorText, "CPKCS7SignatureClientUI::setUILoginSmartCard -> pchCertificate is NULL");
      return rc::WRONG_PARAMETER;
    }
    char typed[PIN_SIZE] = {};
    INT_PTR result = runTokenLoginDialog(certificate, typed);
    typed[PIN_SIZE - 1] = '\0';
    if (result != 1 /* IDOK */) {
      OPENSSL_cleanse(typed, sizeof typed);
      return rc::USER_CANCEL;
    }
    std::memcpy(pin, typed, std::strlen(typed) + 1);
    OPENSSL_cleanse(typed, sizeof typed);
    return rc::OK;
  } catch (...) {
    formatErrorText(m_szErrorText, "CPKCS7SignatureClientUI::setUILoginSmartCard -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}
