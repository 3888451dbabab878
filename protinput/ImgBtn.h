// The key of the keypads: an owner-drawn button that paints its one-character
// caption over fresh random noise at every repaint. The caption is never the
// button's window text.
#pragma once

#include <string>

#include "platform/afx.h"

class ImgBtn : public CButton {
 public:
  ImgBtn() = default;
  void DrawItem(LPDRAWITEMSTRUCT item) override;

  LOGFONTW fontSpec{};
  std::u16string caption;
};
