#include "AdapterInfo.h"

#include <cstdio>
#include <memory>

#include "platform/locale.h"

namespace {

std::u16string wide(const char* text, std::size_t limit) {
  std::size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  if (length == 0) return {};
  int size = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
  if (size <= 0) return {};
  std::u16string out(static_cast<std::size_t>(size), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), out.data(), size);
  return out;
}

template <std::size_t N>
std::u16string wide(const char (&text)[N]) {
  return wide(text, N);
}

// Zeroed memory, freed on every path.
struct Block {
  explicit Block(ULONG size) : data(new unsigned char[size]()) {}
  std::unique_ptr<unsigned char[]> data;
};

}  // namespace

int CAdapterInfo::fill(const IP_ADAPTER_INFO& entry) {
  adapterName = wide(entry.AdapterName);
  description = wide(entry.Description);
  primaryWinsServer = wide(entry.PrimaryWinsServer.IpAddress.String);
  secondaryWinsServer = wide(entry.SecondaryWinsServer.IpAddress.String);
  dhcpServer = wide(entry.DhcpServer.IpAddress.String);
  index = entry.Index;
  type = entry.Type;
  dhcpEnabled = entry.DhcpEnabled;
  haveWins = static_cast<std::uint32_t>(entry.HaveWins);
  leaseObtained = entry.LeaseObtained;
  leaseExpires = entry.LeaseExpires;
  hardwareAddressLength =
      entry.AddressLength <= MAX_ADAPTER_ADDRESS_LENGTH ? entry.AddressLength : MAX_ADAPTER_ADDRESS_LENGTH;
  for (std::uint32_t n = 0; n < hardwareAddressLength; ++n) hardwareAddress[n] = entry.Address[n];
  for (const IP_ADDR_STRING* node = &entry.IpAddressList; node; node = node->Next)
    ipAddresses.emplace_back(wide(node->IpAddress.String), wide(node->IpMask.String));
  for (const IP_ADDR_STRING* node = &entry.GatewayList; node; node = node->Next)
    gateways.push_back(wide(node->IpAddress.String));

  ULONG size = 0;
  if (GetPerAdapterInfo(entry.Index, nullptr, &size) != ERROR_BUFFER_OVERFLOW) return 0;
  Block block(size);
  auto* info = reinterpret_cast<IP_PER_ADAPTER_INFO*>(block.data.get());
  if (GetPerAdapterInfo(entry.Index, info, &size) != ERROR_SUCCESS) return 0;
  for (const IP_ADDR_STRING* node = &info->DnsServerList; node; node = node->Next)
    if (node->IpAddress.String[0] != '\0') dnsServers.push_back(wide(node->IpAddress.String));
  return 1;
}

std::u16string CAdapterInfo::getMACAddress() const {
  std::u16string out;
  for (std::uint32_t n = 0; n < hardwareAddressLength; ++n) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X", hardwareAddress[n]);
    if (n > 0) out.push_back(u'-');
    out.push_back(static_cast<char16_t>(pair[0]));
    out.push_back(static_cast<char16_t>(pair[1]));
  }
  return out;
}

std::u16string CAdapterInfo::getIPAddress(int n) const {
  if (n < 0 || n >= getIPAddressCount()) return {};
  return ipAddresses[static_cast<std::size_t>(n)].first;
}

int getAdaptersInfoList(CAdapterInfo* records, std::size_t bytes, std::size_t* needed) {
  *needed = 0;
  ULONG size = 0;
  DWORD result = GetAdaptersInfo(nullptr, &size);
  if (result == ERROR_NO_DATA) return 0;
  // A size query can only answer "too small"; anything else is a failure,
  // and a success here would mean a list the buffer cannot have held.
  if (result != ERROR_BUFFER_OVERFLOW) return static_cast<int>(result == ERROR_SUCCESS ? ERROR_INVALID_DATA : result);
  Block block(size);
  auto* list = reinterpret_cast<IP_ADAPTER_INFO*>(block.data.get());
  result = GetAdaptersInfo(list, &size);
  if (result != ERROR_SUCCESS) return static_cast<int>(result);
  std::size_t count = 0;
  for (const IP_ADAPTER_INFO* a = list; a; a = a->Next) ++count;
  *needed = count * sizeof(CAdapterInfo);
  if (bytes < *needed) return static_cast<int>(ERROR_INSUFFICIENT_BUFFER);
  std::size_t n = 0;
  for (const IP_ADAPTER_INFO* a = list; a; a = a->Next) records[n++].fill(*a);
  return 0;
}
