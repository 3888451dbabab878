// The dialog manager and the scripted user, driven over the small templates
// of dialogs.rc: navigation keys, default buttons, Escape and close, edit
// notifications, list selection, message boxes, timers on the clock,
// pre-translate hooks, and the user's failure paths.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "UiTestSupport.h"

using namespace platform::user;

namespace {

// Records what a test dialog receives; ends the dialog on a click unless told not to.
struct Record {
  std::vector<int> commands;
  std::map<int, int> updates;
  std::map<int, int> changes;
  std::map<int, int> maxText;
  std::vector<std::string> events;
  int itemChanged = 0;
  bool endOnCommand = true;
  BOOL initResult = TRUE;  // what WM_INITDIALOG returns
  std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> extra;
};

INT_PTR CALLBACK recordProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  auto* r = reinterpret_cast<Record*>(GetWindowLongPtrW(h, DWLP_USER));
  if (m == WM_INITDIALOG) {
    SetWindowLongPtrW(h, DWLP_USER, l);
    r = reinterpret_cast<Record*>(l);
    r->events.push_back("init");
  }
  if (r == nullptr) return FALSE;
  if (r->extra) {
    if (INT_PTR x = r->extra(h, m, w, l)) return x;
  }
  switch (m) {
    case WM_INITDIALOG: return r->initResult;
    case WM_SHOWWINDOW: r->events.push_back(w ? "show" : "hide"); return FALSE;
    case WM_NOTIFY:
      if (reinterpret_cast<NMHDR*>(l)->code == LVN_ITEMCHANGED) r->itemChanged++;
      return FALSE;
    case WM_COMMAND: {
      int id = LOWORD(w), code = HIWORD(w);
      if (code == EN_UPDATE)
        r->updates[id]++;
      else if (code == EN_CHANGE)
        r->changes[id]++;
      else if (code == EN_MAXTEXT)
        r->maxText[id]++;
      else if (code == BN_CLICKED) {
        r->commands.push_back(id);
        if (r->endOnCommand) EndDialog(h, id);
        return TRUE;
      }
      return FALSE;
    }
    default: return FALSE;
  }
}

INT_PTR runDialog(int id, Record& r) {
  return DialogBoxParamW(nullptr, MAKEINTRESOURCEW(id), nullptr, recordProc, reinterpret_cast<LPARAM>(&r));
}

std::vector<Action> keys(int vk, int times, unsigned mods = 0) { return std::vector<Action>(times, key(vk, mods)); }

