#include "protinput/RandomByte.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <atomic>

namespace {
std::atomic<RandomSource*> gSource{nullptr};
}  // namespace

RandomSource* SetRandomSource(RandomSource* source) { return gSource.exchange(source); }

int RandomByte() {
  unsigned char b[1] = {0};
  RandomSource* source = gSource.load();
  bool ok = source != nullptr ? source->fill(b, 1) : RAND_bytes(b, 1) == 1;
  int value = ok ? b[0] : -1;
  OPENSSL_cleanse(b, sizeof b);
  return value;
}

int RandomBelow(int n) {
  if (n < 1 || n > 256) return -1;
  const int limit = 256 - 256 % n;
  for (;;) {
    int b = RandomByte();
    if (b < 0) return -1;
    if (b < limit) return b % n;
  }
}
