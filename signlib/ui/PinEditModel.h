// The rules of a PIN edit, shared by the token login dialog and the card
// login dialog: on each EN_UPDATE the edit's text is read through 24 UTF-16
// units (a longer text is refused, never cut), held to the length limit
// (0 or below: no limit) and kept as 8-bit text in the thread's ANSI code
// page within the 32-byte PIN field (an 8-bit form longer than 31 bytes is
// refused like a text over the limit). A refused text is set back to the PIN
// held so far with the simple beep; that restore is never refused itself.
//
// The model works on its dialog's own PIN field and limit.
#pragma once

#include "platform/ui.h"

class PinEditModel {
 public:
  static constexpr int kReadSize = 24;
  static constexpr int kPinSize = 32;

  PinEditModel(char (&pin)[kPinSize], const int& limit) : m_pin(pin), m_limit(limit) {}
  PinEditModel(const PinEditModel&) = delete;
  PinEditModel& operator=(const PinEditModel&) = delete;

  // Handles EN_UPDATE of the edit: the accepted length in characters, or -1
  // when the text was refused (or the update is the model's own restore).
  int onUpdate(HWND edit);

 private:
  char (&m_pin)[kPinSize];
  const int& m_limit;
  bool m_restoring = false;
};
