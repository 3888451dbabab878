// The change-PIN dialog: every refusal of its checks (message, focus, which
// fields are emptied), the lengths that pass, each language, the ways to
// cancel, and the PINs wiped with the dialog object.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "DialogsTestSupport.h"
#include "signlib/ui/ChangePwdDlg.h"

using namespace platform::user;
using dlgtest::UiLanguage;

namespace {

std::vector<Action> typeFields(const std::u16string& oldPin, const std::u16string& newPin,
                               const std::u16string& confirmPin) {
  std::vector<Action> actions;
  if (!oldPin.empty()) actions.push_back(type(431, oldPin));
  if (!newPin.empty()) actions.push_back(type(432, newPin));
  if (!confirmPin.empty()) actions.push_back(type(433, confirmPin));
  return actions;
}

const std::u16string kCharacterRule =
    u"Input data format is not correct, the reason maybe[輸入字串錯誤,必須為英文或數字]";
const std::u16string kNewLength = u"New password length not less than 4 digits and can not be greater than 16 digits";

}  // namespace

TEST(ChangePwd, Refusals) {
  struct Case {
    const char* name;
    std::u16string oldPin, newPin, confirmPin;
    std::u16string message;
    int focus;
    size_t oldLeft, newLeft, confirmLeft;  // characters left in each field afterwards
  };
  const Case cases[] = {
      {"all empty: only the first message", u"", u"", u"", u"The Password can not be empty", 431, 0, 0, 0},
      {"new PIN empty", u"abc", u"", u"", u"New Password can naot be empty", 432, 3, 0, 0},
      {"repeated PIN empty", u"abc", u"abcd", u"", u"Confirm Password can not be empty", 433, 3, 4, 0},
      {"a hyphen in the new PIN", u"abc", u"ab-cd", u"abcd", kCharacterRule, 432, 3, 0, 4},
      {"a mark in the repeated PIN", u"abc", u"abcd", u"ab!d", kCharacterRule, 433, 3, 4, 0},
      {"a blank in the old PIN", u"a b", u"abcd", u"abcd", kCharacterRule, 431, 0, 4, 4},
      {"a Chinese character in the new PIN", u"abc", u"ab密d", u"abcd", kCharacterRule, 432, 3, 0, 4},
      {"new and repeated differ in the last digit", u"abc", u"abcd1234", u"abcd1235",
       u"The new password and the confirm password is not the same", 432, 3, 0, 0},
      {"differ only in case", u"abc", u"abcd", u"ABCD", u"The new password and the confirm password is not the same",
       432, 3, 0, 0},
      {"three characters", u"abc", u"ab1", u"ab1", kNewLength, 432, 3, 0, 0},
      {"seventeen characters", u"abc", u"a1b2c3d4e5f6g7h8i", u"a1b2c3d4e5f6g7h8i", kNewLength, 432, 3, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UiLanguage language(1033);
    CChangePwdDlg dlg;
    DialogView box, after;
    std::vector<Action> actions = typeFields(c.oldPin, c.newPin, c.confirmPin);
    actions.push_back(click(IDOK));
    actions.push_back(inspect([&](const DialogView& v) { after = v; }));
    actions.push_back(key(VK_ESCAPE));
    ScriptedUser u;
    u.expect(113, actions);
    u.expectMessageBox({inspect([&](const DialogView& v) { box = v; }), key(VK_RETURN)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_EQ(box.text, c.message);
    EXPECT_EQ(box.caption, u"PIN Change");
    EXPECT_EQ(box.messageBoxType & MB_ICONMASK, MB_ICONERROR);
    EXPECT_EQ(after.focusId, c.focus);
    EXPECT_EQ(after.control(431)->text.size(), c.oldLeft);
    EXPECT_EQ(after.control(432)->text.size(), c.newLeft);
    EXPECT_EQ(after.control(433)->text.size(), c.confirmLeft);
  }
}

TEST(ChangePwd, AcceptedEntries) {
  struct Case {
    const char* name;
    std::u16string oldPin, newPin;
  };
  const Case cases[] = {
      {"four characters", u"old1", u"ab12"},
      {"sixteen characters", u"old1", u"a1b2c3d4e5f6g7h8"},
      {"an old PIN of one character", u"x", u"New2Pin9"},
      {"a long old PIN", u"OldPin0123456789OldPin0123456789", u"ZZ99"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UiLanguage language(1033);
    CChangePwdDlg dlg;
    int focusAtStart = 0;
    std::vector<Action> actions{inspect([&](const DialogView& v) { focusAtStart = v.focusId; })};
    for (Action& a : typeFields(c.oldPin, c.newPin, c.newPin)) actions.push_back(a);
    actions.push_back(click(IDOK));
    ScriptedUser u;
    u.expect(113, actions);
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_EQ(focusAtStart, 431);
    EXPECT_EQ(dlg.oldPIN, c.oldPin);
    EXPECT_EQ(dlg.newPIN, c.newPin);
    EXPECT_EQ(dlg.confirmPIN, c.newPin);
  }
}

TEST(ChangePwd, EachLanguage) {
  struct Texts {
    LANGID language;
    const char16_t* title;
    const char16_t* caption;  // of the messages
    const char16_t* differ;
    const char16_t* labels[3];
  };
  const Texts texts[] = {
      {1028, u"修改密碼", u"修改密碼", u"新密碼與確認密碼不相同", {u"舊密碼", u"新密碼", u"確認密碼"}},
      {1033,
       u"Change PIN",
       u"PIN Change",
       u"The new password and the confirm password is not the same",
       {u"Old PIN", u"New PIN", u"Retype New PIN"}},
      {2052, u"修改密码", u"修改密码", u"新密码与确认密码不相同", {u"旧密码", u"新密码", u"确认密码"}},
  };
  for (const Texts& t : texts) {
    SCOPED_TRACE(t.language);
    UiLanguage language(t.language);
    std::string tag = std::to_string(t.language);
    CChangePwdDlg dlg;
    DialogView first, box;
    ScriptedUser u;
    u.expect(113, {inspect([&](const DialogView& v) { first = v; }), type(431, u"1111"), type(432, u"2222"),
                   type(433, u"2223"), shot(dlgtest::shotPath("change-pin-" + tag)), click(IDOK), type(432, u"2222"),
                   type(433, u"2222"), click(IDOK)});
    u.expectMessageBox({inspect([&](const DialogView& v) { box = v; }),
                        shot(dlgtest::shotPath("change-pin-differ-" + tag)), key(VK_RETURN)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_EQ(first.caption, t.title);
    std::vector<std::u16string> labels;
    for (const ControlView& c : first.controls)
      if (c.id == IDC_STATIC) labels.push_back(c.text);
    EXPECT_EQ(labels, (std::vector<std::u16string>{t.labels[0], t.labels[1], t.labels[2]}));
    EXPECT_EQ(box.caption, t.caption);
    EXPECT_EQ(box.text, t.differ);
    EXPECT_EQ(dlg.oldPIN, u"1111");
    EXPECT_EQ(dlg.newPIN, u"2222");
  }
}

TEST(ChangePwd, CancelPaths) {
  const std::pair<const char*, Action> ways[] = {
      {"Cancel button", click(IDCANCEL)}, {"Escape", key(VK_ESCAPE)}, {"close box", close()}};
  for (const auto& [name, action] : ways) {
    SCOPED_TRACE(name);
    UiLanguage language(1028);
    CChangePwdDlg dlg;
    ScriptedUser u;
    u.expect(113, {type(431, u"1111"), type(432, u"2222"), type(433, u"2222"), action});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
  }
}

TEST(ChangePwd, PinsAreWipedWithTheDialog) {
  UiLanguage language(1033);
  alignas(CChangePwdDlg) unsigned char storage[sizeof(CChangePwdDlg)];
  auto* dlg = new (storage) CChangePwdDlg;
  ScriptedUser u;
  u.expect(113, {type(431, u"Qx7"), type(432, u"Wz8Vy9"), type(433, u"Wz8Vy9"), click(IDOK)});
  u.install();
  EXPECT_EQ(dlg->DoModal(), IDOK);
  EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
  EXPECT_EQ(dlg->newPIN, u"Wz8Vy9");  // short texts live inside the object
  dlg->~CChangePwdDlg();
  std::u16string oldPin = u"Qx7", newPin = u"Wz8Vy9";
  std::string bytes(reinterpret_cast<const char*>(storage), sizeof storage);
  EXPECT_EQ(bytes.find(std::string(reinterpret_cast<const char*>(oldPin.data()), oldPin.size() * 2)),
            std::string::npos);
  EXPECT_EQ(bytes.find(std::string(reinterpret_cast<const char*>(newPin.data()), newPin.size() * 2)),
            std::string::npos);
}
