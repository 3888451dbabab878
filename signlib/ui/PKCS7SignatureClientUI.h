// CPKCS7SignatureClientUI: the signature client that asks for a token PIN
// with the token login dialog instead of the console.
#pragma once

#include "signlib/PKCS7SignatureClient.h"

class CPKCS7SignatureClientUI : public CPKCS7SignatureClient {
 public:
  // The variant also picks the PIN dialog: the token login dialog, or the
  // signature control's card login dialog.
  explicit CPKCS7SignatureClientUI(const SignVariant& variant = SignVariant::certificateControl())
      : CPKCS7SignatureClient(variant) {}

  int PINLenLimit = 0;  // handed to the PIN dialog; 0 or below means no limit

  // Shows the token login dialog for the certificate: OK copies its PIN into
  // pin (PIN_SIZE bytes) and gives 0; any other end gives 28.
  int setUILoginSmartCard(const char* certificate, char* pin) override;

 protected:
  // Runs the variant's PIN dialog modally with PINLenLimit and the certificate
  // text; on IDOK leaves the PIN, NUL-terminated, in pin (PIN_SIZE bytes).
  // Returns the dialog's end code.
  virtual INT_PTR runTokenLoginDialog(const char* certificate, char* pin);
};
