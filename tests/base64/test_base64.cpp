// The library's Base64: RFC 4648 vectors, its CR LF line layout, the decoder's
// skipping and stopping rules, and agreement with OpenSSL.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "TestRoot.h"
#include "signlib/Base64.h"

namespace {

std::string encode(const std::string& bytes) {
  char* t = base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  EXPECT_NE(t, nullptr);
  if (t == nullptr) return "<null>";
  std::string s(t);
  std::free(t);
  return s;
}

// Decodes the first n characters of text (default: all of them, NULs included).
// The text goes in a buffer of exactly its size, with no NUL after it, so
// the sanitizers see any read past the n characters.
std::string decode(const std::string& text, int n = -1) {
  int len = n < 0 ? static_cast<int>(text.size()) : n;
  std::unique_ptr<char[]> exact(new char[static_cast<size_t>(len)]);
  std::memcpy(exact.get(), text.data(), static_cast<size_t>(len));
  unsigned char* b = base64Decode(exact.get(), &len);
  EXPECT_NE(b, nullptr);
  if (b == nullptr) return "<null>";
  EXPECT_EQ(b[len], 0) << "decoded bytes are followed by a zero";
  std::string s(reinterpret_cast<char*>(b), static_cast<size_t>(len));
  std::free(b);
  return s;
}

std::string randomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

// OpenSSL's unbroken Base64 with a CR LF after every 76 characters that full
// groups of three bytes make (also after a last full line), the padded last
// group following on its own: the layout the library promises.
std::string referenceText(const std::string& bytes) {
  std::string flat(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(flat.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  flat.resize(static_cast<size_t>(n));
  const size_t fullChars = 4 * (bytes.size() / 3);
  std::string out;
  for (size_t i = 0; i < flat.size(); i += 76) {
    out += flat.substr(i, 76);
    if (i + 76 <= fullChars) out += "\r\n";
  }
  return out;
}

TEST(Base64, Rfc4648Vectors) {
  const struct {
    const char* bytes;
    const char* text;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encode(c.bytes), c.text) << c.bytes;
    EXPECT_EQ(decode(c.text), c.bytes) << c.text;
  }
}

TEST(Base64, LineLayout) {
  const std::string full(57, 'A');
  std::string t = encode(full);
  ASSERT_EQ(t.size(), 78u);
  EXPECT_EQ(t.substr(76), "\r\n") << "a last full line also ends with CR LF";
  EXPECT_EQ(t.find('\r'), 76u);

  t = encode(std::string(58, 'A'));
  ASSERT_EQ(t.size(), 82u);
  EXPECT_EQ(t.substr(76, 2), "\r\n");
  EXPECT_EQ(t.substr(78), "QQ==");

  t = encode(std::string(114, 'A'));
  ASSERT_EQ(t.size(), 156u);
  EXPECT_EQ(t.substr(76, 2), "\r\n");
  EXPECT_EQ(t.substr(154), "\r\n");

  // 76 characters made with the padded last group: no line end after them.
  t = encode(std::string(55, 'A'));
  ASSERT_EQ(t.size(), 76u);
  EXPECT_EQ(t.substr(72), "QQ==");

  t = encode(std::string(56, 'A'));
  EXPECT_EQ(t.size(), 76u);
  EXPECT_EQ(t.find('\r'), std::string::npos);
}

// Every length around the encoder's 6-byte and 57-byte steps and the
// decoder's 8-character steps, plus one large input, against OpenSSL.
TEST(Base64, AgreesWithOpenSSLAtEveryLength) {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 400; ++n) lengths.push_back(n);
  lengths.push_back(1024 * 1024 + 7);
  for (size_t n : lengths) {
    std::string bytes = randomBytes(n, static_cast<unsigned>(n));
    std::string text = encode(bytes);
    ASSERT_EQ(text, referenceText(bytes)) << "length " << n;
    ASSERT_EQ(decode(text), bytes) << "length " << n;
  }
}

TEST(Base64, DecoderSkipsStraysAndStopsAtPad) {
  const struct {
    std::string text;
    int n;  // characters to read; -1 all
    std::string bytes;
  } cases[] = {
      {"Zm9v\r\nYmFy", -1, "foobar"},
      {"\r\nZm\r\n9vYm\nFy\r\n", -1, "foobar"},
      {"Zm 9v\tYm-Fy", -1, "foobar"},
      {std::string("Zm9v\0YmFy", 9), -1, "foobar"},
      {"\xff\x80Zm9v\xc3\xa9YmFy", -1, "foobar"},
      {"Zm9vYg==Zm9v", -1, "foob"},
      {"Zm9v=YmFy", -1, "foo"},
      {"=Zm9v", -1, ""},
      {"Z", -1, ""},
      {"Zm", -1, "f"},
      {"Zm9", -1, "fo"},
      {"Zm9vY", -1, "foo"},
      {"Zm9vYmFy", 4, "foo"},
      {"Zm\r\n9v", 4, "f"},  // the skipped CR LF count against n
      {"", -1, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c.text, c.n), c.bytes) << c.text;
}

// Strays dropped anywhere into long text, including inside groups and right
// before the padding, change nothing.
TEST(Base64, DecoderIgnoresStraysAnywhereInLongText) {
  std::mt19937 gen(7);
  const std::string strays = {'\r', '\n', ' ', '\t', '-', '.', ':', '*', '\x80', '\xff', '\0'};
  for (size_t n : {1u, 2u, 3u, 100u, 1000u, 5000u}) {
    std::string bytes = randomBytes(n, static_cast<unsigned>(n) + 99);
    std::string text = encode(bytes);
    std::string noisy;
    for (char c : text) {
      while (gen() % 5 == 0) noisy += strays[gen() % strays.size()];
      noisy += c;
    }
    EXPECT_EQ(decode(noisy), bytes) << "length " << n;
  }
}

TEST(Base64, OpenSSLDecodesTheLibrarysText) {
  std::string dir = testsupport::freshDir("b64");
  for (size_t n : {1u, 57u, 58u, 1000u, 4099u}) {
    std::string bytes = randomBytes(n, static_cast<unsigned>(n) + 5);
    std::string in = dir + "/in.b64", out = dir + "/out.bin";
    // openssl base64 -d may drop a last line that has no line end (it does
    // for a lone short line), so the file gets one; the CR LF lines inside are
    // the library's own.
    testsupport::writeFile(in, encode(bytes) + "\n");
    ASSERT_EQ(testsupport::run("openssl base64 -d -in " + in + " -out " + out), 0);
    EXPECT_EQ(testsupport::readFile(out), bytes) << "length " << n;
  }
}

TEST(Base64, RefusesBadArguments) {
  const unsigned char one = 'x';
  EXPECT_EQ(base64Encode(nullptr, 3), nullptr);
  EXPECT_EQ(base64Encode(&one, -1), nullptr);
  // The text of INT_MAX bytes would not fit an int: refused before any byte
  // is read (the pointer covers one byte only).
  EXPECT_EQ(base64Encode(&one, INT_MAX), nullptr);
  char* empty = base64Encode(nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  std::free(empty);

  int n = 4;
  EXPECT_EQ(base64Decode(nullptr, &n), nullptr);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(base64Decode("Zm9v", nullptr), nullptr);
  n = -1;
  EXPECT_EQ(base64Decode("Zm9v", &n), nullptr);
  EXPECT_EQ(n, -1);
}

}  // namespace
