// The keypad session cipher: layouts and labels from injected random bytes,
// labels decoded back, the mends (failing random source, columns out of range,
// the layout count in use, any size of text and key), and the cipher text
// taken apart by the relying party's tools (openssl pkeyutl and enc).
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BankKey.h"
#include "TestRoot.h"
#include "protinput/CVKB.h"
#include "protinput/RandomByte.h"

namespace {

using testsupport::run;

const unsigned char kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

std::string hexOf(const std::vector<unsigned char>& b) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : b) {
    s.push_back(digits[c >> 4]);
    s.push_back(digits[c & 15]);
  }
  return s;
}

std::vector<unsigned char> unhex(const std::string& h) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<unsigned char> unbase64(const std::string& text) {
  std::vector<unsigned char> out(text.size() / 4 * 3 + 3);
  int n =
      EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  EXPECT_GE(n, 0);
  size_t pad = text.size() >= 2 ? std::count(text.end() - 2, text.end(), '=') : 0;
  out.resize(static_cast<size_t>(std::max(0, n)) - pad);
  return out;
}

std::vector<unsigned char> des3(const unsigned char* key, const std::vector<unsigned char>& in, bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::vector<unsigned char> out(in.size() + 8);
  int n = 0, m = 0;
  EVP_CipherInit_ex(ctx, EVP_des_ede_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
  EVP_CipherFinal_ex(ctx, out.data() + n, &m);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(n + m));
  return out;
}

// The random bytes for makeSessionKey: eight spare bytes, then kKey.
std::vector<unsigned char> keyBytes() {
  std::vector<unsigned char> v(8, 0x5A);
  v.insert(v.end(), kKey, kKey + 16);
  return v;
}

// Bytes that give layout j the digits (j + i) mod 10 in column i.
void appendPlainLayouts(std::vector<unsigned char>& v, int count) {
  for (int j = 0; j < count; ++j)
    for (int i = 0; i < 10; ++i) v.push_back(static_cast<unsigned char>(10 * (j + 3) + (j + i) % 10));
}

// A keyed CVKB with count layouts, from injected bytes (active layout byte
// given), keyed with kKey.
void keyed(CVKB& k, int count, unsigned char activeByte) {
  auto v = keyBytes();
  v.push_back(activeByte);
  appendPlainLayouts(v, std::clamp(count, 4, 8) == count ? count : 4);
  SequenceRandomSource seq(v);
  ScopedRandomSource scope(&seq);
  k.layoutCount = count;
  ASSERT_EQ(k.makeSessionKey(), 0);
  ASSERT_EQ(k.buildLayouts(), 0);
}

std::string label(const CVKB& k, int column) {
  std::string s;
  EXPECT_EQ(k.getKeyLabel(column, s), 0);
  return s;
}

TEST(Keypad, LayoutsFromInjectedBytesWithRedraws) {
  auto v = keyBytes();
  v.push_back(6);                                                            // active layout 6 mod 4 = 2
  for (int i = 10; i < 20; ++i) v.push_back(static_cast<unsigned char>(i));  // layout 0: 0123456789
  // Layout 1: 3, then 13 repeats 3 and is drawn again: 25 gives 5; then a
  // run that repeats 5 and 3 before the rest.
  for (int b : {3, 13, 25, 35, 43, 0, 1, 2, 4, 6, 7, 8, 9}) v.push_back(static_cast<unsigned char>(b));
  for (int i = 9; i >= 0; --i) v.push_back(static_cast<unsigned char>(i));        // layout 2: 9876543210
  for (int i = 0; i < 10; ++i) v.push_back(static_cast<unsigned char>(200 + i));  // layout 3: 0123456789
  SequenceRandomSource seq(v);
  ScopedRandomSource scope(&seq);
  CVKB k;
  ASSERT_EQ(k.makeSessionKey(), 0);
  ASSERT_EQ(k.buildLayouts(), 0);
  EXPECT_EQ(seq.used(), v.size());
  const char* rows[] = {"0123456789.", "3501246789.", "9876543210.", "0123456789."};
  for (int j = 0; j < 4; ++j)
    for (int c = 0; c < 11; ++c) EXPECT_EQ(k.layoutChar(j, c), rows[j][c]) << j << "," << c;
  EXPECT_EQ(k.activeLayout(), 2);
  for (int c = 0; c < 11; ++c) {
    EXPECT_EQ(k.getKeyChar(c), rows[2][c]);
    EXPECT_EQ(k.findColumn(rows[2][c]), c);
    // Each label is the column's characters, then four bytes of 4, under the key.
    auto plain = des3(kKey, unhex(label(k, c)), false);
    ASSERT_EQ(plain.size(), 8u);
    for (int j = 0; j < 4; ++j) EXPECT_EQ(plain[j], rows[j][c]);
    for (int j = 4; j < 8; ++j) EXPECT_EQ(plain[j], 4);
  }
}

