// Text through pango and cairo: Windows faces resolved to fixed fontconfig
// families, font sizes in pixels, TextOutW, DrawTextW and the metrics. Font
// options are set explicitly (grey anti-aliasing, no hinting, no metric
// hinting) so that a picture is the same on every run.
#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>
#include <pango/pangofc-fontmap.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>

#include "internal.h"
#include "platform/utf.h"

namespace ui {
const LOGFONTW* fontOf(HGDIOBJ h);

namespace {

std::recursive_mutex gTextMutex;
PangoFontMap* gFontMap = nullptr;
PangoContext* gContext = nullptr;
cairo_font_options_t* gOptions = nullptr;

struct Substitute {
  const char16_t* face;
  const char* families;
};

// Each Windows face the resources and components name, and what draws it.
// The sans-serif faces take Liberation Sans first: it has Arial's widths,
// close to the faces the dialog templates were laid out for; DejaVu Sans
// then fills in the characters it lacks.
const Substitute kSubstitutes[] = {
    {u"MS Shell Dlg", "Liberation Sans, DejaVu Sans, Noto Sans CJK TC"},
    {u"MS Shell Dlg 2", "Liberation Sans, DejaVu Sans, Noto Sans CJK TC"},
    {u"Microsoft Sans Serif", "Liberation Sans, DejaVu Sans, Noto Sans CJK TC"},
    {u"MS Sans Serif", "Liberation Sans, DejaVu Sans, Noto Sans CJK TC"},
    {u"Tahoma", "Liberation Sans, DejaVu Sans, Noto Sans CJK TC"},
    {u"Arial", "Liberation Sans, DejaVu Sans, Noto Sans CJK TC"},
    {u"System", "Liberation Sans, DejaVu Sans, Noto Sans CJK TC"},
    {u"新細明體", "Noto Serif CJK TC"},
    {u"PMingLiU", "Noto Serif CJK TC"},
    {u"細明體", "Noto Serif CJK TC"},
    {u"MingLiU", "Noto Serif CJK TC"},
    {u"宋体", "Noto Serif CJK SC"},
    {u"新宋体", "Noto Serif CJK SC"},
    {u"SimSun", "Noto Serif CJK SC"},
    {u"NSimSun", "Noto Serif CJK SC"},
    {u"MS Gothic", "Noto Sans Mono CJK JP"},
    {u"ＭＳ ゴシック", "Noto Sans Mono CJK JP"},
    {u"Book Antiqua", "DejaVu Serif, Noto Serif CJK TC"},
    {u"Times New Roman", "DejaVu Serif, Noto Serif CJK TC"},
    {u"Courier New", "DejaVu Sans Mono, Noto Sans Mono CJK TC"},
};
const char* kDefaultFamilies = "Liberation Sans, DejaVu Sans, Noto Sans CJK TC";

bool sameFace(const char16_t* a, const char16_t* b) {
  for (; *a && *b; ++a, ++b) {
    char16_t x = *a, y = *b;
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
    if (x != y) return false;
  }
  return *a == *b;
}

void ensurePango() {
  if (gFontMap) return;
  gFontMap = pango_cairo_font_map_new();
  // A configuration of our own, loaded here: pango would otherwise load one on
  // a thread of its own, which cannot be waited for when the library unloads.
  FcConfig* config = FcInitLoadConfigAndFonts();
  pango_fc_font_map_set_config(PANGO_FC_FONT_MAP(gFontMap), config);
  FcConfigDestroy(config);
  pango_cairo_font_map_set_resolution(PANGO_CAIRO_FONT_MAP(gFontMap), 96.0);
  gContext = pango_font_map_create_context(gFontMap);
  gOptions = cairo_font_options_create();
  cairo_font_options_set_antialias(gOptions, CAIRO_ANTIALIAS_GRAY);
  cairo_font_options_set_hint_style(gOptions, CAIRO_HINT_STYLE_NONE);
  cairo_font_options_set_hint_metrics(gOptions, CAIRO_HINT_METRICS_OFF);
  cairo_font_options_set_subpixel_order(gOptions, CAIRO_SUBPIXEL_ORDER_DEFAULT);
  pango_cairo_context_set_font_options(gContext, gOptions);
}

struct FontInfo {
  PangoFontDescription* desc = nullptr;
  double scaleX = 1.0;
  double angle = 0.0;  // radians, counter-clockwise
  bool underline = false;
  bool strike = false;
  int ascent = 0;
  int descent = 0;
  int aveWidth = 0;
  int maxWidth = 0;
  LONG weight = FW_NORMAL;
  BYTE pitch = 0;
  BYTE charSet = 0;
};

std::map<std::u16string, FontInfo> gFonts;

void measure(PangoFontDescription* desc, double& ascent, double& descent, double& ave) {
  // Metrics in untransformed pixels: the context still carries the stretch
  // and turn of the last text drawn, and under some of those cairo cannot
  // make the font at all (and then never draws that face again).
  pango_context_set_matrix(gContext, nullptr);
  PangoFontMetrics* m = pango_context_get_metrics(gContext, desc, pango_language_from_string("en"));
  ascent = pango_font_metrics_get_ascent(m) / static_cast<double>(PANGO_SCALE);
  descent = pango_font_metrics_get_descent(m) / static_cast<double>(PANGO_SCALE);
  ave = pango_font_metrics_get_approximate_char_width(m) / static_cast<double>(PANGO_SCALE);
  pango_font_metrics_unref(m);
}

const FontInfo& fontInfo(HGDIOBJ font) {
  ensurePango();
  LOGFONTW lf{};
  if (const LOGFONTW* f = fontOf(font))
    lf = *f;
  else if (const LOGFONTW* s = fontOf(GetStockObject(SYSTEM_FONT)))
    lf = *s;
  std::u16string key(reinterpret_cast<const char16_t*>(&lf), sizeof lf / 2);
  auto it = gFonts.find(key);
  if (it != gFonts.end()) return it->second;
  FontInfo fi;
  fi.desc = pango_font_description_from_string(PlatformFontSubstitute(lf.lfFaceName));
  LONG weight = lf.lfWeight == 0 ? FW_NORMAL : std::clamp<LONG>(lf.lfWeight, 100, 1000);
  pango_font_description_set_weight(fi.desc, static_cast<PangoWeight>(weight));
  if (lf.lfItalic) pango_font_description_set_style(fi.desc, PANGO_STYLE_ITALIC);
  double em;
  if (lf.lfHeight < 0) {
    em = -static_cast<double>(lf.lfHeight);
  } else {
    // A positive height is the cell (ascent plus descent): scale a probe.
    double cell = lf.lfHeight == 0 ? 16.0 : static_cast<double>(lf.lfHeight);
    pango_font_description_set_absolute_size(fi.desc, 100.0 * PANGO_SCALE);
    double a, d, w;
    measure(fi.desc, a, d, w);
    em = a + d > 0 ? cell * 100.0 / (a + d) : cell;
  }
  if (em < 1) em = 1;
  pango_font_description_set_absolute_size(fi.desc, em * PANGO_SCALE);
  double a, d, w;
  measure(fi.desc, a, d, w);
  fi.ascent = static_cast<int>(std::lround(a));
  fi.descent = static_cast<int>(std::lround(d));
  if (lf.lfWidth > 0 && w > 0) fi.scaleX = lf.lfWidth / w;
  fi.aveWidth = static_cast<int>(std::lround(w * fi.scaleX));
  fi.maxWidth = static_cast<int>(std::lround(em * fi.scaleX));
  fi.angle = lf.lfEscapement * M_PI / 1800.0;
  fi.underline = lf.lfUnderline != 0;
  fi.strike = lf.lfStrikeOut != 0;
  fi.weight = weight;
  fi.pitch = lf.lfPitchAndFamily;
  fi.charSet = lf.lfCharSet;
  return gFonts.emplace(key, fi).first->second;
}

std::string utf8(const char16_t* s, size_t n) { return platform::utf::toUtf8(std::u16string_view(s, n)); }

// One line of text: control characters are not drawn.
struct Line {
  std::u16string text;
  std::vector<int> underlined;  // positions of prefix-underlined characters
};

// A layout measured in untransformed pixels: drawing leaves the stretch and
// turn of the last text in the context, under which a new layout would come
// out narrower or wider than the text it draws (and a centred text land off
// its place).
PangoLayout* makeLayout(const FontInfo& fi, const Line& line) {
  pango_context_set_matrix(gContext, nullptr);
  PangoLayout* layout = pango_layout_new(gContext);
  pango_layout_set_font_description(layout, fi.desc);
  std::u16string visible;
  std::vector<int> map;
  for (size_t i = 0; i < line.text.size(); ++i) {
    if (line.text[i] < 0x20 && line.text[i] != u'\t') continue;
    map.push_back(static_cast<int>(i));
    visible.push_back(line.text[i]);
  }
  std::string text = utf8(visible.data(), visible.size());
  pango_layout_set_text(layout, text.c_str(), static_cast<int>(text.size()));
  PangoAttrList* attrs = pango_attr_list_new();
  if (fi.underline) pango_attr_list_insert(attrs, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
  if (fi.strike) pango_attr_list_insert(attrs, pango_attr_strikethrough_new(TRUE));
  for (int pos : line.underlined) {
    size_t vi = 0;
    while (vi < map.size() && map[vi] != pos) ++vi;
    if (vi == map.size()) continue;
    size_t start = utf8(visible.data(), vi).size();
    size_t end = utf8(visible.data(), vi + 1).size();
    PangoAttribute* a = pango_attr_underline_new(PANGO_UNDERLINE_SINGLE);
    a->start_index = static_cast<guint>(start);
    a->end_index = static_cast<guint>(end);
    pango_attr_list_insert(attrs, a);
  }
  pango_layout_set_attributes(layout, attrs);
  pango_attr_list_unref(attrs);
  return layout;
}

int layoutWidth(PangoLayout* layout, const FontInfo& fi) {
  PangoRectangle logical;
  pango_layout_get_pixel_extents(layout, nullptr, &logical);
  return static_cast<int>(std::lround(logical.width * fi.scaleX));
}

// Draws a layout's first line with its top-left corner at (x, y) in logical
// coordinates; the cell is ascent + descent high.
void drawLine(Dc& dc, const FontInfo& fi, PangoLayout* layout, int x, int y, const RECT* clipLogical) {
  cairo_t* cr = cairo_create(dc.surface);
  cairo_rectangle(cr, dc.clip.left, dc.clip.top, dc.clip.right - dc.clip.left, dc.clip.bottom - dc.clip.top);
  cairo_clip(cr);
  if (clipLogical) {
    cairo_rectangle(cr, clipLogical->left + dc.originX, clipLogical->top + dc.originY,
                    clipLogical->right - clipLogical->left, clipLogical->bottom - clipLogical->top);
    cairo_clip(cr);
  }
  cairo_translate(cr, x + dc.originX, y + dc.originY);
  if (fi.angle != 0.0) cairo_rotate(cr, -fi.angle);
  cairo_scale(cr, fi.scaleX, 1.0);
  pango_cairo_update_context(cr, gContext);
  pango_layout_context_changed(layout);
  int width = 0;
  {
    PangoRectangle logical;
    pango_layout_get_pixel_extents(layout, nullptr, &logical);
    width = logical.width;
  }
  if (dc.bkMode == OPAQUE) {
    cairo_set_source_rgb(cr, GetRValue(dc.bkColor) / 255.0, GetGValue(dc.bkColor) / 255.0,
                         GetBValue(dc.bkColor) / 255.0);
    cairo_rectangle(cr, 0, 0, width, fi.ascent + fi.descent);
    cairo_fill(cr);
  }
  cairo_set_source_rgb(cr, GetRValue(dc.textColor) / 255.0, GetGValue(dc.textColor) / 255.0,
                       GetBValue(dc.textColor) / 255.0);
  PangoLayoutLine* line = pango_layout_get_line_readonly(layout, 0);
  if (line) {
    cairo_move_to(cr, 0, fi.ascent);
    pango_cairo_show_layout_line(cr, line);
  }
  cairo_destroy(cr);
  cairo_surface_mark_dirty(dc.surface);
}

// Splits the text of DrawTextW into lines (CR LF, CR or LF end a line unless
// the format is single-line) and takes the '&' prefixes out.
std::vector<Line> splitLines(const char16_t* text, int count, UINT format) {
  std::vector<Line> lines(1);
  for (int i = 0; i < count; ++i) {
    char16_t c = text[i];
    if (!(format & DT_SINGLELINE) && (c == u'\r' || c == u'\n')) {
      if (c == u'\r' && i + 1 < count && text[i + 1] == u'\n') ++i;
      lines.emplace_back();
      continue;
    }
    if (!(format & DT_NOPREFIX) && c == u'&') {
      if (i + 1 < count && text[i + 1] == u'&') {
        lines.back().text.push_back(u'&');
        ++i;
      } else if (i + 1 < count) {
        lines.back().underlined.push_back(static_cast<int>(lines.back().text.size()));
      }
      continue;
    }
    lines.back().text.push_back(c);
  }
  return lines;
}

// Word-wraps one line into pieces that fit the width (breaking between words,
// and between characters where the script allows it, as CJK text does).
std::vector<Line> wrap(const FontInfo& fi, const Line& line, int width) {
  std::vector<Line> out;
  if (line.text.empty() || width <= 0) return {line};
  PangoLayout* layout = makeLayout(fi, line);
  pango_layout_set_width(layout, static_cast<int>(width / fi.scaleX * PANGO_SCALE));
  pango_layout_set_wrap(layout, PANGO_WRAP_WORD);
  std::string text = pango_layout_get_text(layout);
  // Map the byte offsets of the visible text back to the line's characters.
  std::vector<int> charOfByte(text.size() + 1, 0);
  {
    int vis = 0;
    size_t bi = 0;
    std::vector<int> visible;
    for (size_t i = 0; i < line.text.size(); ++i)
      if (!(line.text[i] < 0x20 && line.text[i] != u'\t')) visible.push_back(static_cast<int>(i));
    while (bi < text.size()) {
      unsigned char b = static_cast<unsigned char>(text[bi]);
      int len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
      for (int k = 0; k < len && bi + k < text.size(); ++k) charOfByte[bi + k] = visible[vis];
      bi += len;
      vis += len == 4 ? 2 : 1;  // a character outside the BMP is two UTF-16 units
    }
    charOfByte[text.size()] = static_cast<int>(line.text.size());
  }
  int n = pango_layout_get_line_count(layout);
  for (int i = 0; i < n; ++i) {
    PangoLayoutLine* l = pango_layout_get_line_readonly(layout, i);
    int start = charOfByte[l->start_index];
    int end = (i + 1 < n) ? charOfByte[pango_layout_get_line_readonly(layout, i + 1)->start_index]
                          : static_cast<int>(line.text.size());
    Line piece;
    piece.text = line.text.substr(start, end - start);
    while (!piece.text.empty() && piece.text.back() == u' ') piece.text.pop_back();
    for (int u : line.underlined)
      if (u >= start && u < end) piece.underlined.push_back(u - start);
    out.push_back(piece);
  }
  g_object_unref(layout);
  return out;
}

}  // namespace

// Width of a text in a font, in pixels (for the controls' caret and layout).
int textWidth(HFONT font, const std::u16string& text) {
  std::lock_guard<std::recursive_mutex> lock(gTextMutex);
  const FontInfo& fi = fontInfo(font);
  Line line{text, {}};
  PangoLayout* layout = makeLayout(fi, line);
  int w = layoutWidth(layout, fi);
  g_object_unref(layout);
  return w;
}

int lineHeight(HFONT font) {
  std::lock_guard<std::recursive_mutex> lock(gTextMutex);
  const FontInfo& fi = fontInfo(font);
  return fi.ascent + fi.descent;
}

}  // namespace ui

using namespace ui;

PLATFORM_API const char* PlatformFontSubstitute(LPCWSTR face) {
  if (face == nullptr || face[0] == 0) return kDefaultFamilies;
  for (const auto& s : kSubstitutes)
    if (sameFace(s.face, face)) return s.families;
  return kDefaultFamilies;
}

PLATFORM_API BOOL TextOutW(HDC hdc, int x, int y, LPCWSTR text, int count) {
  Dc* dc = dcOf(hdc);
  if (!dc || (!text && count > 0)) return FALSE;
  if (count <= 0) return TRUE;
  if (drawRecording()) {
    PlatformDrawOp op = drawOpFor(hdc, PlatformDrawOp::TextOut);
    op.x = x;
    op.y = y;
    op.text.assign(text, static_cast<size_t>(count));
    recordDraw(std::move(op));
  }
  std::lock_guard<std::recursive_mutex> lock(gTextMutex);
  const FontInfo& fi = fontInfo(dc->font);
  noteShownText(*dc, text, count);
  Line line{std::u16string(text, count), {}};
  PangoLayout* layout = makeLayout(fi, line);
  drawLine(*dc, fi, layout, x, y, nullptr);
  g_object_unref(layout);
  return TRUE;
}

PLATFORM_API int DrawTextW(HDC hdc, LPCWSTR text, int count, LPRECT rect, UINT format) {
  Dc* dc = dcOf(hdc);
  if (!dc || !rect || !text) return 0;
  if (count < 0) {
    count = 0;
    while (text[count]) ++count;
  }
  if (drawRecording() && !(format & DT_CALCRECT)) {
    PlatformDrawOp op = drawOpFor(hdc, PlatformDrawOp::DrawText);
    op.rect = *rect;
    op.format = format;
    op.text.assign(text, static_cast<size_t>(count));
    recordDraw(std::move(op));
  }
  std::lock_guard<std::recursive_mutex> lock(gTextMutex);
  const FontInfo& fi = fontInfo(dc->font);
  int lh = fi.ascent + fi.descent;
  std::vector<Line> lines = splitLines(text, count, format);
  if ((format & DT_WORDBREAK) && !(format & DT_SINGLELINE)) {
    std::vector<Line> wrapped;
    for (const auto& l : lines)
      for (auto& p : wrap(fi, l, rect->right - rect->left)) wrapped.push_back(p);
    lines.swap(wrapped);
  }
  std::vector<PangoLayout*> layouts;
  std::vector<int> widths;  // taken before any line is drawn, which changes the context
  int maxWidth = 0;
  for (const auto& l : lines) {
    layouts.push_back(makeLayout(fi, l));
    widths.push_back(layoutWidth(layouts.back(), fi));
    maxWidth = std::max(maxWidth, widths.back());
  }
  int total = lh * static_cast<int>(lines.size());
  if (format & DT_CALCRECT) {
    rect->right = rect->left + maxWidth;
    rect->bottom = rect->top + total;
  } else {
    noteShownText(*dc, text, count);
    int y = rect->top;
    if (format & DT_SINGLELINE) {
      if (format & DT_VCENTER)
        y = rect->top + (rect->bottom - rect->top - lh) / 2;
      else if (format & DT_BOTTOM)
        y = rect->bottom - lh;
    }
    for (size_t i = 0; i < layouts.size(); ++i) {
      PangoLayout* layout = layouts[i];
      int w = widths[i];
      int x = rect->left;
      if (format & DT_CENTER)
        x = rect->left + (rect->right - rect->left - w) / 2;
      else if (format & DT_RIGHT)
        x = rect->right - w;
      drawLine(*dc, fi, layout, x, y, (format & DT_NOCLIP) ? nullptr : rect);
      y += lh;
    }
  }
  for (auto* l : layouts) g_object_unref(l);
  return total;
}

PLATFORM_API BOOL GetTextExtentPoint32W(HDC hdc, LPCWSTR text, int count, LPSIZE size) {
  Dc* dc = dcOf(hdc);
  if (!dc || !size || (count > 0 && !text)) return FALSE;
  std::u16string s = count > 0 ? std::u16string(text, count) : std::u16string();
  size->cx = textWidth(dc->font, s);
  size->cy = lineHeight(dc->font);
  return TRUE;
}

PLATFORM_API BOOL GetTextMetricsW(HDC hdc, TEXTMETRICW* tm) {
  Dc* dc = dcOf(hdc);
  if (!dc || !tm) return FALSE;
  std::lock_guard<std::recursive_mutex> lock(gTextMutex);
  const FontInfo& fi = fontInfo(dc->font);
  *tm = TEXTMETRICW{};
  tm->tmHeight = fi.ascent + fi.descent;
  tm->tmAscent = fi.ascent;
  tm->tmDescent = fi.descent;
  tm->tmAveCharWidth = fi.aveWidth;
  tm->tmMaxCharWidth = fi.maxWidth;
  tm->tmWeight = fi.weight;
  tm->tmDigitizedAspectX = tm->tmDigitizedAspectY = 96;
  tm->tmFirstChar = 0x20;
  tm->tmLastChar = 0xFFFC;
  tm->tmDefaultChar = u'?';
  tm->tmBreakChar = u' ';
  tm->tmPitchAndFamily = fi.pitch;
  tm->tmCharSet = fi.charSet;
  return TRUE;
}

#if defined(__SANITIZE_ADDRESS__)
#define UI_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UI_LEAK_CHECKED 1
#endif
#endif
#if defined(UI_LEAK_CHECKED)
// fontconfig keeps the caches it loads for the life of the process and frees
// them only in FcFini, which cannot run safely while pango still holds fonts.
// The leak checker is told so; leaks anywhere else are still reported.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
#endif
