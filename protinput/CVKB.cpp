#include "protinput/CVKB.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <openssl/err.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <vector>

#include "protinput/DES.h"
#include "protinput/RandomByte.h"
#include "protinput/Secret.h"

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A byte buffer that is wiped when it goes.
struct WipedBytes {
  std::vector<unsigned char> bytes;
  explicit WipedBytes(size_t n) : bytes(n, 0) {}
  ~WipedBytes() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
  unsigned char* data() { return bytes.data(); }
  size_t size() const { return bytes.size(); }
};

// One line of Base64, as EVP_EncodeBlock writes it.
std::string base64(const unsigned char* data, size_t n) {
  std::string out(4 * ((n + 2) / 3) + 1, '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(n));
  out.resize(static_cast<size_t>(written));
  return out;
}

// Digits of a label: one block for 4 to 7 layouts, two for 8 (padding always
// takes at least one byte).
int labelBytes(int layouts) { return layouts + (8 - layouts % 8); }

}  // namespace

CVKB::CVKB() {
  std::memset(layouts_, 0, sizeof layouts_);
  std::memset(sessionKey_, 0, sizeof sessionKey_);
  std::memset(spareBytes_, 0, sizeof spareBytes_);
  std::memset(activeRow_, 0, sizeof activeRow_);
}

CVKB::~CVKB() {
  wipe();
  OPENSSL_cleanse(sessionKey_, sizeof sessionKey_);
  OPENSSL_cleanse(spareBytes_, sizeof spareBytes_);
}

void CVKB::wipe() {
  OPENSSL_cleanse(layouts_, sizeof layouts_);
  OPENSSL_cleanse(activeRow_, sizeof activeRow_);
  OPENSSL_cleanse(&activeLayout_, sizeof activeLayout_);
  for (auto& label : labels_) protinput::WipeString(label);
  builtCount_ = 0;
}

int CVKB::makeSessionKey() {
  unsigned char drawn[24];
  for (unsigned char& b : drawn) {
    int v = RandomByte();
    if (v < 0) {
      OPENSSL_cleanse(drawn, sizeof drawn);
      OPENSSL_cleanse(sessionKey_, sizeof sessionKey_);
      OPENSSL_cleanse(spareBytes_, sizeof spareBytes_);
      return -1;
    }
    b = static_cast<unsigned char>(v);
  }
  std::memcpy(spareBytes_, drawn, 8);
  std::memcpy(sessionKey_, drawn + 8, 16);
  OPENSSL_cleanse(drawn, sizeof drawn);
  return 0;
}

int CVKB::buildLayouts() {
  wipe();
  int c = layoutCount < 4 || layoutCount > kMaxLayouts ? 4 : layoutCount;
  // Every layout and every digit equally likely: a byte taken modulo the
  // count would favour the low values, and a key's place would tell which
  // digit it more likely shows.
  int active = RandomBelow(c);
  if (active < 0) return -1;
  activeLayout_ = active;
  for (int j = 0; j < c; ++j) {
    for (int i = 0; i < 10; ++i) {
      int digit = RandomBelow(10);
      // A digit already in an earlier column is drawn again and compared
      // from the first column again.
      for (int k = 0; digit >= 0 && k < i;) {
        if (layouts_[j][k] == '0' + digit) {
          digit = RandomBelow(10);
          k = 0;
        } else {
          ++k;
        }
      }
      if (digit < 0) {
        wipe();
        return -1;
      }
      layouts_[j][i] = static_cast<unsigned char>('0' + digit);
    }
    layouts_[j][10] = '.';
  }
  std::memcpy(activeRow_, layouts_[activeLayout_], kColumns);
  int n = labelBytes(c);
  unsigned char plain[16], cipher[16];
  for (int k = 0; k < kColumns; ++k) {
    for (int j = 0; j < c; ++j) plain[j] = layouts_[j][k];
    for (int j = c; j < n; ++j) plain[j] = static_cast<unsigned char>(n - c);
    TripleDESEncrypt(sessionKey_, plain, n, cipher);
    labels_[k].resize(static_cast<size_t>(2 * n));
    for (int j = 0; j < n; ++j) {
      labels_[k][2 * j] = kHex[cipher[j] >> 4];
      labels_[k][2 * j + 1] = kHex[cipher[j] & 0xF];
    }
  }
  OPENSSL_cleanse(plain, sizeof plain);
  OPENSSL_cleanse(cipher, sizeof cipher);
  builtCount_ = c;
  return 0;
}

