// The server-certificate step of the host check against `openssl s_server`:
// it fails closed whenever no name was obtained, names the first failing
// step's error number, and leaves no handle open.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "TestRoot.h"
#include "TrustedPki.h"
#include "ctrlkit/MemberShell.h"
#include "ctrlkit/ServerCert.h"
#include "platform/com.h"
#include "platform/kernel.h"
#include "platform/winhttp.h"

using ctrlkit::SERVER_NAME_SIZE;

namespace {

using tlstest::certstore;

class ServerCert : public tlstest::TrustedPkiSuite {};

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

// A control on the kit, placed in a page through a client site whose moniker
// gives the page address, as a container places it.
class PageControl : public ctrlkit::CControlKit<PageControl> {
 public:
  PageControl(const std::u16string& url, ctrlkit::HostCheck check, DWORD siteFlags = 0)
      : CControlKit("CHaldrinCtrl", ctrlkit::falseOnFailure, check) {
    PlatformCreateClientSite(url.c_str(), siteFlags, &m_spClientSite);
  }
  ~PageControl() override {
    if (m_spClientSite != nullptr) m_spClientSite->Release();
  }
  int code() const { return LastErrorCode; }
  std::string text() const { return LastErrorStr; }
  IOleClientSite* m_spClientSite = nullptr;
};

struct Checked {
  int result;
  int code;
  std::string text;
};

Checked isWebCtl(const std::string& url, ctrlkit::HostCheck check = ctrlkit::HostCheck::ServerCertificate) {
  PageControl control(std::u16string(url.begin(), url.end()), check);
  DWORD before = PlatformWinHttpOpenHandles();
  int result = control.IsWebCtl();
  EXPECT_EQ(PlatformWinHttpOpenHandles(), before) << "a handle was left open for " << url;
  return {result, control.code(), control.text()};
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

// The check as the signature and network-address controls run it, through the
// kit, against the real server; each refusal carries the step's number.
TEST_F(ServerCert, ControlsRefusePagesWhoseServerNameIsNotTheirs) {
  using tlstest::Issuer;
  struct Case {
    const char* what;
    tlstest::LeafSpec spec;
    int result;
    const char* text;
  } cases[] = {
      {"page_good", {{{"O", "Test Bank"}, {"CN", "localhost"}}, {"localhost"}}, 0, ""},
      {"page_zeta", {{{"CN", "localhost"}, {"O", "Zeta"}}, {"localhost"}}, 61, "CHaldrinCtrl::IsWebCtl >> error 0"},
      {"page_self",
       {{{"CN", "localhost"}}, {"localhost"}, -1, 30, Issuer::Self},
       61,
       "CHaldrinCtrl::IsWebCtl >> error 12045"},
      {"page_unknown_ca",
       {{{"CN", "localhost"}}, {"localhost"}, -1, 30, Issuer::OtherCa},
       61,
       "CHaldrinCtrl::IsWebCtl >> error 12045"},
      {"page_expired", {{{"CN", "localhost"}}, {"localhost"}, -30, -1}, 61, "CHaldrinCtrl::IsWebCtl >> error 12037"},
      {"page_other_host", {{{"CN", "other.example"}}, {"other.example"}}, 61, "CHaldrinCtrl::IsWebCtl >> error 12038"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    tlstest::SServer server(pki_->leaf(c.what, c.spec), *dir_);
    // The platform decides as OpenSSL's own client does.
    const bool tlsAccepted = c.result == 0 || std::string(c.text) == "CHaldrinCtrl::IsWebCtl >> error 0";
    EXPECT_EQ(tlstest::sClient(server.port(), "localhost", pki_->caPem()).verified, tlsAccepted);
    Checked r = isWebCtl(https(server.port(), "/sign.html"));
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(r.code, c.result);
    EXPECT_EQ(r.text, c.text);
    // The certificate control keeps its host-list test alone.
    EXPECT_EQ(isWebCtl(https(server.port()), ctrlkit::HostCheck::HostList).result, 0);
  }

  Checked none = isWebCtl(https(tlstest::unusedPort()));
  EXPECT_EQ(none.result, 61);
  EXPECT_EQ(none.text, "CHaldrinCtrl::IsWebCtl >> error 12029");

  // Accepts and never answers.
  tlstest::Listener silent;
  setenv("PLATFORM_WINHTTP_TIMEOUTS", "0,2000,2000,300", 1);
  Checked hung = isWebCtl("https://127.0.0.1:" + std::to_string(silent.port()) + "/");
  unsetenv("PLATFORM_WINHTTP_TIMEOUTS");
  EXPECT_EQ(hung.result, 61);
  EXPECT_EQ(hung.text, "CHaldrinCtrl::IsWebCtl >> error 12002");
  EXPECT_EQ(silent.connections(), 1);

  // A plain-HTTP page on an allowed host passes without a connection.
  Checked plain = isWebCtl("http://127.0.0.1:" + std::to_string(silent.port()) + "/");
  EXPECT_EQ(plain.result, 0);
  EXPECT_EQ(plain.code, 0);
  EXPECT_EQ(silent.connections(), 1);

  // The host test still comes first, with its own numbers, and asks nothing.
  Checked foreign = isWebCtl("https://localhost.attacker.example:" + std::to_string(silent.port()) + "/");
  EXPECT_EQ(foreign.text, "CHaldrinCtrl::IsWebCtl >> error 0");
  Checked empty = isWebCtl("");
  EXPECT_EQ(empty.text, "CHaldrinCtrl::IsWebCtl >> error 12006");
  EXPECT_EQ(silent.connections(), 1);
}

TEST(ServerCertSite, NoMonikerMeansNoAddress) {
  PageControl control(u"https://localhost/", ctrlkit::HostCheck::ServerCertificate, PLATFORM_SITE_NO_MONIKER);
  std::u16string url = u"x";
  control.GetHostPageURL(url);
  EXPECT_EQ(url, u"");
  EXPECT_EQ(control.IsWebCtl(), 61);
  EXPECT_EQ(control.text(), "CHaldrinCtrl::IsWebCtl >> error 12006");
}