// A byte past the last whole multiple of the count is drawn again, so no
// layout and no digit is likelier than another: for 6 layouts 252..255 are
// redrawn, for a digit 250..255; 249 and 251 are taken as they come.
TEST(Keypad, BytesPastTheLastWholeMultipleAreDrawnAgain) {
  struct Case {
    int count;
    std::vector<unsigned char> active;
    int expectedActive;
  } cases[] = {{6, {252, 255, 9}, 3}, {6, {251}, 5}, {7, {252, 253, 254, 255, 13}, 6}, {4, {255}, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    auto v = keyBytes();
    v.insert(v.end(), c.active.begin(), c.active.end());
    // Layout 0: 250..255 before each of its first two digits, then 249 (9).
    for (int b : {250, 255, 10, 251, 11, 249}) v.push_back(static_cast<unsigned char>(b));
    for (int i = 2; i < 9; ++i) v.push_back(static_cast<unsigned char>(10 + i));
    std::vector<unsigned char> rest;
    appendPlainLayouts(rest, c.count);
    v.insert(v.end(), rest.begin() + 10, rest.end());
    SequenceRandomSource seq(v);
    ScopedRandomSource scope(&seq);
    CVKB k;
    k.layoutCount = c.count;
    ASSERT_EQ(k.makeSessionKey(), 0);
    ASSERT_EQ(k.buildLayouts(), 0);
    EXPECT_EQ(seq.used(), v.size());
    EXPECT_EQ(k.activeLayout(), c.expectedActive);
    std::string row;
    for (int col = 0; col < 11; ++col) row.push_back(k.layoutChar(0, col));
    EXPECT_EQ(row, "0192345678.");
  }
}

TEST(Keypad, LabelShapesForEachLayoutCount) {
  struct Case {
    int field;
    int built;
    size_t digits;
  } cases[] = {{4, 4, 16}, {6, 6, 16}, {7, 7, 16}, {8, 8, 32}, {3, 4, 16}, {9, 4, 16}, {-1, 4, 16}};
  for (const auto& c : cases) {
    CVKB k;
    k.layoutCount = c.field;
    ASSERT_EQ(k.makeSessionKey(), 0);
    ASSERT_EQ(k.buildLayouts(), 0);
    EXPECT_EQ(k.layoutCount, c.field);
    EXPECT_EQ(k.builtLayoutCount(), c.built);
    EXPECT_GE(k.activeLayout(), 0);
    EXPECT_LT(k.activeLayout(), c.built);
    for (int j = 0; j < c.built; ++j) {
      std::string row;
      for (int col = 0; col < 10; ++col) row.push_back(k.layoutChar(j, col));
      std::sort(row.begin(), row.end());
      EXPECT_EQ(row, "0123456789");
      EXPECT_EQ(k.layoutChar(j, 10), '.');
    }
    std::string all;
    for (int col = 0; col < 11; ++col) {
      std::string l = label(k, col);
      EXPECT_EQ(l.size(), c.digits) << c.field;
      EXPECT_EQ(l.find_first_not_of("0123456789ABCDEF"), std::string::npos);
      all += l;
    }
    // Every column decodes to its own character, whatever the field says now.
    k.layoutCount = 5;
    std::string text;
    ASSERT_EQ(k.labelsToText(all, text), 0) << c.field;
    std::string shown;
    for (int col = 0; col < 11; ++col) shown.push_back(k.getKeyChar(col));
    EXPECT_EQ(text, shown);
  }
}

TEST(Keypad, LabelsToText) {
  CVKB k;
  keyed(k, 6, 3);
  std::string l3 = label(k, 3), l10 = label(k, 10);
  std::string lower = l3;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char ch) { return static_cast<char>(std::tolower(ch)); });
  std::string c3(1, k.getKeyChar(3));
  struct Case {
    std::string labels;
    int result;
    std::string text;
  } cases[] = {
      {l3 + l3 + l10, 0, c3 + c3 + "."},
      {"", 0, ""},
      {l3.substr(0, 14), 0, ""},
      {l3 + l10.substr(0, 14), 0, c3},
      {lower, 0, c3},
      {l3.substr(0, 16) + "0", -2, "unchanged"},
      {l3.substr(0, 15) + "G", -2, "unchanged"},
      {l3.substr(0, 15) + " ", -2, "unchanged"},
      {l3 + std::string("\0\0", 2), -2, "unchanged"},
  };
  for (const auto& c : cases) {
    std::string text = "unchanged";
    EXPECT_EQ(k.labelsToText(c.labels, text), c.result) << c.labels;
    EXPECT_EQ(text, c.text) << c.labels;
  }
  // Any length: 300 key presses decode to 300 characters.
  std::string many;
  for (int i = 0; i < 300; ++i) many += label(k, i % 11);
  std::string text;
  ASSERT_EQ(k.labelsToText(many, text), 0);
  ASSERT_EQ(text.size(), 300u);
  for (int i = 0; i < 300; ++i) EXPECT_EQ(text[i], k.getKeyChar(i % 11));
}

