// GDI on in-memory surfaces: device contexts, bitmaps, pens, brushes, pixels,
// lines, rectangles, edges, focus rectangles and bit-block transfers. Shapes
// are set pixel by pixel (no anti-aliasing), as the classic GDI draws them.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "internal.h"

namespace ui {

struct GdiObject {
  enum Type { Pen, Brush, Font, Bmp } type;
  bool stock = false;
  int selected = 0;
  COLORREF color = 0;
  int penStyle = PS_SOLID;
  int penWidth = 1;
  bool nullBrush = false;
  LOGFONTW font{};
  Bitmap bitmap;
  ~GdiObject() {
    if (bitmap.surface) cairo_surface_destroy(bitmap.surface);
  }
};

namespace {

std::recursive_mutex gGdiMutex;
std::unordered_map<HGDIOBJ, std::unique_ptr<GdiObject>> gObjects;
std::unordered_map<HDC, std::unique_ptr<Dc>> gDcs;
std::uintptr_t gNextGdi = 0x20000;
std::uintptr_t gNextDc = 0x30000;
HGDIOBJ gStock[20];
HGDIOBJ gSysBrushes[25];
HGDIOBJ gDefaultBitmap;

const COLORREF kSysColors[25] = {
    RGB(212, 208, 200), RGB(58, 110, 165),  RGB(10, 36, 106),   RGB(128, 128, 128), RGB(212, 208, 200),
    RGB(255, 255, 255), RGB(0, 0, 0),       RGB(0, 0, 0),       RGB(0, 0, 0),       RGB(255, 255, 255),
    RGB(212, 208, 200), RGB(212, 208, 200), RGB(128, 128, 128), RGB(10, 36, 106),   RGB(255, 255, 255),
    RGB(212, 208, 200), RGB(128, 128, 128), RGB(128, 128, 128), RGB(0, 0, 0),       RGB(212, 208, 200),
    RGB(255, 255, 255), RGB(64, 64, 64),    RGB(212, 208, 200), RGB(0, 0, 0),       RGB(255, 255, 225),
};

HGDIOBJ addObject(std::unique_ptr<GdiObject> o) {
  std::lock_guard<std::recursive_mutex> lock(gGdiMutex);
  gNextGdi += 4;
  HGDIOBJ h = reinterpret_cast<HGDIOBJ>(gNextGdi);
  gObjects[h] = std::move(o);
  return h;
}

GdiObject* object(HGDIOBJ h) {
  std::lock_guard<std::recursive_mutex> lock(gGdiMutex);
  auto it = gObjects.find(h);
  return it == gObjects.end() ? nullptr : it->second.get();
}

HGDIOBJ makeStock(GdiObject::Type type, COLORREF color, bool nullObject = false) {
  auto o = std::make_unique<GdiObject>();
  o->type = type;
  o->stock = true;
  o->color = color;
  if (type == GdiObject::Brush) o->nullBrush = nullObject;
  if (type == GdiObject::Pen && nullObject) o->penStyle = PS_NULL;
  return addObject(std::move(o));
}

HGDIOBJ makeStockFont(const char16_t* face, LONG height, LONG weight) {
  auto o = std::make_unique<GdiObject>();
  o->type = GdiObject::Font;
  o->stock = true;
  o->font.lfHeight = height;
  o->font.lfWeight = weight;
  std::u16string f(face);
  std::memcpy(o->font.lfFaceName, f.data(), std::min<size_t>(f.size(), LF_FACESIZE - 1) * sizeof(WCHAR));
  return addObject(std::move(o));
}

void ensureStock() {
  std::lock_guard<std::recursive_mutex> lock(gGdiMutex);
  if (gStock[0] != nullptr) return;
  gStock[WHITE_BRUSH] = makeStock(GdiObject::Brush, RGB(255, 255, 255));
  gStock[LTGRAY_BRUSH] = makeStock(GdiObject::Brush, RGB(192, 192, 192));
  gStock[GRAY_BRUSH] = makeStock(GdiObject::Brush, RGB(128, 128, 128));
  gStock[DKGRAY_BRUSH] = makeStock(GdiObject::Brush, RGB(64, 64, 64));
  gStock[BLACK_BRUSH] = makeStock(GdiObject::Brush, RGB(0, 0, 0));
  gStock[NULL_BRUSH] = makeStock(GdiObject::Brush, 0, true);
  gStock[WHITE_PEN] = makeStock(GdiObject::Pen, RGB(255, 255, 255));
  gStock[BLACK_PEN] = makeStock(GdiObject::Pen, RGB(0, 0, 0));
  gStock[NULL_PEN] = makeStock(GdiObject::Pen, 0, true);
  gStock[OEM_FIXED_FONT] = makeStockFont(u"Courier New", 12, FW_NORMAL);
  gStock[ANSI_FIXED_FONT] = makeStockFont(u"Courier New", 12, FW_NORMAL);
  gStock[ANSI_VAR_FONT] = makeStockFont(u"MS Sans Serif", -11, FW_NORMAL);
  gStock[SYSTEM_FONT] = makeStockFont(u"System", 16, FW_BOLD);
  gStock[DEVICE_DEFAULT_FONT] = makeStockFont(u"System", 16, FW_BOLD);
  gStock[SYSTEM_FIXED_FONT] = makeStockFont(u"Courier New", 16, FW_NORMAL);
  gStock[DEFAULT_GUI_FONT] = makeStockFont(u"MS Shell Dlg", -11, FW_NORMAL);
  for (int i = 0; i < 25; ++i) gSysBrushes[i] = makeStock(GdiObject::Brush, kSysColors[i]);
  auto bmp = std::make_unique<GdiObject>();
  bmp->type = GdiObject::Bmp;
  bmp->stock = true;
  bmp->bitmap.surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
  bmp->bitmap.width = bmp->bitmap.height = 1;
  gDefaultBitmap = addObject(std::move(bmp));
}

inline uint32_t toPixel(COLORREF c) { return (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c); }
inline COLORREF fromPixel(uint32_t p) { return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF); }

struct PixelAccess {
  uint8_t* data;
  int stride;
  int width;
  int height;
  explicit PixelAccess(cairo_surface_t* s) {
    cairo_surface_flush(s);
    data = cairo_image_surface_get_data(s);
    stride = cairo_image_surface_get_stride(s);
    width = cairo_image_surface_get_width(s);
    height = cairo_image_surface_get_height(s);
  }
  uint32_t* at(int x, int y) { return reinterpret_cast<uint32_t*>(data + y * stride) + x; }
};

// Sets one pixel given in logical coordinates, honouring the clip.
inline void plot(Dc& dc, PixelAccess& px, int x, int y, uint32_t value) {
  int sx = x + dc.originX, sy = y + dc.originY;
  if (sx < dc.clip.left || sx >= dc.clip.right || sy < dc.clip.top || sy >= dc.clip.bottom) return;
  if (sx < 0 || sy < 0 || sx >= px.width || sy >= px.height) return;
  *px.at(sx, sy) = value;
}

void penLine(Dc& dc, PixelAccess& px, int x0, int y0, int x1, int y1, bool includeEnd) {
  GdiObject* pen = object(dc.pen);
  if (pen == nullptr || pen->penStyle == PS_NULL) return;
  uint32_t v = toPixel(pen->color);
  int w = std::max(1, pen->penWidth);
  int lo = -(w / 2), hi = (w - 1) / 2;
  int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
  int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
  int err = dx + dy;
  int x = x0, y = y0, step = 0;
  for (;;) {
    bool end = x == x1 && y == y1;
    if (end && !includeEnd) break;
    bool on = true;
    if (w == 1 && pen->penStyle == PS_DOT) on = (step % 2) == 0;
    if (w == 1 && pen->penStyle == PS_DASH) on = (step % 24) < 18;
    if (on)
      for (int oy = lo; oy <= hi; ++oy)
        for (int ox = lo; ox <= hi; ++ox) plot(dc, px, x + ox, y + oy, v);
    if (end) break;
    ++step;
    int e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y += sy;
    }
  }
}

