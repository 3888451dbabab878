#include "TrustedPki.h"

#include <cstdlib>

#include "TestRoot.h"

namespace tlstest {

std::string certstore() { return std::string(std::getenv("BUILD_DIR")) + "/bin/certstore"; }

std::string* TrustedPkiSuite::dir_ = nullptr;
Pki* TrustedPkiSuite::pki_ = nullptr;

void TrustedPkiSuite::SetUpTestSuite() {
  dir_ = new std::string(testsupport::freshDir("tls"));
  pki_ = new Pki(*dir_);
  ASSERT_EQ(testsupport::run(certstore() + " import --store Root --cert " + pki_->caPem()), 0);
}

void TrustedPkiSuite::TearDownTestSuite() {
  delete pki_;
  delete dir_;
  pki_ = nullptr;
  dir_ = nullptr;
}

}  // namespace tlstest
