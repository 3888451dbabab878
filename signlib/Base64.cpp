#include "signlib/Base64.h"

#include <array>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Characters per output line before CR LF, and the input bytes that fill one.
constexpr int kLineChars = 76;
constexpr int kLineGroups = kLineChars / 4;  // 19 groups of 3 bytes

// Every 12-bit value as its two output characters, stored as they lie in
// memory: one lookup and one 2-byte store per half group.
constexpr std::array<std::uint16_t, 4096> kPairs = [] {
  std::array<std::uint16_t, 4096> t{};
  for (int i = 0; i < 4096; ++i) {
    unsigned char c0 = static_cast<unsigned char>(kAlphabet[i >> 6]);
    unsigned char c1 = static_cast<unsigned char>(kAlphabet[i & 63]);
    if constexpr (std::endian::native == std::endian::little)
      t[i] = static_cast<std::uint16_t>(c0 | (c1 << 8));
    else
      t[i] = static_cast<std::uint16_t>((c0 << 8) | c1);
  }
  return t;
}();

// Decoding tables, one per position in a group of four, holding the sextet
// already shifted into place; kBad marks a character outside the alphabet
// (and "="), so four lookups ORed together tell with one test whether the
// whole group is plain alphabet.
constexpr std::uint32_t kBad = 0x01000000u;