void fillLogical(Dc& dc, RECT r, COLORREF color) {
  PixelAccess px(dc.surface);
  uint32_t v = toPixel(color);
  int l = std::max<int>(r.left + dc.originX, std::max<int>(dc.clip.left, 0));
  int t = std::max<int>(r.top + dc.originY, std::max<int>(dc.clip.top, 0));
  int rr = std::min<int>(r.right + dc.originX, std::min<int>(dc.clip.right, px.width));
  int b = std::min<int>(r.bottom + dc.originY, std::min<int>(dc.clip.bottom, px.height));
  for (int y = t; y < b; ++y)
    for (int x = l; x < rr; ++x) *px.at(x, y) = v;
  cairo_surface_mark_dirty(dc.surface);
}

void selectCount(HGDIOBJ h, int delta) {
  if (GdiObject* o = object(h)) o->selected += delta;
}

}  // namespace

Dc* dcOf(HDC hdc) {
  std::lock_guard<std::recursive_mutex> lock(gGdiMutex);
  auto it = gDcs.find(hdc);
  return it == gDcs.end() ? nullptr : it->second.get();
}

Bitmap* bitmapOf(HGDIOBJ h) {
  GdiObject* o = object(h);
  return o && o->type == GdiObject::Bmp ? &o->bitmap : nullptr;
}

const LOGFONTW* fontOf(HGDIOBJ h) {
  GdiObject* o = object(h);
  return o && o->type == GdiObject::Font ? &o->font : nullptr;
}

