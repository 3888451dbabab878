// Pictures of windows: the frame, the caption, edges and scroll bars in the
// classic look, then WM_ERASEBKGND and WM_PAINT for each window, parents
// before children, children lowest in the z-order first.
#include <algorithm>
#include <map>

#include "internal.h"

namespace ui {
namespace {

thread_local std::map<HWND, HDC> tPaintDcs;

HFONT captionFont() {
  static HFONT font = CreateFontW(-11, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, u"MS Shell Dlg");
  return font;
}

void drawArrow(HDC hdc, RECT r, int direction, bool enabled) {
  // direction: 0 up, 1 down, 2 left, 3 right
  COLORREF c = enabled ? RGB(0, 0, 0) : GetSysColor(COLOR_GRAYTEXT);
  int cx = (r.left + r.right) / 2, cy = (r.top + r.bottom) / 2;
  for (int i = 0; i < 4; ++i) {
    for (int j = -i; j <= i; ++j) {
      switch (direction) {
        case 0: SetPixel(hdc, cx + j, cy - 2 + i, c); break;
        case 1: SetPixel(hdc, cx + j, cy + 1 - i, c); break;
        case 2: SetPixel(hdc, cx - 2 + i, cy + j, c); break;
        default: SetPixel(hdc, cx + 1 - i, cy + j, c); break;
      }
    }
  }
}

void drawScrollBar(HDC hdc, RECT bar, const ScrollState& s, bool vertical, bool enabled) {
  HBRUSH track = CreateSolidBrush(RGB(236, 233, 216));
  FillRect(hdc, &bar, track);
  DeleteObject(track);
  int len = vertical ? bar.bottom - bar.top : bar.right - bar.left;
  int thick = vertical ? bar.right - bar.left : bar.bottom - bar.top;
  int arrow = std::min(thick, len / 2);
  RECT a1 = bar, a2 = bar;
  if (vertical) {
    a1.bottom = a1.top + arrow;
    a2.top = a2.bottom - arrow;
  } else {
    a1.right = a1.left + arrow;
    a2.left = a2.right - arrow;
  }
  DrawFrameControl(hdc, &a1, DFC_BUTTON, DFCS_BUTTONPUSH);
  DrawFrameControl(hdc, &a2, DFC_BUTTON, DFCS_BUTTONPUSH);
  drawArrow(hdc, a1, vertical ? 0 : 2, enabled);
  drawArrow(hdc, a2, vertical ? 1 : 3, enabled);
  int range = s.max - s.min + 1;
  int track2 = len - 2 * arrow;
  if (!enabled || range <= 0 || s.page <= 0 || s.page >= range || track2 < 8) return;
  int thumb = std::max(8, track2 * s.page / range);
  int span = range - s.page;
  int offset = span > 0 ? (track2 - thumb) * (s.pos - s.min) / span : 0;
  RECT t = bar;
  if (vertical) {
    t.top = bar.top + arrow + offset;
    t.bottom = t.top + thumb;
  } else {
    t.left = bar.left + arrow + offset;
    t.right = t.left + thumb;
  }
  DrawFrameControl(hdc, &t, DFC_BUTTON, DFCS_BUTTONPUSH);
}

// The frame of a window, in window coordinates (origin at its top-left).
void drawNonClient(Window& w, HDC hdc) {
  RECT r{0, 0, w.rect.right - w.rect.left, w.rect.bottom - w.rect.top};
  bool top = !(w.style & WS_CHILD);
  if (w.style & WS_THICKFRAME) {
    drawEdgeInternal(hdc, r, EDGE_RAISED, BF_RECT);
    InflateRect(&r, -2, -2);
    FrameRect(hdc, &r, GetSysColorBrush(COLOR_BTNFACE));
    InflateRect(&r, -1, -1);
    FrameRect(hdc, &r, GetSysColorBrush(COLOR_BTNFACE));
    InflateRect(&r, -1, -1);
  } else if ((w.style & WS_DLGFRAME) || (w.exStyle & WS_EX_DLGMODALFRAME)) {
    drawEdgeInternal(hdc, r, EDGE_RAISED, BF_RECT);
    InflateRect(&r, -2, -2);
    FrameRect(hdc, &r, GetSysColorBrush(COLOR_BTNFACE));
    InflateRect(&r, -1, -1);
  } else if (w.style & WS_BORDER) {
    FrameRect(hdc, &r, GetSysColorBrush(COLOR_WINDOWFRAME));
    InflateRect(&r, -1, -1);
  }
  if (w.exStyle & WS_EX_CLIENTEDGE) {
    drawEdgeInternal(hdc, r, EDGE_SUNKEN, BF_RECT);
    InflateRect(&r, -2, -2);
  }
  if (w.exStyle & WS_EX_STATICEDGE) {
    drawEdgeInternal(hdc, r, BDR_SUNKENOUTER, BF_RECT);
    InflateRect(&r, -1, -1);
  }
  if ((w.style & WS_CAPTION) == WS_CAPTION) {
    int ch = GetSystemMetrics(SM_CYCAPTION);
    RECT cap{r.left, r.top, r.right, r.top + ch - 1};
    bool active = top && GetActiveWindow() == w.hwnd;
    FillRect(hdc, &cap, GetSysColorBrush(active ? COLOR_ACTIVECAPTION : COLOR_INACTIVECAPTION));
    RECT below{r.left, r.top + ch - 1, r.right, r.top + ch};
    FillRect(hdc, &below, GetSysColorBrush(COLOR_BTNFACE));
    RECT text = cap;
    text.left += 3;
    if (w.style & WS_SYSMENU) {
      RECT close{cap.right - 18, cap.top + 2, cap.right - 2, cap.top + 16};
      DrawFrameControl(hdc, &close, DFC_CAPTION, DFCS_CAPTIONCLOSE);
      text.right = close.left - 2;
    }
    HGDIOBJ old = SelectObject(hdc, captionFont());
    SetBkMode(hdc, TRANSPARENT);
    SetTextColor(hdc, GetSysColor(active ? COLOR_CAPTIONTEXT : COLOR_INACTIVECAPTIONTEXT));
    DrawTextW(hdc, w.text.c_str(), static_cast<int>(w.text.size()), &text,
              DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_LEFT);
    SelectObject(hdc, old);
    r.top += ch;
  }
  bool vs = (w.style & WS_VSCROLL) != 0, hs = (w.style & WS_HSCROLL) != 0;
  int sb = GetSystemMetrics(SM_CXVSCROLL);
  bool enabled = !(w.style & WS_DISABLED);
  if (vs) {
    RECT bar{r.right - sb, r.top, r.right, r.bottom - (hs ? sb : 0)};
    drawScrollBar(hdc, bar, w.scroll[SB_VERT], true, enabled);
  }
  if (hs) {
    RECT bar{r.left, r.bottom - sb, r.right - (vs ? sb : 0), r.bottom};
    drawScrollBar(hdc, bar, w.scroll[SB_HORZ], false, enabled);
  }
  if (vs && hs) {
    RECT corner{r.right - sb, r.bottom - sb, r.right, r.bottom};
    FillRect(hdc, &corner, GetSysColorBrush(COLOR_BTNFACE));
  }
}

RECT intersect(RECT a, RECT b) {
  RECT r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
  if (r.right < r.left) r.right = r.left;
  if (r.bottom < r.top) r.bottom = r.top;
  return r;
}

void drawWindow(HWND hwnd, cairo_surface_t* surface, int x, int y, RECT clip) {
  Window* w = find(hwnd);
  if (w == nullptr || !(w->style & WS_VISIBLE)) return;
  int width = w->rect.right - w->rect.left, height = w->rect.bottom - w->rect.top;
  RECT outer = intersect(clip, RECT{x, y, x + width, y + height});
  if (outer.right <= outer.left || outer.bottom <= outer.top) return;
  HDC nc = makeDc(surface, false, hwnd, x, y, outer);
  drawNonClient(*w, nc);
  DeleteDC(nc);
  RECT in = clientInsets(*w);
  int cx = x + in.left, cy = y + in.top;
  RECT inner = intersect(outer, RECT{cx, cy, x + width - in.right, y + height - in.bottom});
  if (inner.right > inner.left && inner.bottom > inner.top) {
    HDC hdc = makeDc(surface, false, hwnd, cx, cy, inner);
    tPaintDcs[hwnd] = hdc;
    send(hwnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0);
    if (find(hwnd)) send(hwnd, WM_PAINT, 0, 0);
    tPaintDcs.erase(hwnd);
    DeleteDC(hdc);
    if ((w = find(hwnd)) == nullptr) return;
    std::vector<HWND> kids = w->children;
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) {
      Window* k = find(*it);
      if (k == nullptr) continue;
      drawWindow(*it, surface, cx + k->rect.left, cy + k->rect.top, inner);
    }
  }
}

}  // namespace

