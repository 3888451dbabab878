// A page's signature through the signature control (HaldrinSignat), against
// OpenSSL's PKCS7_sign; the set-up, the benchmarks and the ratio line are the
// signing page's (bench/common/SigningPage.h). The goal is at most 1.15.
#include "SigningPage.h"

int main(int argc, char** argv) {
  return bench::runSigningPage(argc, argv, {"Haldrin", u"Haldrin.HaldrinSignat", 1.15});
}