int CVKB::getKeyLabel(int column, std::string& label) const {
  if (column < 0 || column >= kColumns || builtCount_ == 0) return -1;
  label = labels_[column];
  return 0;
}

char CVKB::getKeyChar(int column) const {
  if (column < 0 || column >= kColumns || builtCount_ == 0) return 0;
  return static_cast<char>(layouts_[activeLayout_][column]);
}

int CVKB::findColumn(char c) const {
  if (builtCount_ == 0) return -1;
  int found = -1;
  for (int k = 0; k < kColumns; ++k)
    if (activeRow_[k] == static_cast<unsigned char>(c)) found = k;
  return found;
}

char CVKB::layoutChar(int layout, int column) const {
  if (layout < 0 || layout >= builtCount_ || column < 0 || column >= kColumns) return 0;
  return static_cast<char>(layouts_[layout][column]);
}

int CVKB::labelsToText(std::string_view labels, std::string& text) const {
  if (labels.size() % 2 != 0) return -2;
  for (char ch : labels)
    if (hexValue(ch) < 0) return -2;
  int c = builtCount_;
  if (c == 0) {
    if (labels.size() >= 16) return -2;
    protinput::WipeString(text);
    return 0;
  }
  size_t digits = static_cast<size_t>(2 * labelBytes(c));
  size_t count = labels.size() / digits;
  std::string decoded;
  decoded.reserve(count);
  unsigned char cipher[16], plain[16];
  int n = labelBytes(c);
  int result = 0;
  for (size_t i = 0; i < count; ++i) {
    const char* label = labels.data() + i * digits;
    for (int j = 0; j < n; ++j)
      cipher[j] = static_cast<unsigned char>(hexValue(label[2 * j]) << 4 | hexValue(label[2 * j + 1]));
    TripleDESDecrypt(sessionKey_, cipher, n, plain);
    int p = plain[n - 1];
    // The padding byte must leave a character for every layout.
    if (p == 0 || p > 8 || n - p < c) {
      result = -2;
      break;
    }
    decoded.push_back(static_cast<char>(plain[activeLayout_]));
  }
  OPENSSL_cleanse(cipher, sizeof cipher);
  OPENSSL_cleanse(plain, sizeof plain);
  if (result == 0) {
    protinput::WipeString(text);
    text.reserve(decoded.size());
    text.assign(decoded);
  }
  protinput::WipeString(decoded);
  return result;
}

int CVKB::encryptText(std::string_view text, std::string& out) const {
  size_t padding = 8 - text.size() % 8;
  WipedBytes padded(text.size() + padding);
  if (!text.empty()) std::memcpy(padded.data(), text.data(), text.size());
  std::memset(padded.data() + text.size(), static_cast<int>(padding), padding);
  // The triple-DES routines take a signed 32-bit length: longer texts go
  // through in pieces (ECB has no chaining between blocks).
  constexpr size_t kPiece = size_t{1} << 30;
  for (size_t done = 0; done < padded.size(); done += kPiece) {
    size_t n = std::min(kPiece, padded.size() - done);
    TripleDESEncrypt(sessionKey_, padded.data() + done, static_cast<int>(n), padded.data() + done);
  }
  out = base64(padded.data(), padded.size());
  return 0;
}

