#include "protinput/ImgBtn.h"

#include <cstring>

#include "protinput/RandomByte.h"

namespace {

// Eleven draws for one stroke and one noise pixel; false when the random
// source fails (the key is then drawn without that noise).
struct NoiseDraws {
  int v[11];
  bool draw() {
    for (int& x : v) {
      x = RandomByte();
      if (x < 0) return false;
    }
    return true;
  }
};

}  // namespace

void ImgBtn::DrawItem(LPDRAWITEMSTRUCT item) {
  if (item == nullptr || item->CtlType != ODT_BUTTON) return;
  CDC* dc = CDC::FromHandle(item->hDC);
  CRect r(item->rcItem);
  bool pushed = (item->itemState & ODS_SELECTED) != 0;
  bool focused = (item->itemState & ODS_FOCUS) != 0;
  bool disabled = (item->itemState & ODS_DISABLED) != 0;

  dc->FillSolidRect(&r, GetSysColor(COLOR_BTNFACE));
  CRect f = r;
  if (focused) f.DeflateRect(1, 1);
  CRect focusRect = f;
  focusRect.DeflateRect(3, 3);
  if (!pushed) dc->DrawFrameControl(&f, DFC_BUTTON, DFCS_BUTTONPUSH);
  CBrush* black = CBrush::FromHandle(static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  if (!disabled) {
    if (focused) dc->FrameRect(&r, black);
    if (pushed) dc->FrameRect(&f, black);
  }
  if (focused) dc->DrawFocusRect(&focusRect);

  fontSpec.lfCharSet = DEFAULT_CHARSET;
  fontSpec.lfWidth = 22;
  fontSpec.lfHeight = 22;
  fontSpec.lfWeight = FW_BOLD;
  fontSpec.lfPitchAndFamily = FIXED_PITCH;
  static const char16_t kFace[] = u"Book Antiqua";
  std::memcpy(fontSpec.lfFaceName, kFace, sizeof kFace);
  CFont font;
  CFont* oldFont = nullptr;
  if (font.CreateFontIndirect(&fontSpec)) oldFont = dc->SelectObject(&font);
  dc->SetBkMode(TRANSPARENT);
  CRect t = r;
  if (pushed) t.OffsetRect(1, 1);

  dc->FillSolidRect(&r, RGB(255, 255, 255));
  for (int pass = 0; pass < 8; ++pass) {
    NoiseDraws d;
    if (!d.draw()) break;
    const int* v = d.v;
    POINT s{r.left + (v[0] % 25) + 1, r.top + (v[1] % 25) + 1};
    int n = v[2] % 5;
    CPen pen(PS_SOLID, 1, RGB((v[5] % 254) + 1, (v[3] % 254) + 1, (v[4] % 254) + 1));
    CPen* oldPen = dc->SelectObject(&pen);
    dc->MoveTo(s.x, s.y);
    dc->LineTo(s.x + n + 1, s.y + n + 1);
    dc->MoveTo(0, 0);
    dc->SetPixel(r.left + (v[6] % 25), r.top + (v[7] % 25), RGB(v[10] % 255, v[8] % 255, v[9] % 255));
    dc->SelectObject(oldPen);
  }

  dc->SetTextColor(RGB(0, 85, 0));
  const UINT format = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
  if (!disabled) {
    dc->DrawText(caption, &t, format);
  } else {
    t.OffsetRect(1, 1);
    dc->DrawText(caption, &t, format);
    t.OffsetRect(-1, -1);
    dc->DrawText(caption, &t, format);
  }
  if (oldFont) dc->SelectObject(oldFont);
}
