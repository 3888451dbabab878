// The picture renderer, checked by what it drew (the ui family's draw record)
// from injected random bytes, and saved as PNGs under the build folder.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/drawrecord.h"
#include "protinput/GRD_image.h"
#include "protinput/RandomByte.h"

namespace {

std::string buildPath(const std::string& name) {
  const char* dir = std::getenv("BUILD_DIR");
  return std::string(dir ? dir : ".") + "/" + name;
}

std::vector<PlatformDrawOp> ofKind(const std::vector<PlatformDrawOp>& ops, PlatformDrawOp::Kind kind) {
  std::vector<PlatformDrawOp> out;
  for (const auto& op : ops)
    if (op.kind == kind) out.push_back(op);
  return out;
}

std::u16string face(const LOGFONTW& lf) { return std::u16string(lf.lfFaceName); }

BITMAP sizeOf(const CBitmap& b) {
  BITMAP info{};
  b.GetBitmap(&info);
  return info;
}

std::vector<unsigned char> bytes(size_t n, unsigned seed) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 131 + seed * 7 + (i >> 3)) & 0xFF);
  return v;
}

TEST(RenderText, CellsFontsColoursAndFrame) {
  struct Case {
    std::u16string text;
    int cells;
    std::u16string drawn;
  } cases[] = {
      {u"0123", 16, u"0123            "},
      {u"", 16, u"                "},
      {u"12345678901234567890", 16, u"1234567890123456"},
      {u"7.5", 3, u"7.5"},
  };
  for (const auto& c : cases) {
    GRD_image image;
    CBitmap bitmap;
    PlatformStartDrawRecord();
    ASSERT_EQ(image.renderText(bitmap, c.text, c.cells, false, true), 0);
    auto ops = PlatformTakeDrawRecord();
    EXPECT_TRUE(image.shownText.empty());
    BITMAP info = sizeOf(bitmap);
    EXPECT_EQ(info.bmWidth, 25 * c.cells);
    EXPECT_EQ(info.bmHeight, 30);
    auto fills = ofKind(ops, PlatformDrawOp::FillRect);
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].color, RGB(255, 255, 255));
    EXPECT_EQ(fills[0].rect.right, 25 * c.cells);
    auto frames = ofKind(ops, PlatformDrawOp::Rectangle);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].penWidth, 2);
    EXPECT_EQ(frames[0].penColor, RGB(255, 0, 0));
    EXPECT_EQ(frames[0].rect.right, 25 * c.cells);
    EXPECT_EQ(frames[0].rect.bottom, 30);
    auto texts = ofKind(ops, PlatformDrawOp::TextOut);
    ASSERT_EQ(texts.size(), c.drawn.size());
    for (size_t i = 0; i < texts.size(); ++i) {
      const auto& t = texts[i];
      EXPECT_EQ(t.text, c.drawn.substr(i, 1));
      EXPECT_EQ(t.x, 1 + 25 * static_cast<int>(i));
      EXPECT_EQ(t.y, 5);
      EXPECT_EQ(face(t.font), u"MS Gothic");
      EXPECT_EQ(t.font.lfHeight, 20);
      EXPECT_EQ(t.font.lfWidth, 20);
      EXPECT_EQ(t.font.lfWeight, 700);
      EXPECT_EQ(t.font.lfEscapement, 0);
      EXPECT_EQ(t.font.lfCharSet, 1);
      EXPECT_EQ(t.font.lfPitchAndFamily, 1);
      EXPECT_EQ(t.color, RGB(255, 96, 0));
      EXPECT_EQ(t.bkMode, TRANSPARENT);
      EXPECT_EQ(t.target, bitmap.m_hObject);
    }
  }
}

TEST(RenderText, NoFrameAndNoCells) {
  GRD_image image;
  CBitmap bitmap;
  PlatformStartDrawRecord();
  ASSERT_EQ(image.renderText(bitmap, u"12", 4, false, false), 0);
  EXPECT_TRUE(ofKind(PlatformTakeDrawRecord(), PlatformDrawOp::Rectangle).empty());
  for (int cells : {0, -1, 5000}) {
    PlatformStartDrawRecord();
    EXPECT_EQ(image.renderText(bitmap, u"12", cells, false, true), -1);
    EXPECT_TRUE(ofKind(PlatformTakeDrawRecord(), PlatformDrawOp::TextOut).empty());
    EXPECT_EQ(bitmap.m_hObject, nullptr);
    EXPECT_TRUE(image.shownText.empty());
  }
}

