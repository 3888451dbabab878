// The server-certificate step of the host check against `openssl s_server`:
// it fails closed whenever no name was obtained, names the first failing
// step's error number, and leaves no handle open.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "TestRoot.h"
#include "TlsServer.h"
#include "ctrlkit/ServerCert.h"
#include "platform/kernel.h"
#include "platform/winhttp.h"

using ctrlkit::SERVER_NAME_SIZE;

namespace {

std::string certstore() { return std::string(std::getenv("BUILD_DIR")) + "/bin/certstore"; }

class ServerCert : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::string(testsupport::freshDir("servercert"));
    pki_ = new tlstest::Pki(*dir_);
    ASSERT_EQ(testsupport::run(certstore() + " import --store Root --cert " + pki_->caPem()), 0);
  }
  static void TearDownTestSuite() {
    delete pki_;
    delete dir_;
  }
  static std::string* dir_;
  static tlstest::Pki* pki_;
};
std::string* ServerCert::dir_ = nullptr;
tlstest::Pki* ServerCert::pki_ = nullptr;

std::string https(int port, const std::string& path = "/") {
  return "https://localhost:" + std::to_string(port) + path;
}

struct Step {
  int result;
  std::string name;
};

Step ask(const std::string& url) {
  char name[SERVER_NAME_SIZE];
  std::memset(name, 'x', sizeof name);
  DWORD before = PlatformWinHttpOpenHandles();
  int result = ctrlkit::GetServerCertSubject(url.c_str(), name);
  EXPECT_EQ(PlatformWinHttpOpenHandles(), before) << "a handle was left open for " << url;
  EXPECT_EQ(name[SERVER_NAME_SIZE - 1], '\0');
  return {result, name};
}

}  // namespace

TEST(ServerName, LastNonEmptyLineCutTo260Bytes) {
  struct Case {
    std::u16string subject;
    std::string name;
  } cases[] = {
      {u"TW\r\nTest Bank\r\nlocalhost", "localhost"},
      {u"localhost", "localhost"},
      {u"Test Bank\r\nlocalhost\r\n", "localhost"},
      {u"Test Bank\r\nlocalhost\r\n\r\n", "localhost"},
      {u"\r\n", ""},
      {u"", ""},
      {std::u16string(300, u'a'), std::string(260, 'a')},
      {u"x\r\n" + std::u16string(261, u'b'), std::string(260, 'b')},
  };
  for (const auto& c : cases) {
    char name[SERVER_NAME_SIZE];
    std::memset(name, 'x', sizeof name);
    ctrlkit::serverNameFromSubject(c.subject.c_str(), name);
    EXPECT_EQ(std::string(name), c.name);
  }
  char name[SERVER_NAME_SIZE];
  ctrlkit::serverNameFromSubject(nullptr, name);
  EXPECT_EQ(std::string(name), "");
}

TEST_F(ServerCert, EveryFailureBeforeANameIsReportedWithItsNumber) {
  using tlstest::Issuer;
  struct Case {
    const char* what;
    tlstest::LeafSpec spec;
    int result;
    std::string name;
  } cases[] = {
      {"good", {{{"O", "Test Bank"}, {"CN", "localhost"}}, {"localhost"}}, 0, "localhost"},
      {"zeta", {{{"CN", "localhost"}, {"O", "Zeta"}}, {"localhost"}}, 0, "Zeta"},
      {"self_signed", {{{"CN", "localhost"}}, {"localhost"}, -1, 30, Issuer::Self}, 12045, ""},
      {"unknown_ca", {{{"CN", "localhost"}}, {"localhost"}, -1, 30, Issuer::OtherCa}, 12045, ""},
      {"expired", {{{"CN", "localhost"}}, {"localhost"}, -30, -1}, 12037, ""},
      {"other_host", {{{"CN", "other.example"}}, {"other.example"}}, 12038, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tlstest::SServer server(pki_->leaf(c.what, c.spec), *dir_);
    Step s = ask(https(server.port()));
    EXPECT_EQ(s.result, c.result);
    EXPECT_EQ(s.name, c.name);
  }

  EXPECT_EQ(ask(https(tlstest::unusedPort())).result, 12029);
  tlstest::Listener silent;
  setenv("PLATFORM_WINHTTP_TIMEOUTS", "0,2000,2000,300", 1);
  EXPECT_EQ(ask("https://127.0.0.1:" + std::to_string(silent.port()) + "/").result, 12002);
  unsetenv("PLATFORM_WINHTTP_TIMEOUTS");
  EXPECT_EQ(silent.connections(), 1);

  // Not HTTPS: nothing asked.
  EXPECT_EQ(ask("http://127.0.0.1:" + std::to_string(silent.port()) + "/").result, -1);
  EXPECT_EQ(silent.connections(), 1);
  EXPECT_EQ(ask("").result, static_cast<int>(ERROR_WINHTTP_UNRECOGNIZED_SCHEME));
}

TEST_F(ServerCert, TheNameMustOccurInTheAddress) {
  const std::string longName(300, 'a');
  tlstest::SServer good(pki_->leaf("in_address", {{{"O", "Test Bank"}, {"CN", "localhost"}}, {"localhost"}}), *dir_);
  tlstest::SServer zeta(pki_->leaf("not_in_address", {{{"CN", "localhost"}, {"O", "Zeta"}}, {"localhost"}}), *dir_);
  // "name" (2.5.4.41) has room for a value longer than 260 bytes.
  tlstest::SServer longer(pki_->leaf("long_name", {{{"CN", "localhost"}, {"2.5.4.41", longName}}, {"localhost"}}),
                          *dir_);
  tlstest::SServer emptyLast(pki_->leaf("empty_last", {{{"CN", "localhost"}, {"O", ""}}, {"localhost"}}), *dir_);
  struct Case {
    std::string url;
    bool passes;
    int number;
  } cases[] = {
      {https(good.port()), true, 0},
      {https(zeta.port()), false, 0},
      {https(zeta.port(), "/Zeta"), true, 0},  // the Part's substring rule
      {https(longer.port(), "/" + longName.substr(0, 260)), true, 0},
      {https(longer.port(), "/" + longName.substr(0, 259)), false, 0},
      {https(emptyLast.port()), true, 0},  // the last non-empty line is "localhost"
      {https(tlstest::unusedPort()), false, 12029},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    int number = -99;
    std::u16string url(c.url.begin(), c.url.end());
    EXPECT_EQ(ctrlkit::serverNameInAddress(url, &number), c.passes);
    EXPECT_EQ(number, c.number);
  }
}
