// The coloured title and the drawn key on their own: colours, fonts and
// their failure box in both languages, brushes that do not pile up, the
// key's noise from the random source and its face without it.
#include <cstring>

#include "ProtInputTestSupport.h"
#include "protinput/CColorStatic.h"
#include "protinput/ImgBtn.h"
#include "protinput/RandomByte.h"

using namespace platform::user;
using namespace protdlg_test;

namespace {

// A title whose later fonts cannot be made.
class NoFontStatic : public CColorStatic {
 protected:
  HFONT makeFont(int height, BYTE quality) override {
    return failing ? nullptr : CColorStatic::makeFont(height, quality);
  }

 public:
  bool failing = false;
};

class TitleDialog : public CDialog {
 public:
  TitleDialog() : CDialog(203) {}
  NoFontStatic title;
  int sizeResult = -1;
  HFONT before = nullptr, after = nullptr;
  bool failFont = false;

 protected:
  void DoDataExchange(CDataExchange* dx) override { DDX_Control(dx, 1034, title); }
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    title.SetColors(255, -1);
    title.failing = failFont;
    before = static_cast<HFONT>(title.font.m_hObject);
    sizeResult = title.SetFontSize(24);
    after = static_cast<HFONT>(title.font.m_hObject);
    title.SetWindowText(u"Title");
    return TRUE;
  }
};

}  // namespace

TEST(ColorStatic, ColoursFontAndBrushes) {
  TitleDialog dlg;
  HBITMAP picture = nullptr;
  RECT r{};
  HGDIOBJ firstBrush = nullptr;
  ScriptedUser u;
  u.expect(203, {inspect([&](const DialogView& v) {
                   picture = PlatformCaptureWindow(v.hwnd);
                   firstBrush = dlg.title.brush.m_hObject;
                   for (int i = 0; i < 50; ++i) DeleteObject(PlatformCaptureWindow(v.hwnd));
                   GetWindowRect(GetDlgItem(v.hwnd, 1034), &r);
                   RECT w;
                   GetWindowRect(v.hwnd, &w);
                   OffsetRect(&r, -w.left, -w.top);
                 }),
                 click(IDCANCEL)});
  u.install();
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  EXPECT_EQ(dlg.sizeResult, 1);
  EXPECT_EQ(dlg.title.fontSize, 24);
  EXPECT_NE(dlg.after, dlg.before);
  EXPECT_EQ(GetObjectW(dlg.before, 0, nullptr), 0);  // the old font is gone
  // The face is the wide literal, and so is the font's.
  EXPECT_EQ(dlg.title.faceName, u"新細明體");
  LOGFONTW made{};
  ASSERT_NE(GetObjectW(dlg.after, sizeof made, &made), 0);
  EXPECT_EQ(std::u16string(made.lfFaceName), u"新細明體");
  EXPECT_EQ(made.lfHeight, 24);
  EXPECT_EQ(made.lfQuality, 2);  // proof quality for every font after the first
  EXPECT_EQ(std::string(PlatformFontSubstitute(made.lfFaceName)).rfind("Noto Serif CJK TC", 0), 0u);
  EXPECT_EQ(dlg.title.textColor, RGB(255, 0, 0));
  EXPECT_EQ(dlg.title.backColor, GetSysColor(COLOR_BTNFACE));
  // Red text on the button face; one brush at a time, the earlier ones deleted.
  ASSERT_NE(picture, nullptr);
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, picture);
  int red = 0, face = 0;
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) {
      COLORREF c = GetPixel(dc, x, y);
      if (GetRValue(c) > 200 && GetGValue(c) < 120 && GetBValue(c) < 120) ++red;
      if (c == GetSysColor(COLOR_BTNFACE)) ++face;
    }
  SelectObject(dc, old);
  DeleteDC(dc);
  DeleteObject(picture);
  EXPECT_GT(red, 20);
  EXPECT_GT(face, 100);
  EXPECT_EQ(GetObjectW(firstBrush, 0, nullptr), 0);
}

TEST(ColorStatic, SetColorsKeepsWhatIsMinusOne) {
  TitleDialog dlg;
  ScriptedUser u;
  u.expect(203, {inspect([&](const DialogView&) {
                   dlg.title.SetColors(-1, -1);
                   EXPECT_EQ(dlg.title.textColor, RGB(255, 0, 0));
                   dlg.title.SetColors(-1, RGB(0, 0, 255));
                   EXPECT_EQ(dlg.title.textColor, RGB(255, 0, 0));
                   EXPECT_EQ(dlg.title.backColor, RGB(0, 0, 255));
                 }),
                 click(IDCANCEL)});
  u.install();
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
}