PlatformDrawOp drawOpFor(HDC hdc, PlatformDrawOp::Kind kind) {
  PlatformDrawOp op;
  op.kind = kind;
  op.hdc = hdc;
  if (Dc* dc = dcOf(hdc)) {
    if (dc->memory) op.target = dc->bitmap;
    op.bkMode = dc->bkMode;
    op.color = dc->textColor;
    if (const LOGFONTW* f = fontOf(dc->font)) op.font = *f;
    if (GdiObject* pen = object(dc->pen)) {
      op.penStyle = pen->penStyle;
      op.penWidth = pen->penWidth;
      op.penColor = pen->color;
    }
  }
  return op;
}

namespace {
PlatformDrawOp brushOp(HDC hdc, PlatformDrawOp::Kind kind, const RECT& r, GdiObject* brush) {
  PlatformDrawOp op = drawOpFor(hdc, kind);
  op.rect = r;
  op.color = brush ? brush->color : 0;
  op.nullBrush = brush == nullptr || brush->nullBrush;
  return op;
}
}  // namespace

HFONT defaultGuiFont() {
  ensureStock();
  return gStock[DEFAULT_GUI_FONT];
}

HDC makeDc(cairo_surface_t* surface, bool ownsSurface, HWND window, int originX, int originY, RECT clip) {
  ensureStock();
  auto dc = std::make_unique<Dc>();
  dc->surface = surface;
  dc->ownsSurface = ownsSurface;
  dc->window = window;
  dc->originX = originX;
  dc->originY = originY;
  dc->clip = clip;
  dc->pen = gStock[BLACK_PEN];
  dc->brush = gStock[WHITE_BRUSH];
  dc->font = gStock[SYSTEM_FONT];
  dc->textColor = RGB(0, 0, 0);
  dc->bkColor = RGB(255, 255, 255);
  if (Window* w = find(window)) {
    if (w->font) dc->font = w->font;
  }
  std::lock_guard<std::recursive_mutex> lock(gGdiMutex);
  gNextDc += 4;
  HDC h = reinterpret_cast<HDC>(gNextDc);
  selectCount(dc->pen, 1);
  selectCount(dc->brush, 1);
  selectCount(dc->font, 1);
  gDcs[h] = std::move(dc);
  return h;
}

HDC makeWindowDc(HWND hwnd) {
  RECT c{0, 0, 1, 1};
  GetClientRect(hwnd, &c);
  int w = std::max<int>(1, c.right), h = std::max<int>(1, c.bottom);
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
  return makeDc(s, true, hwnd, 0, 0, RECT{0, 0, w, h});
}

HBITMAP makeBitmap(int width, int height) {
  auto o = std::make_unique<GdiObject>();
  o->type = GdiObject::Bmp;
  o->bitmap.width = std::max(1, width);
  o->bitmap.height = std::max(1, height);
  o->bitmap.surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, o->bitmap.width, o->bitmap.height);
  return addObject(std::move(o));
}

void fillRectColor(Dc& dc, RECT r, COLORREF color) { fillLogical(dc, r, color); }

void noteShownText(Dc& dc, const char16_t* text, int count) {
  if (text == nullptr || count <= 0) return;
  // A text drawn again at once (a shadow, an embossed disabled caption) is
  // one text to a reader.
  if (dc.shown) {
    std::u16string t(text, static_cast<size_t>(count));
    if (t != dc.lastShown) dc.shown->append(t);
    dc.lastShown = std::move(t);
  }
  if (Bitmap* b = bitmapOf(dc.bitmap)) b->shows.append(text, static_cast<size_t>(count));
}

void drawEdgeInternal(HDC hdc, RECT r, UINT edge, UINT flags) {
  Dc* dc = dcOf(hdc);
  if (dc == nullptr) return;
  auto line = [&](RECT& rc, COLORREF tl, COLORREF br) {
    if (flags & BF_TOP) fillLogical(*dc, RECT{rc.left, rc.top, rc.right, rc.top + 1}, tl);
    if (flags & BF_LEFT) fillLogical(*dc, RECT{rc.left, rc.top, rc.left + 1, rc.bottom}, tl);
    if (flags & BF_BOTTOM) fillLogical(*dc, RECT{rc.left, rc.bottom - 1, rc.right, rc.bottom}, br);
    if (flags & BF_RIGHT) fillLogical(*dc, RECT{rc.right - 1, rc.top, rc.right, rc.bottom}, br);
    if (flags & BF_TOP) rc.top++;
    if (flags & BF_LEFT) rc.left++;
    if (flags & BF_BOTTOM) rc.bottom--;
    if (flags & BF_RIGHT) rc.right--;
  };
  RECT rc = r;
  if (edge & BDR_RAISEDOUTER) line(rc, kSysColors[COLOR_3DLIGHT], kSysColors[COLOR_3DDKSHADOW]);
  if (edge & BDR_SUNKENOUTER) line(rc, kSysColors[COLOR_3DSHADOW], kSysColors[COLOR_3DHILIGHT]);
  if (edge & BDR_RAISEDINNER) line(rc, kSysColors[COLOR_3DHILIGHT], kSysColors[COLOR_3DSHADOW]);
  if (edge & BDR_SUNKENINNER) line(rc, kSysColors[COLOR_3DDKSHADOW], kSysColors[COLOR_3DLIGHT]);
}

}  // namespace ui

