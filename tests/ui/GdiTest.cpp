// GDI on memory surfaces, fonts, and dialog units.
#include <gtest/gtest.h>

#include <string>

#include "UiTestSupport.h"

namespace {

// A memory DC with a white bitmap of the given size selected.
struct Canvas {
  HDC dc;
  HBITMAP bmp;
  HGDIOBJ old;
  Canvas(int w, int h) {
    dc = CreateCompatibleDC(nullptr);
    bmp = CreateCompatibleBitmap(dc, w, h);
    old = SelectObject(dc, bmp);
    RECT r{0, 0, w, h};
    FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  }
  ~Canvas() {
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(bmp);
  }
  COLORREF at(int x, int y) const { return GetPixel(dc, x, y); }
};

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);

}  // namespace

TEST(Gdi, LinesRectanglesAndFrames) {
  struct Case {
    const char* name;
    void (*draw)(HDC);
    std::vector<std::pair<POINT, COLORREF>> expect;
  };
  const Case cases[] = {
      {"a line leaves out its end point",
       [](HDC dc) {
         MoveToEx(dc, 1, 1, nullptr);
         LineTo(dc, 6, 1);
       },
       {{{1, 1}, kBlack}, {{5, 1}, kBlack}, {{6, 1}, kWhite}, {{0, 1}, kWhite}}},
      {"a diagonal line",
       [](HDC dc) {
         MoveToEx(dc, 0, 0, nullptr);
         LineTo(dc, 4, 4);
       },
       {{{0, 0}, kBlack}, {{3, 3}, kBlack}, {{4, 4}, kWhite}, {{1, 0}, kWhite}}},
      {"a rectangle excludes its right and bottom edges",
       [](HDC dc) {
         SelectObject(dc, GetStockObject(GRAY_BRUSH));
         Rectangle(dc, 1, 1, 6, 5);
       },
       {{{1, 1}, kBlack},
        {{5, 1}, kBlack},
        {{5, 4}, kBlack},
        {{1, 4}, kBlack},
        {{3, 2}, RGB(128, 128, 128)},
        {{6, 2}, kWhite},
        {{3, 5}, kWhite}}},
      {"a rectangle with a null pen is one pixel smaller",
       [](HDC dc) {
         SelectObject(dc, GetStockObject(NULL_PEN));
         SelectObject(dc, GetStockObject(BLACK_BRUSH));
         Rectangle(dc, 1, 1, 6, 5);
       },
       {{{1, 1}, kBlack}, {{4, 3}, kBlack}, {{5, 3}, kWhite}, {{4, 4}, kWhite}}},
      {"a wide pen",
       [](HDC dc) {
         HPEN pen = CreatePen(PS_SOLID, 3, RGB(255, 0, 0));
         HGDIOBJ old = SelectObject(dc, pen);
         MoveToEx(dc, 2, 5, nullptr);
         LineTo(dc, 8, 5);
         SelectObject(dc, old);
         DeleteObject(pen);
       },
       {{{2, 4}, RGB(255, 0, 0)}, {{2, 6}, RGB(255, 0, 0)}, {{2, 7}, kWhite}}},
      {"FillRect and FrameRect",
       [](HDC dc) {
         RECT r{2, 2, 5, 5};
         FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
         RECT f{6, 0, 10, 4};
         FrameRect(dc, &f, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
       },
       {{{2, 2}, kBlack},
        {{4, 4}, kBlack},
        {{5, 4}, kWhite},
        {{6, 0}, kBlack},
        {{9, 3}, kBlack},
        {{7, 1}, kWhite},
        {{10, 0}, kWhite}}},
      {"a focus rectangle drawn twice is gone",
       [](HDC dc) {
         RECT r{1, 1, 8, 8};
         DrawFocusRect(dc, &r);
         DrawFocusRect(dc, &r);
       },
       {{{1, 1}, kWhite}, {{3, 1}, kWhite}, {{7, 7}, kWhite}}},
      {"a focus rectangle is dotted",
       [](HDC dc) {
         RECT r{0, 0, 8, 8};
         DrawFocusRect(dc, &r);
       },
       {{{0, 0}, kBlack}, {{1, 0}, kWhite}, {{2, 0}, kBlack}, {{3, 3}, kWhite}}},
      {"a push-button frame",
       [](HDC dc) {
         RECT r{0, 0, 10, 8};
         DrawFrameControl(dc, &r, DFC_BUTTON, DFCS_BUTTONPUSH);
       },
       {{{0, 0}, GetSysColor(COLOR_3DLIGHT)},
        {{1, 1}, GetSysColor(COLOR_3DHILIGHT)},
        {{9, 7}, GetSysColor(COLOR_3DDKSHADOW)},
        {{8, 6}, GetSysColor(COLOR_3DSHADOW)},
        {{4, 4}, GetSysColor(COLOR_BTNFACE)}}},
      {"BitBlt copies a block",
       [](HDC dc) {
         SetPixel(dc, 1, 1, RGB(1, 2, 3));
         SetPixel(dc, 2, 1, RGB(4, 5, 6));
         BitBlt(dc, 6, 6, 2, 1, dc, 1, 1, SRCCOPY);
       },
       {{{6, 6}, RGB(1, 2, 3)}, {{7, 6}, RGB(4, 5, 6)}, {{8, 6}, kWhite}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Canvas cv(12, 10);
    c.draw(cv.dc);
    for (const auto& [p, color] : c.expect) EXPECT_EQ(cv.at(p.x, p.y), color) << p.x << "," << p.y;
  }
}

TEST(Gdi, ObjectsAndBounds) {
  Canvas cv(4, 4);
  EXPECT_EQ(SetPixel(cv.dc, 4, 0, kBlack), CLR_INVALID);
  EXPECT_EQ(GetPixel(cv.dc, -1, 0), CLR_INVALID);
  EXPECT_FALSE(DeleteObject(cv.bmp));  // still selected
  EXPECT_FALSE(DeleteObject(GetStockObject(BLACK_PEN)));
  HBITMAP other = CreateCompatibleBitmap(cv.dc, 2, 2);
  HDC second = CreateCompatibleDC(nullptr);
  EXPECT_EQ(SelectObject(second, cv.bmp), nullptr);  // one DC at a time
  DeleteDC(second);
  BITMAP info{};
  ASSERT_EQ(GetObjectW(other, sizeof info, &info), static_cast<int>(sizeof info));
  EXPECT_EQ(info.bmWidth, 2);
  EXPECT_EQ(info.bmHeight, 2);
  EXPECT_TRUE(DeleteObject(other));
  EXPECT_FALSE(DeleteObject(other));
}

TEST(Gdi, BitmapResources) {
  HBITMAP b = LoadBitmapW(nullptr, MAKEINTRESOURCEW(300));
  ASSERT_NE(b, nullptr);
  BITMAP info{};
  GetObjectW(b, sizeof info, &info);
  EXPECT_EQ(info.bmWidth, 39);
  EXPECT_EQ(info.bmHeight, 33);
  EXPECT_EQ(pixelOf(b, 0, 0), RGB(0, 0, 128));       // the frame
  EXPECT_EQ(pixelOf(b, 8, 20), RGB(255, 255, 255));  // the tile
  EXPECT_EQ(pixelOf(b, 15, 7), RGB(0, 60, 200));     // the top stroke of the seven, not flipped
  DeleteObject(b);
  EXPECT_EQ(LoadBitmapW(nullptr, MAKEINTRESOURCEW(301)), nullptr);
}

TEST(Gdi, FontsByFaceName) {
  struct Case {
    const char16_t* face;
    const char* families;
  };
  const Case cases[] = {
      {u"MS Shell Dlg", "Liberation Sans, DejaVu Sans, Noto Sans CJK TC"},
      {u"ms shell dlg", "Liberation Sans, DejaVu Sans, Noto Sans CJK TC"},
      {u"新細明體", "Noto Serif CJK TC"},
      {u"MS Gothic", "Noto Sans Mono CJK JP"},
      {u"Book Antiqua", "DejaVu Serif, Noto Serif CJK TC"},
      {u"Microsoft Sans Serif", "Liberation Sans, DejaVu Sans, Noto Sans CJK TC"},
      {u"Arial", "Liberation Sans, DejaVu Sans, Noto Sans CJK TC"},
      {u"No Such Face", "Liberation Sans, DejaVu Sans, Noto Sans CJK TC"},
  };
  for (const auto& c : cases) EXPECT_STREQ(PlatformFontSubstitute(c.face), c.families);

  Canvas cv(200, 40);
  auto extent = [&](HFONT f, const char16_t* text) {
    HGDIOBJ old = SelectObject(cv.dc, f);
    SIZE s{};
    GetTextExtentPoint32W(cv.dc, text, static_cast<int>(std::char_traits<char16_t>::length(text)), &s);
    SelectObject(cv.dc, old);
    return s;
  };
  HFONT plain = CreateFontW(-20, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, FIXED_PITCH, u"MS Gothic");
  HFONT wide = CreateFontW(-20, 20, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, FIXED_PITCH, u"MS Gothic");
  SIZE p = extent(plain, u"12345"), w = extent(wide, u"12345");
  EXPECT_NEAR(static_cast<double>(w.cx) / p.cx, 2.0, 0.1);  // a width of 20 doubles the half-width digits
  EXPECT_EQ(p.cy, w.cy);
  HFONT cell = CreateFontW(30, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, u"MS Shell Dlg");
  HGDIOBJ old = SelectObject(cv.dc, cell);
  TEXTMETRICW tm{};
  GetTextMetricsW(cv.dc, &tm);
  EXPECT_NEAR(tm.tmHeight, 30, 1);  // a positive height is the cell
  // Text lands inside its extent, in the text colour.
  SetTextColor(cv.dc, RGB(255, 0, 0));
  SetBkMode(cv.dc, TRANSPARENT);
  TextOutW(cv.dc, 10, 2, u"Hi", 2);
  SIZE hi{};
  GetTextExtentPoint32W(cv.dc, u"Hi", 2, &hi);
  int red = 0, outside = 0;
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 200; ++x) {
      COLORREF c = cv.at(x, y);
      if (c == kWhite) continue;
      bool in = x >= 10 && x < 10 + hi.cx + 1 && y >= 2 && y < 2 + tm.tmHeight;
      if (!in) ++outside;
      if (c == RGB(255, 0, 0)) ++red;
    }
  EXPECT_GT(red, 20);
  EXPECT_EQ(outside, 0);
  SelectObject(cv.dc, old);
  DeleteObject(plain);
  DeleteObject(wide);
  DeleteObject(cell);
}

// A text is measured and placed alike whatever was drawn before it: a
// stretched or turned text leaves its transformation behind in the drawing
// context (a picture's digits drawn twice as wide put the next button's
// centred caption a third of its width in, cut at the right).
TEST(Gdi, TextPlacedAlikeAfterStretchedOrTurnedText) {
  HFONT shell = CreateFontW(-16, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, u"MS Shell Dlg");
  HFONT stretched = CreateFontW(20, 20, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, FIXED_PITCH, u"MS Gothic");
  HFONT turned = CreateFontW(-20, 0, 450, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, u"MS Shell Dlg");
  const char16_t* text = u"Cancel and Confirm";
  const int n = static_cast<int>(std::char_traits<char16_t>::length(text));
  // One wrapped, centred text of two lines, its extent and its room.
  struct Drawn {
    int lineHeight = 0;
    SIZE extent{};
    RECT calc{};
    HBITMAP picture = nullptr;
  };
  auto draw = [&](HFONT before) {
    Canvas other(120, 60);
    if (before) {
      SelectObject(other.dc, before);
      TextOutW(other.dc, 5, 30, u"0123", 4);
    }
    Drawn d;
    Canvas cv(100, 50);
    SelectObject(cv.dc, shell);
    GetTextExtentPoint32W(cv.dc, text, n, &d.extent);
    TEXTMETRICW tm{};
    GetTextMetricsW(cv.dc, &tm);
    d.lineHeight = tm.tmHeight;
    d.calc = RECT{0, 0, 100, 0};
    DrawTextW(cv.dc, text, n, &d.calc, DT_CALCRECT | DT_CENTER | DT_WORDBREAK);
    RECT r{0, 0, 100, 50};
    SetBkMode(cv.dc, TRANSPARENT);
    DrawTextW(cv.dc, text, n, &r, DT_CENTER | DT_WORDBREAK);
    d.picture = CreateCompatibleBitmap(cv.dc, 100, 50);
    HDC copy = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(copy, d.picture);
    BitBlt(copy, 0, 0, 100, 50, cv.dc, 0, 0, SRCCOPY);
    SelectObject(copy, old);
    DeleteDC(copy);
    return d;
  };
  Drawn plain = draw(nullptr);
  EXPECT_EQ(plain.calc.bottom, 2 * plain.lineHeight);  // two lines
  for (HFONT before : {stretched, turned}) {
    Drawn d = draw(before);
    EXPECT_EQ(d.extent.cx, plain.extent.cx);
    EXPECT_EQ(d.calc.right, plain.calc.right);
    EXPECT_EQ(d.calc.bottom, plain.calc.bottom);
    EXPECT_TRUE(samePicture(d.picture, plain.picture));
    DeleteObject(d.picture);
  }
  DeleteObject(plain.picture);
  DeleteObject(shell);
  DeleteObject(stretched);
  DeleteObject(turned);
}

TEST(DialogUnits, FixedBaseUnitsPerFont) {
  struct Case {
    int dialog;
    int clientW, clientH;  // the template's size through the base units
    int control;
    RECT controlRect;  // in the dialog's client area
  };
  const Case cases[] = {
      // 8 points: base units 6 and 13.
      {100, 300, 163, 101, {75, 11, 75 + 210, 11 + 20}},
      // 10 points: 7 and 16.
      {130, 327, 284, 131, {4, 28, 4 + 320, 28 + 210}},
      // 12 points: 8 and 19.
      {140, 400, 261, IDCANCEL, {280, 214, 280 + 100, 214 + 33}},
      // 9 points: 6 and 14.
      {120, 360, 210, 121, {8, 9, 8 + 345, 9 + 140}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dialog);
    HWND dlg = CreateDialogParamW(
        nullptr, MAKEINTRESOURCEW(c.dialog), nullptr,
        [](HWND, UINT m, WPARAM, LPARAM) -> INT_PTR { return m == WM_INITDIALOG; }, 0);
    ASSERT_NE(dlg, nullptr);
    RECT client;
    GetClientRect(dlg, &client);
    EXPECT_EQ(client.right, c.clientW);
    EXPECT_EQ(client.bottom, c.clientH);
    RECT r;
    GetWindowRect(GetDlgItem(dlg, c.control), &r);
    MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, c.controlRect.left);
    EXPECT_EQ(r.top, c.controlRect.top);
    EXPECT_EQ(r.right, c.controlRect.right);
    EXPECT_EQ(r.bottom, c.controlRect.bottom);
    RECT du{0, 0, 4, 8};
    MapDialogRect(dlg, &du);
    EXPECT_GT(du.right, 0);
    DestroyWindow(dlg);
    EXPECT_FALSE(IsWindow(dlg));
  }
}

TEST(Windows, HandlesTextAndState) {
  HWND dlg = CreateDialogParamW(
      nullptr, MAKEINTRESOURCEW(100), nullptr,
      [](HWND, UINT m, WPARAM, LPARAM) -> INT_PTR { return m == WM_INITDIALOG; }, 0);
  ASSERT_NE(dlg, nullptr);
  HWND edit = GetDlgItem(dlg, 101);
  EXPECT_TRUE(SetWindowTextW(edit, u"hello"));
  WCHAR buf[4];
  EXPECT_EQ(GetWindowTextW(edit, buf, 4), 3);  // cut to the buffer
  EXPECT_EQ(std::u16string(buf), u"hel");
  EXPECT_EQ(GetWindowTextLengthW(edit), 5);
  EXPECT_FALSE(EnableWindow(edit, FALSE));
  EXPECT_FALSE(IsWindowEnabled(edit));
  EXPECT_TRUE(EnableWindow(edit, TRUE));
  EXPECT_EQ(SetFocus(GetDlgItem(dlg, 104)), nullptr);  // disabled: refused
  EXPECT_EQ(GetDlgCtrlID(edit), 101);
  EXPECT_EQ(GetParent(edit), dlg);
  DestroyWindow(dlg);
  EXPECT_FALSE(IsWindow(edit));
  EXPECT_FALSE(SetWindowTextW(edit, u"x"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}
