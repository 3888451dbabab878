// A page's adapter line through the network-address control, against the C
// library's own interface list.
//
// The benchmark runs in a network namespace it makes (re-running itself under
// `unshare -n` as root, else `unshare -rn`) with 40 veth pairs: 80 interfaces
// up, each with an IPv4 address. BM_Pellmar is getIP_MAC through
// IDispatch::Invoke on a registered FetchMAC placed on http://localhost/.
// BM_Getifaddrs is what the control's work comes to with nothing to spare:
// the control reads the table twice, each time after a size query, and caches
// nothing, so four getifaddrs calls, then the same line formatted from the
// last one.
//
// BM_Interleaved runs the two alternately and measures each one's process CPU
// time (the kernel's share included); "ratio" at the end is the median over
// its repetitions of the control's time over getifaddrs'. The goal is at most 1.5.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/kernel.h"

#include "ControlPage.h"
#include "Fixtures.h"
#include "Interleaved.h"

namespace fs = std::filesystem;

namespace {

struct Setup {
  std::string root;
  bench::ControlPage control;
};
Setup gSetup;

// Runs the benchmark again inside a new network namespace, once.
void enterNamespace(char** argv) {
  if (getenv("PELLMAR_BENCH_NETNS") != nullptr) return;
  setenv("PELLMAR_BENCH_NETNS", "1", 1);
  std::string self = fs::read_symlink("/proc/self/exe").string();
  const char* flags = geteuid() == 0 && std::system("unshare -n true 2>/dev/null") == 0 ? "-n" : "-rn";
  std::vector<char*> args = {const_cast<char*>("unshare"), const_cast<char*>(flags), self.data()};
  for (char** a = argv + 1; *a != nullptr; ++a) args.push_back(*a);
  args.push_back(nullptr);
  execvp("unshare", args.data());
  std::fprintf(stderr, "cannot make a network namespace (unshare): the benchmark needs one\n");
  std::exit(1);
}

bool makeInterfaces() {
  std::string batch = gSetup.root + "/links.batch";
  std::ofstream out(batch);
  for (int n = 0; n < 40; ++n) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02x", n);
    out << "link add a" << n << " type veth peer name b" << n << "\n"
        << "link set a" << n << " address 02:00:00:00:" << hex << ":01\n"
        << "link set b" << n << " address 02:00:00:00:" << hex << ":02\n"
        << "addr add 10." << n << ".0.1/24 dev a" << n << "\n"
        << "addr add 10." << n << ".0.2/24 dev b" << n << "\n"
        << "link set a" << n << " up\nlink set b" << n << " up\n";
  }
  out.close();
  return std::system(("ip -batch " + batch).c_str()) == 0;
}

bool setUp() {
  gSetup.root = bench::makeRoot("pellmar-bench");
  return !gSetup.root.empty() && makeInterfaces() && gSetup.control.open("Pellmar.so", u"Pellmar.FetchMAC");
}

void tearDown() {
  gSetup.control.close();
  bench::removeRoot(gSetup.root);
}

// getIP_MAC as a script engine calls it. The line, or "" on a failure.
std::string pellmarOnce(bool* ok) {
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = gSetup.control.invoke(1, {}, &result, DISPATCH_METHOD);
  *ok = hr == S_OK && result.vt == VT_BSTR && result.bstrVal != nullptr;
  std::string line;
  if (*ok)
    for (UINT n = 0; n < SysStringLen(result.bstrVal); ++n) line.push_back(static_cast<char>(result.bstrVal[n]));
  VariantClear(&result);
  return line;
}

// The same line from getifaddrs: up, non-loopback interfaces in index order,
// hardware address, ":", IPv4 addresses joined by ","; "_" between; 1023 bytes.
std::string getifaddrsOnce(bool* ok) {
  ifaddrs* list = nullptr;
  for (int n = 0; n < 4; ++n) {
    if (list != nullptr) freeifaddrs(list);
    if (getifaddrs(&list) != 0) {
      *ok = false;
      return {};
    }
  }
  struct Adapter {
    std::string mac;
    std::string addresses;
  };
  std::map<unsigned, Adapter> byIndex;
  std::map<std::string, unsigned> indexOf;
  for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_PACKET) continue;
    if (!(a->ifa_flags & IFF_UP) || (a->ifa_flags & IFF_LOOPBACK)) continue;
    auto* ll = reinterpret_cast<sockaddr_ll*>(a->ifa_addr);
    Adapter& adapter = byIndex[static_cast<unsigned>(ll->sll_ifindex)];
    for (int n = 0; n < ll->sll_halen && n < 8; ++n) {
      char pair[4];
      std::snprintf(pair, sizeof pair, "%02X", ll->sll_addr[n]);
      if (n > 0) adapter.mac += '-';
      adapter.mac += pair;
    }
    indexOf[a->ifa_name] = static_cast<unsigned>(ll->sll_ifindex);
  }
  for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    auto it = indexOf.find(a->ifa_name);
    if (it == indexOf.end()) continue;
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
    std::string& addresses = byIndex[it->second].addresses;
    if (!addresses.empty()) addresses += ',';
    addresses += text;
  }
  freeifaddrs(list);
  std::string line;
  for (const auto& [index, adapter] : byIndex) {
    if (!line.empty()) line += '_';
    line += adapter.mac + ":" + (adapter.addresses.empty() ? "0.0.0.0" : adapter.addresses);
  }
  if (line.size() > 1023) line.resize(1023);
  *ok = true;
  return line;
}

// A side of one line's making; the line is kept from the optimiser.
bench::Side side(const char* counter, std::string (*once)(bool*), const char* failure) {
  return bench::plainSide(
      counter,
      [once] {
        bool ok = false;
        benchmark::DoNotOptimize(once(&ok));
        return ok;
      },
      failure);
}

void BM_Pellmar(benchmark::State& state) { bench::repeat(state, side("pellmar_ms", pellmarOnce, "getIP_MAC failed")); }

void BM_Getifaddrs(benchmark::State& state) {
  bench::repeat(state, side("getifaddrs_ms", getifaddrsOnce, "getifaddrs failed"));
}

void BM_Interleaved(benchmark::State& state) {
  bench::interleave(state, side("pellmar_ms", pellmarOnce, "a call failed"),
                    side("getifaddrs_ms", getifaddrsOnce, "a call failed"));
}

BENCHMARK(BM_Pellmar)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_Getifaddrs)->Unit(benchmark::kMicrosecond)->MinTime(1.0);
BENCHMARK(BM_Interleaved)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->Repetitions(3)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  enterNamespace(argv);
  benchmark::Initialize(&argc, argv);
  if (!setUp()) {
    std::fprintf(stderr, "set-up failed\n");
    tearDown();
    return 1;
  }
  bool ok1 = false, ok2 = false;
  const std::string a = pellmarOnce(&ok1), b = getifaddrsOnce(&ok2);
  if (!ok1 || !ok2 || a != b || a.size() != 1023) {
    std::fprintf(stderr, "the two lines differ:\n%s\n%s\n", a.c_str(), b.c_str());
    tearDown();
    return 1;
  }
  bench::RatioReporter reporter([](double ratio) {
    std::printf("getIP_MAC with 80 interfaces / four getifaddrs + formatting: ratio %.2f (goal at most 1.5)\n", ratio);
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  tearDown();
  return 0;
}