// A font that cannot be made leaves the old one in place and shows the box
// in the thread's language.
TEST(ColorStatic, FontFailureKeepsTheOldFontAndSaysSo) {
  struct Case {
    LANGID lang;
    const char16_t* text;
    const char16_t* caption;
  };
  for (Case c : {Case{1033, u"Font can not be created!!!", u"Font creation failed."},
                 Case{1028, u"字體無法建立!!!", u"字體建立失敗"}}) {
    SCOPED_TRACE(c.lang);
    ScopedLanguage lang(c.lang);
    TitleDialog dlg;
    dlg.failFont = true;
    DialogView box;
    ScriptedUser u;
    // The box comes while the dialog initialises, before the user sees the dialog.
    u.expectMessageBox(101, {inspect([&](const DialogView& v) { box = v; }), click(IDOK)})
        .expect(203, {click(IDCANCEL)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
    EXPECT_EQ(dlg.sizeResult, 0);
    EXPECT_EQ(dlg.after, dlg.before);
    EXPECT_NE(GetObjectW(dlg.before, 0, nullptr), 0);  // still there
    EXPECT_EQ(box.text, c.text);
    EXPECT_EQ(box.caption, c.caption);
    EXPECT_EQ(box.messageBoxType & MB_ICONMASK, MB_ICONERROR);
    EXPECT_EQ(FontErrorText, c.text);
  }
}

namespace {

struct Canvas {
  HDC dc;
  HBITMAP bmp;
  HGDIOBJ old;
  Canvas() {
    dc = CreateCompatibleDC(nullptr);
    bmp = CreateCompatibleBitmap(dc, 36, 33);
    old = SelectObject(dc, bmp);
  }
  ~Canvas() {
    SelectObject(dc, old);
    DeleteObject(bmp);
    DeleteDC(dc);
  }
};

}  // namespace

// The noise of a key comes from the random source in the order of its draws;
// without it the key still shows its white face and caption.
TEST(DrawnKey, NoiseFromTheRandomSourceAndFaceWithoutIt) {
  ImgBtn key;
  // Moved in whole: assigning the literal in place draws a false -Wrestrict
  // from GCC 12 in the sanitizer build.
  key.caption = std::u16string(u"8");
  DRAWITEMSTRUCT di{ODT_BUTTON, 3003, 0, ODA_DRAWENTIRE, 0, nullptr, nullptr, RECT{0, 0, 36, 33}, 0};
  // Pass p: stroke start (a, b) = (p, 0), length 0, pen colour; pixel at (10 + p, 0) of colour (r2, g2, b2),
  // all along the top, where the caption does not reach.
  std::vector<unsigned char> bytes;
  for (int p = 0; p < 8; ++p) {
    std::vector<unsigned char> pass = {static_cast<unsigned char>(p),      0, 0,   40,  50, 60,
                                       static_cast<unsigned char>(10 + p), 0, 200, 100, 7};
    bytes.insert(bytes.end(), pass.begin(), pass.end());
  }
  {
    Canvas c;
    di.hDC = c.dc;
    SequenceRandomSource source(bytes);
    ScopedRandomSource scoped(&source);
    key.DrawItem(&di);
    EXPECT_EQ(source.used(), 88u);
    for (int p = 0; p < 8; ++p) {
      EXPECT_EQ(GetPixel(c.dc, 10 + p, 0), RGB(7, 200, 100)) << p;
      EXPECT_EQ(GetPixel(c.dc, 1 + p, 1), RGB(61, 41, 51)) << p;  // a one-pixel stroke at (a + 1, b + 1)
    }
    EXPECT_EQ(GetPixel(c.dc, 0, 0), RGB(255, 255, 255));
    EXPECT_EQ(GetPixel(c.dc, 35, 32), RGB(255, 255, 255));
  }
  {
    Canvas c;
    di.hDC = c.dc;
    FailingRandomSource failing;
    ScopedRandomSource scoped(&failing);
    key.DrawItem(&di);
    int white = 0, green = 0;
    for (int y = 0; y < 33; ++y)
      for (int x = 0; x < 36; ++x) {
        COLORREF p = GetPixel(c.dc, x, y);
        if (p == RGB(255, 255, 255))
          ++white;
        else if (GetRValue(p) == GetBValue(p) && GetGValue(p) >= GetRValue(p))
          ++green;  // (0, 85, 0) blended on white
      }
    EXPECT_GT(green, 10);               // the caption
    EXPECT_EQ(white + green, 36 * 33);  // and nothing else
  }
  {
    // Not a button: nothing is drawn.
    Canvas c;
    RECT all{0, 0, 36, 33};
    HBRUSH black = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    FillRect(c.dc, &all, black);
    di.hDC = c.dc;
    di.CtlType = ODT_STATIC;
    key.DrawItem(&di);
    EXPECT_EQ(GetPixel(c.dc, 18, 16), RGB(0, 0, 0));
  }
}
