// A record of what device contexts drew, for tests: pictures are checked by
// the calls that made them (character, position, font, colour; strokes;
// pixels), not by the pixels of a font.
//
// Recording is per thread: PlatformStartDrawRecord() starts an empty record of
// every drawing call the thread makes on any device context, and
// PlatformTakeDrawRecord() hands it over and stops. Calls that draw nothing
// (a null or deleted DC, a bad brush) are not recorded.
#pragma once

#include <string>
#include <vector>

#include "platform/ui.h"

struct PlatformDrawOp {
  enum Kind { TextOut, DrawText, Line, Pixel, FillRect, FrameRect, Rectangle, FocusRect, FrameControl, BitBlt };
  Kind kind = TextOut;
  HDC hdc = nullptr;
  HBITMAP target = nullptr;  // the bitmap selected into a memory DC; null for window DCs
  // TextOut: origin; Line: start; Pixel: position; BitBlt: destination.
  int x = 0;
  int y = 0;
  // Line: end point (not drawn, as LineTo leaves it out).
  int x2 = 0;
  int y2 = 0;
  // DrawText, FillRect, FrameRect, Rectangle, FocusRect, FrameControl, BitBlt: the rectangle.
  RECT rect{};
  std::u16string text;
  // DrawText: the format; FrameControl: type << 16 | state.
  UINT format = 0;
  // Text calls: the font selected into the DC (its description).
  LOGFONTW font{};
  // Text: text colour; Line: pen colour; Pixel: its colour; FillRect, FrameRect,
  // Rectangle: brush colour.
  COLORREF color = 0;
  // Line and Rectangle: the pen (Rectangle's colour in penColor).
  int penStyle = 0;
  int penWidth = 0;
  COLORREF penColor = 0;
  bool nullBrush = false;
  int bkMode = 0;
};

#define PLATFORM_CXX_API __attribute__((visibility("default")))
PLATFORM_CXX_API void PlatformStartDrawRecord();
PLATFORM_CXX_API bool PlatformDrawRecording();
PLATFORM_CXX_API std::vector<PlatformDrawOp> PlatformTakeDrawRecord();
