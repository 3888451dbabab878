// The hosts whose pages may drive the signing members, the PIN pad and the
// adapter report, and the test every control runs on its page's address.
#pragma once

#include <string>

#include "platform/wintypes.h"

namespace hostcheck {

// Tried in this order: the bank's internet-banking host, the loopback
// address, the loopback name, and two addresses of the bank's test network.
inline constexpr const char* kHostAllowList[5] = {
    "netbank.example.com.tw", "127.0.0.1", "localhost", "10.0.0.5", "10.0.0.6",
};

// True when the host is one of the entries. Addresses and "localhost" must be
// the whole host; the bank's name may also be the end of a longer name that
// begins a label ("www.netbank.example.com.tw"). Case-sensitive. A host that
// merely contains an entry ("localhost.attacker.example", "10.0.0.50") is not
// the entry's host.
bool isAllowedHost(const std::u16string& host);

struct PageAddress {
  std::u16string host;
  bool secure = false;  // https
  unsigned short port = 0;
};

// Splits the page address with WinHttpCrackUrl (256-character host buffer).
// Returns 0, or the platform's error number when the address does not split.
DWORD splitPageAddress(const std::u16string& url, PageAddress* out);

}  // namespace hostcheck
