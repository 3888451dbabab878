// Protected input's core against what it stands beside:
//
// - Triple DES against OpenSSL's EVP_des_ede_ecb (padding off): bulk, 8 KiB
//   under one key (OpenSSL keyed once, outside the loop; ours derives its
//   round keys inside every call, as it always does); and one block under a
//   fresh key each time, against one reused OpenSSL context with the cipher
//   fetched once and re-keyed per block. Goals: bulk at least 0.5x OpenSSL's
//   throughput, fresh-key blocks at least as fast as OpenSSL.
// - renderText of 16 cells against the same scene drawn directly with cairo
//   and pango (white fill, 2-pixel red frame, 16 glyphs of the same face and
//   size at their positions, one layout per scene). Goal: at most 2x.
// - drawCode against RAND_bytes for the same 2,614 one-byte draws plus the
//   same scene drawn directly (white fill, 6 glyphs, 8 one-pixel strokes, 512
//   pixels). Goal: at most 1.5x.
//
// Each pair runs in the shared interleaved loop (bench/common), in
// alternating order, measuring each side's process CPU time; "ratio" is ours
// over theirs (time), the median of the repetitions, printed side by side at
// the end (the ours_ms and theirs_ms columns hold microseconds per operation).
#include <benchmark/benchmark.h>
#include <cairo.h>
#include <pango/pangocairo.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "Interleaved.h"
#include "platform/ui.h"
#include "protinput/DES.h"
#include "protinput/GRD_image.h"

namespace {

// Ours and theirs through the shared interleaved loop, each side doing
// `batch` operations per run, so that reading the clock stays small beside
// the work; the counters are then scaled to microseconds per operation.
template <typename Ours, typename Theirs>
void interleaved(benchmark::State& state, int batch, Ours ours, Theirs theirs) {
  bench::interleave(state,
                    {"ours_ms",
                     [&](std::string*) {
                       for (int i = 0; i < batch; ++i) ours();
                       return true;
                     }},
                    {"theirs_ms", [&](std::string*) {
                       for (int i = 0; i < batch; ++i) theirs();
                       return true;
                     }});
  for (const char* name : {"ours_ms", "theirs_ms"})
    if (state.counters.count(name)) state.counters[name] = state.counters[name] * 1000.0 / batch;
}

// ---- triple DES ----
std::vector<unsigned char> randomBytes(size_t n) {
  std::vector<unsigned char> v(n);
  RAND_bytes(v.data(), static_cast<int>(n));
  return v;
}

void BM_TripleDES_Bulk8K(benchmark::State& state) {
  auto key = randomBytes(16);
  auto in = randomBytes(8192);
  std::vector<unsigned char> out(8192 + 8);
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "DES-EDE-ECB", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex2(ctx, cipher, key.data(), nullptr, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  interleaved(
      state, 16,
      [&] {
        TripleDESEncrypt(key.data(), in.data(), 8192, out.data());
        benchmark::DoNotOptimize(out.data());
      },
      [&] {
        int n = 0;
        EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), 8192);
        benchmark::DoNotOptimize(out.data());
      });
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * 16 * 8192);
}