std::vector<Action> operator+(std::vector<Action> a, const std::vector<Action>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST(DialogManager, InitDialogComesBeforeShowAndFocusStartsOnFirstTabStop) {
  Record r;
  int focus = -1;
  ScriptedUser u;
  u.expect(100, {inspect([&](const DialogView& v) { focus = v.focusId; }), key(VK_ESCAPE)});
  u.install();
  EXPECT_EQ(runDialog(100, r), IDCANCEL);
  ASSERT_GE(r.events.size(), 2u);
  EXPECT_EQ(r.events[0], "init");
  EXPECT_EQ(r.events[1], "show");
  EXPECT_EQ(focus, 101);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  ASSERT_EQ(u.seen().size(), 1u);
  EXPECT_EQ(u.seen()[0].templateId, 100);
  EXPECT_EQ(u.seen()[0].caption, u"Navigation");
}

TEST(DialogManager, NavigationKeys) {
  struct Case {
    const char* name;
    std::vector<Action> keys;
    int focus;
    int defaultLook;  // the push button drawn as the default one
  };
  const Case cases[] = {
      {"tab", keys(VK_TAB, 1), 102, IDOK},
      {"tab to the first button", keys(VK_TAB, 2), IDOK, IDOK},
      {"tab to a button takes the default look", keys(VK_TAB, 3), IDCANCEL, IDCANCEL},
      {"tab wraps round and passes the disabled button", keys(VK_TAB, 5), 101, IDOK},
      {"shift tab from the first goes to the last enabled", keys(VK_TAB, 1, kShift), 103, 103},
      {"shift tab twice", keys(VK_TAB, 2, kShift), IDCANCEL, IDCANCEL},
      {"arrow right among the buttons", keys(VK_TAB, 2) + keys(VK_RIGHT, 1), IDCANCEL, IDCANCEL},
      {"arrow left passes the label", keys(VK_TAB, 2) + keys(VK_LEFT, 1), 102, IDOK},
      {"an edit keeps its arrows", keys(VK_RIGHT, 2), 101, IDOK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Record r;
    int focus = -1, look = -1;
    ScriptedUser u;
    u.expect(100, c.keys + std::vector<Action>{inspect([&](const DialogView& v) {
                                                 focus = v.focusId;
                                                 for (const auto& ctl : v.controls)
                                                   if (ctl.className == u"Button" &&
                                                       (ctl.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
                                                     look = ctl.id;
                                               }),
                                               click(IDCANCEL)});
    u.install();
    EXPECT_EQ(runDialog(100, r), IDCANCEL);
    EXPECT_EQ(focus, c.focus);
    EXPECT_EQ(look, c.defaultLook);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  }
}

TEST(DialogManager, EnterEscapeAndClose) {
  struct Case {
    const char* name;
    int dialog;
    std::vector<Action> actions;
    std::vector<int> commands;
    INT_PTR result;
    std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> extra;
    bool endOnCommand = true;
  };
  const Case cases[] = {
      {"enter in an edit sends the default button", 100, {type(101, u"x"), key(VK_RETURN)}, {IDOK}, IDOK, nullptr},
      {"enter on a focused push button sends it", 100, keys(VK_TAB, 4) + keys(VK_RETURN, 1), {103}, 103, nullptr},
      {"enter on the cancel button sends IDCANCEL",
       100,
       keys(VK_TAB, 3) + keys(VK_RETURN, 1),
       {IDCANCEL},
       IDCANCEL,
       nullptr},
      {"enter without a default button sends IDOK", 110, {key(VK_RETURN)}, {IDOK}, IDOK, nullptr},
      {"space clicks the focused button", 100, keys(VK_TAB, 4) + keys(VK_SPACE, 1), {103}, 103, nullptr},
      {"escape sends IDCANCEL", 100, {key(VK_ESCAPE)}, {IDCANCEL}, IDCANCEL, nullptr},
      {"the close box sends IDCANCEL", 100, {close()}, {IDCANCEL}, IDCANCEL, nullptr},
      {"Alt+F4 closes a window without a close box", 110, {close()}, {IDCANCEL}, IDCANCEL, nullptr},
      {"the dialog decides about escape",
       100,
       {key(VK_ESCAPE), click(IDOK)},
       {IDCANCEL, IDOK},
       IDOK,
       [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return 0; },
       false},
      {"a dialog that handles WM_CLOSE keeps it",
       100,
       {close()},
       {},
       77,
       [](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
         if (m != WM_CLOSE) return FALSE;
         EndDialog(h, 77);
         return TRUE;
       }},
      {"DM_SETDEFID moves the default",
       100,
       {key(VK_RETURN)},
       {103},
       103,
       [](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
         if (m == WM_INITDIALOG) SendMessageW(h, DM_SETDEFID, 103, 0);
         return FALSE;
       }},
      {"a disabled default button takes no enter",
       100,
       {key(VK_RETURN), key(VK_ESCAPE)},
       {IDCANCEL},
       IDCANCEL,
       [](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
         if (m == WM_INITDIALOG) SendMessageW(h, DM_SETDEFID, 104, 0);
         return FALSE;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Record r;
    r.extra = c.extra;
    r.endOnCommand = c.endOnCommand;
    if (!c.endOnCommand) {
      // Ends on IDOK only: IDCANCEL is looked at and ignored.
      r.extra = [&r](HWND h, UINT m, WPARAM w, LPARAM) -> INT_PTR {
        if (m == WM_COMMAND && HIWORD(w) == BN_CLICKED) {
          r.commands.push_back(LOWORD(w));
          if (LOWORD(w) == IDOK) EndDialog(h, IDOK);
          return TRUE;
        }
        return FALSE;
      };
    }
    ScriptedUser u;
    u.expect(c.dialog, c.actions);
    u.install();
    EXPECT_EQ(runDialog(c.dialog, r), c.result);
    EXPECT_EQ(r.commands, c.commands);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  }
}

TEST(DialogManager, EditUpdateNotices) {
  struct Case {
    const char* name;
    std::vector<Action> actions;
    int updates;
    int changes;
    std::u16string text;
    std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> extra;
    int maxText = 0;
  };
  auto setText = [](const char16_t* t) {
    return inspect([t](const DialogView& v) { SetDlgItemTextW(v.hwnd, 101, t); });
  };
  const Case cases[] = {
      {"one update per typed character", {type(101, u"abc")}, 3, 3, u"abc", nullptr},
      {"one update for a whole paste", {paste(101, u"hello")}, 1, 1, u"hello", nullptr},
      {"one update for WM_SETTEXT", {setText(u"set")}, 1, 1, u"set", nullptr},
      {"backspace is one change", {type(101, u"ab"), key(VK_BACK)}, 3, 3, u"a", nullptr},
      {"typing replaces the selection",
       {setText(u"hello"), inspect([](const DialogView& v) { SendDlgItemMessageW(v.hwnd, 101, EM_SETSEL, 1, 4); }),
        type(101, u"x")},
       2,
       2,
       u"hxo",
       nullptr},
      {"a paste keeps the first line of a single-line edit", {paste(101, u"one\r\ntwo")}, 1, 1, u"one", nullptr},
      {"Chinese characters are typed as packets", {type(101, u"中文")}, 2, 2, u"中文", nullptr},
      {"the limit refuses the rest",
       {type(101, u"abc")},
       2,
       2,
       u"ab",
       [](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
         if (m == WM_INITDIALOG) SendDlgItemMessageW(h, 101, EM_LIMITTEXT, 2, 0);
         return FALSE;
       },
       1},
      {"a paste over the limit is cut",
       {paste(101, u"abcdef")},
       1,
       1,
       u"abcd",
       [](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
         if (m == WM_INITDIALOG) SendDlgItemMessageW(h, 101, EM_LIMITTEXT, 4, 0);
         return FALSE;
       },
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Record r;
    r.extra = c.extra;
    std::u16string text;
    ScriptedUser u;
    u.expect(100, c.actions + std::vector<Action>{inspect([&](const DialogView& v) { text = v.control(101)->text; }),
                                                  key(VK_ESCAPE)});
    u.install();
    EXPECT_EQ(runDialog(100, r), IDCANCEL);
    EXPECT_EQ(r.updates[101], c.updates);
    EXPECT_EQ(r.changes[101], c.changes);
    EXPECT_EQ(r.maxText[101], c.maxText);
    EXPECT_EQ(text, c.text);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  }
}

// A handler that puts the text back when it grows past a limit: setting the
// text raises EN_UPDATE once more, which must accept it and end there.
TEST(DialogManager, UpdateHandlerThatRestoresTheText) {
  Record r;
  std::u16string accepted;
  int calls = 0;
  r.extra = [&](HWND h, UINT m, WPARAM w, LPARAM) -> INT_PTR {
    if (m != WM_COMMAND || LOWORD(w) != 102 || HIWORD(w) != EN_UPDATE) return FALSE;
    ++calls;
    WCHAR buf[24];
    GetDlgItemTextW(h, 102, buf, 24);
    std::u16string now(buf);
    if (now.size() > 3) {
      SetDlgItemTextW(h, 102, accepted.c_str());
      MessageBeep(0xFFFFFFFF);
    } else {
      accepted = now;
    }
    return FALSE;
  };
  PlatformBeeps(nullptr, 0, TRUE);
  std::u16string shown, real;
  ScriptedUser u;
  u.expect(100, {type(102, u"abcd"), inspect([&](const DialogView& v) {
                   shown = v.control(102)->text;
                   WCHAR buf[24];
                   GetDlgItemTextW(v.hwnd, 102, buf, 24);
                   real = buf;
                 }),
                 key(VK_ESCAPE)});
  u.install();
  EXPECT_EQ(runDialog(100, r), IDCANCEL);
  EXPECT_EQ(real, u"abc");
  EXPECT_EQ(shown, u"***");
  EXPECT_EQ(calls, 5);  // four keystrokes and the restoring WM_SETTEXT
  UINT beep = 0;
  EXPECT_EQ(PlatformBeeps(&beep, 1, TRUE), 1u);
  EXPECT_EQ(beep, 0xFFFFFFFFu);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
}

TEST(DialogManager, CapsLockShapesTypedLetters) {
  Record r;
  std::u16string text;
  BYTE state[256] = {};
  ScriptedUser u;
  u.expect(100, {capsLock(true), type(101, u"aB1"), inspect([&](const DialogView& v) {
                   text = v.control(101)->text;
                   GetKeyboardState(state);
                 }),
                 capsLock(false), key(VK_ESCAPE)});
  u.install();
  EXPECT_EQ(runDialog(100, r), IDCANCEL);
  EXPECT_EQ(text, u"aB1");
  EXPECT_NE(state[VK_CAPITAL] & 1, 0);
  EXPECT_EQ(GetKeyState(VK_CAPITAL) & 1, 0);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
}

namespace {

const char16_t* const kRows[][3] = {
    {u"王小明", u"測試憑證中心", u"01A2"},       {u"陳大華", u"測試憑證中心", u"01A3"},
    {u"林美玲(已過期)", u"測試根憑證", u"0FFE"}, {u"Alice Example", u"Test CA", u"1000"},
    {u"张伟", u"测试证书中心", u"1001"},
};

void fillList(HWND dlg, bool single) {
  HWND list = GetDlgItem(dlg, 121);
  if (single) SetWindowLongW(list, GWL_STYLE, GetWindowLongW(list, GWL_STYLE) | LVS_SINGLESEL);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  const char16_t* heads[] = {u"發給", u"發行者", u"憑證序號"};
  for (int i = 0; i < 3; ++i) {
    LVCOLUMNW c{
        LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM, LVCFMT_LEFT, 110, const_cast<LPWSTR>(heads[i]), 0, i, 0, 0};
    SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&c));
  }
  for (int i = 0; i < 5; ++i) {
    LVITEMW it{};
    it.mask = LVIF_TEXT;
    it.iItem = i;
    it.pszText = const_cast<LPWSTR>(kRows[i][0]);
    int at = static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&it)));
    for (int s = 1; s < 3; ++s) {
      LVITEMW sub{};
      sub.iSubItem = s;
      sub.pszText = const_cast<LPWSTR>(kRows[i][s]);
      SendMessageW(list, LVM_SETITEMTEXTW, at, reinterpret_cast<LPARAM>(&sub));
    }
  }
}

std::vector<int> selectedByMessages(HWND list) {
  std::vector<int> out;
  for (int i = -1; (i = static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, i, LVNI_SELECTED))) >= 0;)
    out.push_back(i);
  EXPECT_EQ(static_cast<size_t>(SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0)), out.size());
  return out;
}

}  // namespace

