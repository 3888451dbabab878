// The Data Encryption Standard (FIPS 46-3) and two-key triple DES in the
// encrypt-decrypt-encrypt form (K3 = K1), electronic-codebook order, no
// padding. Ours because OpenSSL 3 keeps single DES out of its default
// provider. Nothing is allocated; round keys and intermediate blocks are wiped
// before each call returns.
#pragma once

#include <cstdint>

// One DES operation on an 8-byte block: mode 1 encrypts, any other value
// decrypts. The parity bits of the key are ignored. in and out may be the same.
void DESBlock(int mode, const unsigned char key[8], const unsigned char in[8], unsigned char out[8]);

// length / 8 whole blocks of in to out (a negative length processes none);
// bytes past the last whole block are neither read nor written. K1 is key
// bytes 0-7, K2 bytes 8-15. in and out may be the same buffer.
void TripleDESEncrypt(const unsigned char key[16], const unsigned char* in, int length, unsigned char* out);
void TripleDESDecrypt(const unsigned char key[16], const unsigned char* in, int length, unsigned char* out);

// The key schedule and the cipher function, in the word form the block
// routine works in. A round key is its 48 bits as two words: the standard's
// 6-bit groups 1, 3, 5 and 7 in `even`, groups 2, 4, 6 and 8 in `odd`, each
// group in the top six bits of a byte of its own, the earlier group in the
// higher byte. They line up with two rotated copies of the right half, so the
// expansion E costs two rotations.
struct DESRoundKey {
  uint32_t even;
  uint32_t odd;
};

// The 16 round keys of an 8-byte key, round 1 first (PC-1, the rotations of
// C and D, PC-2). The parity bits fall away in PC-1.
void DESKeySchedule(const unsigned char key[8], DESRoundKey schedule[16]);

// The cipher function f of the standard on a right half (bit 1 the most
// significant bit of the word) and one round key: E, the S-boxes, P.
uint32_t DESRoundFunction(uint32_t right, const DESRoundKey& key);
