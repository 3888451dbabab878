// GetAdaptersInfo and GetPerAdapterInfo over the interface table: the listing
// rules (platform/README.md, "iphlp") and the Windows buffer layouts, where
// every adapter record is followed by the extra list nodes it needs.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "internal.h"
#include "platform/kernel.h"

namespace {

std::mutex g_sourceLock;
PlatformInterfaceSource g_source = nullptr;
void* g_sourceContext = nullptr;

// One read of the table, from the injected source or the kernel.
DWORD readTable(PlatformInterfaceTable& table) {
  PlatformInterfaceSource source;
  void* context;
  {
    std::lock_guard<std::mutex> guard(g_sourceLock);
    source = g_source;
    context = g_sourceContext;
  }
  if (source) return source(context, &table);
  return platform::iphlp::readKernelTable(table) ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
}

bool listed(const PlatformInterface& i) { return i.up && !i.loopback && i.hardwareType != 772; }

// The listed adapters, in index order.
std::vector<const PlatformInterface*> listedOf(const PlatformInterfaceTable& table) {
  std::vector<const PlatformInterface*> out;
  for (const auto& i : table.interfaces)
    if (listed(i)) out.push_back(&i);
  std::stable_sort(out.begin(), out.end(), [](auto* a, auto* b) { return a->index < b->index; });
  return out;
}

size_t extraNodes(size_t count) { return count > 1 ? count - 1 : 0; }

size_t adapterBytes(const PlatformInterface& i) {
  return sizeof(IP_ADAPTER_INFO) + (extraNodes(i.ipv4.size()) + extraNodes(i.gateways.size())) * sizeof(IP_ADDR_STRING);
}

void copyText(char* dest, size_t size, const std::string& text) {
  const size_t n = std::min(size - 1, text.size());
  std::memcpy(dest, text.data(), n);
  dest[n] = '\0';
}

void setNode(IP_ADDR_STRING& node, const std::string& address, const std::string& mask) {
  copyText(node.IpAddress.String, sizeof node.IpAddress.String, address);
  copyText(node.IpMask.String, sizeof node.IpMask.String, mask);
}

// Fills a list whose first node is embedded; further nodes are taken from *spare.
void fillList(IP_ADDR_STRING& head, const std::vector<std::pair<std::string, std::string>>& entries,
              IP_ADDR_STRING*& spare) {
  IP_ADDR_STRING* last = &head;
  for (size_t n = 0; n < entries.size(); ++n) {
    IP_ADDR_STRING* node = n == 0 ? &head : spare++;
    if (n > 0) last->Next = node;
    setNode(*node, entries[n].first, entries[n].second);
    last = node;
  }
}

UINT typeOf(unsigned hardwareType) {
  switch (hardwareType) {
    case 1: return MIB_IF_TYPE_ETHERNET;    // ARPHRD_ETHER
    case 512: return MIB_IF_TYPE_PPP;       // ARPHRD_PPP
    case 772: return MIB_IF_TYPE_LOOPBACK;  // ARPHRD_LOOPBACK
    case 768:
    case 769:
    case 776:
    case 778:
    case 823:
    case 65534:  // ipip, ip6tnl, sit, gre, ip6gre, none
      return IF_TYPE_TUNNEL;
    default: return MIB_IF_TYPE_OTHER;
  }
}

}  // namespace

PLATFORM_API void PlatformSetInterfaceSource(PlatformInterfaceSource source, void* context) {
  std::lock_guard<std::mutex> guard(g_sourceLock);
  g_source = source;
  g_sourceContext = context;
}

PLATFORM_API DWORD PlatformReadInterfaceTable(PlatformInterfaceTable* table) {
  if (!table) return ERROR_INVALID_PARAMETER;
  *table = {};
  return platform::iphlp::readKernelTable(*table) ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
}

