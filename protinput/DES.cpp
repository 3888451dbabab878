// DES with the standard's tables turned, at compile time, into lookup tables
// over whole words: the initial and final permutations and the key
// permutations by byte, the S-boxes merged with the permutation P. The round
// keys are kept as two words that line up with the two rotated copies of the
// right half that supply the expansion's even and odd groups. Between the
// three passes of triple DES the final and initial permutations cancel, so
// they are applied once per block.
#include "protinput/DES.h"

#include <openssl/crypto.h>

#include <cstdint>

namespace {

constexpr unsigned char kIP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                                   62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                                   57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                                   61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};
constexpr unsigned char kFP[64] = {40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
                                   38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
                                   36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
                                   34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};
constexpr unsigned char kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                                  2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
constexpr unsigned char kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
                                    35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
                                    46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr unsigned char kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                                    26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                                    51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
constexpr unsigned char kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
constexpr unsigned char kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8, 14, 6,  11, 3,  4, 9, 7, 2,  13, 12, 0, 5, 10, 3,  13, 4,  7, 15, 2,  8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0,  14, 7, 11, 10, 4,  13, 1, 5, 8, 12, 6,  9,  3, 2, 15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6, 7, 12, 0, 5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0, 8, 13, 3,  12, 9, 7, 5, 10, 6, 1, 13, 0,  11, 7, 4, 9, 1,  10, 14, 3, 5, 12, 2,  15, 8, 6,
     1, 4,  11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5,  9, 2, 6,  11, 13, 8, 1, 4, 10, 7,  9,  5, 0, 15, 14, 2,  3, 12},
    {13, 2,  8, 4, 6, 15, 11, 1, 10, 9, 3,  14, 5,  0, 12, 7, 1, 15, 13, 8, 10, 3,  7, 4,  12, 5,  6, 11, 0, 14, 9, 2,
     7,  11, 4, 1, 9, 12, 14, 2, 0,  6, 10, 13, 15, 3, 5,  8, 2, 1,  14, 7, 4,  10, 8, 13, 15, 12, 9, 0,  3, 5,  6, 11},
};

struct Tables {
  uint64_t ip[8][256];   // by input byte: its bits after IP
  uint64_t fp[8][256];   // by input byte: its bits after IP^-1
  uint64_t pc1[8][256];  // by key byte: its bits after PC-1 (C in bits 55..28, D in 27..0)
  uint64_t pc2[8][128];  // by 7-bit group of C||D: the round key words (even << 32 | odd)
  uint32_t sp[8][64];    // S-box j on a 6-bit group, through P
};

// Bit position p (1 = most significant) of an n-bit word.
constexpr uint64_t bitAt(int p, int n) { return uint64_t{1} << (n - p); }

// Where bit k (1..48) of a round key lands in the two round-key words: group
// g = (k - 1) / 6 is even or odd, and sits at shift 26 - 8 * (g / 2) of its
// word, its first bit most significant.
constexpr uint64_t roundKeyBit(int k) {
  int g = (k - 1) / 6, b = (k - 1) % 6;
  int shift = 26 - 8 * (g / 2) + (5 - b);
  return (g % 2 == 0) ? (uint64_t{1} << (32 + shift)) : (uint64_t{1} << shift);
}

constexpr Tables makeTables() {
  Tables t{};
  // Each output bit comes from one bit of one input byte: set it in the
  // entries of every value of that byte that has the bit.
  for (int i = 0; i < 64; ++i) {
    int src = kIP[i] - 1;
    for (int v = 0; v < 256; ++v)
      if ((v >> (7 - src % 8)) & 1) t.ip[src / 8][v] |= bitAt(i + 1, 64);
    src = kFP[i] - 1;
    for (int v = 0; v < 256; ++v)
      if ((v >> (7 - src % 8)) & 1) t.fp[src / 8][v] |= bitAt(i + 1, 64);
  }
  for (int i = 0; i < 56; ++i) {
    int src = kPC1[i] - 1;
    for (int v = 0; v < 256; ++v)
      if ((v >> (7 - src % 8)) & 1) t.pc1[src / 8][v] |= bitAt(i + 1, 56);
  }
  for (int k = 0; k < 48; ++k) {
    int src = kPC2[k] - 1;  // 0..55 within C||D
    for (int v = 0; v < 128; ++v)
      if ((v >> (6 - src % 7)) & 1) t.pc2[src / 7][v] |= roundKeyBit(k + 1);
  }
  for (int j = 0; j < 8; ++j)
    for (int v = 0; v < 64; ++v) {
      int row = ((v >> 4) & 2) | (v & 1);
      int col = (v >> 1) & 0xF;
      uint32_t s = static_cast<uint32_t>(kS[j][row * 16 + col]) << (28 - 4 * j);
      uint32_t out = 0;
      for (int i = 0; i < 32; ++i)
        if (s & static_cast<uint32_t>(bitAt(kP[i], 32))) out |= static_cast<uint32_t>(bitAt(i + 1, 32));
      t.sp[j][v] = out;
    }
  return t;
}

constexpr Tables kT = makeTables();

}  // namespace

