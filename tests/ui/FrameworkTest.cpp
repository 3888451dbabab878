// The dialog-class framework over the templates of dialogs.rc: DoModal,
// data exchange, PreTranslateMessage, owner drawing, the order in which
// control colours are asked, modeless dialogs, and pictures of dialogs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestRoot.h"
#include "UiTestSupport.h"

using namespace platform::user;

namespace {

class NameDialog : public CDialog {
 public:
  NameDialog() : CDialog(100) {}
  CEdit nameEdit;
  std::u16string name = u"preset";
  std::u16string pin;
  int initCalls = 0;

 protected:
  void DoDataExchange(CDataExchange* dx) override {
    DDX_Control(dx, 101, nameEdit);
    DDX_Text(dx, 101, name);
    DDX_Text(dx, 102, pin);
  }
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    ++initCalls;
    nameEdit.SetLimitText(8);
    return TRUE;
  }
};

}  // namespace

TEST(Framework, DoModalExchangesData) {
  NameDialog dlg;
  std::u16string shownAtStart;
  ScriptedUser u;
  u.expect(100, {inspect([&](const DialogView& v) { shownAtStart = v.control(101)->text; }), key(VK_END),
                 type(101, u"-and-more"), type(102, u"1234"), key(VK_RETURN)});
  u.install();
  EXPECT_EQ(dlg.DoModal(), IDOK);
  EXPECT_EQ(shownAtStart, u"preset");
  EXPECT_EQ(dlg.name, u"preset-a");  // the edit holds eight characters
  EXPECT_EQ(dlg.pin, u"1234");
  EXPECT_EQ(dlg.initCalls, 1);
  EXPECT_EQ(dlg.m_hWnd, nullptr);
  EXPECT_EQ(dlg.nameEdit.m_hWnd, nullptr);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());

  // The same object runs again, with its controls bound anew.
  ScriptedUser again;
  again.expect(100, {key(VK_ESCAPE)});
  again.install();
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_EQ(dlg.initCalls, 2);
  EXPECT_EQ(dlg.name, u"preset-a");  // cancel copies nothing back
  EXPECT_TRUE(again.ok());
}

TEST(Framework, MissingTemplate) {
  CDialog dlg(4242);
  ScriptedUser u;
  u.install();
  EXPECT_EQ(dlg.DoModal(), -1);
  EXPECT_TRUE(u.seen().empty());
}

namespace {

// Refuses the physical keyboard as the protected-input dialogs do.
class KeypadDialog : public CDialog {
 public:
  KeypadDialog() : CDialog(100) {}
  int refused = 0;
  BOOL PreTranslateMessage(MSG* msg) override {
    if (msg->message == WM_KEYDOWN) {
      ++refused;
      MessageBox(u"Use the keypad on the screen.", u"", MB_ICONEXCLAMATION);
      return TRUE;
    }
    return CDialog::PreTranslateMessage(msg);
  }
};

}  // namespace

