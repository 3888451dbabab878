// CPKCS7SignatureClient: signs the page's data (a text or a file) with one or
// more signer certificates and gives the PKCS#7 SignedData, with the data
// attached, as Base64 text (CR LF every 76 characters) or as a DER file.
//
// The provider field chooses the path: "MicroSoftCAPI" takes the CryptoAPI
// path (keys in the user's "MY" store; `sign` checks the signer and logs in
// to its provider, the message is made when the envelope is asked for), any
// other value is the file name of a PKCS#11 module (the token path signs at
// once and keeps the message).
//
// CPKCS7SignatureClientUI (signlib/ui/PKCS7SignatureClientUI.h) asks for a
// token PIN with the token login dialog instead of the console.
//
// Every operation returns a ResultCode and lets no exception out; failures
// leave their message in the error text. No PIN ever reaches an error text,
// and every PIN buffer is wiped on the way out.
#pragma once

#include <cstddef>
#include <string>

#include <sys/types.h>

#include "platform/crypt.h"
#include "platform/wintypes.h"
#include "signlib/ResultCode.h"
#include "signlib/SignVariant.h"

class CPKCS7SignatureClient {
 public:
  static constexpr std::size_t PIN_SIZE = 128;
  static constexpr std::size_t PROVIDER_SIZE = 256;
  static constexpr std::size_t PIN_STATE_SIZE = 24;
  static constexpr const char* CAPI_PROVIDER = "MicroSoftCAPI";
  // The PIN state of no provider login, and the PIN handed to a provider
  // named "Datakey RSA CSP" when the user is not asked.
  static constexpr const char* NO_LOGIN_MARKER = "\n\t\r\t\n";
  static constexpr const char* LOGINED = "Logined";
  // The most data a client takes from a file: its envelope, and the Base64
  // text of that, must still fit the int lengths the getters report.
  static constexpr unsigned long long MAX_DATA_CONTENT = 1ULL << 30;

  // The deliverable names its variant of the signing steps (SignVariant).
  explicit CPKCS7SignatureClient(const SignVariant& variant = SignVariant::certificateControl());
  virtual ~CPKCS7SignatureClient();
  CPKCS7SignatureClient(const CPKCS7SignatureClient&) = delete;
  CPKCS7SignatureClient& operator=(const CPKCS7SignatureClient&) = delete;

  // The PIN hook: pin is a caller buffer of PIN_SIZE bytes. The base class
  // asks on the console (at most 127 bytes, one blank-delimited word).
  virtual int setUILoginSmartCard(const char* certificate, char* pin);

  // The text, up to its NUL, becomes the data to sign.
  int setDataContentByString(const char* text);
  // The whole file becomes the data to sign, NUL bytes included. Only a
  // regular file is read (anything else: 3, without waiting on it); a file
  // larger than MAX_DATA_CONTENT is refused with 2 before it is read.
  int setDataContentByFile(const char* path);

  int signData(const char* certificate, const char* digestMethod, const char* signatureMethod);
  int sign(const char* certificate, const char* digestMethod, const char* signatureMethod);
  int signByPKCS11(const char* certificate, const char* digestMethod, const char* signatureMethod);

  // buffer null: builds the text and reports its length (without NUL) in
  // *length. Otherwise *length says how many characters buffer holds besides
  // the NUL (the control passes the reported length again, with a buffer one
  // byte longer); the text is copied only when it fits, else 2.
  int getSignedEnvelopeString(char* buffer, int* length);
  int writeSignedEnvelopeFile(const char* path);
  int getSignedEnvelopeByString(char* buffer, int* length);
  int getSignedEnvelopeByFile(const char* path);
  int getSignedEnvelopeStringByPKCS11(char* buffer, int* length);
  int getSignedEnvelopeFileByPKCS11(const char* path);

  int loginSmartCard(const char* certificate);
  // The same login, handing out the provider handle and key specification it
  // acquired and whether the caller must release the handle
  // (CryptReleaseContext) when done; nothing is handed out on failure.
  int loginSmartCard(const char* certificate, HCRYPTPROV* provider, DWORD* keySpec, BOOL* callerFree);

  // PKCS#1 v1.5 signature of the MD5 of the data (up to its first NUL; no
  // data is the empty text) by the certificate's key in the user's store,
  // kept as the result text: upper-case hexadecimal, most significant byte
  // first. The signature is checked against the certificate before it is
  // kept. Replaces the result text on success only.
  int MD5RSASignValue(const char* certificate);

