// Prints what GetAdaptersInfo and GetPerAdapterInfo report, as JSON, for the
// namespace tests to compare with the kernel's view through `ip -j`.
// Exit 0, with {"result": <error number>, "adapters": [...]}.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/iphlpapi.h"

namespace {

std::string quoted(const char* s) {
  std::string out = "\"";
  for (; *s; ++s) {
    if (*s == '"' || *s == '\\') out += '\\';
    out += *s;
  }
  return out + "\"";
}

std::string list(const IP_ADDR_STRING* node, bool withMask) {
  std::string out = "[";
  for (; node; node = node->Next) {
    if (out.size() > 1) out += ",";
    out += withMask ? "[" + quoted(node->IpAddress.String) + "," + quoted(node->IpMask.String) + "]"
                    : quoted(node->IpAddress.String);
  }
  return out + "]";
}

}  // namespace

int main() {
  ULONG size = 0;
  DWORD result = GetAdaptersInfo(nullptr, &size);
  std::vector<unsigned char> buffer;
  if (result == ERROR_BUFFER_OVERFLOW) {
    buffer.assign(size, 0);
    result = GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size);
  }
  std::printf("{\"result\": %u, \"adapters\": [", result);
  if (result == ERROR_SUCCESS) {
    bool first = true;
    for (auto* a = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()); a; a = a->Next) {
      std::string mac;
      for (UINT n = 0; n < a->AddressLength; ++n) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%s%02x", n ? ":" : "", a->Address[n]);
        mac += hex;
      }
      ULONG perSize = 0;
      std::string dns = "null";
      DWORD per = GetPerAdapterInfo(a->Index, nullptr, &perSize);
      if (per == ERROR_BUFFER_OVERFLOW) {
        std::vector<unsigned char> perBuffer(perSize);
        auto* info = reinterpret_cast<PIP_PER_ADAPTER_INFO>(perBuffer.data());
        if (GetPerAdapterInfo(a->Index, info, &perSize) == ERROR_SUCCESS) {
          dns = "[";
          for (auto* d = &info->DnsServerList; d; d = d->Next)
            if (d->IpAddress.String[0]) dns += std::string(dns.size() > 1 ? "," : "") + quoted(d->IpAddress.String);
          dns += "]";
        }
      }
      std::printf(
          "%s{\"index\": %u, \"name\": %s, \"description\": %s, \"type\": %u, \"mac\": \"%s\", "
          "\"addressLength\": %u, \"ipv4\": %s, \"gateways\": %s, \"dns\": %s}",
          first ? "" : ", ", a->Index, quoted(a->AdapterName).c_str(), quoted(a->Description).c_str(), a->Type,
          mac.c_str(), a->AddressLength, list(&a->IpAddressList, true).c_str(), list(&a->GatewayList, false).c_str(),
          dns.c_str());
      first = false;
    }
  }
  std::printf("]}\n");
  return 0;
}
