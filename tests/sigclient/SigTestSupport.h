// Helpers of the signature-client tests: filling the user's store with the
// certstore tool, a SoftHSM2 token behind the test module, and OpenSSL as the
// relying party.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Fixtures.h"
#include "TestRoot.h"
#include "TokenHarness.h"
#include "signlib/Base64.h"

namespace sigtest {

constexpr const char* kPin = "5147";
constexpr const char* kSoPin = "87654321";

using testsupport::quote;

inline std::string certstoreTool() {
  const char* build = std::getenv("BUILD_DIR");
  return std::string(build != nullptr ? build : ".") + "/bin/certstore";
}

// Runs certstore with the arguments; fails the test when it does not succeed.
inline void certstore(const std::string& args) {
  std::string out;
  int status = testsupport::run(certstoreTool() + " " + args + " 2>&1", &out);
  ASSERT_EQ(status, 0) << "certstore " << args << "\n" << out;
}

// The fixture's certificate and software key into "MY".
inline void importSoftware(const std::string& fixture, const std::string& provider = "") {
  certstore("import --store MY --pfx " + quote(fixtures::get(fixture).p12) + " --password " + fixtures::kP12Password +
            (provider.empty() ? "" : " --provider " + quote(provider)));
}

// One SoftHSM2 token "sig" with the fixture's key and certificate, reached
// through the initialised-only test module, imported into "MY".
struct Token {
  p11test::SoftHsm hsm{"sig"};
  std::string fixture;
  explicit Token(const std::string& f, const std::string& provider = "") : fixture(f) {
    hsm.initToken("sig", kSoPin, kPin);
    hsm.addIdentity("sig", kPin, fixture, "a1");
    p11test::installForwarder();
    certstore("import --store MY --token " + std::string(p11test::kForwarder) + " --pin " + kPin +
              (provider.empty() ? "" : " --provider " + quote(provider)));
  }
};

inline std::string b64(const std::string& fixture) { return fixtures::get(fixture).base64(); }

// DER bytes of a Base64 envelope text.
inline std::string derOf(const std::string& text) {
  int n = static_cast<int>(text.size());
  unsigned char* der = base64Decode(text.c_str(), &n);
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
  std::free(der);
  return out;
}

// openssl cms -verify against the fixture CA; the content must come back
// byte for byte.
inline ::testing::AssertionResult verifies(const std::string& der, const std::string& data) {
  static int calls = 0;
  std::string dir = testsupport::freshDir("verify" + std::to_string(++calls));
  testsupport::writeFile(dir + "/m.der", der);
  std::string out;
  int status = testsupport::run("openssl cms -verify -inform DER -binary -in " + quote(dir + "/m.der") + " -CAfile " +
                                    quote(fixtures::get("ca").certPem) + " -out " + quote(dir + "/content") + " 2>&1",
                                &out);
  if (status != 0) return ::testing::AssertionFailure() << "openssl cms -verify failed: " << out;
  std::string content = testsupport::readFile(dir + "/content");
  if (content != data)
    return ::testing::AssertionFailure() << "content differs: " << content.size() << " bytes, signed " << data.size();
  return ::testing::AssertionSuccess();
}

// What openssl cms -cmsout -print shows of the message.
inline std::string printed(const std::string& der) {
  static int calls = 0;
  std::string dir = testsupport::freshDir("print" + std::to_string(++calls));
  testsupport::writeFile(dir + "/m.der", der);
  std::string out;
  testsupport::run("openssl cms -cmsout -print -inform DER -in " + quote(dir + "/m.der"), &out);
  return out;
}

inline size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

}  // namespace sigtest
