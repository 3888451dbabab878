#include "protinput/CColorStatic.h"

std::u16string FontErrorText;
std::u16string FontErrorCaption;

namespace {

std::u16string loadString(UINT id) {
  LPCWSTR p = nullptr;
  int n = LoadStringW(AfxGetResourceHandle(), id, reinterpret_cast<LPWSTR>(&p), 0);
  return n > 0 && p ? std::u16string(p, static_cast<size_t>(n)) : std::u16string();
}

constexpr BYTE kTrueTypePrecision = 4;
constexpr BYTE kDraftQuality = 1;
constexpr BYTE kProofQuality = 2;

}  // namespace

CColorStatic::CColorStatic() : backColor(GetSysColor(COLOR_BTNFACE)) {
  font.Attach(makeFont(fontSize, kDraftQuality));
  FontErrorText = loadString(101);
  FontErrorCaption = loadString(102);
}

CColorStatic::~CColorStatic() {
  font.DeleteObject();
  brush.DeleteObject();
}

HFONT CColorStatic::makeFont(int height, BYTE quality) {
  return CreateFontW(height, 0, 0, 0, weight, static_cast<DWORD>(italic), static_cast<DWORD>(underline),
                     static_cast<DWORD>(strikeOut), ANSI_CHARSET, kTrueTypePrecision, 0, quality, FF_SWISS,
                     faceName.c_str());
}

int CColorStatic::SetColors(int text, int back) {
  if (text != -1) textColor = static_cast<COLORREF>(text);
  if (back != -1) backColor = static_cast<COLORREF>(back);
  SetFont(&font, TRUE);
  Invalidate();
  return 1;
}

int CColorStatic::SetFontSize(int height) {
  HFONT made = makeFont(height, kProofQuality);
  if (made == nullptr) {
    // The control keeps the font it has.
    ::MessageBoxW(m_hWnd, FontErrorText.c_str(), FontErrorCaption.c_str(), MB_ICONERROR);
    return 0;
  }
  fontSize = height;
  // The old font may be selected in the control's DC: put the system font
  // there first, then let the old one go.
  CDC* dc = GetDC();
  if (dc) dc->SelectStockObject(SYSTEM_FONT);
  SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(made), TRUE);
  font.DeleteObject();
  font.Attach(made);
  if (dc) ReleaseDC(dc);
  return 1;
}

HBRUSH CColorStatic::CtlColor(CDC* dc, UINT) {
  dc->SetTextColor(textColor);
  dc->SetBkColor(backColor);
  dc->SetBkMode(TRANSPARENT);
  // One brush at a time: the one handed out before goes.
  brush.DeleteObject();
  brush.CreateSolidBrush(backColor);
  return static_cast<HBRUSH>(brush.m_hObject);
}

int CColorStatic::OnCreate(LPCREATESTRUCTW cs) {
  if (CStatic::OnCreate(cs) == -1) return -1;
  SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font.m_hObject), TRUE);
  return 0;
}
