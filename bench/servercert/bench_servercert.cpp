// The host check's HTTPS step against a bare OpenSSL client.
//
// BM_Check is the server-certificate step of the host check as a control runs
// it for https://localhost:PORT/: the address split, a WinHTTP session,
// connection and secure GET (a full TLS handshake verified against the
// system's anchors and the Root store), the response's headers, the
// certificate record and the name compared with the address. BM_OpenSSL is a
// plain OpenSSL client doing the same work by hand: the name resolved, a TCP
// connection, a full handshake with SNI and host-name verification against
// the same anchors (the system's default paths plus the test CA, loaded once
// into the client context, as the platform keeps its own), the same GET
// request bytes, the response's headers read, the peer certificate's subject
// taken. Both talk to one `openssl s_server -www -tls1_3` on 127.0.0.1 with a
// 2048-bit key, so the TLS version is the same and nothing is resumed.
//
// BM_Interleaved runs the two alternately and reports each one's wall time
// and the client's CPU time per call; "ratio" is the check's wall time over
// OpenSSL's (median over repetitions), "cpu_ratio" the same for CPU time.
// The goal is a wall-time ratio of at most 1.5.
#include <benchmark/benchmark.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "Interleaved.h"
#include "TlsServer.h"
#include "ctrlkit/ServerCert.h"

namespace fs = std::filesystem;

namespace {

struct Setup {
  std::string root;
  std::unique_ptr<tlstest::Pki> pki;
  std::unique_ptr<tlstest::SServer> server;
  std::u16string url;
  SSL_CTX* ctx = nullptr;
};
Setup gSetup;

bool setUp() {
  char tmpl[] = "/tmp/servercert-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return false;
  gSetup.root = tmpl;
  setenv("PLATFORM_ROOT", tmpl, 1);
  std::string bin = fs::read_symlink("/proc/self/exe").parent_path().string();
  gSetup.pki = std::make_unique<tlstest::Pki>(gSetup.root);
  if (std::system((bin + "/certstore import --store Root --cert " + gSetup.pki->caPem() + " >/dev/null").c_str()) != 0)
    return false;
  tlstest::Leaf leaf = gSetup.pki->leaf("server", {{{"O", "Bench Bank"}, {"CN", "localhost"}}, {"localhost"}});
  gSetup.server = std::make_unique<tlstest::SServer>(leaf, gSetup.root, std::vector<std::string>{"-tls1_3"});
  std::string url = "https://localhost:" + std::to_string(gSetup.server->port()) + "/";
  gSetup.url.assign(url.begin(), url.end());

  gSetup.ctx = SSL_CTX_new(TLS_client_method());
  if (gSetup.ctx == nullptr || SSL_CTX_set_default_verify_paths(gSetup.ctx) != 1 ||
      SSL_CTX_load_verify_locations(gSetup.ctx, gSetup.pki->caPem().c_str(), nullptr) != 1)
    return false;
  SSL_CTX_set_verify(gSetup.ctx, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_session_cache_mode(gSetup.ctx, SSL_SESS_CACHE_OFF);
  return true;
}

void tearDown() {
  SSL_CTX_free(gSetup.ctx);
  gSetup.server.reset();
  gSetup.pki.reset();
  std::error_code ec;
  fs::remove_all(gSetup.root, ec);
}

bool checkOnce() {
  int number = -1;
  return ctrlkit::serverNameInAddress(gSetup.url, &number);
}

bool opensslOnce() {
  struct addrinfo hints {};
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* list = nullptr;
  std::string port = std::to_string(gSetup.server->port());
  if (getaddrinfo("localhost", port.c_str(), &hints, &list) != 0) return false;
  int fd = -1;
  for (struct addrinfo* a = list; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(list);
  if (fd < 0) return false;
  SSL* ssl = SSL_new(gSetup.ctx);
  SSL_set_fd(ssl, fd);
  SSL_set_tlsext_host_name(ssl, "localhost");
  SSL_set1_host(ssl, "localhost");
  bool ok = SSL_connect(ssl) == 1;
  if (ok) {
    std::string request = "GET / HTTP/1.1\r\nHost: localhost:" + port +
                          "\r\nUser-Agent: WinHTTP Mirvale/1.0\r\nConnection: close\r\n\r\n";
    ok = SSL_write(ssl, request.data(), static_cast<int>(request.size())) == static_cast<int>(request.size());
    std::string head;
    char buf[4096];
    while (ok && head.find("\r\n\r\n") == std::string::npos) {
      int n = SSL_read(ssl, buf, sizeof buf);
      if (n <= 0)
        ok = false;
      else
        head.append(buf, static_cast<size_t>(n));
    }
    X509* peer = SSL_get1_peer_certificate(ssl);
    ok = ok && peer != nullptr && X509_get_subject_name(peer) != nullptr;
    X509_free(peer);
  }
  SSL_free(ssl);
  close(fd);
  ERR_clear_error();
  return ok;
}

void BM_Check(benchmark::State& state) {
  for (auto _ : state)
    if (!checkOnce()) {
      state.SkipWithError("the check refused the page");
      return;
    }
}

void BM_OpenSSL(benchmark::State& state) {
  for (auto _ : state)
    if (!opensslOnce()) {
      state.SkipWithError("the OpenSSL client failed");
      return;
    }
}

void BM_Interleaved(benchmark::State& state) {
  bench::interleave(state,
                    {"check_ms",
                     [](std::string* error) {
                       if (checkOnce()) return true;
                       *error = "the check refused the page";
                       return false;
                     }},
                    {"openssl_ms",
                     [](std::string* error) {
                       if (opensslOnce()) return true;
                       *error = "the OpenSSL client failed";
                       return false;
                     }},
                    bench::Timing::WallAndCpu);
}

BENCHMARK(BM_Check)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_OpenSSL)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Interleaved)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0)
    ->UseRealTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  if (!setUp()) {
    std::fprintf(stderr, "bench_servercert: set-up failed\n");
    tearDown();
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter([](const bench::Ratios& found) {
    auto it = found.find("BM_Interleaved");
    if (it == found.end() || it->second.count("cpu_ratio") == 0) return;
    double ratio = it->second.at("ratio").value, cpuRatio = it->second.at("cpu_ratio").value;
    std::printf(
        "ratio: %.2f wall time, %.2f client CPU time (HTTPS check over OpenSSL handshake + GET, median; "
        "goal: wall time at most 1.5)\n",
        ratio, cpuRatio);
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  tearDown();
  return 0;
}
