// The IP Helper family over an injected interface table: which interfaces are
// listed and in what order, the records and list nodes in the caller's
// buffer, the sizes asked for and the error numbers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/iphlpapi.h"

namespace {

struct Injected {
  PlatformInterfaceTable table;
  DWORD error = ERROR_SUCCESS;
  int reads = 0;
};

DWORD source(void* context, PlatformInterfaceTable* table) {
  auto* injected = static_cast<Injected*>(context);
  ++injected->reads;
  *table = injected->table;
  return injected->error;
}

PlatformInterface iface(DWORD index, const std::string& name, bool up, std::vector<BYTE> mac,
                        std::vector<std::pair<std::string, std::string>> ipv4 = {},
                        std::vector<std::string> gateways = {}) {
  PlatformInterface i;
  i.index = index;
  i.name = name;
  i.up = up;
  i.hardwareAddress = std::move(mac);
  i.ipv4 = std::move(ipv4);
  i.gateways = std::move(gateways);
  return i;
}

class IphlpTest : public ::testing::Test {
 protected:
  void SetUp() override { PlatformSetInterfaceSource(source, &injected); }
  void TearDown() override { PlatformSetInterfaceSource(nullptr, nullptr); }

  // Reads the adapters into `buffer`; the result of the second call.
  DWORD read(std::vector<unsigned char>& buffer) {
    ULONG size = 0;
    DWORD r = GetAdaptersInfo(nullptr, &size);
    if (r != ERROR_BUFFER_OVERFLOW) return r;
    buffer.assign(size, 0xCC);
    return GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size);
  }

  Injected injected;
};

std::vector<std::string> texts(const IP_ADDR_STRING* node, bool mask = false) {
  std::vector<std::string> out;
  for (; node; node = node->Next) out.push_back(mask ? node->IpMask.String : node->IpAddress.String);
  return out;
}

const std::vector<BYTE> kMac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

}  // namespace

TEST_F(IphlpTest, ListsUpNonLoopbackInterfacesInIndexOrderWithTheirRecords) {
  PlatformInterface lo = iface(1, "lo", true, {0, 0, 0, 0, 0, 0}, {{"127.0.0.1", "255.0.0.0"}});
  lo.loopback = true;
  lo.hardwareType = 772;
  PlatformInterface tun = iface(2, "tun0", true, {});
  tun.hardwareType = 65534;
  std::vector<BYTE> longAddress(20);
  for (size_t n = 0; n < longAddress.size(); ++n) longAddress[n] = static_cast<BYTE>(0x10 + n);
  PlatformInterface ib = iface(7, "ib0", true, longAddress, {{"198.51.100.7", "255.255.255.0"}});
  ib.hardwareType = 32;
  ib.alias = "uplink";
  injected.table.interfaces = {
      iface(9, "veth9", true, kMac,
            {{"192.0.2.5", "255.255.255.0"}, {"192.0.2.6", "255.255.255.128"}, {"10.1.0.1", "255.255.0.0"}},
            {"192.0.2.1", "192.0.2.2"}),
      iface(5, "down0", false, kMac, {{"203.0.113.1", "255.255.255.0"}}), lo, ib, tun};

  std::vector<unsigned char> buffer;
  ASSERT_EQ(read(buffer), ERROR_SUCCESS);
  std::vector<const IP_ADAPTER_INFO*> adapters;
  for (auto* a = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.data()); a; a = a->Next) {
    // Every record and node lies inside the caller's buffer.
    ASSERT_GE(reinterpret_cast<const unsigned char*>(a), buffer.data());
    ASSERT_LE(reinterpret_cast<const unsigned char*>(a + 1), buffer.data() + buffer.size());
    for (auto* n = &a->IpAddressList; n; n = n->Next)
      ASSERT_LE(reinterpret_cast<const unsigned char*>(n + 1), buffer.data() + buffer.size());
    adapters.push_back(a);
  }
  ASSERT_EQ(adapters.size(), 3u);

  const IP_ADAPTER_INFO& t = *adapters[0];
  EXPECT_EQ(t.Index, 2u);
  EXPECT_STREQ(t.AdapterName, "tun0");
  EXPECT_STREQ(t.Description, "tun0");
  EXPECT_EQ(t.AddressLength, 0u);
  EXPECT_EQ(t.Type, IF_TYPE_TUNNEL);
  EXPECT_EQ(texts(&t.IpAddressList), std::vector<std::string>{"0.0.0.0"});
  EXPECT_EQ(texts(&t.IpAddressList, true), std::vector<std::string>{"0.0.0.0"});
  EXPECT_EQ(texts(&t.GatewayList), std::vector<std::string>{"0.0.0.0"});

  const IP_ADAPTER_INFO& i = *adapters[1];
  EXPECT_EQ(i.Index, 7u);
  EXPECT_STREQ(i.Description, "uplink");
  EXPECT_EQ(i.AddressLength, 8u);  // cut from 20
  EXPECT_EQ(std::vector<BYTE>(i.Address, i.Address + 8),
            std::vector<BYTE>(longAddress.begin(), longAddress.begin() + 8));
  EXPECT_EQ(i.Type, MIB_IF_TYPE_OTHER);

  const IP_ADAPTER_INFO& v = *adapters[2];
  EXPECT_EQ(v.Index, 9u);
  EXPECT_EQ(v.ComboIndex, 9u);
  EXPECT_EQ(v.Type, MIB_IF_TYPE_ETHERNET);
  EXPECT_EQ(v.AddressLength, 6u);
  EXPECT_EQ(std::memcmp(v.Address, kMac.data(), 6), 0);
  EXPECT_EQ(texts(&v.IpAddressList), (std::vector<std::string>{"192.0.2.5", "192.0.2.6", "10.1.0.1"}));
  EXPECT_EQ(texts(&v.IpAddressList, true),
            (std::vector<std::string>{"255.255.255.0", "255.255.255.128", "255.255.0.0"}));
  EXPECT_EQ(texts(&v.GatewayList), (std::vector<std::string>{"192.0.2.1", "192.0.2.2"}));
  EXPECT_EQ(v.DhcpEnabled, 0u);
  EXPECT_EQ(v.HaveWins, FALSE);
  EXPECT_STREQ(v.DhcpServer.IpAddress.String, "");
  EXPECT_STREQ(v.PrimaryWinsServer.IpAddress.String, "");
  EXPECT_EQ(v.LeaseObtained, 0);
}

