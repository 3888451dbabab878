// Reads the kernel's interface table over a route netlink socket: one dump of
// the links, one of the IPv4 addresses and one of the IPv4 routes (for the
// default gateways). A socket is made per read, so the table is always that
// of the calling thread's current network namespace.
#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <sstream>

#include "internal.h"

namespace platform::iphlp {
namespace {

std::string dotted(const void* addr) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, addr, text, sizeof text);
  return text;
}

std::string maskOf(unsigned prefix) {
  uint32_t bits = prefix == 0 ? 0 : prefix >= 32 ? 0xFFFFFFFFu : ~((1u << (32 - prefix)) - 1);
  uint32_t net = htonl(bits);
  return dotted(&net);
}

class Socket {
 public:
  Socket() : m_fd(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {
    if (m_fd >= 0) {
      sockaddr_nl local{};
      local.nl_family = AF_NETLINK;
      if (bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(m_fd);
        m_fd = -1;
      }
    }
  }
  ~Socket() {
    if (m_fd >= 0) close(m_fd);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  bool ok() const { return m_fd >= 0; }

  // Sends one request and hands every answering message to `each` until the
  // dump ends (or, for a single request, the answer came). False on an error
  // answer or a socket failure.
  template <class Each>
  bool request(nlmsghdr* req, Each each) {
    req->nlmsg_seq = ++m_seq;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(m_fd, req, req->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) return false;
    const bool dump = (req->nlmsg_flags & NLM_F_DUMP) != 0;
    // On the heap, not thread-local: this library is loaded and unloaded
    // with the control, and a per-thread buffer of an unloaded library would
    // stay behind on every thread that used it.
    constexpr std::size_t kBufferSize = 65536;
    std::unique_ptr<char[]> held(new (std::nothrow) char[kBufferSize]);
    if (held == nullptr) return false;
    char* buffer = held.get();
    for (;;) {
      ssize_t got = recv(m_fd, buffer, kBufferSize, 0);
      if (got < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (got == 0) return false;
      int length = static_cast<int>(got);
      // The system's NLMSG_OK compares the header's unsigned length with the
      // signed remaining length.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
      for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, length); h = NLMSG_NEXT(h, length)) {
        if (h->nlmsg_seq != m_seq) continue;
        if (h->nlmsg_type == NLMSG_DONE) return true;
        if (h->nlmsg_type == NLMSG_ERROR) {
          auto* e = static_cast<nlmsgerr*>(NLMSG_DATA(h));
          return e->error == 0;
        }
        each(h);
        if (!dump) return true;
      }
#pragma GCC diagnostic pop
    }
  }

 private:
  int m_fd;
  uint32_t m_seq = 0;
};

void parseLink(nlmsghdr* h, PlatformInterface& out) {
  auto* info = static_cast<ifinfomsg*>(NLMSG_DATA(h));
  out.index = static_cast<DWORD>(info->ifi_index);
  out.up = (info->ifi_flags & IFF_UP) != 0;
  out.loopback = (info->ifi_flags & IFF_LOOPBACK) != 0;
  out.hardwareType = info->ifi_type;
  int length = static_cast<int>(IFLA_PAYLOAD(h));
  for (auto* a = IFLA_RTA(info); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
    const auto* data = static_cast<const char*>(RTA_DATA(a));
    const size_t size = RTA_PAYLOAD(a);
    switch (a->rta_type) {
      case IFLA_IFNAME: out.name.assign(data, strnlen(data, size)); break;
      case IFLA_IFALIAS: out.alias.assign(data, strnlen(data, size)); break;
      case IFLA_ADDRESS:
        out.hardwareAddress.assign(reinterpret_cast<const BYTE*>(data), reinterpret_cast<const BYTE*>(data) + size);
        break;
      default: break;
    }
  }
}

// A link request that leaves out the statistics: a link's counters are most
// of its message, and nothing here reads them.
struct LinkRequest {
  nlmsghdr header;
  ifinfomsg body;
  rtattr extMaskHeader;
  uint32_t extMask;
};

void prepare(LinkRequest& req, uint16_t flags) {
  req = {};
  req.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg)) + RTA_LENGTH(sizeof(uint32_t));
  req.header.nlmsg_type = RTM_GETLINK;
  req.header.nlmsg_flags = flags;
  req.body.ifi_family = AF_UNSPEC;
  req.extMaskHeader.rta_type = IFLA_EXT_MASK;
  req.extMaskHeader.rta_len = RTA_LENGTH(sizeof(uint32_t));
  req.extMask = RTEXT_FILTER_SKIP_STATS;
}