void BM_TripleDES_FreshKeyBlock(benchmark::State& state) {
  constexpr int kKeys = 1024;
  auto keys = randomBytes(16 * kKeys);
  auto block = randomBytes(8);
  unsigned char out[16];
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "DES-EDE-ECB", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex2(ctx, cipher, keys.data(), nullptr, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  int i = 0, j = 0;
  interleaved(
      state, 256,
      [&] {
        TripleDESEncrypt(keys.data() + 16 * (i++ % kKeys), block.data(), 8, out);
        benchmark::DoNotOptimize(out);
      },
      [&] {
        int n = 0;
        EVP_EncryptInit_ex2(ctx, nullptr, keys.data() + 16 * (j++ % kKeys), nullptr, nullptr);
        EVP_EncryptUpdate(ctx, out, &n, block.data(), 8);
        benchmark::DoNotOptimize(out);
      });
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
}

// ---- pictures ----
// The same face, size and options the ui family draws "MS Gothic" with.
struct Direct {
  PangoFontMap* map = nullptr;
  PangoContext* context = nullptr;
  PangoFontDescription* textFont = nullptr;
  PangoFontDescription* codeFont = nullptr;
  Direct() {
    map = pango_cairo_font_map_new();
    pango_cairo_font_map_set_resolution(PANGO_CAIRO_FONT_MAP(map), 96.0);
    context = pango_font_map_create_context(map);
    cairo_font_options_t* o = cairo_font_options_create();
    cairo_font_options_set_antialias(o, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(o, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(o, CAIRO_HINT_METRICS_OFF);
    pango_cairo_context_set_font_options(context, o);
    cairo_font_options_destroy(o);
    textFont = pango_font_description_from_string("Noto Sans Mono CJK JP Bold");
    pango_font_description_set_absolute_size(textFont, 14 * PANGO_SCALE);
    codeFont = pango_font_description_from_string("Noto Sans Mono CJK JP Bold");
    pango_font_description_set_absolute_size(codeFont, 15 * PANGO_SCALE);
  }
};
Direct& direct() {
  static Direct d;
  return d;
}

void glyphs(cairo_t* cr, PangoFontDescription* font, const char* text, int count, int y, double r, double g, double b) {
  PangoLayout* layout = pango_layout_new(direct().context);
  pango_layout_set_font_description(layout, font);
  cairo_set_source_rgb(cr, r, g, b);
  for (int i = 0; i < count; ++i) {
    pango_layout_set_text(layout, text + i, 1);
    cairo_move_to(cr, 1 + 25 * i, y);
    pango_cairo_update_context(cr, direct().context);
    pango_cairo_show_layout(cr, layout);
  }
  g_object_unref(layout);
}

void directText() {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 400, 30);
  cairo_t* cr = cairo_create(s);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_set_source_rgb(cr, 1, 0, 0);
  cairo_set_line_width(cr, 2);
  cairo_rectangle(cr, 0, 0, 400, 30);
  cairo_stroke(cr);
  glyphs(cr, direct().textFont, "0123456789.5    ", 16, 5, 1, 96 / 255.0, 0);
  cairo_destroy(cr);
  benchmark::DoNotOptimize(s);
  cairo_surface_destroy(s);
}

void directCode() {
  unsigned char draws[2614];
  for (unsigned char& d : draws) RAND_bytes(&d, 1);
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 150, 25);
  cairo_t* cr = cairo_create(s);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  char code[7] = {0};
  for (int i = 0; i < 6; ++i) code[i] = "3456789ABCDEFGHJKMNPQRSTWXY"[draws[i] % 27];
  glyphs(cr, direct().codeFont, code, 6, 3, 0, 0, 0);
  const unsigned char* r = draws + 6;
  cairo_set_line_width(cr, 1);
  for (int x0 = 0; x0 < 200; x0 += 25, r += 6) {
    double x = x0 + r[0] % 25 + 1.5, y = r[1] % 25 + 1.5, step = r[2] % 10 + 1;
    cairo_set_source_rgb(cr, (r[3] % 254 + 1) / 255.0, (r[4] % 254 + 1) / 255.0, (r[5] % 254 + 1) / 255.0);
    cairo_move_to(cr, x, y);
    cairo_line_to(cr, x + step, y + step);
    cairo_stroke(cr);
  }
  cairo_surface_flush(s);
  unsigned char* data = cairo_image_surface_get_data(s);
  int stride = cairo_image_surface_get_stride(s);
  for (int i = 0; i < 512; ++i, r += 5) {
    uint32_t* px = reinterpret_cast<uint32_t*>(data + (r[1] % 25) * stride) + r[0] % 150;
    *px = static_cast<uint32_t>((r[2] % 255) << 16 | (r[3] % 255) << 8 | (r[4] % 255));
  }
  cairo_surface_mark_dirty(s);
  cairo_destroy(cr);
  benchmark::DoNotOptimize(s);
  cairo_surface_destroy(s);
}

// The picture control on a window of its own, as in a dialog.
struct Picture {
  GRD_image image;
  Picture() {
    HWND w =
        CreateWindowExW(0, WC_STATICW, u"", WS_POPUP | SS_BITMAP, 0, 0, 400, 30, nullptr, nullptr, nullptr, nullptr);
    image.Attach(w);
  }
};

void BM_RenderText16(benchmark::State& state) {
  Picture p;
  CBitmap bitmap;
  const std::u16string text = u"0123456789.5";
  interleaved(
      state, 8, [&] { p.image.renderText(bitmap, text, 16, false, true); }, [] { directText(); });
}

void BM_DrawCode(benchmark::State& state) {
  Picture p;
  CBitmap bitmap;
  interleaved(
      state, 8, [&] { p.image.drawCode(bitmap, 6, false); }, [] { directCode(); });
}

BENCHMARK(BM_TripleDES_Bulk8K)->MinTime(1.0)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_TripleDES_FreshKeyBlock)->MinTime(1.0)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_RenderText16)->MinTime(1.0)->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_DrawCode)->MinTime(1.0)->Repetitions(3)->ReportAggregatesOnly(true);

// The closing lines, from each benchmark's median counters.
void printRatios(const bench::Ratios& found) {
  const struct {
    const char* bench;
    const char* label;
    const char* goal;
    bool throughput;
  } lines[] = {
      {"BM_TripleDES_Bulk8K", "triple DES bulk 8 KiB vs EVP_des_ede_ecb", "throughput at least 0.5x", true},
      {"BM_TripleDES_FreshKeyBlock", "triple DES fresh-key block vs re-keyed EVP context",
       "at least as fast (time <= 1.0x)", false},
      {"BM_RenderText16", "renderText 16 cells vs direct cairo", "time at most 2x", false},
      {"BM_DrawCode", "drawCode vs RAND_bytes x2614 + direct cairo", "time at most 1.5x", false},
  };
  for (const auto& l : lines) {
    auto it = found.find(l.bench);
    if (it == found.end()) continue;
    auto value = [&](const char* name) {
      auto c = it->second.find(name);
      return c != it->second.end() ? static_cast<double>(c->second.value) : 0.0;
    };
    double ratio = value("ratio");
    if (l.throughput)
      std::printf("ratio %s: ours %.2f us, OpenSSL %.2f us, throughput %.2fx (goal: %s)\n", l.label, value("ours_ms"),
                  value("theirs_ms"), ratio > 0 ? 1 / ratio : 0, l.goal);
    else
      std::printf("ratio %s: ours %.2f us, theirs %.2f us, time %.2fx (goal: %s)\n", l.label, value("ours_ms"),
                  value("theirs_ms"), ratio, l.goal);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bench::RatioReporter reporter(printRatios);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