namespace {
std::atomic<WrapFault*> gWrapFault{nullptr};

// The one RSA encryption of the keypads: block enciphered with PKCS#1 v1.5
// padding under key, as Base64 in out. Both the trial wrap of a key's check
// and the wrap of the session key go through here, so a key the check
// accepts is one the wrap works with. 0, or -1 (out unchanged).
int wrapUnder(EVP_PKEY* key, const unsigned char* block, size_t n, std::string& out) {
  WrapFault* fault = gWrapFault.load();
  if (fault != nullptr && fault->fails()) return -1;
  ERR_set_mark();
  int result = -1;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
  size_t size = 0;
  if (ctx != nullptr && EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
      EVP_PKEY_encrypt(ctx, nullptr, &size, block, n) == 1) {
    std::vector<unsigned char> wrapped(size, 0);
    if (EVP_PKEY_encrypt(ctx, wrapped.data(), &size, block, n) == 1) {
      out = base64(wrapped.data(), size);
      result = 0;
    }
  }
  EVP_PKEY_CTX_free(ctx);
  ERR_pop_to_mark();
  return result;
}

// Moduli the session key is wrapped under. Below 512 bits a modulus is
// factored with public tools and the typed digits read; above 16384 bits
// OpenSSL does no RSA operation at all, and not every release's public-key
// check says so before the wrap.
constexpr int kMinModulusBits = 512;
constexpr int kMaxModulusBits = 16384;

// The DER of the last key the check accepted: a page hands the same key to
// the member and the dialog wraps under it at the end.
struct AcceptedKey {
  std::mutex lock;
  std::vector<unsigned char> der;
};
// Freed with the library: a control's module is loaded and unloaded with
// its pages.
AcceptedKey& acceptedKey() {
  static AcceptedKey kept;
  return kept;
}

// Whether the session key can be wrapped under this RSA key: a modulus in
// bounds, OpenSSL's public-key check, then a trial wrap of a dummy block of
// the session key's size.
bool canWrapUnder(EVP_PKEY* key) {
  const int bits = EVP_PKEY_get_bits(key);
  if (bits < kMinModulusBits || bits > kMaxModulusBits) return false;
  // Refuses an exponent of 0, 1 or an even one, with which the wrapped
  // key would be the padded block in clear or could not be unwrapped.
  EVP_PKEY_CTX* check = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
  const bool passed = check != nullptr && EVP_PKEY_public_check(check) == 1;
  EVP_PKEY_CTX_free(check);
  if (!passed) return false;
  // Keys the check passes but the encryption refuses (an exponent of more
  // than 64 bits on a modulus of more than 3072 bits, or one larger than
  // the modulus) would take the customer through a keypad for nothing.
  static const unsigned char kTrialBlock[16] = {};
  std::string trial;
  return wrapUnder(key, kTrialBlock, sizeof kTrialBlock, trial) == 0;
}

// The page's key, if it is one the session key can be wrapped under: a new
// reference, or null.
EVP_PKEY* readUsableKey(std::string_view publicKeyBase64) {
  if (publicKeyBase64.empty() || publicKeyBase64.size() > INT_MAX / 2) return nullptr;
  std::vector<unsigned char> der(publicKeyBase64.size() / 4 * 3 + 3, 0);
  int n = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(publicKeyBase64.data()),
                          static_cast<int>(publicKeyBase64.size()));
  if (n <= 0) return nullptr;
  // A key the page got wrong leaves nothing on OpenSSL's error queue for
  // whoever asks next.
  ERR_set_mark();
  const unsigned char* p = der.data();
  EVP_PKEY* key = d2i_PUBKEY(nullptr, &p, n);
  const std::size_t used = static_cast<std::size_t>(p - der.data());
  if (key != nullptr && !EVP_PKEY_is_a(key, "RSA")) {
    EVP_PKEY_free(key);
    key = nullptr;
  }
  if (key != nullptr) {
    AcceptedKey& accepted = acceptedKey();
    bool known = false;
    {
      std::lock_guard<std::mutex> hold(accepted.lock);
      known = accepted.der.size() == used && std::memcmp(accepted.der.data(), der.data(), used) == 0;
    }
    if (!known) {
      if (canWrapUnder(key)) {
        std::lock_guard<std::mutex> hold(accepted.lock);
        accepted.der.assign(der.begin(), der.begin() + static_cast<std::ptrdiff_t>(used));
      } else {
        EVP_PKEY_free(key);
        key = nullptr;
      }
    }
  }
  ERR_pop_to_mark();
  return key;
}
}  // namespace

WrapFault* SetWrapFault(WrapFault* fault) { return gWrapFault.exchange(fault); }

bool CVKB::usablePublicKey(std::string_view publicKeyBase64) {
  EVP_PKEY* key = readUsableKey(publicKeyBase64);
  EVP_PKEY_free(key);
  return key != nullptr;
}

int CVKB::wrapSessionKey(std::string_view publicKeyBase64, std::string& out) const {
  EVP_PKEY* key = readUsableKey(publicKeyBase64);
  if (key == nullptr) return -1;
  int result = wrapUnder(key, sessionKey_, sizeof sessionKey_, out);
  EVP_PKEY_free(key);
  return result;
}

std::string ProtectionCipherText(const CVKB& keypad, std::string_view plainText, std::string_view publicKeyBase64) {
  std::string wrapped;
  if (keypad.wrapSessionKey(publicKeyBase64, wrapped) != 0) return std::string();
  std::string text;
  keypad.encryptText(plainText, text);
  return text + "|" + wrapped;
}