TEST(ListView, SelectionRules) {
  struct Case {
    const char* name;
    bool single;
    std::vector<Action> actions;
    std::vector<int> selected;
  };
  const Case cases[] = {
      {"one row", false, {select(121, {2})}, {2}},
      {"Ctrl adds rows", false, {select(121, {1, 3})}, {1, 3}},
      {"a plain click starts over", false, {select(121, {1, 3}), select(121, {4})}, {4}},
      {"Shift extends from the mark", false, {select(121, {1}), key(VK_DOWN, kShift), key(VK_DOWN, kShift)}, {1, 2, 3}},
      {"an arrow moves the selection", false, {select(121, {3}), key(VK_UP)}, {2}},
      {"Ctrl+Space toggles the focused row", false, {select(121, {1, 2}), key(VK_SPACE, kCtrl)}, {1}},
      {"an empty selection clears all", false, {select(121, {0, 1}), select(121, {})}, {}},
      {"single selection keeps the last", true, {select(121, {1, 3})}, {3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Record r;
    bool single = c.single;
    r.extra = [single](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
      if (m == WM_INITDIALOG) fillList(h, single);
      return FALSE;
    };
    std::vector<int> viewed, messaged;
    ScriptedUser u;
    u.expect(120, c.actions + std::vector<Action>{inspect([&](const DialogView& v) {
                                                    viewed = v.control(121)->selectedRows;
                                                    messaged = selectedByMessages(GetDlgItem(v.hwnd, 121));
                                                  }),
                                                  click(IDCANCEL)});
    u.install();
    EXPECT_EQ(runDialog(120, r), IDCANCEL);
    EXPECT_EQ(viewed, c.selected);
    EXPECT_EQ(messaged, c.selected);
    EXPECT_GT(r.itemChanged, 0);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  }
}

TEST(ListView, RowsAsTheUserSeesThem) {
  Record r;
  r.extra = [](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
    if (m == WM_INITDIALOG) fillList(h, false);
    return FALSE;
  };
  ScriptedUser u;
  u.expect(120, {select(121, {0}), shot(buildPath("ui-list-chinese.png")), key(VK_RETURN)});
  u.install();
  EXPECT_EQ(runDialog(120, r), IDOK);
  ASSERT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  const ControlView* list = u.seen()[0].control(121);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->rows.size(), 5u);
  EXPECT_EQ(list->rows[2][0], u"林美玲(已過期)");
  EXPECT_EQ(list->rows[4][1], u"测试证书中心");
  EXPECT_EQ(u.seen()[0].caption, u"選擇憑證");
}

TEST(MessageBox, NestedInADialog) {
  Record r;
  int boxResult = 0;
  bool ownerEnabledDuringBox = true;
  int focusAfterBox = 0;
  r.endOnCommand = false;
  r.extra = [&](HWND h, UINT m, WPARAM w, LPARAM) -> INT_PTR {
    if (m != WM_COMMAND || HIWORD(w) != BN_CLICKED) return FALSE;
    if (LOWORD(w) == 103) boxResult = MessageBoxW(h, u"Nested question", u"Info", MB_OKCANCEL | MB_ICONQUESTION);
    if (LOWORD(w) == IDOK) EndDialog(h, IDOK);
    return TRUE;
  };
  ScriptedUser u;
  u.expect(100, {click(103), inspect([&](const DialogView& v) { focusAfterBox = v.focusId; }), type(101, u"x"),
                 click(IDOK)});
  u.expectMessageBox({inspect([&](const DialogView& v) {
                        HWND owner = GetParent(v.hwnd);
                        ownerEnabledDuringBox = IsWindowEnabled(owner) != FALSE;
                      }),
                      click(IDCANCEL)});
  u.install();
  EXPECT_EQ(runDialog(100, r), IDOK);
  EXPECT_EQ(boxResult, IDCANCEL);
  EXPECT_FALSE(ownerEnabledDuringBox);
  EXPECT_EQ(focusAfterBox, 103);
  EXPECT_EQ(r.updates[101], 1);
  ASSERT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  ASSERT_EQ(u.seen().size(), 2u);
  EXPECT_TRUE(u.seen()[1].messageBox);
  EXPECT_EQ(u.seen()[1].text, u"Nested question");
  EXPECT_EQ(u.seen()[1].caption, u"Info");
}

TEST(MessageBox, KeysAndButtons) {
  struct Case {
    const char* name;
    UINT type;
    std::vector<Action> actions;
    int result;
  };
  const Case cases[] = {
      {"escape on an OK box gives OK", MB_OK, {key(VK_ESCAPE)}, IDOK},
      {"escape gives cancel when there is one", MB_OKCANCEL, {key(VK_ESCAPE)}, IDCANCEL},
      {"escape does nothing on yes/no", MB_YESNO, {key(VK_ESCAPE), click(IDNO)}, IDNO},
      {"enter takes the default button", MB_YESNO | MB_DEFBUTTON2, {key(VK_RETURN)}, IDNO},
      {"the close box on an OK box", MB_OK | MB_ICONERROR, {close()}, IDOK},
      {"the close box on yes/no/cancel", MB_YESNOCANCEL, {close()}, IDCANCEL},
      {"tab then enter", MB_ABORTRETRYIGNORE, {key(VK_TAB), key(VK_RETURN)}, IDRETRY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedUser u;
    u.expectMessageBox(c.actions);
    u.install();
    EXPECT_EQ(MessageBoxW(nullptr, u"Text", nullptr, c.type), c.result);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
    ASSERT_EQ(u.seen().size(), 1u);
    EXPECT_EQ(u.seen()[0].caption, u"Error");
  }
}

TEST(ScriptedUser, NothingHangs) {
  struct Case {
    const char* name;
    std::function<void(ScriptedUser&)> script;
    INT_PTR result;
    const char* failure;
  };
  const Case cases[] = {
      {"a dialog with nobody to act ends cancelled", [](ScriptedUser&) {}, IDCANCEL, "nothing left to do"},
      {"a dialog that is not the one expected", [](ScriptedUser& u) { u.expect(110, {key(VK_RETURN)}); }, IDCANCEL,
       "dialog 110 was expected"},
      {"actions run out while the dialog is open", [](ScriptedUser& u) { u.expect(100, {type(101, u"a")}); }, IDCANCEL,
       "left open"},
      {"entries left over", [](ScriptedUser& u) { u.expect(100, {key(VK_ESCAPE)}).expectMessageBox({key(VK_RETURN)}); },
       IDCANCEL, "never used"},
      {"a message box nobody expects",
       [](ScriptedUser& u) {
         u.expect(100, {click(103), key(VK_ESCAPE)});
       },
       IDCANCEL, "opened when the user had nothing left to do"},
      {"a click on a control that is not there", [](ScriptedUser& u) { u.expect(100, {click(999)}); }, IDCANCEL,
       "no control 999"},
      {"a dialog closed before its actions were done",
       [](ScriptedUser& u) {
         u.expect(100, {key(VK_ESCAPE), type(101, u"late")});
       },
       IDCANCEL, "not done"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Record r;
    r.endOnCommand = false;
    r.extra = [](HWND h, UINT m, WPARAM w, LPARAM) -> INT_PTR {
      if (m != WM_COMMAND || HIWORD(w) != BN_CLICKED) return FALSE;
      if (LOWORD(w) == 103)
        MessageBoxW(h, u"Surprise", u"", MB_OKCANCEL);
      else
        EndDialog(h, LOWORD(w));
      return TRUE;
    };
    ScriptedUser u;
    c.script(u);
    u.install();
    EXPECT_EQ(runDialog(100, r), c.result);
    EXPECT_FALSE(u.ok());
    std::string all;
    for (const auto& f : u.failures()) all += f + "\n";
    EXPECT_NE(all.find(c.failure), std::string::npos) << all;
  }
}

TEST(ScriptedUser, NoUserInstalledCancelsAtOnce) {
  Record r;
  EXPECT_EQ(runDialog(100, r), IDCANCEL);
  EXPECT_EQ(MessageBoxW(nullptr, u"Nobody reads this", u"", MB_OK), IDCANCEL);
}

TEST(Timers, FireOnTheClockOnly) {
  struct Case {
    const char* name;
    std::vector<Action> actions;
    int ticksSeen;       // ticks counted when the inspection ran
    DWORD clockAdvance;  // from opening to the end
    int stopAt;          // the handler ends the dialog on this tick
    DWORD sleepAtStop;
  };
  const Case cases[] = {
      {"nothing fires before its time", {wait(999)}, 0, 1000 * 3, 3, 0},
      {"a long wait fires every period", {wait(2500)}, 2, 1000 * 3, 3, 0},
      {"Sleep in a handler advances the clock", {wait(1500)}, 1, 1000 * 3 + 1000, 3, 1000},
      {"enter and escape leave a dialog without buttons running",
       {key(VK_RETURN), key(VK_ESCAPE), wait(10)},
       0,
       3000,
       3,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int ticks = 0, seen = -1;
    Record r;
    r.endOnCommand = false;
    int stopAt = c.stopAt;
    DWORD sleep = c.sleepAtStop;
    r.extra = [&ticks, stopAt, sleep](HWND h, UINT m, WPARAM w, LPARAM) -> INT_PTR {
      if (m == WM_INITDIALOG) SetTimer(h, 1, 1000, nullptr);
      if (m == WM_TIMER && w == 1) {
        ++ticks;
        std::u16string t = u"tick " + std::u16string(1, static_cast<char16_t>(u'0' + ticks));
        SetDlgItemTextW(h, 152, t.c_str());
        if (ticks == stopAt) {
          KillTimer(h, 1);
          Sleep(sleep);
          EndDialog(h, 100 + ticks);
        }
        return TRUE;
      }
      return FALSE;
    };
    ULONGLONG start = GetTickCount64();
    ScriptedUser u;
    u.expect(150, c.actions + std::vector<Action>{inspect([&](const DialogView&) { seen = ticks; }), wait(60000)});
    u.install();
    EXPECT_EQ(runDialog(150, r), 100 + c.stopAt);
    EXPECT_EQ(seen, c.ticksSeen);
    EXPECT_EQ(GetTickCount64() - start, c.clockAdvance);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  }
}

namespace {
int gThreadTicks = 0;
void CALLBACK threadTimer(HWND, UINT, UINT_PTR, DWORD) { ++gThreadTicks; }
}  // namespace

TEST(Timers, CallbackTimersAndKillTimer) {
  gThreadTicks = 0;
  Record r;
  UINT_PTR id = 0;
  int windowTicks = 0;
  r.extra = [&](HWND h, UINT m, WPARAM w, LPARAM) -> INT_PTR {
    if (m == WM_INITDIALOG) {
      id = SetTimer(nullptr, 0, 500, threadTimer);
      SetTimer(h, 7, 300, nullptr);
    }
    if (m == WM_TIMER && w == 7) {
      if (++windowTicks == 2) KillTimer(h, 7);
      return TRUE;
    }
    return FALSE;
  };
  ScriptedUser u;
  u.expect(100, {wait(1500), key(VK_ESCAPE)});
  u.install();
  EXPECT_EQ(runDialog(100, r), IDCANCEL);
  EXPECT_TRUE(KillTimer(nullptr, id));
  EXPECT_EQ(gThreadTicks, 3);
  EXPECT_EQ(windowTicks, 2);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
}

namespace {
BOOL eatKeys(HWND, MSG* msg, void* context) {
  if (msg->message != WM_KEYDOWN) return FALSE;
  ++*static_cast<int*>(context);
  return TRUE;
}
}  // namespace

TEST(PreTranslate, HookSwallowsKeys) {
  int eaten = 0;
  Record r;
  r.extra = [&](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
    if (m == WM_INITDIALOG) PlatformSetDialogPreTranslate(h, eatKeys, &eaten);
    return FALSE;
  };
  std::u16string text;
  int focus = 0;
  ScriptedUser u;
  u.expect(100, {type(101, u"abc"), key(VK_TAB), key(VK_ESCAPE), key(VK_RETURN), inspect([&](const DialogView& v) {
                   text = v.control(101)->text;
                   focus = v.focusId;
                 }),
                 click(IDCANCEL)});
  u.install();
  EXPECT_EQ(runDialog(100, r), IDCANCEL);
  EXPECT_EQ(text, u"");
  EXPECT_EQ(focus, 101);
  EXPECT_EQ(eaten, 6);
  EXPECT_EQ(r.commands, std::vector<int>{IDCANCEL});
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
}

TEST(DialogManager, LifecycleAndFocus) {
  struct Case {
    const char* name;
    std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> extra;
    BOOL initResult;
    std::vector<Action> actions;  // empty: the user never sees the dialog
    INT_PTR result;
    int firstFocus;
  };
  const Case cases[] = {
      {"WM_SHOWWINDOW moves the focus after WM_INITDIALOG",
       [](HWND h, UINT m, WPARAM w, LPARAM) -> INT_PTR {
         if (m == WM_SHOWWINDOW && w) SetFocus(GetDlgItem(h, 102));
         return FALSE;
       },
       TRUE,
       {key(VK_ESCAPE)},
       IDCANCEL,
       102},
      {"WM_INITDIALOG returning FALSE keeps its own focus",
       [](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
         if (m == WM_INITDIALOG) SetFocus(GetDlgItem(h, 103));
         return FALSE;
       },
       FALSE,
       {key(VK_ESCAPE)},
       IDCANCEL,
       103},
      {"destroyed while it initialises: -1, never shown",
       [](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
         if (m == WM_INITDIALOG) DestroyWindow(h);
         return FALSE;
       },
       TRUE,
       {},
       -1,
       0},
      {"an end code given while it initialises stands",
       [](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
         if (m == WM_INITDIALOG) EndDialog(h, 42);
         return FALSE;
       },
       TRUE,
       {},
       42,
       0},
      {"destroyed on WM_CLOSE without an end code: -1",
       [](HWND h, UINT m, WPARAM, LPARAM) -> INT_PTR {
         if (m != WM_CLOSE) return FALSE;
         DestroyWindow(h);
         return TRUE;
       },
       TRUE,
       {close()},
       -1,
       101},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Record r;
    r.extra = c.extra;
    r.initResult = c.initResult;
    int focus = -1;
    bool active = false;
    ScriptedUser u;
    if (!c.actions.empty())
      u.expect(100, std::vector<Action>{inspect([&](const DialogView& v) {
                      focus = v.focusId;
                      active = GetActiveWindow() == v.hwnd;
                    })} +
                        c.actions);
    u.install();
    EXPECT_EQ(runDialog(100, r), c.result);
    if (!c.actions.empty()) {
      EXPECT_EQ(focus, c.firstFocus);
      EXPECT_TRUE(active);
    }
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
    EXPECT_TRUE(u.seen().size() == (c.actions.empty() ? 0u : 1u));
    EXPECT_EQ(GetActiveWindow(), nullptr);
  }
}

TEST(DialogManager, EditFocusNotices) {
  Record r;
  std::vector<std::pair<int, int>> notices;
  r.extra = [&](HWND, UINT m, WPARAM w, LPARAM) -> INT_PTR {
    if (m == WM_COMMAND && (HIWORD(w) == EN_SETFOCUS || HIWORD(w) == EN_KILLFOCUS))
      notices.emplace_back(LOWORD(w), HIWORD(w));
    return FALSE;
  };
  ScriptedUser u;
  u.expect(100, {key(VK_TAB), key(VK_TAB), key(VK_ESCAPE)});
  u.install();
  EXPECT_EQ(runDialog(100, r), IDCANCEL);
  std::vector<std::pair<int, int>> want{
      {101, EN_SETFOCUS}, {101, EN_KILLFOCUS}, {102, EN_SETFOCUS}, {102, EN_KILLFOCUS}};
  EXPECT_EQ(notices, want);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
}

// A key that ends the dialog while Shift is held: the next window must not
// find Shift still down.
TEST(ScriptedUser, KeysHeldWhenADialogEndsAreLetGo) {
  Record r;
  ScriptedUser u;
  u.expect(100, {key(VK_RETURN, kShift)});
  u.expect(100, {type(101, u"ab"), inspect([&](const DialogView& v) { EXPECT_EQ(v.control(101)->text, u"ab"); }),
                 key(VK_ESCAPE)});
  u.install();
  EXPECT_EQ(runDialog(100, r), IDOK);
  EXPECT_EQ(GetKeyState(VK_SHIFT) & 0x8000, 0);
  Record again;
  EXPECT_EQ(runDialog(100, again), IDCANCEL);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
}

// The older DLGTEMPLATE layout, given in memory.
TEST(DialogManager, TemplateInMemory) {
  std::vector<WORD> t;
  auto dword = [&](DWORD v) {
    t.push_back(static_cast<WORD>(v & 0xFFFF));
    t.push_back(static_cast<WORD>(v >> 16));
  };
  auto text = [&](const char16_t* s) {
    for (; *s; ++s) t.push_back(static_cast<WORD>(*s));
    t.push_back(0);
  };
  dword(DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU);
  dword(0);
  t.push_back(2);  // two items
  for (short v : {0, 0, 120, 40}) t.push_back(static_cast<WORD>(v));
  t.push_back(0);  // no menu
  t.push_back(0);  // the dialog class
  text(u"Old layout");
  t.push_back(8);
  text(u"MS Shell Dlg");
  auto item = [&](DWORD style, short x, short y, short cx, short cy, WORD id, WORD cls, const char16_t* title) {
    if (t.size() % 2) t.push_back(0);  // DWORD alignment
    dword(WS_CHILD | WS_VISIBLE | style);
    dword(0);
    for (short v : {x, y, cx, cy}) t.push_back(static_cast<WORD>(v));
    t.push_back(id);
    t.push_back(0xFFFF);
    t.push_back(cls);
    text(title);
    t.push_back(0);  // no creation data
  };
  item(ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 5, 5, 110, 12, 10, 0x81, u"");
  item(BS_DEFPUSHBUTTON | WS_TABSTOP, 35, 22, 50, 14, IDOK, 0x80, u"OK");
  Record r;
  std::u16string caption, edit;
  ScriptedUser u;
  u.expect(900, {type(10, u"old"), inspect([&](const DialogView& v) {
                   caption = v.caption;
                   edit = v.control(10)->text;
                 }),
                 key(VK_RETURN)});
  u.install();
  PlatformSetNextTemplateId(900);
  INT_PTR got = DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(t.data()), nullptr, recordProc,
                                        reinterpret_cast<LPARAM>(&r));
  EXPECT_EQ(got, IDOK);
  EXPECT_EQ(caption, u"Old layout");
  EXPECT_EQ(edit, u"old");
  EXPECT_EQ(r.updates[10], 3);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
}
