// Helpers shared by the ui tests.
#pragma once

#include <cstdlib>
#include <string>

#include "Pictures.h"
#include "platform/afx.h"
#include "platform/kernel.h"
#include "platform/ui.h"
#include "platform/user.h"

// Where the tests leave the pictures they save: the build folder.
inline std::string buildPath(const std::string& name) {
  const char* dir = std::getenv("BUILD_DIR");
  return std::string(dir ? dir : ".") + "/" + name;
}

// The colour at (x, y) of a picture of the window.
inline COLORREF pixelOf(HBITMAP picture, int x, int y) {
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, picture);
  COLORREF c = GetPixel(dc, x, y);
  SelectObject(dc, old);
  DeleteDC(dc);
  return c;
}

// How many pixels of the rectangle have the colour.
inline int countColor(HBITMAP picture, RECT r, COLORREF color) {
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, picture);
  int n = 0;
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x)
      if (GetPixel(dc, x, y) == color) ++n;
  SelectObject(dc, old);
  DeleteDC(dc);
  return n;
}

// True when two pictures have the same size and pixels.
using testsupport::samePicture;
