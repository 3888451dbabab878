// Comparing pictures in tests. Header only: a test that uses it links the
// drawing family itself.
#pragma once

#include "platform/ui.h"

namespace testsupport {

// True when both bitmaps can be read and have the same size and pixels.
inline bool samePicture(HBITMAP a, HBITMAP b) {
  BITMAP ba{}, bb{};
  if (!GetObjectW(a, sizeof ba, &ba) || !GetObjectW(b, sizeof bb, &bb)) return false;
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

}  // namespace testsupport
