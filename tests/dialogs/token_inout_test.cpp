// The token insert-and-remove window against the fake token module: the
// token pulled out and put back in as the openers run it, the countdown on
// the headless clock, the time-out, and the keys and close command. The token
// probe keeps its first module for the whole process, so each scenario runs
// in a child process of its own.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "DialogsTestSupport.h"
#include "FreshProcess.h"
#include "TokenHarness.h"
#include "signlib/PKCS11TokenUtil.h"
#include "signlib/ResultCode.h"
#include "signlib/ui/TokenInOutDlg.h"

using namespace platform::user;
using dlgtest::itemText;
using dlgtest::UiLanguage;
using p11test::FakeToken;

using testsupport::inFreshProcess;

namespace {

// Notes what the window shows after each tick, and when the tick ended.
class RecordingInOutDlg : public CTokenInOutDlg {
 public:
  struct Tick {
    std::u16string instruction;
    std::u16string countdown;
    DWORD endedAt;
  };
  std::vector<Tick> ticks;
  std::u16string instructionAtStart;
  DWORD openedAt = 0;

  BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                            DWORD dwMsgMapID) override {
    BOOL handled = CTokenInOutDlg::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult, dwMsgMapID);
    if (uMsg == WM_INITDIALOG) {
      instructionAtStart = itemText(hWnd, kInstructionId);
      openedAt = GetTickCount();
    }
    if (uMsg == WM_TIMER)
      ticks.push_back({itemText(hWnd, kInstructionId), itemText(hWnd, kCountdownId), GetTickCount()});
    return handled;
  }
};

std::string tokensCommand(const FakeToken& fake, int count) {
  return "printf " + std::to_string(count) + " > '" + fake.dir() + "/tokens'";
}

// The probe step the openers take before the first run.
void probe(CTokenInOutDlg& dlg, const char* module) {
  ASSERT_EQ(0, loadPKCS11FunctionList(dlg.moduleName, sizeof dlg.moduleName, module));
  ASSERT_STREQ(dlg.moduleName, module);
}

struct InOutTexts {
  LANGID language;
  const char16_t* pullOut;
  const char16_t* insert;
  const char16_t* remain60;
  const char16_t* remain59;
  const char16_t* disconnected;
  const char16_t* connected;
};
const InOutTexts kTexts[] = {
    {1028, u"請拔出憑證載具", u"請插入憑證載具", u"剩餘秒數:  060 秒", u"剩餘秒數:  059 秒", u"憑證載具連接中斷",
     u"憑證載具已連接"},
    {1033, u"Please pull out the USB TOKEN", u"Please insert the USB TOKEN.", u"Time remain: 060 Seconds",
     u"Time remain: 059 Seconds", u"USB TOKEN is disconnected.", u"USB TOKEN is connected."},
    {2052, u"请拔出证书载具", u"请插入证书载具", u"剩余秒数:  060 秒", u"剩余秒数:  059 秒", u"证书载具连接中断",
     u"证书载具已连接"},
};

}  // namespace

TEST(TokenInOut, PulledOutThenInsertedInEachLanguage) {
  FakeToken fake("inout.dll");
  inFreshProcess([&] {
    for (const InOutTexts& t : kTexts) {
      SCOPED_TRACE(t.language);
      std::string tag = std::to_string(t.language);
      UiLanguage language(t.language);
      fake.set("tokens", "1");
      RecordingInOutDlg dlg;
      dlg.countdown = 60;
      dlg.phase = 0;
      probe(dlg, "inout.dll");

      ScriptedUser out;
      out.expect(107,
                 {wait(1000), shot(dlgtest::shotPath("token-out-" + tag)), exec(tokensCommand(fake, 0)), wait(1000)});
      out.install();
      EXPECT_EQ(dlg.DoModal(), 0);
      EXPECT_TRUE(out.ok()) << dlgtest::failuresOf(out);
      EXPECT_EQ(dlg.instructionAtStart, t.pullOut);
      ASSERT_EQ(dlg.ticks.size(), 2u);
      EXPECT_EQ(dlg.ticks[0].instruction, t.pullOut);
      EXPECT_EQ(dlg.ticks[0].countdown, t.remain60);
      EXPECT_EQ(dlg.ticks[1].instruction, t.disconnected);
      EXPECT_EQ(dlg.ticks[1].countdown, t.remain59);

      // The second run on the same object: the countdown starts again.
      dlg.ticks.clear();
      dlg.phase = 1;
      ScriptedUser in;
      in.expect(107,
                {wait(1000), shot(dlgtest::shotPath("token-in-" + tag)), exec(tokensCommand(fake, 1)), wait(1000)});
      in.install();
      EXPECT_EQ(dlg.DoModal(), 0);
      EXPECT_TRUE(in.ok()) << dlgtest::failuresOf(in);
      EXPECT_EQ(dlg.instructionAtStart, t.insert);
      ASSERT_EQ(dlg.ticks.size(), 2u);
      EXPECT_EQ(dlg.ticks[0].instruction, t.insert);
      EXPECT_EQ(dlg.ticks[0].countdown, t.remain60);
      EXPECT_EQ(dlg.ticks[1].instruction, t.connected);
      EXPECT_STREQ(dlg.moduleName, "inout.dll");
    }
  });
}