// A request for the kernel's whole table of one kind of message (Body), the
// body zeroed for the caller to fill.
template <class Body>
struct DumpRequest {
  nlmsghdr header{};
  Body body{};
  explicit DumpRequest(uint16_t type) {
    header.nlmsg_len = NLMSG_LENGTH(sizeof(Body));
    header.nlmsg_type = type;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  }
};

}  // namespace

bool readKernelTable(PlatformInterfaceTable& table) {
  Socket sock;
  if (!sock.ok()) return false;
  std::vector<PlatformInterface> links;
  std::map<DWORD, size_t> byIndex;

  LinkRequest links_req;
  prepare(links_req, NLM_F_REQUEST | NLM_F_DUMP);
  if (!sock.request(&links_req.header, [&](nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWLINK) return;
        PlatformInterface link;
        parseLink(h, link);
        links.push_back(std::move(link));
      }))
    return false;
  std::stable_sort(links.begin(), links.end(), [](const auto& a, const auto& b) { return a.index < b.index; });
  for (size_t i = 0; i < links.size(); ++i) byIndex[links[i].index] = i;

  DumpRequest<ifaddrmsg> addr_req(RTM_GETADDR);
  addr_req.body.ifa_family = AF_INET;
  if (!sock.request(&addr_req.header, [&](nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWADDR) return;
        auto* info = static_cast<ifaddrmsg*>(NLMSG_DATA(h));
        if (info->ifa_family != AF_INET) return;
        const void* local = nullptr;
        const void* address = nullptr;
        int length = static_cast<int>(IFA_PAYLOAD(h));
        for (auto* a = IFA_RTA(info); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
          if (RTA_PAYLOAD(a) < 4) continue;
          if (a->rta_type == IFA_LOCAL) local = RTA_DATA(a);
          if (a->rta_type == IFA_ADDRESS) address = RTA_DATA(a);
        }
        // On a point-to-point link IFA_ADDRESS is the peer; the own address is IFA_LOCAL.
        const void* own = local ? local : address;
        auto it = byIndex.find(info->ifa_index);
        if (!own || it == byIndex.end()) return;
        links[it->second].ipv4.emplace_back(dotted(own), maskOf(info->ifa_prefixlen));
      }))
    return false;

  struct Gateway {
    uint32_t metric;
    size_t order;
    DWORD index;
    std::string address;
  };
  std::vector<Gateway> gateways;
  DumpRequest<rtmsg> route_req(RTM_GETROUTE);
  route_req.body.rtm_family = AF_INET;
  if (!sock.request(&route_req.header, [&](nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWROUTE) return;
        auto* info = static_cast<rtmsg*>(NLMSG_DATA(h));
        if (info->rtm_family != AF_INET || info->rtm_dst_len != 0 || info->rtm_type != RTN_UNICAST) return;
        uint32_t table_id = info->rtm_table;
        uint32_t metric = 0;
        DWORD oif = 0;
        const void* via = nullptr;
        const rtnexthop* hops = nullptr;
        size_t hopsSize = 0;
        int length = static_cast<int>(RTM_PAYLOAD(h));
        for (auto* a = RTM_RTA(info); RTA_OK(a, length); a = RTA_NEXT(a, length)) {
          switch (a->rta_type) {
            case RTA_TABLE: table_id = *static_cast<uint32_t*>(RTA_DATA(a)); break;
            case RTA_PRIORITY: metric = *static_cast<uint32_t*>(RTA_DATA(a)); break;
            case RTA_OIF: oif = *static_cast<uint32_t*>(RTA_DATA(a)); break;
            case RTA_GATEWAY:
              if (RTA_PAYLOAD(a) >= 4) via = RTA_DATA(a);
              break;
            case RTA_MULTIPATH:
              hops = static_cast<const rtnexthop*>(RTA_DATA(a));
              hopsSize = RTA_PAYLOAD(a);
              break;
            default: break;
          }
        }
        if (table_id != RT_TABLE_MAIN) return;
        if (via && oif) gateways.push_back({metric, gateways.size(), oif, dotted(via)});
        while (hops && hopsSize >= sizeof(rtnexthop) && hops->rtnh_len >= sizeof(rtnexthop) &&
               hops->rtnh_len <= hopsSize) {
          int hopLength = hops->rtnh_len - static_cast<int>(sizeof(rtnexthop));
          for (auto* a = RTNH_DATA(hops); RTA_OK(a, hopLength); a = RTA_NEXT(a, hopLength))
            if (a->rta_type == RTA_GATEWAY && RTA_PAYLOAD(a) >= 4)
              gateways.push_back(
                  {metric, gateways.size(), static_cast<DWORD>(hops->rtnh_ifindex), dotted(RTA_DATA(a))});
          hopsSize -= RTNH_ALIGN(hops->rtnh_len);
          hops = reinterpret_cast<const rtnexthop*>(reinterpret_cast<const char*>(hops) + RTNH_ALIGN(hops->rtnh_len));
        }
      }))
    return false;
  std::stable_sort(gateways.begin(), gateways.end(),
                   [](const Gateway& a, const Gateway& b) { return a.metric < b.metric; });
  for (const auto& g : gateways) {
    auto it = byIndex.find(g.index);
    if (it != byIndex.end()) links[it->second].gateways.push_back(g.address);
  }
  table.interfaces = std::move(links);
  table.dnsServers = resolverServers();
  return true;
}

