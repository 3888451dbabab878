// What the signature control's tests share: Haldrin registered in the test's
// platform root with regsvr, controls created through the registry by program
// identifier and placed on a page, called through IDispatch::Invoke as page
// script calls them (the certificate control's test support, by another
// program identifier); the bank's side of the keypad's cipher text and of
// the MD5-with-RSA value with openssl.
#pragma once

#include <string>

#include "BankKey.h"
#include "TeskelSupport.h"
#include "TestRoot.h"

namespace haldrintest {

using namespace teskeltest;

std::string haldrinPath();  // the built deliverable, resolved

// A Haldrin control on a page.
class Haldrin : public Control {
 public:
  explicit Haldrin(const std::u16string& url = u"http://localhost/", Site site = Site::Page)
      : Control(url, site, u"Haldrin.HaldrinSignat") {}
};

// Registers Haldrin (and COM on the thread) for the test.
class HaldrinTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// The bank's key pair for the keypad (1024-bit RSA, made once per process).
using testsupport::bankDecrypt;
using testsupport::BankKey;
using testsupport::bankKey;

// openssl dgst -md5 -sign with the fixture's key over data, as upper-case hex.
std::string md5RsaByOpenssl(const std::string& fixture, const std::string& data);
// openssl dgst -md5 -verify of a hex signature with the fixture's certificate.
bool md5RsaVerifies(const std::string& fixture, const std::string& data, const std::string& hexSignature);

using testsupport::quote;

}  // namespace haldrintest
