// Helpers of the protected-input dialog tests: the bank's RSA key pair made
// at test time, the bank's side of a ProtectionCipherText (openssl pkeyutl
// and enc), the thread language, pictures under the build folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "TestRoot.h"
#include "platform/afx.h"
#include "platform/locale.h"
#include "platform/ui.h"
#include "platform/user.h"

namespace protdlg_test {

inline std::string buildPath(const std::string& name) {
  const char* dir = std::getenv("BUILD_DIR");
  return std::string(dir ? dir : ".") + "/" + name;
}

// An RSA key pair made once per run: the private key file and the public
// key as one line of Base64 of its DER SubjectPublicKeyInfo.
struct BankKey {
  std::string dir;
  std::string privatePem;
  std::string publicBase64;
};
inline const BankKey& bankKey() {
  static BankKey key = [] {
    BankKey k;
    k.dir = testsupport::freshDir("bankkey");
    k.privatePem = k.dir + "/bank.pem";
    EXPECT_EQ(testsupport::run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " + k.privatePem +
                               " 2>/dev/null"),
              0);
    std::string out;
    EXPECT_EQ(testsupport::run("openssl pkey -in " + k.privatePem + " -pubout -outform DER | base64 -w0", &out), 0);
    k.publicBase64 = out;
    return k;
  }();
  return key;
}

inline std::string narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

// The plain text of a ProtectionCipherText as the bank reads it: the session
// key unwrapped with openssl pkeyutl, the text deciphered with openssl enc.
inline bool bankDecrypt(const std::u16string& cipherText, std::string* plain) {
  std::string c = narrow(cipherText);
  size_t bar = c.find('|');
  if (bar == std::string::npos) return false;
  const BankKey& k = bankKey();
  testsupport::writeFile(k.dir + "/text.b64", c.substr(0, bar) + "\n");
  testsupport::writeFile(k.dir + "/key.b64", c.substr(bar + 1) + "\n");
  std::string keyHex;
  if (testsupport::run("base64 -d " + k.dir + "/key.b64 | openssl pkeyutl -decrypt -inkey " + k.privatePem +
                           " -pkeyopt rsa_padding_mode:pkcs1 | od -An -tx1 | tr -d ' \\n'",
                       &keyHex) != 0 ||
      keyHex.size() != 32)
    return false;
  return testsupport::run("base64 -d " + k.dir + "/text.b64 | openssl enc -d -des-ede -nosalt -K " + keyHex, plain) == 0;
}

// Sets the thread's UI language for one scope.
class ScopedLanguage {
 public:
  explicit ScopedLanguage(LANGID lang) : old_(GetThreadUILanguage()) { SetThreadUILanguage(lang); }
  ~ScopedLanguage() { SetThreadUILanguage(old_); }

 private:
  LANGID old_;
};

// The text of a control as the user sees it.
inline std::u16string textOf(const platform::user::DialogView& v, int id) {
  const auto* c = v.control(id);
  return c ? c->text : u"<none>";
}
inline std::u16string shownOf(const platform::user::DialogView& v, int id) {
  const auto* c = v.control(id);
  return c ? c->shown : u"<none>";
}

}  // namespace protdlg_test
