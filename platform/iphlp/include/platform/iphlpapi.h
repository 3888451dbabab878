// IP Helper family: the adapter table (GetAdaptersInfo) and the per-adapter
// DNS list (GetPerAdapterInfo), read from the kernel's interface table.
//
// Which interfaces are listed and what each field holds is written down in
// platform/README.md ("iphlp").
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "platform/wintypes.h"

constexpr DWORD ERROR_BUFFER_OVERFLOW = 111;
constexpr DWORD ERROR_NO_DATA = 232;

#define MAX_ADAPTER_DESCRIPTION_LENGTH 128
#define MAX_ADAPTER_NAME_LENGTH 256
#define MAX_ADAPTER_ADDRESS_LENGTH 8

// Interface types reported in IP_ADAPTER_INFO::Type.
constexpr UINT MIB_IF_TYPE_OTHER = 1;
constexpr UINT MIB_IF_TYPE_ETHERNET = 6;
constexpr UINT MIB_IF_TYPE_PPP = 23;
constexpr UINT MIB_IF_TYPE_LOOPBACK = 24;
constexpr UINT IF_TYPE_TUNNEL = 131;

struct IP_ADDRESS_STRING {
  char String[4 * 4];
};
using PIP_ADDRESS_STRING = IP_ADDRESS_STRING*;
using IP_MASK_STRING = IP_ADDRESS_STRING;
using PIP_MASK_STRING = IP_MASK_STRING*;

struct IP_ADDR_STRING {
  IP_ADDR_STRING* Next;
  IP_ADDRESS_STRING IpAddress;
  IP_MASK_STRING IpMask;
  DWORD Context;
};
using PIP_ADDR_STRING = IP_ADDR_STRING*;

struct IP_ADAPTER_INFO {
  IP_ADAPTER_INFO* Next;
  DWORD ComboIndex;
  char AdapterName[MAX_ADAPTER_NAME_LENGTH + 4];
  char Description[MAX_ADAPTER_DESCRIPTION_LENGTH + 4];
  UINT AddressLength;
  BYTE Address[MAX_ADAPTER_ADDRESS_LENGTH];
  DWORD Index;
  UINT Type;
  UINT DhcpEnabled;
  PIP_ADDR_STRING CurrentIpAddress;
  IP_ADDR_STRING IpAddressList;
  IP_ADDR_STRING GatewayList;
  IP_ADDR_STRING DhcpServer;
  BOOL HaveWins;
  IP_ADDR_STRING PrimaryWinsServer;
  IP_ADDR_STRING SecondaryWinsServer;
  std::time_t LeaseObtained;
  std::time_t LeaseExpires;
};
using PIP_ADAPTER_INFO = IP_ADAPTER_INFO*;

struct IP_PER_ADAPTER_INFO {
  UINT AutoconfigEnabled;
  UINT AutoconfigActive;
  PIP_ADDR_STRING CurrentDnsServer;
  IP_ADDR_STRING DnsServerList;
};
using PIP_PER_ADAPTER_INFO = IP_PER_ADAPTER_INFO*;
using PULONG = ULONG*;

// The listed adapters in one chain inside the caller's buffer. No buffer, or
// one smaller than needed: ERROR_BUFFER_OVERFLOW with the size needed in
// *SizePointer. No adapter listed: ERROR_NO_DATA. SizePointer NULL:
// ERROR_INVALID_PARAMETER. The table could not be read: ERROR_NOT_SUPPORTED
// (or the injected source's error).
PLATFORM_API DWORD GetAdaptersInfo(PIP_ADAPTER_INFO AdapterInfo, PULONG SizePointer);
// The DNS servers of one listed adapter. pOutBufLen NULL, or an index that is
// not a listed adapter: ERROR_INVALID_PARAMETER; too small: ERROR_BUFFER_OVERFLOW
// with the size needed.
PLATFORM_API DWORD GetPerAdapterInfo(ULONG IfIndex, PIP_PER_ADAPTER_INFO pPerAdapterInfo, PULONG pOutBufLen);

// ---- test seam: an injected interface table ----
// One interface as the kernel describes it; the listing rules are applied to
// it as to the kernel's own table.
struct PlatformInterface {
  DWORD index = 0;
  std::string name;
  std::string alias;  // description when set
  bool up = false;    // administratively up
  bool loopback = false;
  unsigned hardwareType = 1;                              // ARPHRD_* (1 Ethernet, 65534 none, 772 loopback)
  std::vector<BYTE> hardwareAddress;                      // whole, before the cut to 8 bytes
  std::vector<std::pair<std::string, std::string>> ipv4;  // (address, mask), in the kernel's order
  std::vector<std::string> gateways;                      // default-route gateways through this interface
};
struct PlatformInterfaceTable {
  std::vector<PlatformInterface> interfaces;
  std::vector<std::string> dnsServers;
};
// Called once for every read of the table (each GetAdaptersInfo and
// GetPerAdapterInfo call); returns ERROR_SUCCESS or the error the call then
// fails with. A null source restores the kernel's table.
using PlatformInterfaceSource = DWORD (*)(void* context, PlatformInterfaceTable* table);
PLATFORM_API void PlatformSetInterfaceSource(PlatformInterfaceSource source, void* context);
// The kernel's interface table as the family reads it (before the listing rules).
PLATFORM_API DWORD PlatformReadInterfaceTable(PlatformInterfaceTable* table);
