// Buttons (push, default, flat, bitmap, owner-drawn, group box) and statics
// (text, bitmap, icon, frames, sunken), drawn in the classic look.
#include <cmath>

#include "internal.h"

namespace ui {

HBRUSH controlColor(Window& w, HDC hdc, UINT msg) {
  HWND parent = w.parent;
  if (parent != nullptr && find(parent) != nullptr) {
    auto b =
        reinterpret_cast<HBRUSH>(send(parent, msg, reinterpret_cast<WPARAM>(hdc), reinterpret_cast<LPARAM>(w.hwnd)));
    if (b != nullptr) return b;
    return reinterpret_cast<HBRUSH>(
        DefWindowProcW(parent, msg, reinterpret_cast<WPARAM>(hdc), reinterpret_cast<LPARAM>(w.hwnd)));
  }
  return reinterpret_cast<HBRUSH>(
      DefWindowProcW(w.hwnd, msg, reinterpret_cast<WPARAM>(hdc), reinterpret_cast<LPARAM>(w.hwnd)));
}

namespace {

struct ButtonState : ControlState {
  bool pushed = false;
  bool tracking = false;
  bool spaceDown = false;
  bool focused = false;
  HBITMAP image = nullptr;
  std::u16string shown;  // the text an owner-drawn button drew at its last paint
};

ButtonState& buttonState(Window& w) {
  if (!w.ctl) w.ctl = std::make_unique<ButtonState>();
  return static_cast<ButtonState&>(*w.ctl);
}

void drawDisabledText(HDC hdc, const std::u16string& text, RECT r, UINT format) {
  SetBkMode(hdc, TRANSPARENT);
  RECT shadow = r;
  OffsetRect(&shadow, 1, 1);
  SetTextColor(hdc, GetSysColor(COLOR_3DHILIGHT));
  DrawTextW(hdc, text.c_str(), static_cast<int>(text.size()), &shadow, format);
  SetTextColor(hdc, GetSysColor(COLOR_GRAYTEXT));
  DrawTextW(hdc, text.c_str(), static_cast<int>(text.size()), &r, format);
}

void blitBitmap(HDC hdc, HBITMAP bmp, int x, int y) {
  Bitmap* b = bitmapOf(bmp);
  if (b == nullptr) return;
  HDC mem = CreateCompatibleDC(hdc);
  HGDIOBJ old = SelectObject(mem, bmp);
  if (old == nullptr) {
    // Selected elsewhere: copy straight from its surface.
    Dc* d = dcOf(mem);
    d->surface = b->surface;
    d->clip = RECT{0, 0, b->width, b->height};
  }
  BitBlt(hdc, x, y, b->width, b->height, mem, 0, 0, SRCCOPY);
  if (old) SelectObject(mem, old);
  DeleteDC(mem);
}

void paintButton(Window& w, HDC hdc) {
  ButtonState& s = buttonState(w);
  RECT r;
  GetClientRect(w.hwnd, &r);
  DWORD type = w.style & BS_TYPEMASK;
  bool disabled = (w.style & WS_DISABLED) != 0;
  HFONT font = w.font ? w.font : reinterpret_cast<HFONT>(GetStockObject(SYSTEM_FONT));
  HGDIOBJ oldFont = SelectObject(hdc, font);
  if (type == BS_OWNERDRAW) {
    DRAWITEMSTRUCT di{ODT_BUTTON, static_cast<UINT>(w.id), 0, ODA_DRAWENTIRE, 0, w.hwnd, hdc, r, 0};
    if (s.pushed) di.itemState |= ODS_SELECTED;
    if (s.focused) di.itemState |= ODS_FOCUS;
    if (disabled) di.itemState |= ODS_DISABLED;
    controlColor(w, hdc, WM_CTLCOLORBTN);
    std::u16string shown;
    Dc* d = dcOf(hdc);
    if (d) {
      d->shown = &shown;
      d->lastShown.clear();
    }
    HWND self = w.hwnd;
    send(w.parent, WM_DRAWITEM, static_cast<WPARAM>(w.id), reinterpret_cast<LPARAM>(&di));
    if ((d = dcOf(hdc)) != nullptr) d->shown = nullptr;
    if (Window* again = find(self)) buttonState(*again).shown = std::move(shown);
    SelectObject(hdc, oldFont);
    return;
  }
  if (type == BS_GROUPBOX) {
    HBRUSH brush = controlColor(w, hdc, WM_CTLCOLORSTATIC);
    TEXTMETRICW tm;
    GetTextMetricsW(hdc, &tm);
    RECT frame = r;
    frame.top += tm.tmHeight / 2;
    drawEdgeInternal(hdc, frame, EDGE_ETCHED, BF_RECT);
    if (!w.text.empty()) {
      RECT tr{r.left + 8, r.top, r.right - 8, r.top + tm.tmHeight};
      RECT calc = tr;
      DrawTextW(hdc, w.text.c_str(), static_cast<int>(w.text.size()), &calc, DT_CALCRECT | DT_SINGLELINE);
      RECT back{tr.left - 2, tr.top, std::min(tr.right, calc.right + 2), tr.bottom};
      FillRect(hdc, &back, brush);
      SetBkMode(hdc, TRANSPARENT);
      if (disabled)
        drawDisabledText(hdc, w.text, tr, DT_SINGLELINE | DT_LEFT);
      else
        DrawTextW(hdc, w.text.c_str(), static_cast<int>(w.text.size()), &tr, DT_SINGLELINE | DT_LEFT);
    }
    SelectObject(hdc, oldFont);
    return;
  }
  // Push buttons.
  HBRUSH brush = controlColor(w, hdc, WM_CTLCOLORBTN);
  FillRect(hdc, &r, brush);
  RECT f = r;
  if (type == BS_DEFPUSHBUTTON) {
    FrameRect(hdc, &f, reinterpret_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    InflateRect(&f, -1, -1);
  }
  UINT state = DFCS_BUTTONPUSH;
  if (s.pushed) state |= DFCS_PUSHED;
  if (w.style & BS_FLAT) state |= DFCS_FLAT;
  DrawFrameControl(hdc, &f, DFC_BUTTON, state);
  RECT content = f;
  InflateRect(&content, -3, -3);
  if (s.pushed) OffsetRect(&content, 1, 1);
  if ((w.style & BS_BITMAP) && s.image) {
    if (Bitmap* b = bitmapOf(s.image)) {
      int x = content.left + (content.right - content.left - b->width) / 2;
      int y = content.top + (content.bottom - content.top - b->height) / 2;
      Dc* d = dcOf(hdc);
      RECT saved = d->clip;
      RECT clip{content.left + d->originX, content.top + d->originY, content.right + d->originX,
                content.bottom + d->originY};
      IntersectRect(&d->clip, &saved, &clip);
      blitBitmap(hdc, s.image, x, y);
      d->clip = saved;
    }
  } else {
    UINT format = DT_SINGLELINE | DT_VCENTER;
    DWORD h = w.style & BS_CENTER;
    format |= h == BS_LEFT ? DT_LEFT : h == BS_RIGHT ? DT_RIGHT : DT_CENTER;
    if (w.style & BS_MULTILINE) format = (format & ~(DT_SINGLELINE | DT_VCENTER)) | DT_WORDBREAK;
    SetBkMode(hdc, TRANSPARENT);
    if (disabled) {
      drawDisabledText(hdc, w.text, content, format);
    } else {
      SetTextColor(hdc, GetSysColor(COLOR_BTNTEXT));
      DrawTextW(hdc, w.text.c_str(), static_cast<int>(w.text.size()), &content, format);
    }
  }
  if (s.focused) {
    RECT fr = f;
    InflateRect(&fr, -3, -3);
    DrawFocusRect(hdc, &fr);
  }
  SelectObject(hdc, oldFont);
}

void click(Window& w) {
  HWND hwnd = w.hwnd;
  if (Window* x = find(hwnd)) notifyParent(*x, BN_CLICKED);
}

}  // namespace

LRESULT buttonProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* w = findAny(hwnd);
  if (w == nullptr) return 0;
  ButtonState& s = buttonState(*w);
  DWORD type = w->style & BS_TYPEMASK;
  switch (msg) {
    case WM_GETDLGCODE:
      if (type == BS_GROUPBOX) return DLGC_STATIC;
      if (type == BS_DEFPUSHBUTTON) return DLGC_BUTTON | DLGC_DEFPUSHBUTTON;
      if (type == BS_PUSHBUTTON) return DLGC_BUTTON | DLGC_UNDEFPUSHBUTTON;
      return DLGC_BUTTON;
    case WM_SETFONT: w->font = reinterpret_cast<HFONT>(wParam); return 0;
    case WM_GETFONT: return reinterpret_cast<LRESULT>(w->font);
    case BM_SETSTYLE: w->style = (w->style & 0xFFFF0000u) | static_cast<DWORD>(wParam & 0xFFFF); return 0;
    case BM_GETSTATE: return (s.pushed ? BST_PUSHED : 0) | (s.focused ? BST_FOCUS : 0);
    case BM_SETSTATE: s.pushed = wParam != 0; return 0;
    case BM_GETCHECK: return BST_UNCHECKED;
    case BM_SETCHECK: return 0;
    case BM_SETIMAGE: {
      if (wParam != IMAGE_BITMAP) return 0;
      HBITMAP old = s.image;
      s.image = reinterpret_cast<HBITMAP>(lParam);
      return reinterpret_cast<LRESULT>(old);
    }
    case BM_GETIMAGE: return wParam == IMAGE_BITMAP ? reinterpret_cast<LRESULT>(s.image) : 0;
    case BM_CLICK: {
      RECT r;
      GetClientRect(hwnd, &r);
      LPARAM pt = MAKELPARAM(r.right / 2, r.bottom / 2);
      send(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, pt);
      send(hwnd, WM_LBUTTONUP, 0, pt);
      return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      if (type == BS_GROUPBOX || (w->style & WS_DISABLED)) return 0;
      SetFocus(hwnd);
      if ((w = find(hwnd)) == nullptr) return 0;
      SetCapture(hwnd);
      s.tracking = true;
      s.pushed = true;
      return 0;
    case WM_LBUTTONUP: {
      if (!s.tracking) return 0;
      s.tracking = false;
      ReleaseCapture();
      bool was = s.pushed;
      s.pushed = false;
      RECT r;
      GetClientRect(hwnd, &r);
      POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      if (was && PtInRect(&r, p)) click(*w);
      return 0;
    }
    case WM_KEYDOWN:
      if (wParam == VK_SPACE && type != BS_GROUPBOX) {
        s.spaceDown = true;
        s.pushed = true;
      }
      return 0;
    case WM_KEYUP:
      if (wParam == VK_SPACE && s.spaceDown) {
        s.spaceDown = false;
        bool was = s.pushed;
        s.pushed = false;
        if (was) click(*w);
      }
      return 0;
    case WM_CHAR: return 0;
    case WM_SETFOCUS:
      s.focused = true;
      if (w->style & BS_NOTIFY) notifyParent(*w, BN_SETFOCUS);
      return 0;
    case WM_KILLFOCUS:
      s.focused = false;
      s.spaceDown = false;
      if (!s.tracking) s.pushed = false;
      if (w->style & BS_NOTIFY) notifyParent(*w, BN_KILLFOCUS);
      return 0;
    case WM_CANCELMODE:
      s.tracking = false;
      s.pushed = false;
      return 0;
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC hdc = BeginPaint(hwnd, &ps);
      paintButton(*w, hdc);
      EndPaint(hwnd, &ps);
      return 0;
    }
    default: return DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

// ---- statics ----

namespace {

struct StaticState : ControlState {
  HBITMAP image = nullptr;
  UINT icon = 0;  // message-box icon kind (MB_ICON*)
};

StaticState& staticState(Window& w) {
  if (!w.ctl) w.ctl = std::make_unique<StaticState>();
  return static_cast<StaticState&>(*w.ctl);
}

// The four message-box icons, drawn as plain shapes.
void drawIcon(HDC hdc, UINT kind, RECT r) {
  Dc* d = dcOf(hdc);
  if (d == nullptr) return;
  cairo_t* cr = cairo_create(d->surface);
  cairo_rectangle(cr, d->clip.left, d->clip.top, d->clip.right - d->clip.left, d->clip.bottom - d->clip.top);
  cairo_clip(cr);
  cairo_translate(cr, r.left + d->originX, r.top + d->originY);
  double s = std::min(r.right - r.left, r.bottom - r.top);
  cairo_set_line_width(cr, s / 10);
  if (kind == MB_ICONEXCLAMATION) {
    cairo_move_to(cr, s / 2, 1);
    cairo_line_to(cr, s - 1, s - 2);
    cairo_line_to(cr, 1, s - 2);
    cairo_close_path(cr);
    cairo_set_source_rgb(cr, 1, 0.85, 0);
    cairo_fill_preserve(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);
    cairo_set_line_width(cr, s / 9);
    cairo_move_to(cr, s / 2, s * 0.3);
    cairo_line_to(cr, s / 2, s * 0.65);
    cairo_stroke(cr);
    cairo_arc(cr, s / 2, s * 0.78, s / 16, 0, 2 * M_PI);
    cairo_fill(cr);
  } else {
    cairo_arc(cr, s / 2, s / 2, s / 2 - 1, 0, 2 * M_PI);
    if (kind == MB_ICONHAND)
      cairo_set_source_rgb(cr, 0.85, 0, 0);
    else
      cairo_set_source_rgb(cr, 0.1, 0.3, 0.9);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    if (kind == MB_ICONHAND) {
      cairo_move_to(cr, s * 0.3, s * 0.3);
      cairo_line_to(cr, s * 0.7, s * 0.7);
      cairo_move_to(cr, s * 0.7, s * 0.3);
      cairo_line_to(cr, s * 0.3, s * 0.7);
      cairo_stroke(cr);
    } else if (kind == MB_ICONQUESTION) {
      cairo_arc(cr, s / 2, s * 0.38, s * 0.14, M_PI, 2.2 * M_PI);
      cairo_line_to(cr, s / 2, s * 0.62);
      cairo_stroke(cr);
      cairo_arc(cr, s / 2, s * 0.76, s / 16, 0, 2 * M_PI);
      cairo_fill(cr);
    } else {
      cairo_arc(cr, s / 2, s * 0.27, s / 14, 0, 2 * M_PI);
      cairo_fill(cr);
      cairo_move_to(cr, s / 2, s * 0.42);
      cairo_line_to(cr, s / 2, s * 0.78);
      cairo_stroke(cr);
    }
  }
  cairo_destroy(cr);
  cairo_surface_mark_dirty(d->surface);
}

void paintStatic(Window& w, HDC hdc) {
  StaticState& s = staticState(w);
  RECT r;
  GetClientRect(w.hwnd, &r);
  DWORD type = w.style & SS_TYPEMASK;
  HFONT font = w.font ? w.font : reinterpret_cast<HFONT>(GetStockObject(SYSTEM_FONT));
  HGDIOBJ oldFont = SelectObject(hdc, font);
  if (type == SS_OWNERDRAW) {
    DRAWITEMSTRUCT di{ODT_STATIC, static_cast<UINT>(w.id), 0, ODA_DRAWENTIRE, 0, w.hwnd, hdc, r, 0};
    if (w.style & WS_DISABLED) di.itemState |= ODS_DISABLED;
    send(w.parent, WM_DRAWITEM, static_cast<WPARAM>(w.id), reinterpret_cast<LPARAM>(&di));
    SelectObject(hdc, oldFont);
    return;
  }
  HBRUSH brush = controlColor(w, hdc, WM_CTLCOLORSTATIC);
  switch (type) {
    case SS_BLACKRECT: FillRect(hdc, &r, GetSysColorBrush(COLOR_WINDOWFRAME)); break;
    case SS_GRAYRECT: FillRect(hdc, &r, GetSysColorBrush(COLOR_BTNSHADOW)); break;
    case SS_WHITERECT: FillRect(hdc, &r, GetSysColorBrush(COLOR_WINDOW)); break;
    case SS_BLACKFRAME: FrameRect(hdc, &r, GetSysColorBrush(COLOR_WINDOWFRAME)); break;
    case SS_GRAYFRAME: FrameRect(hdc, &r, GetSysColorBrush(COLOR_BTNSHADOW)); break;
    case SS_WHITEFRAME: FrameRect(hdc, &r, GetSysColorBrush(COLOR_WINDOW)); break;
    case SS_ETCHEDHORZ: drawEdgeInternal(hdc, r, EDGE_ETCHED, BF_TOP); break;
    case SS_ETCHEDVERT: drawEdgeInternal(hdc, r, EDGE_ETCHED, BF_LEFT); break;
    case SS_ETCHEDFRAME: drawEdgeInternal(hdc, r, EDGE_ETCHED, BF_RECT); break;
    case SS_BITMAP: {
      FillRect(hdc, &r, brush);
      if (Bitmap* b = bitmapOf(s.image)) {
        int x = 0, y = 0;
        if (w.style & SS_CENTERIMAGE) {
          x = (r.right - b->width) / 2;
          y = (r.bottom - b->height) / 2;
        }
        blitBitmap(hdc, s.image, x, y);
      }
      break;
    }
    case SS_ICON:
      FillRect(hdc, &r, brush);
      if (s.icon) drawIcon(hdc, s.icon, RECT{0, 0, 32, 32});
      break;
    default: {
      FillRect(hdc, &r, brush);
      UINT format = DT_EXPANDTABS;
      if (type == SS_CENTER)
        format |= DT_CENTER | DT_WORDBREAK;
      else if (type == SS_RIGHT)
        format |= DT_RIGHT | DT_WORDBREAK;
      else if (type == SS_LEFT)
        format |= DT_LEFT | DT_WORDBREAK;
      if (w.style & SS_NOPREFIX) format |= DT_NOPREFIX;
      if (w.style & SS_CENTERIMAGE) format = (format & ~DT_WORDBREAK) | DT_SINGLELINE | DT_VCENTER;
      RECT tr = r;
      if (w.style & SS_SUNKEN) InflateRect(&tr, -1, -1);
      if (w.style & WS_DISABLED)
        drawDisabledText(hdc, w.text, tr, format);
      else
        DrawTextW(hdc, w.text.c_str(), static_cast<int>(w.text.size()), &tr, format);
      break;
    }
  }
  if (w.style & SS_SUNKEN) drawEdgeInternal(hdc, r, BDR_SUNKENOUTER, BF_RECT);
  SelectObject(hdc, oldFont);
}

}  // namespace

LRESULT staticProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* w = findAny(hwnd);
  if (w == nullptr) return 0;
  StaticState& s = staticState(*w);
  switch (msg) {
    case WM_GETDLGCODE: return DLGC_STATIC;
    case WM_SETFONT: w->font = reinterpret_cast<HFONT>(wParam); return 0;
    case WM_GETFONT: return reinterpret_cast<LRESULT>(w->font);
    case STM_SETIMAGE: {
      if (wParam != IMAGE_BITMAP) return 0;
      HBITMAP old = s.image;
      s.image = reinterpret_cast<HBITMAP>(lParam);
      // A bitmap static takes the size of its bitmap unless told to centre it.
      if (Bitmap* b = bitmapOf(s.image); b && (w->style & SS_TYPEMASK) == SS_BITMAP && !(w->style & SS_CENTERIMAGE)) {
        RECT in = clientInsets(*w);
        SetWindowPos(hwnd, nullptr, 0, 0, b->width + in.left + in.right, b->height + in.top + in.bottom,
                     SWP_NOMOVE | SWP_NOZORDER);
      }
      return reinterpret_cast<LRESULT>(old);
    }
    case STM_GETIMAGE: return wParam == IMAGE_BITMAP ? reinterpret_cast<LRESULT>(s.image) : 0;
    case STM_SETICON: {
      UINT old = s.icon;
      s.icon = static_cast<UINT>(wParam);
      return static_cast<LRESULT>(old);
    }
    case STM_GETICON: return static_cast<LRESULT>(s.icon);
    case WM_LBUTTONUP:
      if ((w->style & SS_NOTIFY) && !(w->style & WS_DISABLED)) notifyParent(*w, STN_CLICKED);
      return 0;
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC hdc = BeginPaint(hwnd, &ps);
      paintStatic(*w, hdc);
      EndPaint(hwnd, &ps);
      return 0;
    }
    default: return DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

std::u16string controlShown(HWND control) {
  Window* w = find(control);
  if (w == nullptr || !w->ctl) return {};
  if (w->kind == Kind::Button) {
    auto& s = static_cast<ButtonState&>(*w->ctl);
    if ((w->style & BS_TYPEMASK) == BS_OWNERDRAW) return s.shown;
    if (Bitmap* b = (w->style & BS_BITMAP) ? bitmapOf(s.image) : nullptr) return b->shows;
    return {};
  }
  if (w->kind == Kind::Static && (w->style & SS_TYPEMASK) == SS_BITMAP) {
    if (Bitmap* b = bitmapOf(static_cast<StaticState&>(*w->ctl).image)) return b->shows;
  }
  return {};
}

}  // namespace ui