bool readKernelInterface(DWORD index, PlatformInterface& out) {
  // Two ioctls on a datagram socket: far cheaper than a link message, and
  // this runs twice for every adapter of an enumeration.
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq req{};
  req.ifr_ifindex = static_cast<int>(index);
  bool ok = ioctl(fd, SIOCGIFNAME, &req) == 0;
  if (ok) {
    out.index = index;
    out.name.assign(req.ifr_name, strnlen(req.ifr_name, sizeof req.ifr_name));
    ok = ioctl(fd, SIOCGIFFLAGS, &req) == 0;
  }
  close(fd);
  if (!ok) return false;
  out.up = (req.ifr_flags & IFF_UP) != 0;
  out.loopback = (req.ifr_flags & IFF_LOOPBACK) != 0;
  return true;
}

// /etc/resolv.conf is read again only when its identity, time or size
// changed: every adapter asks for it, twice, on each enumeration.
std::vector<std::string> resolverServers() {
  static std::mutex lock;
  static struct stat seen {};
  static bool haveSeen = false;
  static std::vector<std::string> servers;
  struct stat now {};
  const bool exists = stat("/etc/resolv.conf", &now) == 0;
  std::lock_guard<std::mutex> guard(lock);
  if (!exists) {
    haveSeen = false;
    servers.clear();
    return {};
  }
  if (haveSeen && now.st_ino == seen.st_ino && now.st_dev == seen.st_dev && now.st_size == seen.st_size &&
      now.st_mtim.tv_sec == seen.st_mtim.tv_sec && now.st_mtim.tv_nsec == seen.st_mtim.tv_nsec)
    return servers;
  std::vector<std::string> fresh;
  std::ifstream in("/etc/resolv.conf");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key, value;
    if (!(words >> key >> value) || key != "nameserver") continue;
    in_addr parsed{};
    if (inet_pton(AF_INET, value.c_str(), &parsed) == 1) fresh.push_back(dotted(&parsed));
  }
  servers = fresh;
  seen = now;
  haveSeen = true;
  return fresh;
}

}  // namespace platform::iphlp