using namespace ui;

PLATFORM_API DWORD GetSysColor(int index) { return index >= 0 && index < 25 ? kSysColors[index] : 0; }

PLATFORM_API HBRUSH GetSysColorBrush(int index) {
  ensureStock();
  return index >= 0 && index < 25 ? gSysBrushes[index] : nullptr;
}

PLATFORM_API HGDIOBJ GetStockObject(int index) {
  ensureStock();
  return index >= 0 && index < 20 ? gStock[index] : nullptr;
}

PLATFORM_API HDC GetDC(HWND hwnd) {
  if (hwnd != nullptr && !IsWindow(hwnd)) return nullptr;
  if (hwnd == nullptr) {
    cairo_surface_t* s =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    return makeDc(s, true, nullptr, 0, 0, RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)});
  }
  return makeWindowDc(hwnd);
}

PLATFORM_API int ReleaseDC(HWND, HDC hdc) { return DeleteDC(hdc); }

PLATFORM_API HDC CreateCompatibleDC(HDC) {
  ensureStock();
  Bitmap* b = bitmapOf(gDefaultBitmap);
  HDC h = makeDc(b->surface, false, nullptr, 0, 0, RECT{0, 0, 1, 1});
  Dc* dc = dcOf(h);
  dc->memory = true;
  dc->bitmap = gDefaultBitmap;
  selectCount(gDefaultBitmap, 1);
  return h;
}

PLATFORM_API BOOL DeleteDC(HDC hdc) {
  std::unique_ptr<Dc> dc;
  {
    std::lock_guard<std::recursive_mutex> lock(gGdiMutex);
    auto it = gDcs.find(hdc);
    if (it == gDcs.end()) return FALSE;
    dc = std::move(it->second);
    gDcs.erase(it);
    selectCount(dc->pen, -1);
    selectCount(dc->brush, -1);
    selectCount(dc->font, -1);
    if (dc->bitmap) selectCount(dc->bitmap, -1);
  }
  if (dc->ownsSurface && dc->surface) cairo_surface_destroy(dc->surface);
  return TRUE;
}

PLATFORM_API int GetDeviceCaps(HDC, int index) {
  switch (index) {
    case LOGPIXELSX:
    case LOGPIXELSY: return 96;
    case BITSPIXEL: return 32;
    case HORZRES: return GetSystemMetrics(SM_CXSCREEN);
    case VERTRES: return GetSystemMetrics(SM_CYSCREEN);
    default: return 0;
  }
}

PLATFORM_API HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
  Dc* dc = dcOf(hdc);
  GdiObject* o = object(h);
  if (dc == nullptr || o == nullptr) return nullptr;
  std::lock_guard<std::recursive_mutex> lock(gGdiMutex);
  HGDIOBJ* slot = nullptr;
  switch (o->type) {
    case GdiObject::Pen: slot = &dc->pen; break;
    case GdiObject::Brush: slot = &dc->brush; break;
    case GdiObject::Font: slot = &dc->font; break;
    case GdiObject::Bmp:
      if (!dc->memory) return nullptr;
      // A bitmap can be selected into one memory DC at a time.
      if (o->selected > 0 && dc->bitmap != h) return nullptr;
      slot = &dc->bitmap;
      dc->surface = o->bitmap.surface;
      dc->clip = RECT{0, 0, o->bitmap.width, o->bitmap.height};
      break;
  }
  HGDIOBJ old = *slot;
  if (old == h) return old;
  selectCount(old, -1);
  *slot = h;
  o->selected++;
  return old;
}

PLATFORM_API BOOL DeleteObject(HGDIOBJ h) {
  std::unique_ptr<GdiObject> dead;
  std::lock_guard<std::recursive_mutex> lock(gGdiMutex);
  auto it = gObjects.find(h);
  if (it == gObjects.end() || it->second->stock || it->second->selected > 0) return FALSE;
  dead = std::move(it->second);
  gObjects.erase(it);
  return TRUE;
}

PLATFORM_API int GetObjectW(HGDIOBJ h, int size, LPVOID buffer) {
  GdiObject* o = object(h);
  if (o == nullptr) return 0;
  if (o->type == GdiObject::Bmp) {
    if (buffer == nullptr) return sizeof(BITMAP);
    if (size < static_cast<int>(sizeof(BITMAP))) return 0;
    BITMAP b{0, o->bitmap.width, o->bitmap.height, o->bitmap.width * 4, 1, 32, nullptr};
    std::memcpy(buffer, &b, sizeof b);
    return sizeof(BITMAP);
  }
  if (o->type == GdiObject::Font) {
    if (buffer == nullptr) return sizeof(LOGFONTW);
    if (size < static_cast<int>(sizeof(LOGFONTW))) return 0;
    std::memcpy(buffer, &o->font, sizeof(LOGFONTW));
    return sizeof(LOGFONTW);
  }
  return 0;
}

