// CTokenLoginDlg: asks for the PIN of the token that holds the signing key
// (dialog 105). It shows the certificate's subject and issuer, warns while
// Caps Lock is on, holds the PIN to PINLenLimit characters and refuses to
// finish with an empty PIN.
//
// The opener sets certificate (Base64 text) and PINLenLimit, runs DoModal and,
// on IDOK, copies pin. pin is wiped when the object is destroyed, so the opener
// copies it before the dialog goes out of scope.
#pragma once

#include <string>

#include "platform/afx.h"
#include "signlib/ui/PinEditModel.h"

class CTokenLoginDlg : public CDialog {
 public:
  enum { IDD = 105 };
  static constexpr int kPinEditId = 310;
  static constexpr int kCertificateEditId = 312;
  static constexpr int kLabelId = 351;
  static constexpr int kNoteId = 600;
  // The PIN edit is read through a buffer of this many UTF-16 units, NUL
  // included: a longer text is refused, never cut.
  static constexpr int kPinReadSize = PinEditModel::kReadSize;

  CTokenLoginDlg();
  ~CTokenLoginDlg() override;

  std::u16string capsLockNote;  // string 464
  CEdit m_pinEdit;
  CEdit m_certificateEdit;
  CStatic m_noteStatic;
  // The PIN as last accepted from the PIN edit, 8-bit in the thread's ANSI
  // code page, NUL-terminated (at most 31 bytes).
  char pin[32];
  const char* certificate;  // Base64 certificate text, borrowed from the opener
  int PINLenLimit;          // maximum PIN length in characters; 0 or below: no limit

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  BOOL PreTranslateMessage(MSG* msg) override;
  BOOL OnInitDialog() override;
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  void OnShowWindow(BOOL show, UINT status) override;
  void OnOK() override;

  void OnPINUpdate();
  void showCertificate();

 private:
  void showCapsLockNote();
  PinEditModel m_pinModel;  // the PIN edit's rules, on pin and PINLenLimit
};
