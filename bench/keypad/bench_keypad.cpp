// A keypad's key press and full repaint against the same scenes drawn
// directly with cairo and pango, in the same run.
//
// BM_KeyPress: one press on a live keypad (template 107, made modeless and
// hidden): the key's label appended, the labels decoded, the picture of the
// typed text drawn anew and set on its control; after 16 presses the keypad
// is cleared (not timed). Its reference draws the same picture directly: a
// white 400 x 30 surface, the 2-pixel red frame and one glyph per cell.
// BM_Repaint: a picture of the whole keypad (dialog, title, picture, 10
// drawn keys with their noise, three buttons). Its reference draws the same
// elements directly: background, title text, picture, 10 white tiles each
// with 8 strokes, 8 pixels and its digit, three framed buttons with text.
//
// Each pair runs interleaved (ours, then the reference, alternately) and
// measures process CPU time; "ratio" is ours over the reference. Goal: at
// most 2 for both. For scale, both must stay far below a frame (16 ms).
#include <benchmark/benchmark.h>
#include <cairo.h>
#include <pango/pangocairo.h>

#include <cstdio>
#include <string>

#include "platform/afx.h"
#include "protinput/ProtectionDataDlg.h"
#include "protinput/RandomByte.h"

#include "Interleaved.h"

namespace {

class BenchKeypad : public ProtectionDataDlg {
 public:
  void press(int column) { OnKey(column); }
  void clear() { OnClear(); }
  size_t typed() { return labels.size() / 16; }
};

BenchKeypad* keypad() {
  static BenchKeypad* k = [] {
    auto* d = new BenchKeypad;
    d->setTitle(u"Account PIN");
    if (!d->Create(107, nullptr)) {
      std::fprintf(stderr, "bench_keypad: template 107 missing\n");
      std::exit(1);
    }
    return d;
  }();
  return k;
}

// One glyph per cell as the picture renderer lays them out.
void drawCells(cairo_t* cr, PangoFontDescription* font, const char* text, int cells) {
  for (int i = 0; i < cells; ++i) {
    char glyph[2] = {text[i] ? text[i] : ' ', 0};
    PangoLayout* layout = pango_cairo_create_layout(cr);
    pango_layout_set_font_description(layout, font);
    pango_layout_set_text(layout, glyph, 1);
    cairo_move_to(cr, 1 + 25 * i, 5);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
  }
}

void referencePicture(cairo_t* cr, PangoFontDescription* font, const char* text) {
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_set_source_rgb(cr, 1, 0, 0);
  cairo_set_line_width(cr, 2);
  cairo_rectangle(cr, 1, 1, 398, 28);
  cairo_stroke(cr);
  cairo_set_source_rgb(cr, 1, 96 / 255.0, 0);
  drawCells(cr, font, text, 16);
}

void referenceKeyPress(int typed) {
  static const char digits[] = "1234567890123456";
  char text[17] = {};
  for (int i = 0; i < typed && i < 16; ++i) text[i] = digits[i];
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 400, 30);
  cairo_t* cr = cairo_create(s);
  PangoFontDescription* font = pango_font_description_from_string("Noto Sans Mono CJK JP Bold 15px");
  referencePicture(cr, font, text);
  pango_font_description_free(font);
  cairo_destroy(cr);
  cairo_surface_destroy(s);
}