void DESKeySchedule(const unsigned char key[8], DESRoundKey ks[16]) {
  uint64_t cd = 0;
  for (int i = 0; i < 8; ++i) cd |= kT.pc1[i][key[i]];
  uint32_t c = static_cast<uint32_t>(cd >> 28) & 0xFFFFFFF;
  uint32_t d = static_cast<uint32_t>(cd) & 0xFFFFFFF;
  for (int r = 0; r < 16; ++r) {
    int s = kShifts[r];
    c = ((c << s) | (c >> (28 - s))) & 0xFFFFFFF;
    d = ((d << s) | (d >> (28 - s))) & 0xFFFFFFF;
    uint64_t w = kT.pc2[0][c >> 21] | kT.pc2[1][(c >> 14) & 0x7F] | kT.pc2[2][(c >> 7) & 0x7F] | kT.pc2[3][c & 0x7F] |
                 kT.pc2[4][d >> 21] | kT.pc2[5][(d >> 14) & 0x7F] | kT.pc2[6][(d >> 7) & 0x7F] | kT.pc2[7][d & 0x7F];
    ks[r].even = static_cast<uint32_t>(w >> 32);
    ks[r].odd = static_cast<uint32_t>(w);
  }
}

uint32_t DESRoundFunction(uint32_t r, const DESRoundKey& k) {
  uint32_t a = ((r >> 1) | (r << 31)) ^ k.even;
  uint32_t b = ((r << 3) | (r >> 29)) ^ k.odd;
  return kT.sp[0][(a >> 26) & 63] ^ kT.sp[2][(a >> 18) & 63] ^ kT.sp[4][(a >> 10) & 63] ^ kT.sp[6][(a >> 2) & 63] ^
         kT.sp[1][(b >> 26) & 63] ^ kT.sp[3][(b >> 18) & 63] ^ kT.sp[5][(b >> 10) & 63] ^ kT.sp[7][(b >> 2) & 63];
}

namespace {

using Schedule = DESRoundKey[16];

inline void store64(uint64_t v, unsigned char* b) {
  for (int i = 7; i >= 0; --i) {
    b[i] = static_cast<unsigned char>(v);
    v >>= 8;
  }
}

// Sixteen rounds on the halves after IP, leaving them exchanged (the
// pre-output R16 L16), which is also the input form of a following pass.
inline void rounds(uint32_t& l, uint32_t& r, const Schedule ks, bool encrypt) {
  if (encrypt) {
    for (int i = 0; i < 16; i += 2) {
      l ^= DESRoundFunction(r, ks[i]);
      r ^= DESRoundFunction(l, ks[i + 1]);
    }
  } else {
    for (int i = 15; i > 0; i -= 2) {
      l ^= DESRoundFunction(r, ks[i]);
      r ^= DESRoundFunction(l, ks[i - 1]);
    }
  }
  uint32_t t = l;
  l = r;
  r = t;
}

inline void initialPermutation(const unsigned char* in, uint32_t& l, uint32_t& r) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= kT.ip[i][in[i]];
  l = static_cast<uint32_t>(v >> 32);
  r = static_cast<uint32_t>(v);
}

inline void finalPermutation(uint32_t l, uint32_t r, unsigned char* out) {
  uint64_t v = uint64_t{l} << 32 | r;
  uint64_t o = 0;
  for (int i = 7; i >= 0; --i) {
    o |= kT.fp[i][v & 0xFF];
    v >>= 8;
  }
  store64(o, out);
}

void tripleDES(const unsigned char key[16], const unsigned char* in, int length, unsigned char* out, bool encrypt) {
  if (length < 8) return;
  Schedule k1, k2;
  DESKeySchedule(key, k1);
  DESKeySchedule(key + 8, k2);
  uint32_t l = 0, r = 0;
  for (int done = 0; length - done >= 8; done += 8) {
    initialPermutation(in + done, l, r);
    rounds(l, r, k1, encrypt);
    rounds(l, r, k2, !encrypt);
    rounds(l, r, k1, encrypt);
    finalPermutation(l, r, out + done);
  }
  OPENSSL_cleanse(k1, sizeof k1);
  OPENSSL_cleanse(k2, sizeof k2);
  OPENSSL_cleanse(&l, sizeof l);
  OPENSSL_cleanse(&r, sizeof r);
}

}  // namespace

void DESBlock(int mode, const unsigned char key[8], const unsigned char in[8], unsigned char out[8]) {
  Schedule ks;
  DESKeySchedule(key, ks);
  uint32_t l = 0, r = 0;
  initialPermutation(in, l, r);
  rounds(l, r, ks, mode == 1);
  finalPermutation(l, r, out);
  OPENSSL_cleanse(ks, sizeof ks);
  OPENSSL_cleanse(&l, sizeof l);
  OPENSSL_cleanse(&r, sizeof r);
}

void TripleDESEncrypt(const unsigned char key[16], const unsigned char* in, int length, unsigned char* out) {
  tripleDES(key, in, length, out, true);
}

void TripleDESDecrypt(const unsigned char key[16], const unsigned char* in, int length, unsigned char* out) {
  tripleDES(key, in, length, out, false);
}
