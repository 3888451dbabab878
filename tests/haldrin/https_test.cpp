// The host check over HTTPS, against openssl s_server on 127.0.0.1: a page
// whose server certificate's last subject line occurs in its address signs,
// takes a PIN and reads the keypad; a mismatching last line, an untrusted
// certificate or no listener refuses every gated member with 61.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "HaldrinSupport.h"
#include "TestRoot.h"
#include "TlsServer.h"

using namespace haldrintest;
using namespace platform::user;

namespace {

std::string certstore() { return std::string(std::getenv("BUILD_DIR")) + "/bin/certstore"; }

class Https : public HaldrinTest {
 protected:
  void SetUp() override {
    HaldrinTest::SetUp();
    dir = testsupport::freshDir("haldrin-https");
    pki = std::make_unique<tlstest::Pki>(dir);
    ASSERT_EQ(testsupport::run(certstore() + " import --store Root --cert " + pki->caPem()), 0);
    clearMy();
    importFixture("user");
  }
  std::u16string page(int port) { return wide("https://localhost:" + std::to_string(port) + "/sign.html"); }
  std::string dir;
  std::unique_ptr<tlstest::Pki> pki;
};

}  // namespace

TEST_F(Https, GatedMembersFollowTheServerCertificate) {
  using tlstest::Issuer;
  const std::string cert = certificateText("user");
  {
    tlstest::SServer server(pki->leaf("good", {{{"O", "Test Bank"}, {"CN", "localhost"}}, {"localhost"}}), dir);
    Haldrin c(page(server.port()));
    ASSERT_EQ(c.callLong(u"setDataContentByString", {text("over https")}), 0);
    ASSERT_EQ(c.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0) << c.lastError();
    Verified v = verifyEnvelopeText(c.callText(u"getSignedEnvelopByString"));
    ASSERT_EQ(v.status, 0) << v.output;
    EXPECT_EQ(v.content, "over https");
    EXPECT_EQ(c.callLong(u"MD5RSASignValue", {text(cert)}), 0) << c.lastError();
    EXPECT_EQ(c.call(u"getProtectionDataPlain").hr, S_OK);
    EXPECT_EQ(c.lastCode(), 0);
  }
  struct Case {
    const char* what;
    tlstest::LeafSpec spec;
    int port;  // 0: the server's
  } cases[] = {
      {"zeta", {{{"CN", "localhost"}, {"O", "Zeta"}}, {"localhost"}}, 0},         // last line not in the address
      {"self", {{{"CN", "localhost"}}, {"localhost"}, -1, 30, Issuer::Self}, 0},  // untrusted
      {"nolistener", {{{"CN", "localhost"}}, {"localhost"}}, tlstest::unusedPort()},
  };
  for (auto& t : cases) {
    SCOPED_TRACE(t.what);
    tlstest::SServer server(pki->leaf(t.what, t.spec), dir);
    Haldrin c(page(t.port != 0 ? t.port : server.port()));
    ScriptedUser nobody;
    nobody.install();
    struct Member {
      const char16_t* name;
      std::vector<Value> args;
      const char* text;
    } members[] = {
        {u"sign",
         {text(cert), text("SHA1"), text("RSA")},
         "CHaldrinCtrl::sign -> The Component can not verify the URL"},
        {u"MD5RSASignValue", {text(cert)}, "CHaldrinCtrl::MD5RSASignValue -> The Component can not verify the URL"},
        {u"signUI",
         {text("d"), text(cert), text("SHA1"), text("RSA")},
         "CHaldrinCtrl::CallGRD -> The Component can not verify the URL"},
        {u"signIO",
         {text("x.dll"), text(cert), text("SHA1"), text("RSA")},
         "CHaldrinCtrl::CallGRD -> The Component can not verify the URL"},
        {u"CallGRD", {text("PIN"), i4(8)}, "CHaldrinCtrl::CallGRD -> The Component can not verify the URL"},
    };
    for (auto& m : members) {
      SCOPED_TRACE(utf8(m.name));
      Result r = c.call(m.name, m.args);
      EXPECT_EQ(r.hr, S_FALSE);
      EXPECT_EQ(c.lastCode(), 61);
      EXPECT_EQ(c.lastError(), m.text);
    }
    Result plain = c.call(u"getProtectionDataPlain");
    EXPECT_EQ(plain.hr, S_OK);
    EXPECT_TRUE(plain.isNullText());
    EXPECT_EQ(c.lastCode(), 61);
    EXPECT_TRUE(nobody.ok()) << failuresOf(nobody);
  }
}
