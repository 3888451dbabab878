// A static text with its own text colour, background colour and font: the
// red titles of the keypads and of the text-as-picture confirmation.
#pragma once

#include <string>

#include "platform/afx.h"

// The texts of the box that reports a font that cannot be created, loaded by
// every CColorStatic constructed (in the thread's language at that moment).
extern std::u16string FontErrorText;
extern std::u16string FontErrorCaption;

class CColorStatic : public CStatic {
 public:
  CColorStatic();
  ~CColorStatic() override;

  // Colours as RGB values; -1 keeps the current one. Repaints. 1.
  int SetColors(int text, int back);
  // A new font of that height; the old one goes only once the new one
  // exists. 1, or 0 (the old font kept, the failure box shown).
  int SetFontSize(int height);

  CBrush brush;
  std::u16string faceName = u"新細明體";
  int fontSize = 20;
  CFont font;
  COLORREF textColor = 0;
  COLORREF backColor;
  int italic = 0;
  int underline = 0;
  int strikeOut = 0;
  int weight = 400;

 protected:
  HBRUSH CtlColor(CDC* dc, UINT ctlColor) override;
  int OnCreate(LPCREATESTRUCTW cs) override;
  // Creates a font of the control's face and style (null on failure).
  virtual HFONT makeFont(int height, BYTE quality);
};