void referenceRepaint() {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 450, 241);
  cairo_t* cr = cairo_create(s);
  cairo_set_source_rgb(cr, 212 / 255.0, 208 / 255.0, 200 / 255.0);
  cairo_paint(cr);
  PangoFontDescription* title = pango_font_description_from_string("Noto Serif CJK TC 17px");
  PangoLayout* layout = pango_cairo_create_layout(cr);
  pango_layout_set_font_description(layout, title);
  pango_layout_set_text(layout, "Account PIN", -1);
  cairo_set_source_rgb(cr, 1, 0, 0);
  cairo_move_to(cr, 28, 18);
  pango_cairo_show_layout(cr, layout);
  g_object_unref(layout);
  pango_font_description_free(title);
  // The picture.
  cairo_surface_t* pic = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 400, 30);
  cairo_t* pc = cairo_create(pic);
  PangoFontDescription* mono = pango_font_description_from_string("Noto Sans Mono CJK JP Bold 15px");
  referencePicture(pc, mono, "314");
  pango_font_description_free(mono);
  cairo_destroy(pc);
  cairo_set_source_surface(cr, pic, 34, 55);
  cairo_paint(cr);
  cairo_surface_destroy(pic);
  // The keys: white tiles with noise and a digit.
  PangoFontDescription* keyFont = pango_font_description_from_string("DejaVu Serif Bold 16px");
  for (int k = 0; k < 10; ++k) {
    double x = 24 + 40 * k, y = 122;
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, x, y, 36, 33);
    cairo_fill(cr);
    cairo_set_line_width(cr, 1);
    for (int i = 0; i < 8; ++i) {
      int v[11];
      for (int& b : v) b = RandomByte() & 0xFF;
      cairo_set_source_rgb(cr, (v[5] % 254 + 1) / 255.0, (v[3] % 254 + 1) / 255.0, (v[4] % 254 + 1) / 255.0);
      cairo_move_to(cr, x + v[0] % 25 + 1.5, y + v[1] % 25 + 1.5);
      cairo_line_to(cr, x + v[0] % 25 + v[2] % 5 + 2.5, y + v[1] % 25 + v[2] % 5 + 2.5);
      cairo_stroke(cr);
      cairo_set_source_rgb(cr, v[10] % 255 / 255.0, v[8] % 255 / 255.0, v[9] % 255 / 255.0);
      cairo_rectangle(cr, x + v[6] % 25, y + v[7] % 25, 1, 1);
      cairo_fill(cr);
    }
    char digit[2] = {static_cast<char>('0' + k), 0};
    PangoLayout* l = pango_cairo_create_layout(cr);
    pango_layout_set_font_description(l, keyFont);
    pango_layout_set_text(l, digit, 1);
    cairo_set_source_rgb(cr, 0, 85 / 255.0, 0);
    cairo_move_to(cr, x + 12, y + 5);
    pango_cairo_show_layout(cr, l);
    g_object_unref(l);
  }
  pango_font_description_free(keyFont);
  // Three buttons.
  PangoFontDescription* ui = pango_font_description_from_string("Liberation Sans 16px");
  const char* captions[] = {"Confirm", "Cancel", "Clear"};
  for (int b = 0; b < 3; ++b) {
    double x = 60 + 113 * b, y = 162;
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, x + 0.5, y + 0.5, 99, 32);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.25, 0.25, 0.25);
    cairo_rectangle(cr, x + 1.5, y + 1.5, 97, 30);
    cairo_stroke(cr);
    PangoLayout* l = pango_cairo_create_layout(cr);
    pango_layout_set_font_description(l, ui);
    pango_layout_set_text(l, captions[b], -1);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_move_to(cr, x + 25, y + 7);
    pango_cairo_show_layout(cr, l);
    g_object_unref(l);
  }
  pango_font_description_free(ui);
  cairo_surface_flush(s);
  cairo_destroy(cr);
  cairo_surface_destroy(s);
}

void keyPressOnce(BenchKeypad* k) {
  if (k->typed() >= 16) k->clear();
  k->press(static_cast<int>(k->typed() % 10));
}

void repaintOnce(BenchKeypad* k) {
  HBITMAP picture = PlatformCaptureWindow(k->m_hWnd);
  DeleteObject(picture);
}

void BM_KeyPress(benchmark::State& state) {
  BenchKeypad* k = keypad();
  for (auto _ : state) keyPressOnce(k);
}
void BM_KeyPressCairo(benchmark::State& state) {
  int typed = 0;
  for (auto _ : state) referenceKeyPress(typed++ % 16 + 1);
}
void BM_Repaint(benchmark::State& state) {
  BenchKeypad* k = keypad();
  for (auto _ : state) repaintOnce(k);
}
void BM_RepaintCairo(benchmark::State& state) {
  for (auto _ : state) referenceRepaint();
}

// Each side runs to its end; the counters name the reference cairo.
template <typename Ours, typename Reference>
void interleaved(benchmark::State& state, Ours ours, Reference reference) {
  bench::interleave(state,
                    {"ours_ms",
                     [&](std::string*) {
                       ours();
                       return true;
                     }},
                    {"cairo_ms", [&](std::string*) {
                       reference();
                       return true;
                     }});
}

void BM_KeyPressInterleaved(benchmark::State& state) {
  BenchKeypad* k = keypad();
  int typed = 0;
  interleaved(
      state, [&] { keyPressOnce(k); }, [&] { referenceKeyPress(typed++ % 16 + 1); });
}
void BM_RepaintInterleaved(benchmark::State& state) {
  BenchKeypad* k = keypad();
  interleaved(
      state, [&] { repaintOnce(k); }, [] { referenceRepaint(); });
}

BENCHMARK(BM_KeyPress)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KeyPressCairo)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Repaint)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RepaintCairo)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KeyPressInterleaved)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_RepaintInterleaved)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter([](const bench::Ratios& found) {
    std::string lines;
    for (const auto& [function, counters] : found)
      lines += function + " ratio: " + std::to_string(counters.at("ratio").value) + "\n";
    std::printf("%s(ours over cairo, CPU time, median; goal: at most 2)\n", lines.c_str());
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