TEST(Keypad, BlocksThatAreNotLabelsOfThisDialog) {
  CVKB k;
  keyed(k, 6, 5);  // the active layout is the last one
  auto block = [](std::vector<unsigned char> plain) { return hexOf(des3(kKey, plain, true)); };
  std::string text = "unchanged";
  // Padding 0 or above 8.
  EXPECT_EQ(k.labelsToText(block({'1', '2', '3', '4', '5', '6', 2, 0}), text), -2);
  EXPECT_EQ(k.labelsToText(block({'1', '2', '3', '4', '5', '6', 2, 9}), text), -2);
  // Fewer characters than layouts: the active layout's character would be
  // read from the padding.
  EXPECT_EQ(k.labelsToText(block({'1', '2', 6, 6, 6, 6, 6, 6}), text), -2);
  EXPECT_EQ(k.labelsToText(block({'1', '2', '3', '4', '5', 3, 3, 3}), text), -2);
  EXPECT_EQ(text, "unchanged");
  // A well-formed block decodes to its active layout's character.
  EXPECT_EQ(k.labelsToText(block({'1', '2', '3', '4', '5', '6', 2, 2}), text), 0);
  EXPECT_EQ(text, "6");
  // A label of another session key is refused (its padding does not fit).
  CVKB other;
  other.layoutCount = 6;
  std::vector<unsigned char> v(8, 0);
  for (int i = 0; i < 16; ++i) v.push_back(static_cast<unsigned char>(0xA0 + i));
  v.push_back(0);
  appendPlainLayouts(v, 6);
  {
    SequenceRandomSource seq(v);
    ScopedRandomSource scope(&seq);
    ASSERT_EQ(other.makeSessionKey(), 0);
    ASSERT_EQ(other.buildLayouts(), 0);
  }
  std::string foreign;
  for (int col = 0; col < 11; ++col) foreign += label(other, col);
  text = "unchanged";
  EXPECT_EQ(k.labelsToText(foreign, text), -2);
}

TEST(Keypad, ColumnsOutsideTheKeysAreRefused) {
  CVKB k;
  std::string l = "kept";
  EXPECT_EQ(k.getKeyLabel(0, l), -1);  // before any layout
  EXPECT_EQ(k.getKeyChar(0), 0);
  EXPECT_EQ(k.findColumn('0'), -1);
  keyed(k, 4, 0);
  for (int col : {-1, 11, 12, -1000, 1 << 30}) {
    EXPECT_EQ(k.getKeyLabel(col, l), -1) << col;
    EXPECT_EQ(l, "kept");
    EXPECT_EQ(k.getKeyChar(col), 0) << col;
  }
  for (char ch : {'x', '\0', '-', ' '}) EXPECT_EQ(k.findColumn(ch), -1);
  EXPECT_EQ(k.findColumn('.'), 10);
}

