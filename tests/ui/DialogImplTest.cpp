// The hosting kind's dialog template (platform/dialogimpl.h) on dialog 100 of
// dialogs.rc: the template id from IDD, the message map's dispatch, message
// results, a derived class in front of the map, the end of the window.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "UiTestSupport.h"
#include "platform/dialogimpl.h"

using namespace platform::user;

namespace {

constexpr UINT kAsk = 0x8001;  // WM_APP + 1, a message of our own

class MapDialog : public CDialogImpl<MapDialog> {
 public:
  enum { IDD = 100 };

  BEGIN_MSG_MAP(MapDialog)
  MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
  MESSAGE_HANDLER(kAsk, OnAsk)
  COMMAND_ID_HANDLER(103, OnOther)
  COMMAND_ID_HANDLER(IDCANCEL, OnCancel)
  MESSAGE_HANDLER(WM_COMMAND, OnAnyCommand)
  END_MSG_MAP()

  bool declineCancel = false;
  std::vector<std::string> calls;
  HWND finalWindow = nullptr;
  HWND windowAtInit = nullptr;

  LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
    calls.push_back("init");
    windowAtInit = m_hWnd;
    ::SetDlgItemTextW(m_hWnd, 101, u"from the map");
    ::SetFocus(::GetDlgItem(m_hWnd, 102));
    return 0;  // the focus stays where it was put
  }
  LRESULT OnAsk(UINT, WPARAM wParam, LPARAM, BOOL&) { return static_cast<LRESULT>(wParam * 2); }
  LRESULT OnOther(WORD, WORD wID, HWND, BOOL&) {
    calls.push_back("other");
    EndDialog(wID);
    return 0;
  }
  LRESULT OnCancel(WORD, WORD, HWND, BOOL& bHandled) {
    calls.push_back("cancel");
    if (declineCancel) {
      bHandled = FALSE;  // the entries after this one look
      return 0;
    }
    EndDialog(IDCANCEL);
    return 0;
  }
  LRESULT OnAnyCommand(UINT, WPARAM wParam, LPARAM, BOOL& bHandled) {
    if (HIWORD(wParam) != BN_CLICKED) {
      bHandled = FALSE;  // the edits' notifications
      return 0;
    }
    calls.push_back("command " + std::to_string(LOWORD(wParam)));
    if (LOWORD(wParam) == IDCANCEL) EndDialog(77);
    return 0;
  }

 protected:
  void OnFinalMessage(HWND hWnd) override {
    EXPECT_EQ(m_hWnd, nullptr);
    finalWindow = hWnd;
  }
};

// A derived class sees each message before the base's map.
class CountingDialog : public MapDialog {
 public:
  int seen = 0;
  BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                            DWORD dwMsgMapID) override {
    if (uMsg == WM_INITDIALOG) ++seen;
    return MapDialog::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult, dwMsgMapID);
  }
};

class NoTemplateDialog : public CDialogImpl<NoTemplateDialog> {
 public:
  enum { IDD = 4242 };
  BEGIN_MSG_MAP(NoTemplateDialog)
  END_MSG_MAP()
};

}  // namespace

TEST(DialogImpl, MessageMapDispatchAndResults) {
  MapDialog dlg;
  LRESULT asked = 0;
  int focusAtStart = 0;
  std::u16string nameAtStart;
  ScriptedUser u;
  u.expect(100, {inspect([&](const DialogView& v) {
                   focusAtStart = v.focusId;
                   nameAtStart = v.control(101)->text;
                   asked = ::SendMessageW(v.hwnd, kAsk, 21, 0);
                 }),
                 click(103)});
  u.install();
  EXPECT_EQ(dlg.DoModal(), 103);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  EXPECT_EQ(nameAtStart, u"from the map");
  EXPECT_EQ(focusAtStart, 102);  // WM_INITDIALOG's result is the procedure's own
  EXPECT_EQ(asked, 42);          // any other result reaches the sender
  EXPECT_EQ(dlg.calls, (std::vector<std::string>{"init", "other"}));
  EXPECT_EQ(dlg.m_hWnd, nullptr);
  EXPECT_NE(dlg.windowAtInit, nullptr);
  EXPECT_EQ(dlg.finalWindow, dlg.windowAtInit);
}

TEST(DialogImpl, DeclinedHandlerPassesToLaterEntries) {
  struct Case {
    const char* name;
    bool decline;
    INT_PTR end;
    std::vector<std::string> calls;
  };
  for (const Case& c : {Case{"taken", false, IDCANCEL, {"init", "cancel"}},
                        Case{"declined", true, 77, {"init", "cancel", "command 2"}}}) {
    SCOPED_TRACE(c.name);
    MapDialog dlg;
    dlg.declineCancel = c.decline;
    ScriptedUser u;
    u.expect(100, {key(VK_ESCAPE)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), c.end);
    EXPECT_EQ(dlg.calls, c.calls);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  }
}

TEST(DialogImpl, DerivedClassRunsBeforeTheMapAndObjectRunsAgain) {
  CountingDialog dlg;
  for (int run = 1; run <= 2; ++run) {
    ScriptedUser u;
    u.expect(100, {click(103)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), 103);
    EXPECT_EQ(dlg.seen, run);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  }
}

TEST(DialogImpl, MissingTemplate) {
  NoTemplateDialog dlg;
  ScriptedUser u;
  u.install();
  EXPECT_EQ(dlg.DoModal(), -1);
  EXPECT_TRUE(u.seen().empty());
  EXPECT_TRUE(u.ok());
}
