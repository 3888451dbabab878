// Shared by the dialog tests: the three languages, a scope that switches the
// thread's UI language, where pictures go, and certificate contexts made from
// the fixture catalogue.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Fixtures.h"
#include "platform/afx.h"
#include "platform/crypt.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/ui.h"
#include "platform/user.h"

namespace dlgtest {

struct Language {
  LANGID id;
  const char* tag;
};
inline const Language kLanguages[] = {{1028, "1028"}, {1033, "1033"}, {2052, "2052"}};

// Runs with the thread's UI language set, and restores the previous one.
class UiLanguage {
 public:
  explicit UiLanguage(LANGID id) : m_previous(GetThreadUILanguage()) { SetThreadUILanguage(id); }
  ~UiLanguage() { SetThreadUILanguage(m_previous); }
  UiLanguage(const UiLanguage&) = delete;
  UiLanguage& operator=(const UiLanguage&) = delete;

 private:
  LANGID m_previous;
};

// $BUILD_DIR/shots/dialogs/<name>.png (the folder is made on first use).
inline std::string shotPath(const std::string& name) {
  const char* build = std::getenv("BUILD_DIR");
  std::string dir = std::string(build ? build : ".") + "/shots";
  mkdir(dir.c_str(), 0755);
  dir += "/dialogs";
  mkdir(dir.c_str(), 0755);
  return dir + "/" + name + ".png";
}

// A certificate context of a catalogue fixture; freed with the holder.
class Certificate {
 public:
  explicit Certificate(const std::string& fixture) {
    std::vector<unsigned char> der = fixtures::get(fixture).der();
    m_context = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                             static_cast<DWORD>(der.size()));
  }
  ~Certificate() {
    if (m_context != nullptr) CertFreeCertificateContext(m_context);
  }
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;
  PCCERT_CONTEXT get() const { return m_context; }

 private:
  PCCERT_CONTEXT m_context = nullptr;
};

// The text of a dialog's item.
inline std::u16string itemText(HWND dialog, int id) {
  WCHAR buffer[256] = {};
  GetDlgItemTextW(dialog, id, buffer, 256);
  return buffer;
}

inline std::string failuresOf(const platform::user::ScriptedUser& u) { return testing::PrintToString(u.failures()); }

// The beeps recorded since the last call (and clears the record).
inline std::vector<UINT> takeBeeps() {
  UINT types[64] = {};
  SIZE_T n = PlatformBeeps(types, 64, TRUE);
  return std::vector<UINT>(types, types + (n < 64 ? n : 64));
}

}  // namespace dlgtest
