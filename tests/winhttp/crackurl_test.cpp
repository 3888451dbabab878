#include <gtest/gtest.h>

#include <string>

#include "platform/kernel.h"
#include "platform/winhttp.h"

namespace {
struct Cracked {
  BOOL ok;
  DWORD error;
  std::u16string host;
  INTERNET_SCHEME scheme;
  INTERNET_PORT port;
  std::u16string path;
  std::u16string extra;
  std::u16string user;
};

Cracked crack(const std::u16string& url, DWORD hostBuffer = 256) {
  std::u16string host(hostBuffer, u'\0');
  URL_COMPONENTS uc{};
  uc.dwStructSize = sizeof uc;
  uc.lpszHostName = host.data();
  uc.dwHostNameLength = hostBuffer;
  uc.dwSchemeLength = static_cast<DWORD>(-1);
  uc.dwUrlPathLength = static_cast<DWORD>(-1);
  uc.dwExtraInfoLength = static_cast<DWORD>(-1);
  uc.dwUserNameLength = static_cast<DWORD>(-1);
  Cracked c{};
  c.ok = WinHttpCrackUrl(url.c_str(), 0, 0, &uc);
  c.error = c.ok ? 0 : GetLastError();
  if (c.ok) {
    c.host.assign(host.c_str(), uc.dwHostNameLength);
    c.scheme = uc.nScheme;
    c.port = uc.nPort;
    c.path.assign(uc.lpszUrlPath, uc.dwUrlPathLength);
    c.extra.assign(uc.lpszExtraInfo, uc.dwExtraInfoLength);
    if (uc.lpszUserName != nullptr) c.user.assign(uc.lpszUserName, uc.dwUserNameLength);
  }
  return c;
}
}  // namespace

TEST(CrackUrl, SplitsAsABrowserReadsTheAddress) {
  struct Case {
    std::u16string url;
    std::u16string host;
    INTERNET_SCHEME scheme;
    INTERNET_PORT port;
    std::u16string path;
    std::u16string extra;
  } cases[] = {
      {u"http://localhost/", u"localhost", INTERNET_SCHEME_HTTP, 80, u"/", u""},
      {u"https://127.0.0.1:8443/bank/sign.html?x=1#top", u"127.0.0.1", INTERNET_SCHEME_HTTPS, 8443, u"/bank/sign.html",
       u"?x=1#top"},
      {u"HTTP://LocalHost", u"LocalHost", INTERNET_SCHEME_HTTP, 80, u"", u""},
      {u"http://evil.example#@localhost/", u"evil.example", INTERNET_SCHEME_HTTP, 80, u"", u"#@localhost/"},
      {u"http://evil.example\\@localhost/", u"evil.example", INTERNET_SCHEME_HTTP, 80, u"\\@localhost/", u""},
      {u"http://localhost:80@evil.example/", u"evil.example", INTERNET_SCHEME_HTTP, 80, u"/", u""},
      {u"http://a@b@evil.example/", u"evil.example", INTERNET_SCHEME_HTTP, 80, u"/", u""},
      {u"http://evil.example?@localhost", u"evil.example", INTERNET_SCHEME_HTTP, 80, u"", u"?@localhost"},
      {u"https://[::1]:9443/", u"[::1]", INTERNET_SCHEME_HTTPS, 9443, u"/", u""},
  };
  for (const auto& c : cases) {
    Cracked got = crack(c.url);
    ASSERT_TRUE(got.ok) << std::string(c.url.begin(), c.url.end()) << " error " << got.error;
    EXPECT_EQ(got.host, c.host);
    EXPECT_EQ(got.scheme, c.scheme);
    EXPECT_EQ(got.port, c.port);
    EXPECT_EQ(got.path, c.path);
    EXPECT_EQ(got.extra, c.extra);
  }
  EXPECT_EQ(crack(u"http://user:pw@localhost/").user, u"user");
}

TEST(CrackUrl, RefusesWithTheDocumentedNumbers) {
  struct Case {
    std::u16string url;
    DWORD error;
  } cases[] = {
      {u"", ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
      {u"localhost", ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
      {u"file:///C:/page.html", ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
      {u"ftp://localhost/", ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
      {u"about:blank", ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
      {u"http:localhost", ERROR_WINHTTP_INVALID_URL},
      {u"http:///path", ERROR_WINHTTP_INVALID_URL},
      {u"http://localhost:99999/", ERROR_WINHTTP_INVALID_URL},
      {u"http://localhost:8x/", ERROR_WINHTTP_INVALID_URL},
      {u"http://[::1/", ERROR_WINHTTP_INVALID_URL},
      {u"http://" + std::u16string(256, u'a') + u"/", ERROR_INSUFFICIENT_BUFFER},
  };
  for (const auto& c : cases) {
    Cracked got = crack(c.url);
    EXPECT_FALSE(got.ok) << std::string(c.url.begin(), c.url.end());
    EXPECT_EQ(got.error, c.error) << std::string(c.url.begin(), c.url.end());
  }
  EXPECT_TRUE(crack(u"http://" + std::u16string(255, u'a') + u"/").ok);
}
