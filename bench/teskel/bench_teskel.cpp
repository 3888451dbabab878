// A page's signature through the certificate control (TeskelCtrl), against
// OpenSSL's PKCS7_sign; the set-up, the benchmarks and the ratio line are the
// signing page's (bench/common/SigningPage.h). The goal is at most 1.3.
#include "SigningPage.h"

int main(int argc, char** argv) { return bench::runSigningPage(argc, argv, {"Teskel", u"Teskel.TeskelCtrl", 1.3}); }