TEST(Keypad, FailingRandomSourceFailsKeyAndLayouts) {
  {
    FailingRandomSource failing;
    ScopedRandomSource scope(&failing);
    CVKB k;
    EXPECT_EQ(k.makeSessionKey(), -1);
    EXPECT_EQ(k.buildLayouts(), -1);
    std::string l;
    EXPECT_EQ(k.getKeyLabel(0, l), -1);
    EXPECT_EQ(k.getKeyChar(0), 0);
  }
  // Running out in the middle: during the key, at the active layout, and in
  // a redraw loop that would otherwise never end (every draw repeats).
  std::vector<unsigned char> partKey(10, 1);
  std::vector<unsigned char> noActive = keyBytes();
  std::vector<unsigned char> repeats = keyBytes();
  repeats.insert(repeats.end(), 1000, 7);
  {
    SequenceRandomSource seq(partKey);
    ScopedRandomSource scope(&seq);
    CVKB k;
    EXPECT_EQ(k.makeSessionKey(), -1);
  }
  for (auto* bytes : {&noActive, &repeats}) {
    SequenceRandomSource seq(*bytes);
    ScopedRandomSource scope(&seq);
    CVKB k;
    ASSERT_EQ(k.makeSessionKey(), 0);
    EXPECT_EQ(k.buildLayouts(), -1);
    EXPECT_EQ(seq.used(), bytes->size());
    std::string l;
    EXPECT_EQ(k.getKeyLabel(3, l), -1);
    EXPECT_EQ(k.findColumn('7'), -1);
  }
}

TEST(Keypad, EncryptTextAnyLength) {
  CVKB k;
  keyed(k, 4, 0);
  for (size_t length :
       {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{21}, size_t{759}, size_t{760}, size_t{5000}}) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('0' + i % 10));
    std::string out;
    ASSERT_EQ(k.encryptText(text, out), 0);
    size_t padded = length + 8 - length % 8;
    EXPECT_EQ(out.size(), 4 * ((padded + 2) / 3)) << length;
    auto plain = des3(kKey, unbase64(out), false);
    ASSERT_EQ(plain.size(), padded);
    EXPECT_EQ(std::string(plain.begin(), plain.begin() + static_cast<long>(length)), text);
    for (size_t i = length; i < padded; ++i) EXPECT_EQ(plain[i], padded - length);
  }
  std::string empty;
  k.encryptText("", empty);
  EXPECT_EQ(empty.size(), 12u);
  std::string eight;
  k.encryptText("12345678", eight);
  EXPECT_EQ(eight.size(), 24u);
}

// RSA keys made once per build folder (the 8192-bit one takes a while), with
// the other forms a page might hand in.
struct KeyFiles {
  std::string dir;
  std::string pem(int bits) const { return dir + "/rsa" + std::to_string(bits) + ".pem"; }
};

const KeyFiles& keys() {
  static KeyFiles k = [] {
    const char* data = std::getenv("TEST_DATA_DIR");
    KeyFiles f{std::string(data ? data : ".") + "/protinput"};
    std::string script =
        "set -e\nmkdir -p '" + f.dir + "'\ncd '" + f.dir +
        "'\nexec 9>.lock\nflock 9\n"
        "for b in 512 1024 2048 8192; do [ -s rsa$b.pem ] || { openssl genpkey -algorithm RSA "
        "-pkeyopt rsa_keygen_bits:$b -out rsa$b.tmp 2>/dev/null && mv rsa$b.tmp rsa$b.pem; }; done\n"
        "for e in 3 4294967297; do [ -s rsa1024e$e.pem ] || { openssl genpkey -algorithm RSA "
        "-pkeyopt rsa_keygen_bits:1024 -pkeyopt rsa_keygen_pubexp:$e -out e$e.tmp 2>/dev/null && "
        "mv e$e.tmp rsa1024e$e.pem; }; done\n"
        "[ -s ec.pem ] || { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.tmp "
        "2>/dev/null && mv ec.tmp ec.pem; }\n";
    std::string file = testsupport::freshDir("keygen") + "/make-keys.sh";
    testsupport::writeFile(file, script);
    EXPECT_EQ(run("bash '" + file + "'"), 0);
    return f;
  }();
  return k;
}

