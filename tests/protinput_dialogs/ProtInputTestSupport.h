// Helpers of the protected-input dialog tests: the bank's RSA key pair made
// at test time, the bank's side of a ProtectionCipherText (openssl pkeyutl
// and enc), the thread language, pictures under the build folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "BankKey.h"
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
using testsupport::BankKey;
using testsupport::bankKey;

inline std::string narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

// The plain text of a ProtectionCipherText as the bank reads it: the session
// key unwrapped with openssl pkeyutl, the text deciphered with openssl enc.
inline bool bankDecrypt(const std::u16string& cipherText, std::string* plain) {
  return testsupport::bankDecrypt(narrow(cipherText), plain);
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
