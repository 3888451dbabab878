// Decodes arbitrary bytes, and checks that whatever comes out encodes and
// decodes back to itself and that arbitrary bytes survive a round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "signlib/Base64.h"

namespace {
void roundTrip(const unsigned char* bytes, int n) {
  char* text = base64Encode(bytes, n);
  if (text == nullptr) __builtin_trap();
  int len = static_cast<int>(std::strlen(text));
  unsigned char* back = base64Decode(text, &len);
  if (back == nullptr || len != n || (n > 0 && std::memcmp(back, bytes, static_cast<size_t>(n)) != 0)) __builtin_trap();
  std::free(back);
  std::free(text);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  int n = static_cast<int>(size);
  unsigned char* decoded = base64Decode(reinterpret_cast<const char*>(data), &n);
  if (decoded == nullptr) __builtin_trap();
  // At most three bytes for every four characters, and zeros after them.
  if (n < 0 || static_cast<size_t>(n) > size / 4 * 3 + 2 || decoded[n] != 0) __builtin_trap();
  roundTrip(decoded, n);
  std::free(decoded);
  roundTrip(data, static_cast<int>(size));
  return 0;
}