  // The PIN values that must not sign, each in braces ("{1234}{0000}"; text
  // outside the braces is ignored). A text that is not of that form (1) or a
  // failed allocation (2) leaves the list as it was.
  int setIllegalPIN(const char* text);
  // Windows errors of a provider that mean the user cancelled its prompt, or
  // gave a wrong PIN; the lists keep every value in order.
  int addCancelPINCode(DWORD code);
  int addIncorrectPINCode(DWORD code);
  bool isCancelPINCode(DWORD code) const;
  int getIllegalPINCount() const { return m_iIllegalPINCount; }
  const char* getIllegalPIN(int i) const { return i >= 0 && i < m_iIllegalPINCount ? m_ppchIllegalPIN[i] : nullptr; }
  int getCancelCodeCount() const { return m_iCancelCodeCount; }
  const DWORD* getCancelCodes() const { return m_pdwCancelCodes; }
  int getIncorrectCodeCount() const { return m_iWrongPasswordCodeCount; }
  const DWORD* getIncorrectCodes() const { return m_pdwWrongPasswordCodes; }

  // The PIN hook for a certificate given as DER bytes.
  int setUILoginSmartCardByDER(const unsigned char* der, int length, char* pin);

  const SignVariant& variant() const { return *m_variant; }
  int clearUserPIN();
  // Names the PKCS#11 module; a name of PROVIDER_SIZE characters or more is
  // refused (1) and the provider stays as it was.
  int setPKCS11LibName(const char* name);
  bool isIllegalPIN(const char* pin) const;
  int startSignAndEncodeData();

  const char* getErrorText() const { return m_szErrorText; }
  // The Base64 text that the last string request produced, or null.
  const char* getResultText() const { return m_pchResultText; }
  const char* getProvider() const { return m_szProvider; }
  const char* getPinState() const { return m_szPinState; }
  int getSignerCount() const { return m_iSignerCount; }
  const unsigned char* getResultDER() const { return m_puchResultDER; }
  int getResultLength() const { return m_iResultLength; }

  // Written by the control.
  BYTE PWDCatch = 0;           // keep a provider login for the following signatures
  BYTE EnableLoginAgency = 0;  // ask the user for the provider PIN on the CryptoAPI path

 protected:
  bool isCAPIProvider() const;
  void clearSigners();
  void clearEnvelope();
  struct AcquiredKey {
    HCRYPTPROV provider = 0;
    DWORD keySpec = 0;
    BOOL callerFree = FALSE;
  };
  // key null: the provider is released before returning.
  int loginImpl(const char* certificate, char (&pin)[PIN_SIZE], AcquiredKey* key);
  int md5Impl(const char* certificate);
  int signByPKCS11Impl(const char* certificate, const char* digestMethod, const char* signatureMethod,
                       char (&pin)[PIN_SIZE]);
  int giveText(const char* method, char* buffer, int* length);
  int writeDer(const char* method, const char* path);
  int writeDerBeside(const char* method, const char* path, const std::string& mapped, mode_t mode);
  // Before an envelope leaves the client, on either path: its signatures must
  // verify with the signer certificates' public keys. A message that does not
  // is dropped (23): a key that does not belong to its certificate never
  // yields an envelope. Checked once per message.
  int checkEnvelope(const char* method);

  char* m_pchDataContent = nullptr;  // the data, with a NUL after it
  std::size_t m_dataContentLength = 0;
  int m_iSignerCount = 0;
  unsigned char* m_puchResultDER = nullptr;  // malloc'd
  int m_iResultLength = 0;
  bool m_resultChecked = false;       // m_puchResultDER passed checkEnvelope
  char m_szPinState[PIN_STATE_SIZE];  // NO_LOGIN_MARKER or LOGINED; never a PIN
  // Filled by the signature control's build (owned, malloc'd).
  char** m_ppchIllegalPIN = nullptr;
  int m_iIllegalPINCount = 0;
  char m_szProvider[PROVIDER_SIZE];
  DWORD* m_pdwCancelCodes = nullptr;
  int m_iCancelCodeCount = 0;
  DWORD* m_pdwWrongPasswordCodes = nullptr;
  int m_iWrongPasswordCodeCount = 0;
  char m_szErrorText[ERROR_TEXT_SIZE];
  char** m_ppchSignerCertificates = nullptr;  // malloc'd list of malloc'd texts
  char* m_pchResultText = nullptr;
  // Set once this client's CryptoAPI envelope is built for its current data
  // and signers; each client has its own.
  bool m_envelopeBuilt = false;
  const SignVariant* m_variant;
};