PLATFORM_API HPEN CreatePen(int style, int width, COLORREF color) {
  auto o = std::make_unique<GdiObject>();
  o->type = GdiObject::Pen;
  o->penStyle = style & 0x0F;
  o->penWidth = std::max(1, width);
  o->color = color & 0xFFFFFF;
  return addObject(std::move(o));
}

PLATFORM_API HBRUSH CreateSolidBrush(COLORREF color) {
  auto o = std::make_unique<GdiObject>();
  o->type = GdiObject::Brush;
  o->color = color & 0xFFFFFF;
  return addObject(std::move(o));
}

PLATFORM_API HBITMAP CreateCompatibleBitmap(HDC hdc, int width, int height) {
  if (width <= 0 || height <= 0) return nullptr;
  (void)hdc;
  return makeBitmap(width, height);
}

PLATFORM_API HFONT CreateFontIndirectW(const LOGFONTW* font) {
  if (font == nullptr) return nullptr;
  auto o = std::make_unique<GdiObject>();
  o->type = GdiObject::Font;
  o->font = *font;
  o->font.lfFaceName[LF_FACESIZE - 1] = 0;
  return addObject(std::move(o));
}

PLATFORM_API HFONT CreateFontW(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                               DWORD underline, DWORD strikeOut, DWORD charSet, DWORD outPrecision, DWORD clipPrecision,
                               DWORD quality, DWORD pitchAndFamily, LPCWSTR face) {
  LOGFONTW lf{};
  lf.lfHeight = height;
  lf.lfWidth = width;
  lf.lfEscapement = escapement;
  lf.lfOrientation = orientation;
  lf.lfWeight = weight;
  lf.lfItalic = static_cast<BYTE>(italic);
  lf.lfUnderline = static_cast<BYTE>(underline);
  lf.lfStrikeOut = static_cast<BYTE>(strikeOut);
  lf.lfCharSet = static_cast<BYTE>(charSet);
  lf.lfOutPrecision = static_cast<BYTE>(outPrecision);
  lf.lfClipPrecision = static_cast<BYTE>(clipPrecision);
  lf.lfQuality = static_cast<BYTE>(quality);
  lf.lfPitchAndFamily = static_cast<BYTE>(pitchAndFamily);
  for (int i = 0; face != nullptr && face[i] != 0 && i < LF_FACESIZE - 1; ++i) lf.lfFaceName[i] = face[i];
  return CreateFontIndirectW(&lf);
}

namespace {
// One of the DC's two colours: the old one back, only the RGB part kept.
COLORREF setColor(HDC hdc, COLORREF Dc::*color, COLORREF c) {
  Dc* dc = dcOf(hdc);
  if (!dc) return CLR_INVALID;
  COLORREF old = dc->*color;
  dc->*color = c & 0xFFFFFF;
  return old;
}
COLORREF getColor(HDC hdc, COLORREF Dc::*color) {
  Dc* dc = dcOf(hdc);
  return dc ? dc->*color : CLR_INVALID;
}
// A surface pixel inside the DC's clip and the surface.
bool pixelReachable(const Dc& dc, const PixelAccess& px, int sx, int sy) {
  return sx >= dc.clip.left && sx < dc.clip.right && sy >= dc.clip.top && sy < dc.clip.bottom && sx >= 0 && sy >= 0 &&
         sx < px.width && sy < px.height;
}
}  // namespace

PLATFORM_API COLORREF SetTextColor(HDC hdc, COLORREF c) { return setColor(hdc, &Dc::textColor, c); }
PLATFORM_API COLORREF GetTextColor(HDC hdc) { return getColor(hdc, &Dc::textColor); }
PLATFORM_API COLORREF SetBkColor(HDC hdc, COLORREF c) { return setColor(hdc, &Dc::bkColor, c); }
PLATFORM_API COLORREF GetBkColor(HDC hdc) { return getColor(hdc, &Dc::bkColor); }
PLATFORM_API int SetBkMode(HDC hdc, int mode) {
  Dc* dc = dcOf(hdc);
  if (!dc || (mode != TRANSPARENT && mode != OPAQUE)) return 0;
  int old = dc->bkMode;
  dc->bkMode = mode;
  return old;
}
PLATFORM_API int GetBkMode(HDC hdc) {
  Dc* dc = dcOf(hdc);
  return dc ? dc->bkMode : 0;
}

PLATFORM_API COLORREF SetPixel(HDC hdc, int x, int y, COLORREF color) {
  Dc* dc = dcOf(hdc);
  if (!dc) return CLR_INVALID;
  PixelAccess px(dc->surface);
  int sx = x + dc->originX, sy = y + dc->originY;
  if (!pixelReachable(*dc, px, sx, sy)) return CLR_INVALID;
  if (drawRecording()) {
    PlatformDrawOp op = drawOpFor(hdc, PlatformDrawOp::Pixel);
    op.x = x;
    op.y = y;
    op.color = color & 0xFFFFFF;
    recordDraw(std::move(op));
  }
  *px.at(sx, sy) = toPixel(color);
  cairo_surface_mark_dirty(dc->surface);
  return color & 0xFFFFFF;
}

