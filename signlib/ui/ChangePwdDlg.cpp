#include "signlib/ui/ChangePwdDlg.h"

#include "signlib/ui/DialogText.h"

#include <string>

#include <openssl/crypto.h>

#include "platform/resources.h"

using dialogtext::loadText;

namespace {

constexpr UINT kIdsCaption = 453;
constexpr UINT kIdsOldEmpty = 454;
constexpr UINT kIdsNewEmpty = 455;
constexpr UINT kIdsConfirmEmpty = 456;
constexpr UINT kIdsFormat = 460;
constexpr UINT kIdsDiffer = 461;
constexpr UINT kIdsNewLength = 462;
constexpr UINT kIdsConfirmLength = 463;

constexpr size_t kMinNewPin = 4;
constexpr size_t kMaxNewPin = 16;

// The rule's reasons read the same in every language.
constexpr const char16_t* kReasonEmpty = u"輸入密碼長度不應為空值";
constexpr const char16_t* kReasonLength = u"輸入字串長度(%d位)不符,應為%d位";
constexpr const char16_t* kReasonCharacters = u"輸入字串錯誤,必須為英文或數字";

void wipe(std::u16string& s) {
  if (!s.empty()) OPENSSL_cleanse(s.data(), s.size() * sizeof(char16_t));
  s.clear();
}

std::u16string ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Puts each argument in place of the next "%s" or "%d" of the pattern.
std::u16string fill(const std::u16string& pattern, const std::u16string* args, size_t count) {
  std::u16string out;
  size_t next = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == u'%' && i + 1 < pattern.size() && (pattern[i + 1] == u's' || pattern[i + 1] == u'd') &&
        next < count) {
      out += args[next++];
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

}  // namespace

CChangePwdDlg::CChangePwdDlg() : CDialog(IDD) {}

CChangePwdDlg::~CChangePwdDlg() {
  wipe(oldPIN);
  wipe(newPIN);
  wipe(confirmPIN);
}

void CChangePwdDlg::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, kOldPinEditId, m_oldPinEdit);
  DDX_Control(dx, kNewPinEditId, m_newPinEdit);
  DDX_Control(dx, kConfirmPinEditId, m_confirmPinEdit);
  if (dx->m_bSaveAndValidate) {
    // The fields are about to be replaced: leave no copy of the old texts behind.
    wipe(oldPIN);
    wipe(newPIN);
    wipe(confirmPIN);
  }
  DDX_Text(dx, kOldPinEditId, oldPIN);
  DDX_Text(dx, kNewPinEditId, newPIN);
  DDX_Text(dx, kConfirmPinEditId, confirmPIN);
}

BOOL CChangePwdDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  // TRUE: the focus starts on the first tab stop, the old-PIN edit.
  return TRUE;
}

void CChangePwdDlg::OnOK() {
  if (checkInput() != 0) return;
  CDialog::OnOK();
}

void CChangePwdDlg::refuse(const std::u16string& text, const std::u16string& caption, CEdit& focus) {
  MessageBox(text.c_str(), caption.c_str(), MB_ICONERROR);
  focus.SetFocus();
}

int CChangePwdDlg::checkInput() {
  try {
    std::u16string caption = loadText(kIdsCaption);
    UpdateData(TRUE);

    if (oldPIN.empty()) {
      refuse(loadText(kIdsOldEmpty), caption, m_oldPinEdit);
      return 1;
    }
    if (newPIN.empty()) {
      refuse(loadText(kIdsNewEmpty), caption, m_newPinEdit);
      return 1;
    }
    if (confirmPIN.empty()) {
      refuse(loadText(kIdsConfirmEmpty), caption, m_confirmPinEdit);
      return 1;
    }

    struct RuleCheck {
      std::u16string* text;
      CEdit* edit;
    };
    const RuleCheck ruleChecks[] = {
        {&newPIN, &m_newPinEdit}, {&confirmPIN, &m_confirmPinEdit}, {&oldPIN, &m_oldPinEdit}};
    for (const RuleCheck& check : ruleChecks) {
      std::u16string reason;
      if (checkInputRule(reason, *check.text, kRuleLettersAndDigits, 0, 1) == 0) continue;
      MessageBox(fill(loadText(kIdsFormat), &reason, 1).c_str(), caption.c_str(), MB_ICONERROR);
      wipe(*check.text);
      check.edit->SetFocus();
      UpdateData(FALSE);
      return 1;
    }

    UINT lengthMessage = 0;
    if (newPIN != confirmPIN) {
      lengthMessage = kIdsDiffer;
    } else if (newPIN.size() < kMinNewPin || newPIN.size() > kMaxNewPin) {
      lengthMessage = kIdsNewLength;
    } else if (confirmPIN.size() < kMinNewPin || confirmPIN.size() > kMaxNewPin) {
      lengthMessage = kIdsConfirmLength;
    }
    if (lengthMessage != 0) {
      MessageBox(loadText(lengthMessage).c_str(), caption.c_str(), MB_ICONERROR);
      wipe(newPIN);
      wipe(confirmPIN);
      m_newPinEdit.SetFocus();
      UpdateData(FALSE);
      return 1;
    }

    UpdateData(FALSE);
    return 0;
  } catch (...) {
    // A check that could not be made is a check that failed: the dialog stays
    // open and nothing reaches the opener.
    return 1;
  }
}

int CChangePwdDlg::checkInputRule(std::u16string& reason, const std::u16string& text, int ruleKind, int requiredLength,
                                  BYTE refuseEmpty) {
  try {
    if (ruleKind == kRuleLettersAndDigits) return checkLettersAndDigits(reason, text, requiredLength, refuseEmpty);
    return -1;  // no other rule is known
  } catch (...) {
    return -1;
  }
}

int CChangePwdDlg::checkLettersAndDigits(std::u16string& reason, const std::u16string& text, int requiredLength,
                                         BYTE refuseEmpty) {
  if (text.empty()) {
    if (!refuseEmpty) return 0;
    reason = kReasonEmpty;
    return -1;
  }
  if (requiredLength >= 1 && text.size() != static_cast<size_t>(requiredLength)) {
    const std::u16string args[] = {ascii(std::to_string(text.size())), ascii(std::to_string(requiredLength))};
    reason = fill(kReasonLength, args, 2);
    return -1;
  }
  for (char16_t c : text) {
    bool letterOrDigit = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9');
    if (!letterOrDigit) {
      reason = kReasonCharacters;
      return -1;
    }
  }
  return 0;
}
