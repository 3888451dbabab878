// The envelope check on messages made by OpenSSL as a relying party would
// read them: good ones pass whichever way they are written (with or without
// signed attributes, definite or indefinite lengths, the signer's issuer
// written otherwise than in its certificate), damaged ones never do.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SigTestSupport.h"
#include "signlib/SignatureCheck.h"

using namespace sigtest;

namespace {

// `openssl smime -sign` of `data` by the fixture "user", DER, with `options`.
std::string signedByUser(const std::string& dir, const std::string& data, const std::string& options) {
  testsupport::writeFile(dir + "/data", data);
  const fixtures::Fixture& user = fixtures::get("user");
  int status = testsupport::run("openssl smime -sign -binary -md sha1 -outform DER " + options + " -signer " +
                                quote(user.certPem) + " -inkey " + quote(user.keyPem) + " -in " + quote(dir + "/data") +
                                " -out " + quote(dir + "/m.der"));
  EXPECT_EQ(status, 0);
  return testsupport::readFile(dir + "/m.der");
}

// `message` with the last occurrence of `from` replaced by `to` (same length).
std::string replacedLast(std::string message, const std::string& from, const std::string& to) {
  size_t at = message.rfind(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) message.replace(at, from.size(), to);
  return message;
}

// `message` with one byte of the signature (the end of the last signer,
// where both layouts keep it) changed.
std::string signatureFlipped(std::string message) {
  message[message.size() - 10] = static_cast<char>(message[message.size() - 10] ^ 0x01);
  return message;
}

bool check(const std::string& message, std::string* why) {
  return sigcheck::signedDataVerifies(reinterpret_cast<const unsigned char*>(message.data()), message.size(), why);
}

TEST(EnvelopeCheck, SignedDataAcceptedOnlyWhenEverySignatureVerifies) {
  std::string dir = testsupport::freshDir("sigcheck");
  const std::string data = "transfer 1: NT$1,000 to 0123-456-789;";
  const std::string withAttributes = signedByUser(dir, data, "-nodetach -nosmimecap");
  const std::string withoutAttributes = signedByUser(dir, data, "-nodetach -noattr");
  const std::string indefinite = signedByUser(dir, data, "-nodetach -nosmimecap -stream");
  const std::string detached = signedByUser(dir, data, "-nosmimecap");
  const std::string otherSigner =
      signedByUser(dir, data, "-nodetach -noattr -certfile " + quote(fixtures::get("ca").certPem));
  struct Case {
    const char* name;
    std::string message;
    bool verifies;
  } cases[] = {
      {"signed attributes", withAttributes, true},
      {"no signed attributes", withoutAttributes, true},
      {"indefinite lengths", indefinite, true},
      // The signer's issuer as the signer info names it, in other letters:
      // names compare as a relying party compares them.
      {"issuer in capitals", replacedLast(withAttributes, "Test Root CA", "TEST ROOT CA"), true},
      {"another certificate carried too", otherSigner, true},
      {"content changed, attributes", replacedLast(withAttributes, "NT$1,000", "NT$9,000"), false},
      {"content changed, no attributes", replacedLast(withoutAttributes, "NT$1,000", "NT$9,000"), false},
      {"signature changed, attributes", signatureFlipped(withAttributes), false},
      {"signature changed, no attributes", signatureFlipped(withoutAttributes), false},
      {"no content", detached, false},
      // The signer's serial number names no carried certificate.
      {"signer certificate missing", replacedLast(withoutAttributes, "Test Root CA", "Test Root CB"), false},
      {"cut short", withAttributes.substr(0, withAttributes.size() - 1), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.message.empty());
    std::string why;
    EXPECT_EQ(check(c.message, &why), c.verifies) << why;
    if (!c.verifies) {
      EXPECT_FALSE(why.empty());
    }
  }
}

}  // namespace