PLATFORM_API COLORREF GetPixel(HDC hdc, int x, int y) {
  Dc* dc = dcOf(hdc);
  if (!dc) return CLR_INVALID;
  PixelAccess px(dc->surface);
  int sx = x + dc->originX, sy = y + dc->originY;
  if (!pixelReachable(*dc, px, sx, sy)) return CLR_INVALID;
  return fromPixel(*px.at(sx, sy));
}

PLATFORM_API BOOL MoveToEx(HDC hdc, int x, int y, LPPOINT previous) {
  Dc* dc = dcOf(hdc);
  if (!dc) return FALSE;
  if (previous) *previous = dc->current;
  dc->current = POINT{x, y};
  return TRUE;
}

PLATFORM_API BOOL LineTo(HDC hdc, int x, int y) {
  Dc* dc = dcOf(hdc);
  if (!dc) return FALSE;
  if (drawRecording()) {
    PlatformDrawOp op = drawOpFor(hdc, PlatformDrawOp::Line);
    op.x = dc->current.x;
    op.y = dc->current.y;
    op.x2 = x;
    op.y2 = y;
    op.color = op.penColor;
    recordDraw(std::move(op));
  }
  PixelAccess px(dc->surface);
  penLine(*dc, px, dc->current.x, dc->current.y, x, y, false);
  cairo_surface_mark_dirty(dc->surface);
  dc->current = POINT{x, y};
  return TRUE;
}

PLATFORM_API BOOL Rectangle(HDC hdc, int left, int top, int right, int bottom) {
  Dc* dc = dcOf(hdc);
  if (!dc) return FALSE;
  if (right < left) std::swap(left, right);
  if (bottom < top) std::swap(top, bottom);
  GdiObject* pen = object(dc->pen);
  GdiObject* brush = object(dc->brush);
  if (drawRecording()) recordDraw(brushOp(hdc, PlatformDrawOp::Rectangle, RECT{left, top, right, bottom}, brush));
  bool nullPen = pen == nullptr || pen->penStyle == PS_NULL;
  if (brush && !brush->nullBrush) {
    RECT r = nullPen ? RECT{left, top, right - 1, bottom - 1} : RECT{left, top, right, bottom};
    fillLogical(*dc, r, brush->color);
  }
  if (!nullPen && right - left >= 1 && bottom - top >= 1) {
    PixelAccess px(dc->surface);
    int r = right - 1, b = bottom - 1;
    penLine(*dc, px, left, top, r, top, true);
    penLine(*dc, px, r, top, r, b, true);
    penLine(*dc, px, r, b, left, b, true);
    penLine(*dc, px, left, b, left, top, true);
    cairo_surface_mark_dirty(dc->surface);
  }
  return TRUE;
}

PLATFORM_API int FillRect(HDC hdc, const RECT* rect, HBRUSH brush) {
  Dc* dc = dcOf(hdc);
  if (!dc || !rect) return 0;
  if (reinterpret_cast<ULONG_PTR>(brush) > 0 && reinterpret_cast<ULONG_PTR>(brush) <= 26)
    brush = GetSysColorBrush(static_cast<int>(reinterpret_cast<ULONG_PTR>(brush)) - 1);
  GdiObject* b = object(brush);
  if (!b || b->type != GdiObject::Brush) return 0;
  if (drawRecording()) recordDraw(brushOp(hdc, PlatformDrawOp::FillRect, *rect, b));
  if (!b->nullBrush) fillLogical(*dc, *rect, b->color);
  return 1;
}

PLATFORM_API int FrameRect(HDC hdc, const RECT* rect, HBRUSH brush) {
  Dc* dc = dcOf(hdc);
  GdiObject* b = object(brush);
  if (!dc || !rect || !b || b->type != GdiObject::Brush) return 0;
  if (drawRecording()) recordDraw(brushOp(hdc, PlatformDrawOp::FrameRect, *rect, b));
  if (b->nullBrush || IsRectEmpty(rect)) return 1;
  const RECT& r = *rect;
  fillLogical(*dc, RECT{r.left, r.top, r.right, r.top + 1}, b->color);
  fillLogical(*dc, RECT{r.left, r.bottom - 1, r.right, r.bottom}, b->color);
  fillLogical(*dc, RECT{r.left, r.top, r.left + 1, r.bottom}, b->color);
  fillLogical(*dc, RECT{r.right - 1, r.top, r.right, r.bottom}, b->color);
  return 1;
}

