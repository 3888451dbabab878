// The keypads (templates 107 and 204) driven by the scripted user, who
// presses keys by the digit they show: limits and messages, Clear, Cancel,
// the "." key, the refused keyboard, and the cipher text read by the bank.
#include <set>

#include "ProtInputTestSupport.h"
#include "protinput/ProtectionDataDlg.h"
#include "protinput/RandomByte.h"

using namespace platform::user;
using namespace protdlg_test;

namespace {

std::vector<Action> pressAll(const std::u16string& digits) {
  std::vector<Action> a;
  for (char16_t c : digits) a.push_back(clickShown(std::u16string(1, c)));
  return a;
}

std::vector<Action> join(std::vector<Action> a, const std::vector<Action>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The digits the ten (eleven) keys show, from the user's view.
std::u16string keyFaces(const DialogView& v, bool dot) {
  std::u16string s;
  for (int id = 3003; id <= 3012; ++id) s += shownOf(v, id);
  if (dot) s += shownOf(v, 201);
  return s;
}

}  // namespace

TEST(Keypad, SixteenDigitsThenTheLimitConfirmAndTheBanksPlainText) {
  ProtectionDataDlg dlg;
  dlg.setTitle(u"Account PIN");
  dlg.publicKey = std::u16string(bankKey().publicBase64.begin(), bankKey().publicBase64.end());
  DialogView first;
  std::u16string pictureAt16;
  ScriptedUser u;
  u.expect(107,
           join(join({inspect([&](const DialogView& v) { first = v; })}, pressAll(u"1234567890123456")),
                {inspect([&](const DialogView& v) { pictureAt16 = shownOf(v, 1032); }), clickShown(u"7"), click(1036)}))
      .expectMessageBox(3000, {click(IDOK)});
  u.install();
  ASSERT_EQ(dlg.DoModal(), IDOK);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  // The keys show a permutation of the ten digits; never as window text.
  std::u16string faces = keyFaces(first, false);
  EXPECT_EQ(std::set<char16_t>(faces.begin(), faces.end()).size(), 10u) << narrow(faces);
  for (int id = 3003; id <= 3012; ++id) EXPECT_EQ(textOf(first, id), std::u16string(1, u'0' + (id - 3003)));
  EXPECT_EQ(shownOf(first, 1032), std::u16string(16, u' '));
  EXPECT_EQ(pictureAt16, u"1234567890123456");
  EXPECT_EQ(shownOf(first, 1034), u"");
  EXPECT_EQ(textOf(first, 1034), u"Account PIN");
  EXPECT_EQ(dlg.getPlainData(), u"1234567890123456");
  EXPECT_EQ(dlg.labels.size(), 16u * 16u);
  std::string plain;
  ASSERT_TRUE(bankDecrypt(dlg.getCipherData(), &plain));
  EXPECT_EQ(plain, "1234567890123456");
}

TEST(Keypad, ConfirmOnEmptyClearPhysicalKeysAndCancel) {
  ProtectionDataDlg dlg;
  std::u16string afterClear, afterKeys;
  ScriptedUser u;
  u.expect(107, {click(1036), clickShown(u"5"), clickShown(u"5"), click(1033),
                 inspect([&](const DialogView& v) { afterClear = shownOf(v, 1032); }), click(1036), key(VK_RETURN),
                 key(VK_ESCAPE), key("4"), key(VK_TAB), key(VK_F4, kAlt),
                 inspect([&](const DialogView& v) { afterKeys = shownOf(v, 1032); }), click(IDCANCEL)})
      .expectMessageBox(3001, {click(IDOK)})
      .expectMessageBox(3001, {click(IDOK)})
      .expectMessageBox(3002, {click(IDOK)})
      .expectMessageBox(3002, {click(IDOK)})
      .expectMessageBox(3002, {click(IDOK)})
      .expectMessageBox(3002, {click(IDOK)})
      .expectMessageBox(3002, {click(IDOK)})
      .expectMessageBox(3002, {click(IDOK)});  // Alt and F4: two key-downs
  u.install();
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  EXPECT_EQ(afterClear, std::u16string(16, u' '));
  EXPECT_EQ(afterKeys, std::u16string(16, u' '));  // no key reached a control
  EXPECT_TRUE(dlg.labels.empty());
  // After Clear sixteen more are accepted; the same key twice gives the same label twice.
  ProtectionDataDlg again;
  ScriptedUser v;
  v.expect(107, join(join(pressAll(u"999"), {click(1033)}), join(pressAll(u"8888888888888888"), {click(1036)})));
  v.install();
  ASSERT_EQ(again.DoModal(), IDOK);
  EXPECT_TRUE(v.ok()) << testing::PrintToString(v.failures());
  EXPECT_EQ(again.getPlainData(), u"8888888888888888");
  EXPECT_EQ(again.labels.substr(0, 16), again.labels.substr(16, 16));
  EXPECT_EQ(again.getCipherData(), u"");  // no public key: no cipher text, the digits all the same
}

TEST(Keypad, DotKeyOncePerEntry) {
  ProtectionDataDlg2 dlg;
  dlg.publicKey = std::u16string(bankKey().publicBase64.begin(), bankKey().publicBase64.end());
  DialogView pressed, cleared;
  ScriptedUser u;
  u.expect(204, {clickShown(u"1"), clickShown(u"."), clickShown(u"."), clickShown(u"5"),
                 inspect([&](const DialogView& v) { pressed = v; }), click(1033),
                 inspect([&](const DialogView& v) { cleared = v; }), clickShown(u"3"), clickShown(u"."),
                 clickShown(u"2"), click(1036)});
  u.install();
  ASSERT_EQ(dlg.DoModal(), IDOK);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  EXPECT_EQ(shownOf(pressed, 1032).substr(0, 4), u"1.5 ");
  EXPECT_FALSE(pressed.control(201)->enabled);
  EXPECT_EQ(shownOf(pressed, 201), u".");
  EXPECT_TRUE(cleared.control(201)->enabled);
  EXPECT_EQ(dlg.getPlainData(), u"3.2");
  std::string plain;
  ASSERT_TRUE(bankDecrypt(dlg.getCipherData(), &plain));
  EXPECT_EQ(plain, "3.2");

  // "." when sixteen characters stand: 3000, and the key is disabled all the same.
  ProtectionDataDlg2 full;
  DialogView after;
  ScriptedUser w;
  w.expect(204, join(pressAll(u"0123456789012345"),
                     {clickShown(u"."), inspect([&](const DialogView& v) { after = v; }), click(1036)}))
      .expectMessageBox(3000, {click(IDOK)});
  w.install();
  ASSERT_EQ(full.DoModal(), IDOK);
  EXPECT_TRUE(w.ok()) << testing::PrintToString(w.failures());
  EXPECT_FALSE(after.control(201)->enabled);
  EXPECT_EQ(full.getPlainData(), u"0123456789012345");
}

TEST(Keypad, TwoRunsShowDifferentLayouts) {
  std::set<std::u16string> layouts;
  for (int run = 0; run < 4; ++run) {
    ProtectionDataDlg dlg;
    ScriptedUser u;
    u.expect(107, {inspect([&](const DialogView& v) { layouts.insert(keyFaces(v, false)); }), click(IDCANCEL)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  }
  // Four runs with the same layout would happen once in 10!^3 runs.
  EXPECT_GT(layouts.size(), 1u);
}

TEST(Keypad, FailingRandomSourceRefuses) {
  FailingRandomSource failing;
  ScopedRandomSource scoped(&failing);
  for (bool dot : {false, true}) {
    SCOPED_TRACE(dot);
    ScriptedUser u;  // expects nothing: no dialog may show
    u.install();
    std::unique_ptr<ProtectionDataDlg> dlg(dot ? new ProtectionDataDlg2 : new ProtectionDataDlg);
    EXPECT_EQ(dlg->DoModal(), ProtectionDataDlg::kRefused);
    EXPECT_EQ(dlg->refusal, 99);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
    EXPECT_EQ(dlg->getPlainData(), u"");
  }
}