TEST(Framework, PreTranslateMessageRefusesKeys) {
  struct Case {
    const char* name;
    Action press;
    int refused;
  };
  const Case cases[] = {
      {"a letter", key("A"), 1},
      {"enter", key("VK_RETURN"), 1},
      {"escape", key("VK_ESCAPE"), 1},
      {"shift tab", key("VK_TAB", {"shift"}), 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KeypadDialog dlg;
    int focus = 0;
    ScriptedUser u;
    std::vector<Action> outer{c.press, inspect([&](const DialogView& v) { focus = v.focusId; }), click(IDCANCEL)};
    u.expect(100, outer);
    for (int i = 0; i < c.refused; ++i) u.expectMessageBox({key(VK_RETURN)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(dlg.refused, c.refused);
    EXPECT_EQ(focus, 101);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
    for (size_t i = 1; i < u.seen().size(); ++i) EXPECT_EQ(u.seen()[i].text, u"Use the keypad on the screen.");
  }
}

namespace {

std::vector<std::string> gColorLog;

class RedStatic : public CStatic {
 protected:
  HBRUSH CtlColor(CDC* dc, UINT) override {
    gColorLog.push_back("child");
    dc->SetTextColor(RGB(255, 0, 0));
    dc->SetBkMode(TRANSPARENT);
    if (brush.m_hObject == nullptr) brush.CreateSolidBrush(RGB(255, 255, 0));
    return static_cast<HBRUSH>(brush.m_hObject);
  }
  CBrush brush;
};

class GreenKey : public CButton {
 public:
  std::vector<UINT> states;
  void DrawItem(LPDRAWITEMSTRUCT item) override {
    if (item->CtlType != ODT_BUTTON) return;
    states.push_back(item->itemState);
    CDC* dc = CDC::FromHandle(item->hDC);
    dc->FillSolidRect(&item->rcItem, RGB(0, 200, 0));
    CPen pen(PS_SOLID, 1, RGB(0, 0, 255));
    CPen* old = dc->SelectObject(&pen);
    dc->MoveTo(item->rcItem.left, item->rcItem.top);
    dc->LineTo(item->rcItem.right, item->rcItem.bottom);
    dc->SelectObject(old);
  }
};

class DrawnDialog : public CDialog {
 public:
  DrawnDialog() : CDialog(140) {}
  RedStatic title;
  GreenKey key7;
  CStatic picture;
  CButton bitmapButton;
  CBitmap digit;

 protected:
  void DoDataExchange(CDataExchange* dx) override {
    DDX_Control(dx, 143, title);
    DDX_Control(dx, 141, key7);
    DDX_Control(dx, 142, picture);
    DDX_Control(dx, 145, bitmapButton);
  }
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    digit.LoadBitmap(300);
    picture.SetBitmap(static_cast<HBITMAP>(digit.m_hObject));
    bitmapButton.SetBitmap(static_cast<HBITMAP>(digit.m_hObject));
    return TRUE;
  }
  HBRUSH OnCtlColor(CDC* dc, CWnd* wnd, UINT ctlColor) override {
    bool mine = wnd && wnd->GetDlgCtrlID() == 143;
    if (mine) gColorLog.push_back("parent");
    HBRUSH b = CDialog::OnCtlColor(dc, wnd, ctlColor);
    if (mine) gColorLog.push_back("parent after");
    return b;
  }
};

}  // namespace

TEST(Framework, OwnerDrawingAndControlColours) {
  gColorLog.clear();
  DrawnDialog dlg;
  HBITMAP picture = nullptr;
  RECT title{}, keyRect{}, pic{}, pic2{};
  ScriptedUser u;
  u.expect(140, {inspect([&](const DialogView& v) {
                   picture = PlatformCaptureWindow(v.hwnd);
                   auto inWindow = [&](int id, RECT* r) {
                     GetWindowRect(GetDlgItem(v.hwnd, id), r);
                     RECT w;
                     GetWindowRect(v.hwnd, &w);
                     OffsetRect(r, -w.left, -w.top);
                   };
                   inWindow(143, &title);
                   inWindow(141, &keyRect);
                   inWindow(142, &pic);
                   inWindow(146, &pic2);
                   PlatformSaveWindowPng(v.hwnd, buildPath("ui-drawn-controls.png").c_str());
                 }),
                 key(VK_ESCAPE)});
  u.install();
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  ASSERT_NE(picture, nullptr);
  // The parent is asked, the default colours are taken, then the control's own handler decides.
  ASSERT_GE(gColorLog.size(), 3u);
  EXPECT_EQ(gColorLog[0], "parent");
  EXPECT_EQ(gColorLog[1], "child");
  EXPECT_EQ(gColorLog[2], "parent after");
  EXPECT_GT(countColor(picture, title, RGB(255, 255, 0)), 50);  // the control's brush
  int red = 0;
  for (int y = title.top; y < title.bottom; ++y)
    for (int x = title.left; x < title.right; ++x) {
      COLORREF c = pixelOf(picture, x, y);
      if (GetRValue(c) > 200 && GetGValue(c) < 150 && GetBValue(c) < 60) ++red;
    }
  EXPECT_GT(red, 5);  // red text
  // The key drew itself, focused (the first tab stop), inside its modal-frame edge.
  ASSERT_FALSE(dlg.key7.states.empty());
  EXPECT_TRUE(dlg.key7.states.back() & ODS_FOCUS);
  EXPECT_GT(countColor(picture, keyRect, RGB(0, 200, 0)), 100);
  EXPECT_EQ(pixelOf(picture, keyRect.left, keyRect.top), GetSysColor(COLOR_3DLIGHT));
  // Bitmap statics take the size of their bitmap, set at start or named in the template.
  EXPECT_EQ(pic.right - pic.left, 39);
  EXPECT_EQ(pic.bottom - pic.top, 33);
  EXPECT_EQ(pic2.right - pic2.left, 39);
  EXPECT_EQ(pixelOf(picture, pic.left, pic.top), RGB(0, 0, 128));
  EXPECT_EQ(pixelOf(picture, pic2.left + 8, pic2.top + 20), RGB(255, 255, 255));
  DeleteObject(picture);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
}

TEST(Framework, ModelessDialogs) {
  struct Case {
    int id;
    bool visible;
  };
  for (Case c : {Case{150, true}, Case{100, false}}) {
    SCOPED_TRACE(c.id);
    HWND h;
    {
      CDialog dlg;
      ASSERT_TRUE(dlg.Create(static_cast<UINT>(c.id)));
      h = dlg.m_hWnd;
      ASSERT_TRUE(IsWindow(h));
      EXPECT_EQ(PlatformDialogTemplateId(h), c.id);
      EXPECT_EQ(IsWindowVisible(h) != FALSE, c.visible);
      dlg.ShowWindow(SW_HIDE);
      EXPECT_FALSE(IsWindowVisible(h));
    }
    EXPECT_FALSE(IsWindow(h));  // gone with its object
  }
}

TEST(Pictures, PasswordTextNeverReachesAPicture) {
  auto picture = [](const char16_t* secret) {
    HBITMAP shot = nullptr;
    std::u16string seen;
    ScriptedUser u;
    u.expect(100, {type(102, secret), inspect([&](const DialogView& v) {
                     shot = PlatformCaptureWindow(v.hwnd);
                     seen = v.control(102)->text;
                   }),
                   key(VK_ESCAPE)});
    u.install();
    DialogBoxParamW(
        nullptr, MAKEINTRESOURCEW(100), nullptr,
        [](HWND h, UINT m, WPARAM w, LPARAM) -> INT_PTR {
          if (m == WM_COMMAND && LOWORD(w) == IDCANCEL) return EndDialog(h, IDCANCEL);
          return m == WM_INITDIALOG;
        },
        0);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
    EXPECT_EQ(seen, std::u16string(std::char_traits<char16_t>::length(secret), u'*'));
    return shot;
  };
  HBITMAP a = picture(u"s3cret");
  HBITMAP b = picture(u"WWWWWW");
  HBITMAP empty = picture(u"");
  EXPECT_TRUE(samePicture(a, b));
  EXPECT_FALSE(samePicture(a, empty));
  PlatformSaveBitmapPng(a, buildPath("ui-password.png").c_str());
  DeleteObject(a);
  DeleteObject(b);
  DeleteObject(empty);
}

TEST(Pictures, MessageBoxAndDeterminism) {
  HBITMAP first = nullptr, second = nullptr;
  for (HBITMAP* slot : {&first, &second}) {
    ScriptedUser u;
    u.expectMessageBox({inspect([&](const DialogView& v) { *slot = PlatformCaptureWindow(v.hwnd); }), click(IDOK)});
    u.install();
    EXPECT_EQ(MessageBoxW(nullptr, u"The expired Certificate can not be selected!", u"Information",
                          MB_OK | MB_ICONINFORMATION),
              IDOK);
    EXPECT_TRUE(u.ok());
  }
  ASSERT_TRUE(first && second);
  EXPECT_TRUE(samePicture(first, second));
  PlatformSaveBitmapPng(first, buildPath("ui-messagebox.png").c_str());
  DeleteObject(first);
  DeleteObject(second);

  ScriptedUser u;
  u.expectMessageBox({shot(buildPath("ui-messagebox-chinese.png")), click(IDOK)});
  u.install();
  EXPECT_EQ(MessageBoxW(nullptr, u"一次只能選擇一張憑證！", u"訊息", MB_OK | MB_ICONINFORMATION), IDOK);
  EXPECT_TRUE(u.ok());
}

TEST(Pictures, ReadOnlyMultiLineEditScrolls) {
  std::u16string text;
  for (int i = 1; i <= 30; ++i)
    text += u"Line " + std::u16string(1, static_cast<char16_t>(u'A' + (i % 26))) +
            u" of the data to sign, long enough to need the horizontal bar\r\n";
  struct Data {
    std::u16string text;
    int firstLine = -1, afterKeys = -1;
    std::u16string afterTyping;
  } d{text, -1, -1, {}};
  std::string shots = testsupport::freshDir("shots");
  ScriptedUser u;
  u.setShotsDir(shots);
  u.expect(130, {inspect([&](const DialogView& v) {
                   d.firstLine = static_cast<int>(SendDlgItemMessageW(v.hwnd, 131, EM_GETFIRSTVISIBLELINE, 0, 0));
                 }),
                 key(VK_NEXT), key(VK_NEXT), inspect([&](const DialogView& v) {
                   d.afterKeys = static_cast<int>(SendDlgItemMessageW(v.hwnd, 131, EM_GETFIRSTVISIBLELINE, 0, 0));
                 }),
                 type(131, u"zz"), paste(131, u"more"),
                 inspect([&](const DialogView& v) { d.afterTyping = v.control(131)->text; }),
                 shot(buildPath("ui-multiline.png")), key(VK_ESCAPE)});
  u.install();
  INT_PTR r = DialogBoxParamW(
      nullptr, MAKEINTRESOURCEW(130), nullptr,
      [](HWND h, UINT m, WPARAM w, LPARAM l) -> INT_PTR {
        if (m == WM_INITDIALOG) {
          SetDlgItemTextW(h, 131, reinterpret_cast<Data*>(l)->text.c_str());
          return TRUE;
        }
        if (m == WM_COMMAND && HIWORD(w) == BN_CLICKED) return EndDialog(h, LOWORD(w));
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&d));
  EXPECT_EQ(r, IDCANCEL);
  EXPECT_EQ(d.firstLine, 0);
  EXPECT_GT(d.afterKeys, 5);
  EXPECT_EQ(d.afterTyping, text);  // read-only: neither typing nor pasting changes it
  EXPECT_FALSE(testsupport::readFile(shots + "/01-130-00.png").empty());  // as the user first saw it
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
}

namespace {

// A key that draws a text other than its window text.
class TextKey : public CButton {
 public:
  std::u16string face = u"5";
  void DrawItem(LPDRAWITEMSTRUCT item) override {
    CDC* dc = CDC::FromHandle(item->hDC);
    dc->FillSolidRect(&item->rcItem, RGB(255, 255, 255));
    dc->DrawText(face, &item->rcItem, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  }
};

class ShownDialog : public CDialog {
 public:
  ShownDialog() : CDialog(140) {}
  TextKey key;
  CStatic picture;
  CButton bitmapButton;
  CBitmap digit, drawn;
  std::vector<int> clicked;

 protected:
  void DoDataExchange(CDataExchange* dx) override {
    DDX_Control(dx, 141, key);
    DDX_Control(dx, 142, picture);
    DDX_Control(dx, 145, bitmapButton);
  }
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    digit.LoadBitmap(300);
    bitmapButton.SetBitmap(static_cast<HBITMAP>(digit.m_hObject));
    CClientDC screen(this);
    CDC mem;
    mem.CreateCompatibleDC(&screen);
    drawn.CreateCompatibleBitmap(&screen, 60, 20);
    CBitmap* old = mem.SelectObject(&drawn);
    mem.TextOut(0, 0, std::u16string(u"AB3"));
    mem.SelectObject(old);
    picture.SetBitmap(static_cast<HBITMAP>(drawn.m_hObject));
    return TRUE;
  }
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override {
    int id = LOWORD(wParam);
    if (id == 141 || id == 145) {
      clicked.push_back(id);
      WCHAR text[64];
      LoadStringW(nullptr, id == 141 ? 400 : 401, text, 64);
      MessageBox(text);
      return TRUE;
    }
    return CDialog::OnCommand(wParam, lParam);
  }
};

}  // namespace

// The user sees what owner-drawn keys, bitmap keys and pictures show, in the
// view's `shown` and not as window text; clicks a key by what it shows; and
// tells message boxes apart by their string-table text.
TEST(ScriptedUser, ReadsPicturesNotWindowText) {
  ShownDialog dlg;
  DialogView seen;
  ScriptedUser u;
  u.expect(140, {inspect([&](const DialogView& v) { seen = v; }), clickShown(u"7"), clickShown(u"5"), key(VK_ESCAPE)})
      .expectMessageBox(401, {click(IDOK)})
      .expectMessageBox(400, {click(IDOK)});
  u.install();
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  EXPECT_EQ(dlg.clicked, (std::vector<int>{145, 141}));
  ASSERT_NE(seen.control(141), nullptr);
  EXPECT_EQ(seen.control(141)->text, u"7");  // the template's text, not what is drawn
  EXPECT_EQ(seen.control(141)->shown, u"5");
  EXPECT_EQ(seen.control(145)->text, u"");
  EXPECT_EQ(seen.control(145)->shown, u"7");
  EXPECT_EQ(seen.control(142)->shown, u"AB3");

  struct Case {
    const char* name;
    std::vector<Action> actions;
    UINT box;
  };
  // A digit nobody shows, and a message box with another text than expected.
  for (const Case& c : {Case{"nothing shows 9", {clickShown(u"9")}, 0}, Case{"wrong box", {clickShown(u"5")}, 401}}) {
    SCOPED_TRACE(c.name);
    ShownDialog again;
    ScriptedUser v;
    v.expect(140, c.actions);
    if (c.box) v.expectMessageBox(c.box, {click(IDOK)});
    v.install();
    EXPECT_EQ(again.DoModal(), IDCANCEL);
    EXPECT_FALSE(v.ok());
  }
}