TEST(RenderText, RandomStyleTakesWeightThenEscapement) {
  SequenceRandomSource seq({255, 199, 10, 250});
  ScopedRandomSource scope(&seq);
  GRD_image image;
  CBitmap bitmap;
  PlatformStartDrawRecord();
  ASSERT_EQ(image.renderText(bitmap, u"12", 2, true, true), 0);
  auto texts = ofKind(PlatformTakeDrawRecord(), PlatformDrawOp::TextOut);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].font.lfWeight, 255);
  EXPECT_EQ(texts[0].font.lfEscapement, 199);
  EXPECT_EQ(texts[1].font.lfWeight, 10);
  EXPECT_EQ(texts[1].font.lfEscapement, 50);
  // Out of random bytes: no picture.
  EXPECT_EQ(image.renderText(bitmap, u"12", 2, true, true), -1);
  EXPECT_EQ(bitmap.m_hObject, nullptr);
}

TEST(MakeCode, AlphabetAndFailure) {
  std::vector<unsigned char> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
  SequenceRandomSource seq(all);
  ScopedRandomSource scope(&seq);
  GRD_image image;
  auto code = image.makeCode(256);
  ASSERT_TRUE(code.has_value());
  const std::u16string alphabet = u"3456789ABCDEFGHJKMNPQRSTWXY";
  for (int i = 0; i < 256; ++i) EXPECT_EQ((*code)[i], alphabet[i % 27]);
  for (char16_t bad : std::u16string(u"012ILOUVZabcxyz")) EXPECT_EQ(code->find(bad), std::u16string::npos);
  EXPECT_EQ(image.makeCode(0), std::u16string());
  EXPECT_EQ(image.makeCode(1), std::nullopt);
}

// What the picture of a code must be for a given sequence of random bytes.
struct ExpectedCode {
  std::u16string code;
  struct Stroke {
    int x, y, x2, y2;
    COLORREF color;
  };
  std::vector<Stroke> strokes;
  struct Pixel {
    int x, y;
    COLORREF color;
  };
  std::vector<Pixel> pixels;
};

ExpectedCode expectedCode(const std::vector<unsigned char>& r) {
  const std::u16string alphabet = u"3456789ABCDEFGHJKMNPQRSTWXY";
  ExpectedCode e;
  size_t k = 0;
  for (int i = 0; i < 6; ++i) e.code.push_back(alphabet[r[k++] % 27]);
  for (int x0 = 0; x0 < 200; x0 += 25) {
    int a = r[k++], b = r[k++], d = r[k++], red = r[k++], g = r[k++], bl = r[k++];
    int sx = x0 + a % 25 + 1, sy = b % 25 + 1, step = d % 10;
    e.strokes.push_back({sx, sy, sx + step + 1, sy + step + 1, RGB(red % 254 + 1, g % 254 + 1, bl % 254 + 1)});
  }
  for (int i = 0; i < 512; ++i) {
    int px = r[k++], py = r[k++], red = r[k++], g = r[k++], bl = r[k++];
    e.pixels.push_back({px % 150, py % 25, RGB(red % 255, g % 255, bl % 255)});
  }
  return e;
}

TEST(DrawCode, DrawsWhatTheRandomBytesSay) {
  for (unsigned seed : {1u, 2u, 3u}) {
    auto r = bytes(2614, seed);
    ExpectedCode e = expectedCode(r);
    SequenceRandomSource seq(r);
    ScopedRandomSource scope(&seq);
    GRD_image image;
    CBitmap bitmap;
    PlatformStartDrawRecord();
    ASSERT_EQ(image.drawCode(bitmap, 6, false), 0);
    auto ops = PlatformTakeDrawRecord();
    EXPECT_EQ(seq.used(), 2614u);
    EXPECT_EQ(image.currentCode, e.code);
    BITMAP info = sizeOf(bitmap);
    EXPECT_EQ(info.bmWidth, 150);
    EXPECT_EQ(info.bmHeight, 25);
    auto texts = ofKind(ops, PlatformDrawOp::TextOut);
    ASSERT_EQ(texts.size(), 6u);
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(texts[i].text, e.code.substr(i, 1));
      EXPECT_EQ(texts[i].x, 1 + 25 * i);
      EXPECT_EQ(texts[i].y, 3);
      EXPECT_EQ(face(texts[i].font), u"MS Gothic");
      EXPECT_EQ(texts[i].font.lfHeight, 22);
      EXPECT_EQ(texts[i].font.lfWidth, 18);
      EXPECT_EQ(texts[i].font.lfWeight, 700);
      EXPECT_EQ(texts[i].font.lfEscapement, 0);
      EXPECT_EQ(texts[i].color, RGB(0, 0, 0));
    }
    auto lines = ofKind(ops, PlatformDrawOp::Line);
    ASSERT_EQ(lines.size(), 8u);
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(lines[i].x, e.strokes[i].x);
      EXPECT_EQ(lines[i].y, e.strokes[i].y);
      EXPECT_EQ(lines[i].x2, e.strokes[i].x2);
      EXPECT_EQ(lines[i].y2, e.strokes[i].y2);
      EXPECT_EQ(lines[i].penColor, e.strokes[i].color);
      EXPECT_EQ(lines[i].penWidth, 1);
    }
    auto pixels = ofKind(ops, PlatformDrawOp::Pixel);
    ASSERT_EQ(pixels.size(), 512u);
    for (int i = 0; i < 512; ++i) {
      EXPECT_EQ(pixels[i].x, e.pixels[i].x);
      EXPECT_EQ(pixels[i].y, e.pixels[i].y);
      EXPECT_EQ(pixels[i].color, e.pixels[i].color);
    }
    // Text first, then strokes over it, then pixels.
    size_t lastText = 0, firstLine = ops.size(), lastLine = 0, firstPixel = ops.size();
    for (size_t i = 0; i < ops.size(); ++i) {
      if (ops[i].kind == PlatformDrawOp::TextOut) lastText = i;
      if (ops[i].kind == PlatformDrawOp::Line) firstLine = std::min(firstLine, i), lastLine = i;
      if (ops[i].kind == PlatformDrawOp::Pixel) firstPixel = std::min(firstPixel, i);
    }
    EXPECT_LT(lastText, firstLine);
    EXPECT_LT(lastLine, firstPixel);
  }
}

