// Helpers shared by the ui tests.
#pragma once

#include <cstdlib>
#include <string>

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
inline bool samePicture(HBITMAP a, HBITMAP b) {
  BITMAP ba{}, bb{};
  GetObjectW(a, sizeof ba, &ba);
  GetObjectW(b, sizeof bb, &bb);
  if (ba.bmWidth != bb.bmWidth || ba.bmHeight != bb.bmHeight) return false;
  HDC da = CreateCompatibleDC(nullptr), db = CreateCompatibleDC(nullptr);
  HGDIOBJ oa = SelectObject(da, a), ob = SelectObject(db, b);
  bool same = true;
  for (int y = 0; y < ba.bmHeight && same; ++y)
    for (int x = 0; x < ba.bmWidth && same; ++x) same = GetPixel(da, x, y) == GetPixel(db, x, y);
  SelectObject(da, oa);
  SelectObject(db, ob);
  DeleteDC(da);
  DeleteDC(db);
  return same;
}
