// The token login dialog as the signature client's way to ask for a token PIN.
#include <cstring>

#include "PKCS7SignatureClient.h"
#include "TokenLoginDlg.h"

INT_PTR CPKCS7SignatureClientUI::runTokenLoginDialog(const char* certificate, char* pin) {
  CTokenLoginDlg dlg;
  dlg.certificate = certificate;
  dlg.PINLenLimit = PINLenLimit;
  INT_PTR result = dlg.DoModal();
  if (result == IDOK && pin != nullptr) {
    // The dialog's PIN (at most 31 bytes) fits the caller's buffer; the
    // dialog wipes its own copy when it goes out of scope.
    std::size_t n = strnlen(dlg.pin, sizeof dlg.pin - 1);
    std::memcpy(pin, dlg.pin, n);
    pin[n] = '\0';
  }
  return result;
}
