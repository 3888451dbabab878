// Our DES and two-key triple DES: the published known answers, then random
// keys and blocks against OpenSSL's DES-EDE in ECB mode without padding.
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protinput/DES.h"

namespace {

std::vector<unsigned char> hex(const std::string& h) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) {
    if (h[i] == ' ') {
      --i;
      continue;
    }
    out.push_back(static_cast<unsigned char>(std::stoi(h.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::vector<unsigned char> openssl(const unsigned char key[16], const std::vector<unsigned char>& in, bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::vector<unsigned char> out(in.size() + 8);
  int n = 0, m = 0;
  EXPECT_EQ(EVP_CipherInit_ex(ctx, EVP_des_ede_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0), 1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size())), 1);
  EXPECT_EQ(EVP_CipherFinal_ex(ctx, out.data() + n, &m), 1);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(n + m));
  return out;
}

TEST(Des, KnownAnswers) {
  struct Case {
    const char* key;
    std::string plain;
    const char* cipher;
  } cases[] = {
      {"0123456789ABCDEF", "Now is the time for all ", "3FA40E8A984D4815 6A271787AB8883F9 893D51EC4B563B53"},
      {"133457799BBCDFF1", "\x01\x23\x45\x67\x89\xAB\xCD\xEF", "85E813540F0AB405"},
  };
  for (const auto& c : cases) {
    auto key = hex(c.key);
    auto expected = hex(c.cipher);
    std::vector<unsigned char> plain(c.plain.begin(), c.plain.end());
    ASSERT_EQ(plain.size(), expected.size());
    for (size_t b = 0; b < plain.size(); b += 8) {
      unsigned char out[8];
      DESBlock(1, key.data(), plain.data() + b, out);
      EXPECT_EQ(0, std::memcmp(out, expected.data() + b, 8)) << c.key << " block " << b / 8;
      unsigned char back[8];
      DESBlock(0, key.data(), out, back);
      EXPECT_EQ(0, std::memcmp(back, plain.data() + b, 8));
    }
  }
  // Two-key triple DES of a zero block.
  auto key = hex("0123456789ABCDEF FEDCBA9876543210");
  unsigned char zeros[8] = {0}, out[8], back[8];
  TripleDESEncrypt(key.data(), zeros, 8, out);
  EXPECT_EQ(0, std::memcmp(out, hex("08D7B4FB629D0885").data(), 8));
  TripleDESDecrypt(key.data(), out, 8, back);
  EXPECT_EQ(0, std::memcmp(back, zeros, 8));
}

// The standard's worked example (key 133457799BBCDFF1, block
// 0123456789ABCDEF): round keys 1 and 16 as their eight 6-bit groups, and f
// in the first and last rounds (f(R15, K16) = L15 ^ R16).
TEST(Des, KeyScheduleAndRoundFunctionOfTheWorkedExample) {
  auto words = [](const int(&g)[8]) {
    DESRoundKey k{};
    for (int i = 0; i < 8; ++i) {
      uint32_t group = static_cast<uint32_t>(g[i]) << (26 - 8 * (i / 2));
      (i % 2 == 0 ? k.even : k.odd) |= group;
    }
    return k;
  };
  const int k1[8] = {0b000110, 0b110000, 0b001011, 0b101111, 0b111111, 0b000111, 0b000001, 0b110010};
  const int k16[8] = {0b110010, 0b110011, 0b110110, 0b001011, 0b000011, 0b100001, 0b011111, 0b110101};
  auto key = hex("133457799BBCDFF1");
  DESRoundKey schedule[16];
  DESKeySchedule(key.data(), schedule);
  for (auto [round, groups] : {std::pair{0, &k1}, std::pair{15, &k16}}) {
    DESRoundKey want = words(*groups);
    EXPECT_EQ(schedule[round].even, want.even) << "round " << round + 1;
    EXPECT_EQ(schedule[round].odd, want.odd) << "round " << round + 1;
  }
  EXPECT_EQ(DESRoundFunction(0xF0AAF0AA, schedule[0]), 0x234AA9BBu);
  EXPECT_EQ(DESRoundFunction(0x43423234, schedule[15]), 0xC28C960Du ^ 0x0A4CD995u);
}

TEST(Des, ModesOtherThanOneDecrypt) {
  auto key = hex("133457799BBCDFF1");
  auto cipher = hex("85E813540F0AB405");
  for (int mode : {0, 2, -1, 1000}) {
    unsigned char out[8];
    DESBlock(mode, key.data(), cipher.data(), out);
    EXPECT_EQ(0, std::memcmp(out, hex("0123456789ABCDEF").data(), 8)) << mode;
  }
}

TEST(Des, RandomKeysAndBlocksMatchOpenSSL) {
  for (int round = 0; round < 200; ++round) {
    unsigned char key[16];
    ASSERT_EQ(RAND_bytes(key, sizeof key), 1);
    std::vector<unsigned char> plain(8 * (1 + round % 9));
    ASSERT_EQ(RAND_bytes(plain.data(), static_cast<int>(plain.size())), 1);
    std::vector<unsigned char> ours(plain.size()), back(plain.size());
    TripleDESEncrypt(key, plain.data(), static_cast<int>(plain.size()), ours.data());
    EXPECT_EQ(ours, openssl(key, plain, true));
    TripleDESDecrypt(key, ours.data(), static_cast<int>(ours.size()), back.data());
    EXPECT_EQ(back, plain);
    // And decryption of arbitrary blocks, which need not be our own output.
    TripleDESDecrypt(key, plain.data(), static_cast<int>(plain.size()), back.data());
    EXPECT_EQ(back, openssl(key, plain, false));
    // Single DES is triple DES with K1 = K2.
    unsigned char same[16];
    std::memcpy(same, key, 8);
    std::memcpy(same + 8, key, 8);
    unsigned char single[8];
    DESBlock(1, key, plain.data(), single);
    EXPECT_EQ(0, std::memcmp(single, openssl(same, {plain.begin(), plain.begin() + 8}, true).data(), 8));
    DESBlock(0, key, plain.data(), single);
    EXPECT_EQ(0, std::memcmp(single, openssl(same, {plain.begin(), plain.begin() + 8}, false).data(), 8));
  }
}

TEST(Des, ParityBitsAreIgnored) {
  unsigned char key[16], flipped[16], block[16], a[16], b[16];
  ASSERT_EQ(RAND_bytes(key, sizeof key), 1);
  ASSERT_EQ(RAND_bytes(block, sizeof block), 1);
  for (int i = 0; i < 16; ++i) flipped[i] = key[i] ^ 1;
  TripleDESEncrypt(key, block, 16, a);
  TripleDESEncrypt(flipped, block, 16, b);
  EXPECT_EQ(0, std::memcmp(a, b, 16));
}

TEST(Des, OnlyWholeBlocksAreTouched) {
  unsigned char key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  unsigned char in[16] = {0};
  for (int length : {-8, -1, 0, 1, 7, 12, 15}) {
    unsigned char out[16];
    std::memset(out, 0xAA, sizeof out);
    TripleDESEncrypt(key, in, length, out);
    int whole = length >= 8 ? length / 8 * 8 : 0;
    for (int i = whole; i < 16; ++i) EXPECT_EQ(out[i], 0xAA) << "length " << length << " byte " << i;
    if (whole == 8) {
      EXPECT_NE(0, std::memcmp(out, in, 8));
    }
    std::memset(out, 0xAA, sizeof out);
    TripleDESDecrypt(key, in, length, out);
    for (int i = whole; i < 16; ++i) EXPECT_EQ(out[i], 0xAA) << "length " << length << " byte " << i;
  }
}

TEST(Des, InPlace) {
  unsigned char key[16], data[24], copy[24], separate[24];
  ASSERT_EQ(RAND_bytes(key, sizeof key), 1);
  ASSERT_EQ(RAND_bytes(data, sizeof data), 1);
  std::memcpy(copy, data, sizeof data);
  TripleDESEncrypt(key, data, 24, separate);
  TripleDESEncrypt(key, data, 24, data);
  EXPECT_EQ(0, std::memcmp(data, separate, 24));
  TripleDESDecrypt(key, data, 24, data);
  EXPECT_EQ(0, std::memcmp(data, copy, 24));
}

}  // namespace
