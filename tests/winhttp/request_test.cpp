// The HTTPS request against `openssl s_server`, with certificates made here by
// a test CA that `certstore import --store Root` makes a trust anchor.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "TestRoot.h"
#include "TrustedPki.h"
#include "platform/kernel.h"
#include "platform/winhttp.h"

namespace {

using tlstest::certstore;

class Request : public tlstest::TrustedPkiSuite {};

struct Outcome {
  DWORD error = 0;         // first failing call's number, 0 when all went through
  std::u16string subject;  // the certificate record's subject text
  int handlesLeft = 0;     // handles WinHttpCloseHandle refused
};

std::u16string wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

Outcome get(const std::string& host, int port, bool secure, const std::u16string& path = u"/") {
  Outcome o;
  HINTERNET s =
      WinHttpOpen(u"test agent", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  HINTERNET c = s != nullptr ? WinHttpConnect(s, wide(host).c_str(), static_cast<INTERNET_PORT>(port), 0) : nullptr;
  HINTERNET r = c != nullptr ? WinHttpOpenRequest(c, u"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                                  WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0)
                             : nullptr;
  if (r == nullptr) {
    o.error = GetLastError();
  } else if (!WinHttpSendRequest(r, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
    o.error = GetLastError();
  } else if (!WinHttpReceiveResponse(r, nullptr)) {
    o.error = GetLastError();
  } else if (secure) {
    WINHTTP_CERTIFICATE_INFO info{};
    DWORD size = sizeof info;
    if (!WinHttpQueryOption(r, WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT, &info, &size)) {
      o.error = GetLastError();
    } else {
      if (info.lpszSubjectInfo != nullptr) o.subject = info.lpszSubjectInfo;
      LocalFree(info.lpszSubjectInfo);
      LocalFree(info.lpszIssuerInfo);
    }
  }
  for (HINTERNET h : {r, c, s})
    if (h != nullptr && !WinHttpCloseHandle(h)) ++o.handlesLeft;
  return o;
}

TEST_F(Request, CertificatesAreDecidedAsOpensslClientDecidesThem) {
  using tlstest::Issuer;
  struct Case {
    const char* name;
    tlstest::LeafSpec spec;
    DWORD error;
    const char* sClientReason;  // in s_client's verification error
    std::u16string subject;
  } cases[] = {
      {"good", {{{"O", "Test Bank"}, {"CN", "localhost"}}, {"localhost"}}, 0, "", u"Test Bank\r\nlocalhost"},
      // Without a DNS name the common name is the host's name.
      {"cn_only", {{{"CN", "localhost"}}, {}}, 0, "", u"localhost"},
      {"self_signed",
       {{{"CN", "localhost"}}, {"localhost"}, -1, 30, Issuer::Self},
       ERROR_WINHTTP_SECURE_INVALID_CA,
       "self-signed",
       u""},
      {"unknown_ca",
       {{{"CN", "localhost"}}, {"localhost"}, -1, 30, Issuer::OtherCa},
       ERROR_WINHTTP_SECURE_INVALID_CA,
       "unable to get local issuer",
       u""},
      {"expired",
       {{{"CN", "localhost"}}, {"localhost"}, -30, -1},
       ERROR_WINHTTP_SECURE_CERT_DATE_INVALID,
       "certificate has expired",
       u""},
      {"not_yet",
       {{{"CN", "localhost"}}, {"localhost"}, 2, 30},
       ERROR_WINHTTP_SECURE_CERT_DATE_INVALID,
       "not yet valid",
       u""},
      {"other_host",
       {{{"CN", "other.example"}}, {"other.example"}},
       ERROR_WINHTTP_SECURE_CERT_CN_INVALID,
       "hostname mismatch",
       u""},
      // A DNS name present: the common name is not looked at.
      {"cn_not_san",
       {{{"CN", "localhost"}}, {"other.example"}},
       ERROR_WINHTTP_SECURE_CERT_CN_INVALID,
       "hostname mismatch",
       u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tlstest::Leaf leaf = pki_->leaf(c.name, c.spec);
    tlstest::SServer server(leaf, *dir_);
    tlstest::Verdict v = tlstest::sClient(server.port(), "localhost", pki_->caPem());
    EXPECT_EQ(v.verified, c.error == 0) << v.text;
    if (c.error != 0) {
      EXPECT_NE(v.text.find(c.sClientReason), std::string::npos) << v.text;
    }
    Outcome o = get("localhost", server.port(), true);
    EXPECT_EQ(o.error, c.error);
    EXPECT_EQ(o.subject, c.subject);
    EXPECT_EQ(o.handlesLeft, 0);
  }
}

TEST_F(Request, TheRootStoreHoldsTheAnchors) {
  tlstest::Leaf leaf = pki_->leaf("anchor", {{{"CN", "localhost"}}, {"localhost"}});
  tlstest::SServer server(leaf, *dir_);
  std::string list;
  ASSERT_EQ(testsupport::run(certstore() + " list --store Root", &list), 0);
  std::string sha1 = list.substr(0, 40);
  ASSERT_EQ(testsupport::run(certstore() + " delete --store Root --sha1 " + sha1), 0);
  EXPECT_EQ(get("localhost", server.port(), true).error, ERROR_WINHTTP_SECURE_INVALID_CA);
  ASSERT_EQ(testsupport::run(certstore() + " import --store Root --cert " + pki_->caPem()), 0);
  EXPECT_EQ(get("localhost", server.port(), true).error, 0u);
  // An address literal is checked against the certificate's addresses.
  EXPECT_EQ(get("127.0.0.1", server.port(), true).error, ERROR_WINHTTP_SECURE_CERT_CN_INVALID);
}

TEST_F(Request, ConnectionFailuresAndTimeOuts) {
  EXPECT_EQ(get("127.0.0.1", tlstest::unusedPort(), true).error, ERROR_WINHTTP_CANNOT_CONNECT);

  // Accepts and never answers: bounded by the receive time-out, set through
  // the environment for new sessions or on the request itself.
  tlstest::Listener silent;
  setenv("PLATFORM_WINHTTP_TIMEOUTS", "0,2000,2000,300", 1);
  EXPECT_EQ(get("127.0.0.1", silent.port(), true).error, ERROR_WINHTTP_TIMEOUT);
  EXPECT_EQ(get("127.0.0.1", silent.port(), false).error, ERROR_WINHTTP_TIMEOUT);
  unsetenv("PLATFORM_WINHTTP_TIMEOUTS");

  HINTERNET s = WinHttpOpen(u"t", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0);
  HINTERNET c = WinHttpConnect(s, u"127.0.0.1", static_cast<INTERNET_PORT>(silent.port()), 0);
  HINTERNET r = WinHttpOpenRequest(c, u"GET", u"/", nullptr, nullptr, nullptr, WINHTTP_FLAG_SECURE);
  ASSERT_TRUE(WinHttpSetTimeouts(r, 0, 2000, 2000, 200));
  EXPECT_FALSE(WinHttpSendRequest(r, nullptr, 0, nullptr, 0, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_WINHTTP_TIMEOUT);
  EXPECT_EQ(silent.connections(), 3);
  EXPECT_TRUE(WinHttpCloseHandle(r));
  EXPECT_TRUE(WinHttpCloseHandle(c));
  EXPECT_TRUE(WinHttpCloseHandle(s));
}

TEST_F(Request, HandlesAndCallOrder) {
  HINTERNET s = WinHttpOpen(u"t", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(WinHttpOpen(u"t", WINHTTP_ACCESS_TYPE_NAMED_PROXY, u"proxy:8080", nullptr, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  HINTERNET c = WinHttpConnect(s, u"localhost", 443, 0);
  HINTERNET r = WinHttpOpenRequest(c, u"GET", u"/", nullptr, nullptr, nullptr, WINHTTP_FLAG_SECURE);
  ASSERT_NE(r, nullptr);

  // A connection handle is not a session, a session not a request.
  EXPECT_EQ(WinHttpConnect(c, u"localhost", 443, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
  EXPECT_FALSE(WinHttpSendRequest(s, nullptr, 0, nullptr, 0, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);

  // Out of order: no response before a send, no certificate before one.
  EXPECT_FALSE(WinHttpReceiveResponse(r, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
  WINHTTP_CERTIFICATE_INFO info{};
  DWORD size = sizeof info;
  EXPECT_FALSE(WinHttpQueryOption(r, WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT, &info, &size));
  EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
  EXPECT_FALSE(WinHttpQueryOption(r, 12345, &info, &size));
  EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INVALID_OPTION);
  EXPECT_FALSE(WinHttpSetTimeouts(r, -2, 0, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // Closing the session first leaves the request usable until it is closed.
  EXPECT_TRUE(WinHttpCloseHandle(s));
  EXPECT_TRUE(WinHttpCloseHandle(c));
  EXPECT_TRUE(WinHttpCloseHandle(r));
  EXPECT_FALSE(WinHttpCloseHandle(r));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(WinHttpCloseHandle(nullptr));
}

TEST_F(Request, CertificateRecord) {
  tlstest::Leaf leaf =
      pki_->leaf("record", {{{"C", "TW"}, {"O", "Test Bank"}, {"OU", "Web"}, {"CN", "localhost"}}, {"localhost"}});
  tlstest::SServer server(leaf, *dir_);
  HINTERNET s = WinHttpOpen(u"t", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0);
  HINTERNET c = WinHttpConnect(s, u"localhost", static_cast<INTERNET_PORT>(server.port()), 0);
  HINTERNET r =
      WinHttpOpenRequest(c, u"GET", u"/a b\r\nX-Injected: 1#frag", nullptr, nullptr, nullptr, WINHTTP_FLAG_SECURE);
  ASSERT_TRUE(WinHttpSendRequest(r, nullptr, 0, nullptr, 0, 0, 0)) << GetLastError();
  ASSERT_TRUE(WinHttpReceiveResponse(r, nullptr)) << GetLastError();
  DWORD size = 3;
  WINHTTP_CERTIFICATE_INFO info{};
  EXPECT_FALSE(WinHttpQueryOption(r, WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT, &info, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(size, sizeof info);
  ASSERT_TRUE(WinHttpQueryOption(r, WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT, &info, &size));
  EXPECT_EQ(std::u16string(info.lpszSubjectInfo), u"TW\r\nTest Bank\r\nWeb\r\nlocalhost");
  EXPECT_EQ(std::u16string(info.lpszIssuerInfo), u"Test Bank\r\nTest TLS CA");
  EXPECT_EQ(info.lpszProtocolName, nullptr);
  EXPECT_GE(info.dwKeySize, 128u);
  // Valid from a day ago for 30 days.
  auto seconds = [](const FILETIME& ft) {
    return static_cast<long long>((static_cast<unsigned long long>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) /
                                  10000000ULL) -
           11644473600LL;
  };
  EXPECT_EQ((seconds(info.ftExpiry) - seconds(info.ftStart)) / 86400, 31);
  EXPECT_NEAR(static_cast<double>(seconds(info.ftStart)), static_cast<double>(time(nullptr) - 86400), 120.0);
  EXPECT_EQ(LocalFree(info.lpszSubjectInfo), nullptr);
  EXPECT_EQ(LocalFree(info.lpszIssuerInfo), nullptr);
  EXPECT_TRUE(WinHttpCloseHandle(r));
  EXPECT_TRUE(WinHttpCloseHandle(c));
  EXPECT_TRUE(WinHttpCloseHandle(s));
}

}  // namespace
