#include "signlib/ResultCode.h"

#include <cstdio>
#include <cstring>

namespace rc {
int textIdForCode(int code, unsigned short langId) {
  if (code >= 0 && code <= 28) return 500 + code;
  switch (code) {
    case 50: return 529;
    case 51: return langId == 1033 ? 531 : 530;
    case 52: return 532;
    case 55: return 543;
    case 61: return 533;
    case 62: return 534;
    case 63: return 535;
    case 64: return 536;
    case 65: return 537;
    case 70: return 538;
    case 99: return 540;
    default: return -1;
  }
}
}  // namespace rc

char* vformatErrorText(char (&buffer)[ERROR_TEXT_SIZE], const char* format, va_list args) {
  char temp[ERROR_TEXT_SIZE];
  int n = std::vsnprintf(temp, sizeof temp, format, args);
  if (n < 0) temp[0] = '\0';
  std::memcpy(buffer, temp, sizeof temp);
  buffer[ERROR_TEXT_SIZE - 1] = '\0';
  return buffer;
}

char* formatErrorText(char (&buffer)[ERROR_TEXT_SIZE], const char* format, ...) {
  va_list args;
  va_start(args, format);
  vformatErrorText(buffer, format, args);
  va_end(args);
  return buffer;
}

char* formatBounded(char* buffer, std::size_t size, const char* format, ...) {
  if (buffer == nullptr || size == 0) return buffer;
  char* temp = new char[size];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(temp, size, format, args);
  va_end(args);
  if (n < 0) temp[0] = '\0';
  std::memcpy(buffer, temp, size);
  buffer[size - 1] = '\0';
  delete[] temp;
  return buffer;
}