std::string shell(const std::string& command) {
  std::string out;
  EXPECT_EQ(run(command, &out), 0) << command;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string publicKeyText(const std::string& pem) {
  return shell("openssl pkey -in '" + pem + "' -pubout -outform DER | openssl base64 -A");
}

// The session key as the bank recovers it: openssl pkeyutl on the wrapped key.
std::string unwrapWithOpenSSL(const std::string& pem, const std::string& wrappedBase64, const std::string& dir) {
  std::string file = dir + "/wrapped.b64";
  testsupport::writeFile(file, wrappedBase64);
  return shell("openssl base64 -d -A -in '" + file + "' | openssl pkeyutl -decrypt -inkey '" + pem +
               "' -pkeyopt rsa_padding_mode:pkcs1 | od -An -tx1 | tr -d ' \\n' | tr a-f A-F");
}

std::string decryptWithOpenSSL(const std::string& keyHex, const std::string& cipherBase64, const std::string& dir,
                               bool nopad) {
  std::string file = dir + "/text.b64";
  testsupport::writeFile(file, cipherBase64);
  std::string out;
  EXPECT_EQ(run("openssl base64 -d -A -in '" + file + "' | openssl enc -d -des-ede -K " + keyHex +
                    (nopad ? " -nopad" : "") + " | od -An -tx1 | tr -d ' \\n' | tr a-f A-F",
                &out),
            0);
  return out;
}

TEST(Keypad, CipherTextTakenApartByOpenSSL) {
  std::string dir = testsupport::freshDir("cipher");
  for (int bits : {1024, 2048, 8192}) {
    for (int layouts : {6, 4}) {
      CVKB k;
      k.layoutCount = layouts;
      ASSERT_EQ(k.makeSessionKey(), 0);
      ASSERT_EQ(k.buildLayouts(), 0);
      std::string labels = label(k, 2) + label(k, 10) + label(k, 7);
      std::string plain;
      ASSERT_EQ(k.labelsToText(labels, plain), 0);
      std::string result = ProtectionCipherText(k, plain, publicKeyText(keys().pem(bits)));
      size_t bar = result.find('|');
      ASSERT_NE(bar, std::string::npos);
      std::string text = result.substr(0, bar), wrapped = result.substr(bar + 1);
      EXPECT_EQ(wrapped.size(), 4u * ((bits / 8 + 2) / 3));
      if (bits == 1024) {
        EXPECT_EQ(wrapped.size(), 172u);
        EXPECT_EQ(wrapped.back(), '=');
        EXPECT_NE(wrapped[170], '=');
      }
      std::string sessionKey = unwrapWithOpenSSL(keys().pem(bits), wrapped, dir);
      ASSERT_EQ(sessionKey.size(), 32u);
      std::string expectedPlain;
      for (char ch : plain) expectedPlain += hexOf({static_cast<unsigned char>(ch)});
      EXPECT_EQ(decryptWithOpenSSL(sessionKey, text, dir, false), expectedPlain);
      // Each label: the column's characters in every layout, then the padding.
      for (int col : {0, 2, 10}) {
        std::vector<unsigned char> cipher = unhex(label(k, col));
        std::string b64(4 * ((cipher.size() + 2) / 3) + 1, '\0');
        b64.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), cipher.data(),
                                                       static_cast<int>(cipher.size()))));
        std::vector<unsigned char> expected;
        for (int j = 0; j < layouts; ++j) expected.push_back(static_cast<unsigned char>(k.layoutChar(j, col)));
        for (int j = layouts; j < 8; ++j) expected.push_back(static_cast<unsigned char>(8 - layouts));
        EXPECT_EQ(decryptWithOpenSSL(sessionKey, b64, dir, true), hexOf(expected)) << col;
      }
      // A fresh wrap differs (random padding) and unwraps to the same key.
      std::string again;
      ASSERT_EQ(k.wrapSessionKey(publicKeyText(keys().pem(bits)), again), 0);
      EXPECT_NE(again, wrapped);
      EXPECT_EQ(unwrapWithOpenSSL(keys().pem(bits), again, dir), sessionKey);
    }
  }
}