TEST(TokenInOut, TokenAlreadyOutEndsOnTheFirstTick) {
  FakeToken fake("inout.dll");
  inFreshProcess([&] {
    UiLanguage language(1033);
    RecordingInOutDlg dlg;
    probe(dlg, "inout.dll");
    fake.set("tokens", "0");
    ScriptedUser u;
    u.expect(107, {wait(1000)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), 0);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    ASSERT_EQ(dlg.ticks.size(), 1u);
    EXPECT_EQ(dlg.ticks[0].countdown, u"Time remain: 060 Seconds");
    EXPECT_EQ(dlg.ticks[0].instruction, u"USB TOKEN is disconnected.");
    // One second to the tick, one second showing the final state.
    EXPECT_EQ(dlg.ticks[0].endedAt - dlg.openedAt, 2000u);
  });
}

TEST(TokenInOut, CountdownRunsOut) {
  FakeToken fake("inout.dll");
  struct Case {
    const char* name;
    int phase;
    const char* tokens;
    const char16_t* instruction;  // shown while waiting
  };
  const Case cases[] = {
      {"two tokens never make exactly one", 1, "2", u"Please insert the USB TOKEN."},
      {"the token stays in", 0, "1", u"Please pull out the USB TOKEN"},
      {"a phase of its own shows no instruction", 2, "1", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    inFreshProcess([&] {
      UiLanguage language(1033);
      fake.set("tokens", "1");
      RecordingInOutDlg dlg;
      probe(dlg, "inout.dll");
      fake.set("tokens", c.tokens);
      dlg.phase = c.phase;
      ScriptedUser u;
      u.expect(107, {wait(70000)});
      u.install();
      EXPECT_EQ(dlg.DoModal(), rc::TOKEN_UNPLUG_TIMEOUT);
      EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
      EXPECT_EQ(dlg.instructionAtStart, c.instruction);
      ASSERT_EQ(dlg.ticks.size(), 61u);  // 060 down to 001, then the time-out
      for (int i = 0; i < 60; ++i) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "Time remain: %03d Seconds", 60 - i);
        EXPECT_EQ(dlg.ticks[i].countdown,
                  std::u16string(expected, expected + std::char_traits<char>::length(expected)));
        EXPECT_EQ(dlg.ticks[i].instruction, c.instruction);
      }
      EXPECT_EQ(dlg.ticks[60].instruction, u"USB TOKEN unplug timeout.");
      EXPECT_EQ(dlg.ticks[60].countdown, u"Time remain: 001 Seconds");
      EXPECT_EQ(dlg.ticks[60].endedAt - dlg.openedAt, 62000u);
    });
  }
}

TEST(TokenInOut, KeysDoNothingAndClosingCancels) {
  FakeToken fake("inout.dll");
  inFreshProcess([&] {
    UiLanguage language(2052);
    RecordingInOutDlg dlg;
    probe(dlg, "inout.dll");
    bool stillOpen = false;
    ScriptedUser u;
    u.expect(107, {key(VK_ESCAPE), key(VK_RETURN), wait(1000),
                   inspect([&](const DialogView& v) { stillOpen = IsWindow(v.hwnd) != FALSE; }), close()});
    u.install();
    // Closed by the user: "cancelled", never the 0 that means the token moved.
    EXPECT_EQ(dlg.DoModal(), rc::USER_CANCEL);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(dlg.ticks.size(), 1u);
  });
}
