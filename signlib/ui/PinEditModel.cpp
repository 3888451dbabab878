#include "signlib/ui/PinEditModel.h"

#include <cstring>

#include <openssl/crypto.h>

#include "platform/locale.h"

int PinEditModel::onUpdate(HWND edit) {
  // Setting the text back below raises EN_UPDATE again; the restored text is
  // the PIN itself, already accepted.
  if (m_restoring || edit == nullptr) return -1;
  WCHAR text[kReadSize] = {};
  char converted[kPinSize] = {};
  int accepted = -1;
  try {
    const int length = ::GetWindowTextLengthW(edit);
    if (length < kReadSize) {
      const int n = ::GetWindowTextW(edit, text, kReadSize);
      const bool withinLimit = m_limit <= 0 || n <= m_limit;
      if (withinLimit && n == 0) {
        accepted = 0;
      } else if (withinLimit) {
        // The 8-bit form must fit the field with its NUL.
        int bytes = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text, n, converted, kPinSize - 1, nullptr, nullptr);
        if (bytes > 0) accepted = n;
      }
    }
    if (accepted >= 0) {
      std::memcpy(m_pin, converted, kPinSize);
      m_pin[kPinSize - 1] = '\0';
    } else {
      WCHAR restored[kPinSize] = {};
      if (m_pin[0] != '\0') ::MultiByteToWideChar(CP_THREAD_ACP, 0, m_pin, -1, restored, kPinSize);
      m_restoring = true;
      ::SetWindowTextW(edit, restored);
      m_restoring = false;
      OPENSSL_cleanse(restored, sizeof restored);
      ::MessageBeep(0xFFFFFFFF);
    }
  } catch (...) {
    m_restoring = false;
    accepted = -1;
  }
  OPENSSL_cleanse(text, sizeof text);
  OPENSSL_cleanse(converted, sizeof converted);
  return accepted;
}
