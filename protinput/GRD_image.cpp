#include "protinput/GRD_image.h"

#include <cstring>

#include "protinput/RandomByte.h"
#include "protinput/Secret.h"

const char16_t CODE_ALPHABET[28] = u"3456789ABCDEFGHJKMNPQRSTWXY";

namespace {

constexpr int kCellWidth = 25;
constexpr int kTextHeight = 30;
constexpr int kCodeWidth = 150;
constexpr int kCodeHeight = 25;
// GDI bitmaps stay below 32768 pixels a side.
constexpr int kMaxCells = 32767 / kCellWidth;

void setFace(LOGFONTW& lf, const char16_t* face) {
  std::memset(lf.lfFaceName, 0, sizeof lf.lfFaceName);
  for (int i = 0; face[i] != 0 && i < LF_FACESIZE - 1; ++i) lf.lfFaceName[i] = face[i];
}

// A memory device context compatible with the control's window, drawing into
// a new bitmap. The bitmap is handed over by release(); otherwise it goes with
// the canvas. Each character's font replaces the previous one, which is then
// deleted, so no font outlives the drawing.
class Canvas {
 public:
  Canvas(HWND window, int width, int height) : window_(window) {
    windowDc_ = ::GetDC(window);
    mem_ = ::CreateCompatibleDC(windowDc_);
    bitmap_ = ::CreateCompatibleBitmap(windowDc_, width, height);
    if (mem_ != nullptr && bitmap_ != nullptr) oldBitmap_ = ::SelectObject(mem_, bitmap_);
  }
  ~Canvas() {
    restore();
    if (bitmap_ != nullptr) ::DeleteObject(bitmap_);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  bool ok() const { return oldBitmap_ != nullptr; }
  HDC dc() const { return mem_; }

  // Selects a font made from lf; when it cannot be made the previous font stays.
  void useFont(const LOGFONTW& lf) {
    HFONT font = ::CreateFontIndirectW(&lf);
    if (font == nullptr) return;
    HGDIOBJ previous = ::SelectObject(mem_, font);
    if (previous == nullptr) {
      ::DeleteObject(font);
      return;
    }
    if (oldFont_ == nullptr) oldFont_ = previous;
    if (font_ != nullptr) ::DeleteObject(font_);
    font_ = font;
  }

  HBITMAP release() {
    restore();
    HBITMAP b = bitmap_;
    bitmap_ = nullptr;
    return b;
  }

 private:
  void restore() {
    if (mem_ != nullptr) {
      if (oldFont_ != nullptr) ::SelectObject(mem_, oldFont_);
      if (oldBitmap_ != nullptr) ::SelectObject(mem_, oldBitmap_);
      ::DeleteDC(mem_);
      mem_ = nullptr;
    }
    if (font_ != nullptr) ::DeleteObject(font_);
    font_ = nullptr;
    if (windowDc_ != nullptr) ::ReleaseDC(window_, windowDc_);
    windowDc_ = nullptr;
  }

  HWND window_;
  HDC windowDc_ = nullptr;
  HDC mem_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ oldBitmap_ = nullptr;
  HGDIOBJ oldFont_ = nullptr;
  HFONT font_ = nullptr;
};

// Weight and escapement of one character: drawn at random in the random
// style, else bold and upright. False when the random source fails.
bool setStyle(LOGFONTW& lf, bool randomStyle) {
  if (!randomStyle) {
    lf.lfWeight = 700;
    lf.lfEscapement = 0;
    return true;
  }
  int weight = RandomByte();
  if (weight < 0) return false;
  lf.lfWeight = weight % 700;
  int escapement = RandomByte();
  if (escapement < 0) return false;
  lf.lfEscapement = escapement % 200;
  return true;
}

}  // namespace

GRD_image::GRD_image() = default;

GRD_image::~GRD_image() {
  protinput::WipeString(shownText);
  protinput::WipeString(currentCode);
}

int GRD_image::renderText(CBitmap& target, const std::u16string& text, int cells, bool randomStyle, bool frame) {
  target.DeleteObject();
  if (cells < 1 || cells > kMaxCells) return -1;
  shownText.reserve(static_cast<size_t>(cells));
  shownText.assign(text, 0, std::min(text.size(), static_cast<size_t>(cells)));
  shownText.resize(static_cast<size_t>(cells), u' ');
  int width = kCellWidth * cells;
  int result = -1;
  {
    Canvas canvas(m_hWnd, width, kTextHeight);
    if (canvas.ok()) {
      HDC dc = canvas.dc();
      RECT all{0, 0, width, kTextHeight};
      ::FillRect(dc, &all, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
      if (frame) {
        HPEN pen = ::CreatePen(PS_SOLID, 2, RGB(255, 0, 0));
        HGDIOBJ oldPen = ::SelectObject(dc, pen);
        ::Rectangle(dc, 0, 0, width, kTextHeight);
        ::SelectObject(dc, oldPen);
        ::DeleteObject(pen);
      }
      ::SetBkMode(dc, TRANSPARENT);
      result = 0;
      for (int i = 0; i < cells; ++i) {
        fontSpec.lfHeight = 20;
        fontSpec.lfWidth = 20;
        fontSpec.lfWeight = 700;
        fontSpec.lfCharSet = DEFAULT_CHARSET;
        fontSpec.lfPitchAndFamily = FIXED_PITCH;
        setFace(fontSpec, u"MS Gothic");
        if (!setStyle(fontSpec, randomStyle)) {
          result = -1;
          break;
        }
        canvas.useFont(fontSpec);
        ::SetTextColor(dc, RGB(255, 96, 0));
        ::TextOutW(dc, 1 + kCellWidth * i, 5, shownText.data() + i, 1);
      }
      if (result == 0) target.Attach(canvas.release());
    }
  }
  protinput::WipeString(shownText);
  return result;
}

std::optional<std::u16string> GRD_image::makeCode(int n) {
  std::u16string code;
  for (int i = 0; i < n; ++i) {
    int v = RandomByte();
    if (v < 0) return std::nullopt;
    code.push_back(CODE_ALPHABET[v % 27]);
  }
  return code;
}

int GRD_image::drawCode(CBitmap& target, int n, bool randomStyle) {
  target.DeleteObject();
  currentCode.clear();
  Canvas canvas(m_hWnd, kCodeWidth, kCodeHeight);
  if (!canvas.ok()) return -1;
  HDC dc = canvas.dc();
  RECT all{0, 0, kCodeWidth, kCodeHeight};
  ::FillRect(dc, &all, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
  ::SetBkMode(dc, TRANSPARENT);
  std::optional<std::u16string> code = makeCode(n);
  if (!code) return -1;
  auto fail = [this] {
    currentCode.clear();
    return -1;
  };
  currentCode = *code;
  for (int i = 0; i < n; ++i) {
    fontSpec.lfCharSet = DEFAULT_CHARSET;
    fontSpec.lfWidth = 18;
    fontSpec.lfHeight = 22;
    setFace(fontSpec, u"MS Gothic");
    if (!setStyle(fontSpec, randomStyle)) return fail();
    canvas.useFont(fontSpec);
    ::SetTextColor(dc, RGB(0, 0, 0));
    ::TextOutW(dc, 1 + kCellWidth * i, 3, currentCode.data() + i, 1);
  }
  for (int x0 = 0; x0 < 200; x0 += 25) {
    int v[6];
    for (int& value : v)
      if ((value = RandomByte()) < 0) return fail();
    POINT start{x0 + v[0] % 25 + 1, v[1] % 25 + 1};
    int step = v[2] % 10;
    HPEN pen = ::CreatePen(PS_SOLID, 1, RGB(v[3] % 254 + 1, v[4] % 254 + 1, v[5] % 254 + 1));
    HGDIOBJ oldPen = ::SelectObject(dc, pen);
    ::MoveToEx(dc, start.x, start.y, nullptr);
    ::LineTo(dc, start.x + step + 1, start.y + step + 1);
    ::MoveToEx(dc, 0, 0, nullptr);
    ::SelectObject(dc, oldPen);
    ::DeleteObject(pen);
  }
  for (int i = 0; i < 512; ++i) {
    int v[5];
    for (int& value : v)
      if ((value = RandomByte()) < 0) return fail();
    ::SetPixel(dc, v[0] % kCodeWidth, v[1] % kCodeHeight, RGB(v[2] % 255, v[3] % 255, v[4] % 255));
  }
  target.Attach(canvas.release());
  return 0;
}