std::string base64Der(const std::vector<unsigned char>& der) {
  std::string b64(4 * ((der.size() + 2) / 3) + 1, '\0');
  b64.resize(static_cast<size_t>(
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()), der.data(), static_cast<int>(der.size()))));
  return b64;
}

// An RSA public key whose modulus is too short for PKCS#1 v1.5 padding of 16
// bytes (26 bytes: 16 + 11 are needed).
std::string tinyKey() {
  std::vector<unsigned char> n(26, 0xC3);
  n[25] = 0xC5;
  return testsupport::rsaPublicKeyText(n, 65537);
}

// The modulus of a key file, big-endian.
std::vector<unsigned char> modulusOf(const std::string& pem) {
  return unhex(shell("openssl rsa -in '" + pem + "' -noout -modulus 2>/dev/null | cut -d= -f2"));
}

TEST(Keypad, KeysThatCannotBeUsed) {
  CVKB k;
  keyed(k, 6, 0);
  std::string good = publicKeyText(keys().pem(1024));
  std::string pemText = shell("openssl pkey -in '" + keys().pem(1024) + "' -pubout");
  std::string pkcs1 = shell("openssl rsa -in '" + keys().pem(1024) +
                            "' -RSAPublicKey_out -outform DER 2>/dev/null | openssl base64 -A");
  std::string ec = publicKeyText(keys().dir + "/ec.pem");
  std::string broken = good.substr(0, 64) + "\n" + good.substr(64);
  std::string tiny = tinyKey();
  ASSERT_FALSE(tiny.empty());
  // The 1024-bit key's modulus with exponents under which nothing is
  // protected, moduli too small to protect anything, and keys the wrap
  // cannot use.
  const std::vector<unsigned char> n = modulusOf(keys().pem(1024));
  ASSERT_EQ(n.size(), 128u);
  struct Refused {
    std::string what, key;
  };
  std::vector<Refused> refused = {
      {"empty", std::string()},
      {"PEM", pemText},
      {"PKCS#1", pkcs1},
      {"EC", ec},
      {"line break", broken},
      {"not Base64", "not base64 at all!"},
      {"cut", good.substr(0, good.size() - 4)},
      {"too short for the padding", tiny},
      {"AAAA", "AAAA"},
  };
  for (const testsupport::NamedKey& k : testsupport::keysThatCannotProtect(n)) refused.push_back({k.what, k.key});
  for (const Refused& bad : refused) {
    SCOPED_TRACE(bad.what);
    if (bad.what != "empty") {
      ASSERT_FALSE(bad.key.empty());
    }
    std::string out = "unchanged";
    EXPECT_EQ(k.wrapSessionKey(bad.key, out), -1);
    EXPECT_EQ(out, "unchanged");
    EXPECT_EQ(ProtectionCipherText(k, "123", bad.key), "");
    EXPECT_FALSE(CVKB::usablePublicKey(bad.key));
  }
  // Blanks and line ends around the text are trimmed, and bytes after the
  // key's DER are ignored, as EVP_DecodeBlock and d2i read them.
  std::vector<unsigned char> der = unbase64(good);
  der.insert(der.end(), {0x00, 0x01, 0x02});
  for (const std::string& fine : {" \t" + good + "\r\n", base64Der(der)}) {
    std::string out;
    EXPECT_EQ(k.wrapSessionKey(fine, out), 0);
    EXPECT_EQ(out.size(), 172u);
    EXPECT_TRUE(CVKB::usablePublicKey(fine));
  }
  // The smallest keys OpenSSL makes and small or large odd exponents still
  // protect the session key: the bank unwraps it. An exponent of more than
  // 64 bits is fine up to 3072 bits.
  std::string dir = testsupport::freshDir("usable");
  for (const std::string& pem : {keys().pem(512), testsupport::cachedRsaKey(512, "3"), keys().dir + "/rsa1024e3.pem",
                                 keys().dir + "/rsa1024e4294967297.pem",
                                 testsupport::cachedRsaKey(3072, "36893488147419103233"),
                                 testsupport::cachedRsaKey(4096, "4294967297"), keys().pem(8192)}) {
    SCOPED_TRACE(pem);
    std::string text = publicKeyText(pem);
    EXPECT_TRUE(CVKB::usablePublicKey(text));
    std::string result = ProtectionCipherText(k, "4711", text);
    size_t bar = result.find('|');
    ASSERT_NE(bar, std::string::npos);
    std::string sessionKey = unwrapWithOpenSSL(pem, result.substr(bar + 1), dir);
    ASSERT_EQ(sessionKey.size(), 32u);
    EXPECT_EQ(decryptWithOpenSSL(sessionKey, result.substr(0, bar), dir, false), hexOf({'4', '7', '1', '1'}));
  }
}

