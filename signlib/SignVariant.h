// The steps in which the two deliverables' signature clients differ. Each
// deliverable names its variant when it makes its signature client (and the
// client hands it to the token client it signs with); every step not listed
// here (slot and session handling, the SignedData assembly, the CKR texts,
// the CryptoAPI path) is written once and shared.
#pragma once

#include <cstddef>

struct SignVariant {
  // How the token client finds the signer's private key on the token.
  enum class KeySearch {
    // Log in first (Login), then the certificate object and the private key
    // with the certificate's modulus.
    LoginThenModulus,
    // The certificate object, its CKA_ID, then C_Login, then the private key
    // with that CKA_ID (findPrivateKeyByCert).
    IdWithLogin,
  };

  // init: a module named "...eToken.dll" takes the eToken route, a session
  // still open is kept, and two or more tokens are refused. Without them
  // init opens a session on the first slot listed, whatever the count.
  bool tokenRoutes;
  KeySearch keySearch;
  // The signer may be given as a PKCS#7 bundle (else one certificate only).
  bool acceptsBundle;
  // The digest follows the key (SHA-256 for 2048-bit keys, else SHA-1);
  // otherwise SHA-1 always, whatever the page asked.
  bool digestFromKey;
  // C_SignInit / C_Sign failures map CKR_PIN_INCORRECT and CKR_PIN_LOCKED
  // to 21 and 52 (otherwise every failure there is 23).
  bool pinMappingAtSign;
  // Characters the module-name field holds with its NUL (256 or 128).
  std::size_t providerSize;
  // setPKCS11LibName with a null or empty name keeps the module name it had
  // (otherwise the field is emptied).
  bool emptyNameKeepsProvider;
  // The UI client's PIN hook shows the card login dialog (else the token
  // login dialog).
  bool cardLoginDialog;

  static const SignVariant& certificateControl();
  static const SignVariant& signatureControl();
};
