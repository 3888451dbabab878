// Byte-string helpers: reversing a byte string (CryptoAPI writes signatures
// and serial numbers least significant byte first) and writing bytes as
// upper-case hexadecimal text.
#pragma once

#include <cstddef>

class CMathUtils {
 public:
  // out[i] = in[length - 1 - i] for every i below length; in and out may not
  // overlap. 0, or non-zero with the static error text set.
  static int SwapByte(const unsigned char* in, std::size_t length, unsigned char* out);
  static const char* getErrorText();
};

// Two upper-case hexadecimal characters per byte, high nibble first, into out
// (room for 2 * length characters; no NUL is written); *outLength receives
// the characters written. 0, or non-zero with the static error text set.
int Binary2Ascii(const unsigned char* in, std::size_t length, char* out, std::size_t* outLength);
const char* Binary2AsciiErrorText();
