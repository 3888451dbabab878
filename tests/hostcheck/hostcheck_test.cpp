#include <gtest/gtest.h>

#include "ctrlkit/HostAllowList.h"
#include "platform/winhttp.h"

namespace {
// 0 allowed, 61 refused, as the controls report it.
int check(const std::u16string& url) {
  hostcheck::PageAddress page;
  if (hostcheck::splitPageAddress(url, &page) != 0) return 61;
  return hostcheck::isAllowedHost(page.host) ? 0 : 61;
}
}  // namespace

TEST(HostCheck, OnlyTheListedHostsPass) {
  struct Case {
    std::u16string url;
    int expected;
  } cases[] = {
      {u"http://localhost/", 0},
      {u"https://localhost:8443/sign.html", 0},
      {u"http://127.0.0.1:8080/", 0},
      {u"https://127.0.0.1:8443/", 0},
      {u"https://netbank.example.com.tw/", 0},
      {u"https://www.netbank.example.com.tw/login", 0},
      {u"http://10.0.0.5/", 0},
      {u"http://10.0.0.6:81/", 0},
      // Look-alikes that merely contain an entry.
      {u"http://localhost.attacker.example/", 61},
      {u"http://127.0.0.1.example/", 61},
      {u"http://10.0.0.50/", 61},
      {u"http://110.0.0.5/", 61},
      {u"http://mylocalhost/", 61},
      {u"https://evilnetbank.example.com.tw/", 61},
      {u"https://netbank.example.com.tw.evil.example/", 61},
      // The authority is read as a browser reads it.
      {u"http://evil.example#@localhost/", 61},
      {u"http://evil.example\\@localhost/", 61},
      {u"http://localhost:80@evil.example/", 61},
      {u"http://evil.example/?localhost", 61},
      // Case-sensitive, as before.
      {u"http://LOCALHOST/", 61},
      {u"https://NETBANK.example.com.tw/", 61},
      // Fullwidth look-alike letters stay themselves.
      {u"http://\uff4c\uff4f\uff43\uff41\uff4c\uff48\uff4f\uff53\uff54/", 61},
      {u"http://other.example/", 61},
      {u"", 61},
      {u"file:///C:/page.html", 61},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(check(c.url), c.expected) << std::string(c.url.begin(), c.url.end());
  }
}

TEST(HostCheck, SplitReportsTheWinHttpNumber) {
  hostcheck::PageAddress page;
  EXPECT_EQ(hostcheck::splitPageAddress(u"", &page), ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
  EXPECT_EQ(hostcheck::splitPageAddress(u"http://" + std::u16string(300, u'a'), &page), 122u);
  ASSERT_EQ(hostcheck::splitPageAddress(u"https://127.0.0.1:8443/x", &page), 0u);
  EXPECT_TRUE(page.secure);
  EXPECT_EQ(page.port, 8443);
}