constexpr int sextet(unsigned c) {
  if (c >= 'A' && c <= 'Z') return static_cast<int>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<int>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

constexpr std::array<std::uint32_t, 256> makeDecodeTable(int shift) {
  std::array<std::uint32_t, 256> t{};
  for (unsigned c = 0; c < 256; ++c) {
    int v = sextet(c);
    t[c] = v < 0 ? kBad : static_cast<std::uint32_t>(v) << shift;
  }
  return t;
}

constexpr auto kDec0 = makeDecodeTable(18);
constexpr auto kDec1 = makeDecodeTable(12);
constexpr auto kDec2 = makeDecodeTable(6);
constexpr auto kDec3 = makeDecodeTable(0);

inline void put3(unsigned char* out, std::uint32_t v) {
  out[0] = static_cast<unsigned char>(v >> 16);
  out[1] = static_cast<unsigned char>(v >> 8);
  out[2] = static_cast<unsigned char>(v);
}

inline void store64be(unsigned char* out, std::uint64_t v) {
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  std::memcpy(out, &v, 8);
}

inline void encodeGroup(const unsigned char* in, char* out) {
  std::uint32_t v = (static_cast<std::uint32_t>(in[0]) << 16) | (static_cast<std::uint32_t>(in[1]) << 8) | in[2];
  std::uint16_t p[2] = {kPairs[v >> 12], kPairs[v & 0xFFF]};
  std::memcpy(out, p, 4);
}

inline std::uint64_t load64be(const unsigned char* in) {
  std::uint64_t v;
  std::memcpy(&v, in, 8);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

// Two groups (6 bytes into 8 characters) from one 8-byte load; reads 2 bytes
// beyond the pair, so callers make sure 8 bytes are there.
inline void encodeTwoGroups(const unsigned char* in, char* out) {
  std::uint64_t v = load64be(in);
  std::uint16_t p[4] = {kPairs[(v >> 52) & 0xFFF], kPairs[(v >> 40) & 0xFFF], kPairs[(v >> 28) & 0xFFF],
                        kPairs[(v >> 16) & 0xFFF]};
  std::memcpy(out, p, 8);
}

}  // namespace

char* base64Encode(const unsigned char* data, int n) {
  if (n < 0 || (data == nullptr && n > 0)) return nullptr;
  // The allocation the library has always made: the 4/3 growth, two bytes of
  // line end per 76 characters, and slack for padding and the NUL. Computed
  // in 64 bits and refused when the text would not fit an int, since callers
  // keep text lengths in ints.
  const std::uint64_t grown = static_cast<std::uint64_t>(n) * 4 / 3;
  const std::uint64_t size = grown + 2 * (grown / kLineChars) + 10;
  if (size > static_cast<std::uint64_t>(INT_MAX)) return nullptr;
  char* text = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
  if (text == nullptr) return nullptr;

  const unsigned char* in = data;
  char* out = text;
  std::size_t groups = static_cast<std::size_t>(n) / 3;
  while (groups >= static_cast<std::size_t>(kLineGroups)) {
    // A full line: 57 bytes, nine pairs of groups (the last 8-byte load ends
    // at byte 56, still inside the line) and one single group.
    for (int g = 0; g < kLineGroups / 2; ++g) {
      encodeTwoGroups(in, out);
      in += 6;
      out += 8;
    }
    encodeGroup(in, out);
    in += 3;
    out += 4;
    out[0] = '\r';
    out[1] = '\n';
    out += 2;
    groups -= kLineGroups;
  }
  const unsigned char* const end = data + n;
  for (; groups >= 2 && end - in >= 8; groups -= 2) {
    encodeTwoGroups(in, out);
    in += 6;
    out += 8;
  }
  for (; groups > 0; --groups) {
    encodeGroup(in, out);
    in += 3;
    out += 4;
  }
  switch (n % 3) {
    case 1:
      out[0] = kAlphabet[in[0] >> 2];
      out[1] = kAlphabet[(in[0] & 0x03) << 4];
      out[2] = '=';
      out[3] = '=';
      out += 4;
      break;
    case 2:
      out[0] = kAlphabet[in[0] >> 2];
      out[1] = kAlphabet[((in[0] & 0x03) << 4) | (in[1] >> 4)];
      out[2] = kAlphabet[(in[1] & 0x0F) << 2];
      out[3] = '=';
      out += 4;
      break;
    default: break;
  }
  // The buffer was specified zeroed; everything past the text stays zero.
  std::memset(out, 0, static_cast<std::size_t>(size) - static_cast<std::size_t>(out - text));
  return text;
}

unsigned char* base64Decode(const char* text, int* n) {
  if (text == nullptr || n == nullptr || *n < 0) return nullptr;
  const std::size_t count = static_cast<std::size_t>(*n);
  const std::size_t size = count + 1;
  unsigned char* bytes = static_cast<unsigned char*>(std::malloc(size));
  if (bytes == nullptr) return nullptr;

  const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* const end = in + count;
  unsigned char* out = bytes;
  std::uint32_t acc = 0;  // sextets of a group that the fast path could not take
  int have = 0;

  while (in < end) {
    if (have == 0) {
      // Fast path: whole groups of four alphabet characters, two at a time,
      // their six bytes written with one 8-byte store. The two bytes beyond
      // are rewritten later or lie in the slack: the output never gets within
      // 8 bytes of the end of the n + 1 buffer while 8 characters are left.
      while (end - in >= 8) {
        std::uint32_t a = kDec0[in[0]] | kDec1[in[1]] | kDec2[in[2]] | kDec3[in[3]];
        std::uint32_t b = kDec0[in[4]] | kDec1[in[5]] | kDec2[in[6]] | kDec3[in[7]];
        if (((a | b) & kBad) != 0) {
          // The line end the encoder writes every 76 characters: skipped
          // here without leaving the fast path.
          if (in[0] == '\r' && in[1] == '\n') {
            in += 2;
            continue;
          }
          if (in[0] == '\n') {
            in += 1;
            continue;
          }
          break;
        }
        store64be(out, ((static_cast<std::uint64_t>(a) << 24) | b) << 16);
        in += 8;
        out += 6;
      }
      if (end - in >= 4) {
        std::uint32_t a = kDec0[in[0]] | kDec1[in[1]] | kDec2[in[2]] | kDec3[in[3]];
        if ((a & kBad) == 0) {
          put3(out, a);
          in += 4;
          out += 3;
          continue;
        }
      }
      if (in == end) break;
    }
    // Slow path, one character: line ends and other strays are skipped, "="
    // ends the text.
    unsigned char c = *in++;
    if (c == '=') break;
    std::uint32_t v = kDec3[c];
    if (v & kBad) {
      // Skip the whole run of strays (a CR LF pair) before the fast path
      // looks again.
      while (in < end && *in != '=' && (kDec3[*in] & kBad)) ++in;
      continue;
    }
    acc = (acc << 6) | v;
    if (++have == 4) {
      put3(out, acc);
      out += 3;
      acc = 0;
      have = 0;
    }
  }
  // A final group of 2 or 3 characters gives 1 or 2 bytes; 1 gives nothing.
  if (have == 2) {
    *out++ = static_cast<unsigned char>(acc >> 4);
  } else if (have == 3) {
    *out++ = static_cast<unsigned char>(acc >> 10);
    *out++ = static_cast<unsigned char>(acc >> 2);
  }
  const std::size_t len = static_cast<std::size_t>(out - bytes);
  std::memset(out, 0, size - len);
  *n = static_cast<int>(len);
  return bytes;
}
