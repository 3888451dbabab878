// The kernel's side of the IP Helper family.
#pragma once

#include "platform/iphlpapi.h"

namespace platform::iphlp {
// The whole interface table: links, their IPv4 addresses and default gateways
// over one route netlink socket. False when the kernel could not be asked.
bool readKernelTable(PlatformInterfaceTable& table);
// One interface by index (no addresses, no gateways). False when there is no
// such interface or the kernel could not be asked.
bool readKernelInterface(DWORD index, PlatformInterface& out);
// The IPv4 "nameserver" entries of /etc/resolv.conf, in file order.
std::vector<std::string> resolverServers();
}  // namespace platform::iphlp