// A dotted frame drawn by inverting every other pixel, so drawing it twice
// takes it away again.
PLATFORM_API BOOL DrawFocusRect(HDC hdc, const RECT* rect) {
  Dc* dc = dcOf(hdc);
  if (!dc || !rect || IsRectEmpty(rect)) return FALSE;
  if (drawRecording()) {
    PlatformDrawOp op = drawOpFor(hdc, PlatformDrawOp::FocusRect);
    op.rect = *rect;
    recordDraw(std::move(op));
  }
  PixelAccess px(dc->surface);
  auto toggle = [&](int x, int y) {
    if (((x + y) & 1) != 0) return;
    int sx = x + dc->originX, sy = y + dc->originY;
    if (sx < dc->clip.left || sx >= dc->clip.right || sy < dc->clip.top || sy >= dc->clip.bottom || sx < 0 || sy < 0 ||
        sx >= px.width || sy >= px.height)
      return;
    *px.at(sx, sy) ^= 0x00FFFFFF;
  };
  const RECT& r = *rect;
  for (int x = r.left; x < r.right; ++x) {
    toggle(x, r.top);
    if (r.bottom - 1 != r.top) toggle(x, r.bottom - 1);
  }
  for (int y = r.top + 1; y < r.bottom - 1; ++y) {
    toggle(r.left, y);
    if (r.right - 1 != r.left) toggle(r.right - 1, y);
  }
  cairo_surface_mark_dirty(dc->surface);
  return TRUE;
}

PLATFORM_API BOOL DrawEdge(HDC hdc, LPRECT rect, UINT edge, UINT flags) {
  if (!rect || !dcOf(hdc)) return FALSE;
  drawEdgeInternal(hdc, *rect, edge, flags);
  if (flags & BF_ADJUST) {
    int n =
        ((edge & (BDR_RAISEDOUTER | BDR_SUNKENOUTER)) ? 1 : 0) + ((edge & (BDR_RAISEDINNER | BDR_SUNKENINNER)) ? 1 : 0);
    if (flags & BF_LEFT) rect->left += n;
    if (flags & BF_TOP) rect->top += n;
    if (flags & BF_RIGHT) rect->right -= n;
    if (flags & BF_BOTTOM) rect->bottom -= n;
  }
  return TRUE;
}

PLATFORM_API BOOL DrawFrameControl(HDC hdc, LPRECT rect, UINT type, UINT state) {
  Dc* dc = dcOf(hdc);
  if (!dc || !rect) return FALSE;
  if (drawRecording()) {
    PlatformDrawOp op = drawOpFor(hdc, PlatformDrawOp::FrameControl);
    op.rect = *rect;
    op.format = type << 16 | (state & 0xFFFF);
    recordDraw(std::move(op));
  }
  DrawRecordPause pause;
  RECT r = *rect;
  if (type == DFC_BUTTON && (state & 0x1F) == DFCS_BUTTONPUSH) {
    fillLogical(*dc, r, kSysColors[COLOR_BTNFACE]);
    if (state & DFCS_FLAT) {
      HBRUSH b = GetSysColorBrush(COLOR_BTNSHADOW);
      FrameRect(hdc, &r, b);
    } else if (state & (DFCS_PUSHED | DFCS_CHECKED)) {
      HBRUSH b = GetSysColorBrush(COLOR_3DDKSHADOW);
      FrameRect(hdc, &r, b);
      InflateRect(&r, -1, -1);
      FrameRect(hdc, &r, GetSysColorBrush(COLOR_BTNSHADOW));
    } else {
      drawEdgeInternal(hdc, r, EDGE_RAISED, BF_RECT);
    }
    return TRUE;
  }
  if (type == DFC_CAPTION) {
    fillLogical(*dc, r, kSysColors[COLOR_BTNFACE]);
    drawEdgeInternal(hdc, r, (state & DFCS_PUSHED) ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
    // The close mark: two short diagonals, two pixels thick.
    PixelAccess px(dc->surface);
    uint32_t v = toPixel((state & DFCS_INACTIVE) ? kSysColors[COLOR_GRAYTEXT] : RGB(0, 0, 0));
    int w = r.right - r.left, h = r.bottom - r.top;
    int s = std::min(w, h) / 2 - 1;
    int cx = r.left + w / 2, cy = r.top + h / 2;
    for (int i = -s / 2; i < s / 2; ++i) {
      plot(*dc, px, cx + i, cy + i, v);
      plot(*dc, px, cx + i + 1, cy + i, v);
      plot(*dc, px, cx + i, cy - i - 1, v);
      plot(*dc, px, cx + i + 1, cy - i - 1, v);
    }
    cairo_surface_mark_dirty(dc->surface);
    return TRUE;
  }
  return FALSE;
}

PLATFORM_API BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC src, int srcX, int srcY, DWORD rop) {
  Dc* d = dcOf(dest);
  if (!d) return FALSE;
  if (drawRecording()) {
    PlatformDrawOp op = drawOpFor(dest, PlatformDrawOp::BitBlt);
    op.x = x;
    op.y = y;
    op.rect = RECT{x, y, x + width, y + height};
    op.format = rop;
    recordDraw(std::move(op));
  }
  if (rop == BLACKNESS || rop == WHITENESS) {
    fillLogical(*d, RECT{x, y, x + width, y + height}, rop == BLACKNESS ? RGB(0, 0, 0) : RGB(255, 255, 255));
    return TRUE;
  }
  if (rop == PATCOPY) {
    GdiObject* b = object(d->brush);
    if (b && !b->nullBrush) fillLogical(*d, RECT{x, y, x + width, y + height}, b->color);
    return TRUE;
  }
  if (rop != SRCCOPY) return FALSE;
  Dc* s = dcOf(src);
  if (!s) return FALSE;
  PixelAccess sp(s->surface);
  // Copy the source block first: source and destination may be one surface.
  std::vector<uint32_t> block(static_cast<size_t>(std::max(0, width)) * std::max(0, height), 0);
  std::vector<bool> have(block.size(), false);
  for (int j = 0; j < height; ++j)
    for (int i = 0; i < width; ++i) {
      int sx = srcX + i + s->originX, sy = srcY + j + s->originY;
      if (sx < 0 || sy < 0 || sx >= sp.width || sy >= sp.height) continue;
      block[static_cast<size_t>(j) * width + i] = *sp.at(sx, sy);
      have[static_cast<size_t>(j) * width + i] = true;
    }
  PixelAccess dp(d->surface);
  for (int j = 0; j < height; ++j)
    for (int i = 0; i < width; ++i)
      if (have[static_cast<size_t>(j) * width + i])
        plot(*d, dp, x + i, y + j, block[static_cast<size_t>(j) * width + i]);
  cairo_surface_mark_dirty(d->surface);
  return TRUE;
}

