// The signing confirmation dialog: the text shown as given, Enter signs,
// Escape and the close command cancel, the text cannot be changed and
// scrolls, text in a Chinese ANSI code page.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "DialogsTestSupport.h"
#include "signlib/ui/SignUIDlg.h"

using namespace platform::user;
using dlgtest::UiLanguage;

TEST(SignUI, ShowsTheTextAndSignsInEachLanguage) {
  struct Texts {
    LANGID language;
    const char16_t* caption;
    const char16_t* label;
    const char16_t* sign;
    const char16_t* cancel;
  };
  const Texts texts[] = {
      {1028, u"簽章確認", u"確認簽章內容", u"簽章", u"取消"},
      {1033, u"Signature Verify", u"Signature Confirm", u"Sign", u"Cancel"},
      {2052, u"签章确认", u"确认签章内容", u"签章", u"取消"},
  };
  for (const Texts& t : texts) {
    SCOPED_TRACE(t.language);
    UiLanguage language(t.language);
    CSignUIDlg dlg;
    ASSERT_TRUE(dlg.setDataText("Transfer 1000 to 0012-345-678\r\nDate 2024/05/01\r\nRef. 42"));
    DialogView seen;
    ScriptedUser u;
    u.expect(106, {inspect([&](const DialogView& v) { seen = v; }),
                   shot(dlgtest::shotPath("sign-confirm-" + std::to_string(t.language))), key(VK_RETURN)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_EQ(seen.caption, t.caption);
    EXPECT_EQ(seen.control(IDOK)->text, t.sign);
    EXPECT_EQ(seen.control(IDCANCEL)->text, t.cancel);
    EXPECT_EQ(seen.control(IDC_STATIC)->text, t.label);
    EXPECT_EQ(seen.control(352)->text, u"Transfer 1000 to 0012-345-678\r\nDate 2024/05/01\r\nRef. 42");
    EXPECT_EQ(seen.focusId, IDOK);
  }
}

TEST(SignUI, CancelPaths) {
  const std::pair<const char*, Action> ways[] = {
      {"Cancel button", click(IDCANCEL)}, {"Escape", key(VK_ESCAPE)}, {"close command", close()}};
  for (const auto& [name, action] : ways) {
    SCOPED_TRACE(name);
    UiLanguage language(1033);
    CSignUIDlg dlg;
    dlg.setDataText("data");
    ScriptedUser u;
    u.expect(106, {action});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
  }
}

TEST(SignUI, TextCannotBeChangedAndScrolls) {
  UiLanguage language(1033);
  std::string longText;
  for (int i = 1; i <= 200; ++i)
    longText += "line " + std::to_string(i) + " of the data to be signed, long enough to scroll sideways\r\n";
  CSignUIDlg dlg;
  dlg.setDataText(longText.c_str());
  std::u16string after;
  int firstLine = -1;
  ScriptedUser u;
  u.expect(106, {type(352, u"tampered"), key(VK_DELETE), paste(352, u"pasted"), key(VK_END, kCtrl),
                 inspect([&](const DialogView& v) {
                   after = v.control(352)->text;
                   firstLine = static_cast<int>(SendDlgItemMessageW(v.hwnd, 352, EM_GETFIRSTVISIBLELINE, 0, 0));
                 }),
                 click(IDOK)});
  u.install();
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
  EXPECT_EQ(after, std::u16string(longText.begin(), longText.end()));
  EXPECT_GT(firstLine, 150);
}

TEST(SignUI, ChineseTextInTheAnsiCodePage) {
  struct Case {
    const char* lang;
    UINT codePage;
  };
  const Case cases[] = {{"zh_TW.BIG5", 950}, {"zh_CN.GBK", 936}, {"zh_TW.UTF-8", 65001}};
  // The ANSI code page comes from the environment: LANG alone decides here.
  const char* const names[] = {"LANG", "LC_ALL", "LC_CTYPE"};
  std::vector<std::pair<std::string, std::string>> saved;
  for (const char* name : names) {
    if (const char* value = std::getenv(name)) saved.emplace_back(name, value);
    unsetenv(name);
  }
  const std::u16string shown = u"轉帳金額：1000元\r\n收款人：王小明";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lang);
    setenv("LANG", c.lang, 1);
    PlatformResetLocale();
    ASSERT_EQ(GetACP(), c.codePage);
    char bytes[256] = {};
    ASSERT_GT(WideCharToMultiByte(c.codePage, 0, shown.c_str(), -1, bytes, sizeof bytes, nullptr, nullptr), 0);
    UiLanguage language(1028);
    CSignUIDlg dlg;
    dlg.setDataText(bytes);
    std::u16string seen;
    ScriptedUser u;
    u.expect(106, {inspect([&](const DialogView& v) { seen = v.control(352)->text; }), key(VK_ESCAPE)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(seen, shown);
  }
  unsetenv("LANG");
  for (const auto& [name, value] : saved) setenv(name.c_str(), value.c_str(), 1);
  PlatformResetLocale();
}

TEST(SignUI, MissingTemplateIsNoAnswer) {
  // A module without the dialog's resources: neither Sign nor Cancel.
  HINSTANCE previous = AfxGetResourceHandle();
  AfxSetResourceHandle(GetModuleHandleW(u"kernel32.dll"));
  CSignUIDlg dlg;
  ScriptedUser u;
  u.install();
  EXPECT_EQ(dlg.DoModal(), -1);
  EXPECT_TRUE(u.seen().empty());
  AfxSetResourceHandle(previous);
}
