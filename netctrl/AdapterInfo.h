// CAdapterInfo: one network adapter as the IP Helper reports it, and the
// enumeration that fills a caller's records from GetAdaptersInfo.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/iphlpapi.h"

class CAdapterInfo {
 public:
  CAdapterInfo() = default;

  // Copies one entry of GetAdaptersInfo and asks GetPerAdapterInfo for the
  // adapter's DNS servers. 1 when those were read, else 0 (the DNS list then
  // stays empty).
  int fill(const IP_ADAPTER_INFO& entry);

  // "%02X" bytes joined by "-"; empty for a zero-length address.
  std::u16string getMACAddress() const;
  int getIPAddressCount() const { return static_cast<int>(ipAddresses.size()); }
  // The address of pair `index`, or an empty text when out of range.
  std::u16string getIPAddress(int index) const;

  std::u16string adapterName;
  std::u16string description;
  std::u16string primaryWinsServer;
  std::u16string secondaryWinsServer;
  std::u16string dhcpServer;
  std::uint32_t index = 0;
  std::uint32_t type = 0;
  std::uint32_t dhcpEnabled = 0;
  std::uint32_t haveWins = 0;
  std::vector<std::u16string> dnsServers;
  std::vector<std::pair<std::u16string, std::u16string>> ipAddresses;  // (address, mask)
  std::vector<std::u16string> gateways;
  std::int64_t leaseObtained = 0;
  std::int64_t leaseExpires = 0;
  unsigned char hardwareAddress[MAX_ADAPTER_ADDRESS_LENGTH] = {};
  std::uint32_t hardwareAddressLength = 0;
};

// Reads the adapter list (size query, then the read) and fills `records` in
// list order. `bytes` is the size of `records` in bytes (0 with no records);
// *needed receives the bytes that one record per adapter takes.
// Returns 0 (no adapters: *needed 0), ERROR_INSUFFICIENT_BUFFER (122) when
// `bytes` is smaller than *needed, or the platform's error number of a read
// that failed (ERROR_BUFFER_OVERFLOW when the list grew between the size
// query and the read).
int getAdaptersInfoList(CAdapterInfo* records, std::size_t bytes, std::size_t* needed);
