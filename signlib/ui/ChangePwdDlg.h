// CChangePwdDlg: asks for the old PIN, the new PIN and the new PIN again
// (dialog 113) and checks them before it lets the user finish: none empty,
// only ASCII letters and digits, new and repeated PIN equal, new PIN 4 to 16
// characters. It never talks to the token; the opener reads oldPIN and newPIN
// after IDOK. The three texts are wiped when the object is destroyed.
#pragma once

#include <string>

#include "platform/afx.h"

class CChangePwdDlg : public CDialog {
 public:
  enum { IDD = 113 };
  static constexpr int kOldPinEditId = 431;
  static constexpr int kNewPinEditId = 432;
  static constexpr int kConfirmPinEditId = 433;
  // checkInputRule's rule kinds: 3, letters and digits, is the one the dialog uses.
  static constexpr int kRuleLettersAndDigits = 3;

  CChangePwdDlg();
  ~CChangePwdDlg() override;

  CEdit m_oldPinEdit;
  CEdit m_newPinEdit;
  CEdit m_confirmPinEdit;
  std::u16string oldPIN;
  std::u16string newPIN;
  std::u16string confirmPIN;

  // 0 when all three texts pass; 1 when a message was shown (or a check
  // failed unexpectedly) and the dialog stays open.
  int checkInput();
  // 0 pass, -1 fail with reason set. requiredLength 0: any length.
  int checkInputRule(std::u16string& reason, const std::u16string& text, int ruleKind, int requiredLength,
                     BYTE refuseEmpty);

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  BOOL OnInitDialog() override;
  void OnOK() override;

 private:
  int checkLettersAndDigits(std::u16string& reason, const std::u16string& text, int requiredLength, BYTE refuseEmpty);
  void refuse(const std::u16string& text, const std::u16string& caption, CEdit& focus);
};