TEST_F(IphlpTest, SizesAndErrorNumbers) {
  injected.table.interfaces = {
      iface(2, "a", true, kMac, {{"192.0.2.1", "255.255.255.0"}, {"192.0.2.2", "255.255.255.0"}}),
      iface(3, "b", true, kMac, {}, {"192.0.2.9", "192.0.2.10", "192.0.2.11"})};
  const ULONG needed = 2 * sizeof(IP_ADAPTER_INFO) + 3 * sizeof(IP_ADDR_STRING);

  EXPECT_EQ(GetAdaptersInfo(nullptr, nullptr), ERROR_INVALID_PARAMETER);

  struct Case {
    const char* what;
    bool withBuffer;
    ULONG size;
    DWORD result;
    ULONG sizeAfter;
  };
  const Case cases[] = {
      {"size query", false, 0, ERROR_BUFFER_OVERFLOW, needed},
      {"no buffer but a size", false, 100000, ERROR_BUFFER_OVERFLOW, needed},
      {"one byte short", true, needed - 1, ERROR_BUFFER_OVERFLOW, needed},
      {"exact", true, needed, ERROR_SUCCESS, needed},
      {"larger", true, needed + 64, ERROR_SUCCESS, needed + 64},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> buffer(needed + 64, 0xCC);
    ULONG size = c.size;
    EXPECT_EQ(GetAdaptersInfo(c.withBuffer ? reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()) : nullptr, &size),
              c.result)
        << c.what;
    EXPECT_EQ(size, c.sizeAfter) << c.what;
    if (!c.withBuffer || c.result != ERROR_SUCCESS) continue;
    // Nothing is written past the size needed.
    for (size_t n = needed; n < buffer.size(); ++n) ASSERT_EQ(buffer[n], 0xCC) << c.what;
  }

  // Nothing listed: no data, with or without a buffer, and the size untouched.
  injected.table.interfaces = {iface(1, "down", false, kMac)};
  ULONG size = 77;
  EXPECT_EQ(GetAdaptersInfo(nullptr, &size), ERROR_NO_DATA);
  std::vector<unsigned char> buffer(4096);
  EXPECT_EQ(GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size), ERROR_NO_DATA);
  EXPECT_EQ(size, 77u);

  // A table that cannot be read fails with the reader's error.
  injected.error = ERROR_NOT_SUPPORTED;
  EXPECT_EQ(GetAdaptersInfo(nullptr, &size), ERROR_NOT_SUPPORTED);
}

TEST_F(IphlpTest, PerAdapterDnsListAndItsErrors) {
  injected.table.interfaces = {iface(4, "up", true, kMac), iface(6, "down", false, kMac)};
  injected.table.dnsServers = {"192.0.2.53", "198.51.100.53", "203.0.113.53"};
  const ULONG needed = sizeof(IP_PER_ADAPTER_INFO) + 2 * sizeof(IP_ADDR_STRING);

  ULONG size = 0;
  EXPECT_EQ(GetPerAdapterInfo(4, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetPerAdapterInfo(4, nullptr, &size), ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(size, needed);
  std::vector<unsigned char> buffer(needed);
  size = needed - 1;
  EXPECT_EQ(GetPerAdapterInfo(4, reinterpret_cast<PIP_PER_ADAPTER_INFO>(buffer.data()), &size), ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(size, needed);
  ASSERT_EQ(GetPerAdapterInfo(4, reinterpret_cast<PIP_PER_ADAPTER_INFO>(buffer.data()), &size), ERROR_SUCCESS);
  auto* info = reinterpret_cast<PIP_PER_ADAPTER_INFO>(buffer.data());
  EXPECT_EQ(texts(&info->DnsServerList), injected.table.dnsServers);

  // Only listed adapters have per-adapter information.
  for (ULONG index : {6u, 5u, 0u}) {
    size = 0;
    EXPECT_EQ(GetPerAdapterInfo(index, nullptr, &size), ERROR_INVALID_PARAMETER) << index;
  }

  // No DNS servers: the embedded node alone, with an empty text.
  injected.table.dnsServers.clear();
  size = 0;
  EXPECT_EQ(GetPerAdapterInfo(4, nullptr, &size), ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(size, sizeof(IP_PER_ADAPTER_INFO));
  ASSERT_EQ(GetPerAdapterInfo(4, info, &size), ERROR_SUCCESS);
  EXPECT_EQ(texts(&info->DnsServerList), std::vector<std::string>{""});
}
