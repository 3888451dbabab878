#include "signlib/MathUtils.h"

#include <cstring>

namespace {
char gSwapError[512] = {};
char gAsciiError[512] = {};

void setText(char (&buffer)[512], const char* text) {
  std::strncpy(buffer, text, sizeof buffer - 1);
  buffer[sizeof buffer - 1] = '\0';
}
}  // namespace

int CMathUtils::SwapByte(const unsigned char* in, std::size_t length, unsigned char* out) {
  if (length != 0 && (in == nullptr || out == nullptr)) {
    setText(gSwapError, "CMathUtils::SwapByte -> Unknown error");
    return 1;
  }
  for (std::size_t i = 0; i < length; ++i) out[i] = in[length - 1 - i];
  return 0;
}

const char* CMathUtils::getErrorText() { return gSwapError; }

int Binary2Ascii(const unsigned char* in, std::size_t length, char* out, std::size_t* outLength) {
  static const char kDigits[] = "0123456789ABCDEF";
  if (outLength == nullptr || (length != 0 && (in == nullptr || out == nullptr))) {
    setText(gAsciiError, "Binary2Ascii -> Unknown error");
    return 1;
  }
  *outLength = 0;
  for (std::size_t i = 0; i < length; ++i) {
    out[*outLength] = kDigits[in[i] >> 4];
    out[*outLength + 1] = kDigits[in[i] & 0x0F];
    *outLength += 2;
  }
  return 0;
}

const char* Binary2AsciiErrorText() { return gAsciiError; }