PLATFORM_API DWORD GetAdaptersInfo(PIP_ADAPTER_INFO AdapterInfo, PULONG SizePointer) {
  if (!SizePointer) return ERROR_INVALID_PARAMETER;
  PlatformInterfaceTable table;
  if (DWORD error = readTable(table); error != ERROR_SUCCESS) return error;
  const auto adapters = listedOf(table);
  if (adapters.empty()) return ERROR_NO_DATA;
  size_t needed = 0;
  for (auto* a : adapters) needed += adapterBytes(*a);
  if (!AdapterInfo || *SizePointer < needed) {
    *SizePointer = static_cast<ULONG>(needed);
    return ERROR_BUFFER_OVERFLOW;
  }
  std::memset(AdapterInfo, 0, needed);
  // Records first, one after another, then the extra list nodes.
  IP_ADAPTER_INFO* records = AdapterInfo;
  auto* spare = reinterpret_cast<IP_ADDR_STRING*>(records + adapters.size());
  for (size_t n = 0; n < adapters.size(); ++n) {
    const PlatformInterface& i = *adapters[n];
    IP_ADAPTER_INFO& r = records[n];
    r.Next = n + 1 < adapters.size() ? &records[n + 1] : nullptr;
    r.ComboIndex = i.index;
    copyText(r.AdapterName, sizeof r.AdapterName, i.name);
    copyText(r.Description, sizeof r.Description, i.alias.empty() ? i.name : i.alias);
    r.AddressLength = static_cast<UINT>(std::min<size_t>(i.hardwareAddress.size(), MAX_ADAPTER_ADDRESS_LENGTH));
    if (r.AddressLength > 0) std::memcpy(r.Address, i.hardwareAddress.data(), r.AddressLength);
    r.Index = i.index;
    r.Type = typeOf(i.hardwareType);
    r.DhcpEnabled = 0;
    r.CurrentIpAddress = nullptr;
    if (i.ipv4.empty())
      setNode(r.IpAddressList, "0.0.0.0", "0.0.0.0");
    else
      fillList(r.IpAddressList, i.ipv4, spare);
    if (i.gateways.empty()) {
      setNode(r.GatewayList, "0.0.0.0", "0.0.0.0");
    } else {
      std::vector<std::pair<std::string, std::string>> gw;
      for (const auto& g : i.gateways) gw.emplace_back(g, "255.255.255.255");
      fillList(r.GatewayList, gw, spare);
    }
    r.HaveWins = FALSE;
    r.LeaseObtained = 0;
    r.LeaseExpires = 0;
  }
  return ERROR_SUCCESS;
}

PLATFORM_API DWORD GetPerAdapterInfo(ULONG IfIndex, PIP_PER_ADAPTER_INFO pPerAdapterInfo, PULONG pOutBufLen) {
  if (!pOutBufLen) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> dns;
  bool known = false;
  PlatformInterfaceSource source;
  {
    std::lock_guard<std::mutex> guard(g_sourceLock);
    source = g_source;
  }
  if (source) {
    PlatformInterfaceTable table;
    if (DWORD error = readTable(table); error != ERROR_SUCCESS) return error;
    for (const auto& i : table.interfaces)
      if (i.index == IfIndex && listed(i)) known = true;
    dns = table.dnsServers;
  } else {
    // One link asked by index, not the whole table: this runs for every adapter.
    PlatformInterface i;
    known = platform::iphlp::readKernelInterface(IfIndex, i) && listed(i);
    if (known) dns = platform::iphlp::resolverServers();
  }
  if (!known) return ERROR_INVALID_PARAMETER;
  const size_t needed = sizeof(IP_PER_ADAPTER_INFO) + extraNodes(dns.size()) * sizeof(IP_ADDR_STRING);
  if (!pPerAdapterInfo || *pOutBufLen < needed) {
    *pOutBufLen = static_cast<ULONG>(needed);
    return ERROR_BUFFER_OVERFLOW;
  }
  std::memset(pPerAdapterInfo, 0, needed);
  auto* spare = reinterpret_cast<IP_ADDR_STRING*>(pPerAdapterInfo + 1);
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& d : dns) entries.emplace_back(d, "");
  fillList(pPerAdapterInfo->DnsServerList, entries, spare);
  return ERROR_SUCCESS;
}