namespace ui {
// A bitmap from a device-independent bitmap: BITMAPINFOHEADER, colour table,
// bits (bottom-up unless the height is negative).
HBITMAP bitmapFromDib(const BYTE* data, size_t size) {
  auto rd32 = [&](size_t off) -> int32_t {
    return off + 4 <= size ? static_cast<int32_t>(data[off] | (data[off + 1] << 8) | (data[off + 2] << 16) |
                                                  (static_cast<uint32_t>(data[off + 3]) << 24))
                           : 0;
  };
  auto rd16 = [&](size_t off) -> int { return off + 2 <= size ? data[off] | (data[off + 1] << 8) : 0; };
  if (size < 40) return nullptr;
  uint32_t headerSize = static_cast<uint32_t>(rd32(0));
  if (headerSize < 40 || headerSize > size) return nullptr;
  int width = rd32(4), height = rd32(8);
  int bits = rd16(14);
  uint32_t compression = static_cast<uint32_t>(rd32(16));
  uint32_t used = static_cast<uint32_t>(rd32(32));
  if (width <= 0 || height == 0 || width > 16384 || std::abs(height) > 16384 || compression != 0) return nullptr;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) return nullptr;
  bool topDown = height < 0;
  int h = std::abs(height);
  uint32_t colors = bits <= 8 ? (used ? used : (1u << bits)) : 0;
  if (colors > 256) return nullptr;
  size_t palette = headerSize;
  size_t pixels = palette + colors * 4;
  size_t stride = ((static_cast<size_t>(width) * bits + 31) / 32) * 4;
  if (pixels + stride * h > size) return nullptr;
  HBITMAP hb = makeBitmap(width, h);
  Bitmap* b = bitmapOf(hb);
  PixelAccess px(b->surface);
  for (int row = 0; row < h; ++row) {
    const BYTE* line = data + pixels + stride * (topDown ? row : h - 1 - row);
    for (int x = 0; x < width; ++x) {
      uint32_t v = 0;
      if (bits >= 24) {
        const BYTE* p = line + x * (bits / 8);
        v = (p[2] << 16) | (p[1] << 8) | p[0];
      } else {
        int index = 0;
        if (bits == 8) index = line[x];
        if (bits == 4) index = (line[x / 2] >> ((x % 2) ? 0 : 4)) & 0x0F;
        if (bits == 1) index = (line[x / 8] >> (7 - x % 8)) & 1;
        if (static_cast<uint32_t>(index) < colors) {
          const BYTE* c = data + palette + index * 4;
          v = (c[2] << 16) | (c[1] << 8) | c[0];
        }
      }
      *px.at(x, row) = v;
    }
  }
  cairo_surface_mark_dirty(b->surface);
  return hb;
}
}  // namespace ui

PLATFORM_API BOOL PlatformSaveBitmapPng(HBITMAP bitmap, const char* path) {
  Bitmap* b = bitmapOf(bitmap);
  if (!b || !path) return FALSE;
  cairo_surface_flush(b->surface);
  return cairo_surface_write_to_png(b->surface, path) == CAIRO_STATUS_SUCCESS ? TRUE : FALSE;
}
