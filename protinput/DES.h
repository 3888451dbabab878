// The Data Encryption Standard (FIPS 46-3) and two-key triple DES in the
// encrypt-decrypt-encrypt form (K3 = K1), electronic-codebook order, no
// padding. Ours because OpenSSL 3 keeps single DES out of its default
// provider. Nothing is allocated; round keys and intermediate blocks are wiped
// before each call returns.
#pragma once

// One DES operation on an 8-byte block: mode 1 encrypts, any other value
// decrypts. The parity bits of the key are ignored. in and out may be the same.
void DESBlock(int mode, const unsigned char key[8], const unsigned char in[8], unsigned char out[8]);

// length / 8 whole blocks of in to out (a negative length processes none);
// bytes past the last whole block are neither read nor written. K1 is key
// bytes 0-7, K2 bytes 8-15. in and out may be the same buffer.
void TripleDESEncrypt(const unsigned char key[16], const unsigned char* in, int length, unsigned char* out);
void TripleDESDecrypt(const unsigned char key[16], const unsigned char* in, int length, unsigned char* out);