TEST(DrawCode, FailingRandomSourceFailsThePicture) {
  // Fails at once, during the code, during the strokes, during the pixels.
  for (size_t available : {size_t{0}, size_t{3}, size_t{6 + 20}, size_t{2613}}) {
    SequenceRandomSource seq(bytes(available, 9));
    ScopedRandomSource scope(&seq);
    GRD_image image;
    image.currentCode = u"OLDONE";
    CBitmap bitmap;
    EXPECT_EQ(image.drawCode(bitmap, 6, false), -1) << available;
    EXPECT_TRUE(image.currentCode.empty()) << available;
    EXPECT_EQ(bitmap.m_hObject, nullptr) << available;
  }
  FailingRandomSource failing;
  ScopedRandomSource scope(&failing);
  GRD_image image;
  CBitmap bitmap;
  EXPECT_EQ(image.drawCode(bitmap, 6, false), -1);
  EXPECT_NE(image.currentCode, u"333333");
  EXPECT_FALSE(image.makeCode(6).has_value());
}

TEST(DrawCode, NewPictureReplacesTheHeldOne) {
  GRD_image image;
  CBitmap bitmap;
  ASSERT_EQ(image.drawCode(bitmap, 6, false), 0);
  HGDIOBJ first = bitmap.m_hObject;
  std::u16string firstCode = image.currentCode;
  ASSERT_EQ(image.drawCode(bitmap, 6, false), 0);
  EXPECT_NE(bitmap.m_hObject, nullptr);
  // The first bitmap was deleted: it is no object any more.
  EXPECT_NE(bitmap.m_hObject, first);
  BITMAP info{};
  EXPECT_EQ(GetObjectW(first, sizeof info, &info), 0);
  EXPECT_EQ(image.currentCode.size(), 6u);
}

// Pixels of exactly the colour in one cell of a text picture.
int cellPixels(HBITMAP picture, int cell, COLORREF color) {
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, picture);
  int n = 0;
  for (int y = 2; y < 28; ++y)
    for (int x = 25 * cell + 2; x < 25 * cell + 24; ++x)
      if (GetPixel(dc, x, y) == color) ++n;
  SelectObject(dc, old);
  DeleteDC(dc);
  return n;
}

// Characters in many weights and slants (the random style) leave every
// later character drawn, in those styles and in the plain one.
TEST(Pictures, ManyStylesThenPlainTextAllDrawn) {
  GRD_image image;
  CBitmap bitmap;
  for (int round = 0; round < 4; ++round) {
    ASSERT_EQ(image.renderText(bitmap, u"8888888888888888", 16, true, false), 0);
    for (int cell = 0; cell < 16; ++cell)
      EXPECT_GT(cellPixels(static_cast<HBITMAP>(bitmap.m_hObject), cell, RGB(255, 96, 0)), 0) << round << "," << cell;
  }
  ASSERT_TRUE(
      PlatformSaveBitmapPng(static_cast<HBITMAP>(bitmap.m_hObject), buildPath("protinput-text-random.png").c_str()));
  ASSERT_EQ(image.renderText(bitmap, u"8888888888888888", 16, false, false), 0);
  for (int cell = 0; cell < 16; ++cell)
    EXPECT_GT(cellPixels(static_cast<HBITMAP>(bitmap.m_hObject), cell, RGB(255, 96, 0)), 10) << cell;
}

TEST(Pictures, SavedForLooking) {
  GRD_image image;
  CBitmap text, code;
  ASSERT_EQ(image.renderText(text, u"0123456789.5", 16, false, true), 0);
  ASSERT_TRUE(PlatformSaveBitmapPng(static_cast<HBITMAP>(text.m_hObject), buildPath("protinput-text.png").c_str()));
  ASSERT_EQ(image.drawCode(code, 6, false), 0);
  ASSERT_TRUE(PlatformSaveBitmapPng(static_cast<HBITMAP>(code.m_hObject), buildPath("protinput-code.png").c_str()));
}

}  // namespace
