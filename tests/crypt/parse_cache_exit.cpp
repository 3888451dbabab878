// Helper of crypt_test: shows whether the memory the crypt family keeps for
// the certificates it parsed last is given back when the family goes (the
// family stays loaded once loaded, so that is at exit).
//
// It parses kCount large certificates and frees their contexts, so only the
// family's own keeping holds them, and registers, before the family's first
// parse, an exit handler: handlers run in reverse order, so that one runs
// after the family's clean-up and sees what is still allocated then.
// Prints "held=<bytes kept after the contexts were freed>" and, at exit,
// "left=<bytes still allocated>", both against the bytes allocated before
// the first parse. Exit status 0 once both lines are out.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CACHE_EXIT_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define CACHE_EXIT_ASAN 1
#endif

#ifdef CACHE_EXIT_ASAN
#include <cstddef>
// The sanitizer runtime's count of the bytes its allocator has handed out.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include "CertMaker.h"
#include "platform/crypt.h"

namespace {

constexpr int kCount = 32;

long long allocatedBytes() {
#ifdef CACHE_EXIT_ASAN
  return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#else
  struct mallinfo2 m = mallinfo2();
  return static_cast<long long>(m.uordblks + m.hblkhd);
#endif
}

long long gBaseline = 0;
std::vector<std::vector<unsigned char>>* gCerts = nullptr;

void reportAtExit() {
  std::printf("left=%lld\n", allocatedBytes() - gBaseline);
  std::fflush(stdout);
}

}  // namespace

int main() {
  // The certificates are made, and OpenSSL set up, before the baseline; they
  // stay allocated to the end, so they count on both sides.
  gCerts = new std::vector<std::vector<unsigned char>>();
  const std::string mailbox(8000, 'm');
  for (int i = 0; i < kCount; ++i)
    gCerts->push_back(certmaker::selfSigned({{"CN", "Cached " + std::to_string(i)}}, mailbox + "@example.com"));

  std::atexit(reportAtExit);
  gBaseline = allocatedBytes();
  for (const auto& der : *gCerts) {
    PCCERT_CONTEXT c =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (c == nullptr) {
      std::fprintf(stderr, "certificate not parsed\n");
      return 2;
    }
    CertFreeCertificateContext(c);
  }
  std::printf("held=%lld\n", allocatedBytes() - gBaseline);
  std::fflush(stdout);
  return 0;
}