// A wrap that fails in spite of the check (short of memory) gives no cipher
// text, and a key whose trial wrap fails is not accepted.
TEST(Keypad, WrapThatFailsGivesNoCipherText) {
  CVKB k;
  keyed(k, 6, 0);
  const std::string pem = testsupport::cachedRsaKey(1024, "65537");
  const std::string key = publicKeyText(pem);
  {
    // A new key: its trial wrap fails, so it is refused and not remembered.
    WrapsFailingAfter failing(0);
    ScopedWrapFault scope(&failing);
    EXPECT_FALSE(CVKB::usablePublicKey(key));
    EXPECT_EQ(failing.calls, 1);
  }
  {
    // Checked once (one trial wrap), then only the session key's wraps.
    WrapsFailingAfter counting(100);
    ScopedWrapFault scope(&counting);
    EXPECT_TRUE(CVKB::usablePublicKey(key));
    EXPECT_TRUE(CVKB::usablePublicKey(key));
    EXPECT_EQ(counting.calls, 1);
    std::string out;
    EXPECT_EQ(k.wrapSessionKey(key, out), 0);
    EXPECT_EQ(counting.calls, 2);
  }
  {
    // The accepted key's wrap fails at the end: nothing written, no text.
    WrapsFailingAfter failing(0);
    ScopedWrapFault scope(&failing);
    std::string out = "unchanged";
    EXPECT_EQ(k.wrapSessionKey(key, out), -1);
    EXPECT_EQ(out, "unchanged");
    EXPECT_EQ(ProtectionCipherText(k, "4711", key), "");
    EXPECT_EQ(failing.calls, 2);
  }
  // Without the fault the same key wraps again and the bank unwraps it.
  std::string result = ProtectionCipherText(k, "4711", key);
  size_t bar = result.find('|');
  ASSERT_NE(bar, std::string::npos);
  std::string dir = testsupport::freshDir("failing-wrap");
  std::string sessionKey = unwrapWithOpenSSL(pem, result.substr(bar + 1), dir);
  ASSERT_EQ(sessionKey.size(), 32u);
  EXPECT_EQ(decryptWithOpenSSL(sessionKey, result.substr(0, bar), dir, false), hexOf({'4', '7', '1', '1'}));
}

}  // namespace

namespace {

// The object's own storage no longer holds the session key, the spare bytes
// or the layouts once it has gone.
TEST(Keypad, SecretsAreWipedWhenItGoes) {
  alignas(CVKB) unsigned char storage[sizeof(CVKB)];
  CVKB* k = new (storage) CVKB;
  keyed(*k, 6, 0);
  auto contains = [&](const unsigned char* needle, size_t n) {
    return std::search(storage, storage + sizeof storage, needle, needle + n) != storage + sizeof storage;
  };
  const unsigned char spare[8] = {0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A};
  std::string row;
  for (int col = 0; col < 11; ++col) row.push_back(k->getKeyChar(col));
  ASSERT_TRUE(contains(kKey, 16));
  ASSERT_TRUE(contains(spare, 8));
  ASSERT_TRUE(contains(reinterpret_cast<const unsigned char*>(row.data()), 10));
  k->~CVKB();
  EXPECT_FALSE(contains(kKey, 8));
  EXPECT_FALSE(contains(kKey + 8, 8));
  EXPECT_FALSE(contains(spare, 8));
  EXPECT_FALSE(contains(reinterpret_cast<const unsigned char*>(row.data()), 10));
}

}  // namespace