HDC currentPaintDc(HWND hwnd) {
  auto it = tPaintDcs.find(hwnd);
  return it == tPaintDcs.end() ? nullptr : it->second;
}

}  // namespace ui

using namespace ui;

PLATFORM_API HDC BeginPaint(HWND hwnd, LPPAINTSTRUCT ps) {
  if (ps == nullptr || !IsWindow(hwnd)) return nullptr;
  *ps = PAINTSTRUCT{};
  HDC hdc = currentPaintDc(hwnd);
  if (hdc == nullptr) {
    hdc = makeWindowDc(hwnd);
    ps->fRestore = TRUE;  // made here, released by EndPaint
  }
  ps->hdc = hdc;
  GetClientRect(hwnd, &ps->rcPaint);
  return hdc;
}

PLATFORM_API BOOL EndPaint(HWND, const PAINTSTRUCT* ps) {
  if (ps == nullptr) return FALSE;
  if (ps->fRestore) DeleteDC(ps->hdc);
  return TRUE;
}

PLATFORM_API HBITMAP PlatformCaptureWindow(HWND hwnd) {
  Window* w = find(hwnd);
  if (w == nullptr) return nullptr;
  int width = std::max<int>(1, w->rect.right - w->rect.left);
  int height = std::max<int>(1, w->rect.bottom - w->rect.top);
  HBITMAP bmp = makeBitmap(width, height);
  Bitmap* b = bitmapOf(bmp);
  // A window that is hidden is drawn all the same: the picture is of the window.
  bool hidden = !(w->style & WS_VISIBLE);
  if (hidden) w->style |= WS_VISIBLE;
  drawWindow(hwnd, b->surface, 0, 0, RECT{0, 0, width, height});
  if ((w = find(hwnd)) != nullptr && hidden) w->style &= ~WS_VISIBLE;
  return bmp;
}

PLATFORM_API BOOL PlatformSaveWindowPng(HWND hwnd, const char* path) {
  HBITMAP bmp = PlatformCaptureWindow(hwnd);
  if (bmp == nullptr) return FALSE;
  BOOL ok = PlatformSaveBitmapPng(bmp, path);
  DeleteObject(bmp);
  return ok;
}
