// The library's signing confirmation and token insert-and-remove dialogs on
// the signature control's ids, texts and end codes.
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DialogsTestSupport.h"
#include "FreshProcess.h"
#include "TokenHarness.h"
#include "signlib/PKCS11TokenUtil.h"
#include "signlib/ui/SignUIDlg.h"
#include "signlib/ui/TokenInOutDlg.h"

using namespace platform::user;
using dlgtest::itemText;
using dlgtest::UiLanguage;
using p11test::FakeToken;

using testsupport::inFreshProcess;

namespace {

class Recording : public CTokenInOutDlg {
 public:
  Recording() : CTokenInOutDlg(haldrinWindow()) {}
  // The signature control's window, as that control names it.
  static Resources haldrinWindow() {
    Resources r;
    r.templateId = 104;
    r.instructionId = 202;
    r.countdownId = 204;
    r.pullOut = 107;
    r.insert = 110;
    r.remainPrefix = 111;
    r.remainSuffix = 112;
    r.disconnected = 113;
    r.connected = 114;
    r.timeout = 116;
    r.timeoutCode = 99;
    r.countdownFormat = "%03d";
    r.reloadInPhase1 = false;
    return r;
  }
  std::vector<std::pair<std::u16string, std::u16string>> ticks;  // 202, 204 after each tick
  std::u16string atStart;
  BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult, DWORD id) override {
    BOOL handled = CTokenInOutDlg::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult, id);
    if (uMsg == WM_INITDIALOG) atStart = itemText(hWnd, 202);
    if (uMsg == WM_TIMER) ticks.push_back({itemText(hWnd, 202), itemText(hWnd, 204)});
    return handled;
  }
};

std::string tokens(const FakeToken& fake, int n) {
  return "printf " + std::to_string(n) + " > '" + fake.dir() + "/tokens'";
}

}  // namespace

TEST(SignatureControlDialogs, ConfirmationOnTemplate103) {
  UiLanguage language(1028);
  CSignUIDlg dlg(103, 206);
  ASSERT_TRUE(dlg.setDataText("\xE8\xBD\x89\xE5\xB8\xB3 100"));  // the thread's ANSI code page
  std::u16string shown;
  ScriptedUser u;
  u.expect(103, {inspect([&](const DialogView& v) { shown = v.control(206)->text; }), key(VK_ESCAPE)});
  u.install();
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
  EXPECT_FALSE(shown.empty());
  EXPECT_NE(shown.find(u" 100"), std::u16string::npos);
}

TEST(SignatureControlDialogs, TokenWindowOnTemplate104) {
  FakeToken fake("haldrin-inout.dll");
  inFreshProcess([&] {
    for (LANGID id : {LANGID(1028), LANGID(1033)}) {
      SCOPED_TRACE(id);
      UiLanguage language(id);
      const bool en = id == 1033;
      fake.set("tokens", "1");
      Recording dlg;
      dlg.phase = 0;
      ASSERT_EQ(loadPKCS11FunctionList("haldrin-inout.dll"), 0);
      ScriptedUser out;
      out.expect(104, {wait(1000), shot(dlgtest::shotPath("haldrin-token-out-" + std::to_string(id))),
                       exec(tokens(fake, 0)), wait(1000)});
      out.install();
      EXPECT_EQ(dlg.DoModal(), 0);
      EXPECT_TRUE(out.ok()) << dlgtest::failuresOf(out);
      EXPECT_EQ(dlg.atStart, en ? u"Please pull out the token" : u"請拔出憑證載具");
      ASSERT_EQ(dlg.ticks.size(), 2u);
      EXPECT_EQ(dlg.ticks[0].second, en ? u"Seconds remaining:060Seconds" : u"剩餘秒數:060秒");
      EXPECT_EQ(dlg.ticks[1].first, en ? u"Certificate token disconnected." : u"憑證載具連接中斷");

      // Phase 1: no load step on the ticks, so the module is asked only for its slots.
      dlg.ticks.clear();
      dlg.phase = 1;
      p11test::clearCallLog();
      ScriptedUser in;
      in.expect(104, {wait(1000), exec(tokens(fake, 1)), wait(1000)});
      in.install();
      EXPECT_EQ(dlg.DoModal(), 0);
      EXPECT_TRUE(in.ok()) << dlgtest::failuresOf(in);
      EXPECT_EQ(dlg.atStart, en ? u"Please insert the certificate token." : u"請插入憑證載具");
      ASSERT_EQ(dlg.ticks.size(), 2u);
      EXPECT_EQ(dlg.ticks[1].first, en ? u"Certificate token is connected." : u"憑證載具已連接");
      for (const std::string& call : fake.callNames())
        EXPECT_TRUE(call == "C_GetSlotList" || call == "C_GetTokenInfo" || call == "C_Initialize") << call;
    }
  });
}

TEST(SignatureControlDialogs, TimeOutEndsWith99) {
  FakeToken fake("haldrin-timeout.dll");
  inFreshProcess([&] {
    UiLanguage language(1033);
    fake.set("tokens", "2");  // two tokens never read as exactly one
    Recording dlg;
    dlg.phase = 1;
    ASSERT_EQ(loadPKCS11FunctionList("haldrin-timeout.dll"), 0);
    ScriptedUser u;
    u.expect(104, {wait(62000)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), 99);
    ASSERT_EQ(dlg.ticks.size(), 61u);
    EXPECT_EQ(dlg.ticks[59].second, u"Seconds remaining:001Seconds");
    EXPECT_EQ(dlg.ticks[60].first, u"Certificate token unplug timeout.");
  });
}
