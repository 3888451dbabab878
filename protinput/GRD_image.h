// The picture control of protected input: it renders a text as a row of
// fixed-width cells, and makes and draws the picture verification code of the
// PIN pads (a random code over coloured noise). Typed and shown values appear
// only as such pictures, never as window text.
//
// The owner keeps the bitmap object it hands in and puts the new bitmap into
// the control with STM_SETIMAGE; a bitmap the object still holds is deleted
// when a new picture is made into it.
#pragma once

#include <optional>
#include <string>

#include "platform/afx.h"

// The characters of a verification code: 3 to 9 and the upper-case letters
// without I, L, O, U, V and Z.
extern const char16_t CODE_ALPHABET[28];

class GRD_image : public CStatic {
 public:
  GRD_image();
  ~GRD_image() override;

  // Draws text into a new bitmap of 25 pixels per cell by 30 attached to
  // target: white, a 2-pixel red frame when frame is set, one character per
  // cell (the text cut or padded with blanks to cells). 0; -1 when the picture
  // cannot be made (no cells, too many, or randomStyle and the random source
  // fails), with nothing attached to target.
  int renderText(CBitmap& target, const std::u16string& text, int cells, bool randomStyle, bool frame);

  // n characters of CODE_ALPHABET (empty for n < 1); nothing when the random
  // source fails.
  std::optional<std::u16string> makeCode(int n);

  // Makes a code of n characters into currentCode and draws it over noise
  // into a new 150 x 25 bitmap attached to target. 0; -1 when the random
  // source fails, with currentCode empty and nothing attached to target.
  int drawCode(CBitmap& target, int n, bool randomStyle);

  CBitmap bitmap;
  LOGFONTW fontSpec{};
  std::u16string currentCode;
  // The text being drawn by renderText; wiped when the drawing is done.
  std::u16string shownText;
};
