#include "TrustedPki.h"

#include <cstdlib>

#include "TestRoot.h"

namespace tlstest {

std::string certstore() { return std::string(std::getenv("BUILD_DIR")) + "/bin/certstore"; }

std::string* TrustedPkiSuite::dir_ = nullptr;
Pki* TrustedPkiSuite::pki_ = nullptr;

namespace {
// The suite's own platform root: its Root store holds this suite's CA and no
// other (a CA of an earlier suite, with the same name, would stand in the
// way of the chains the suite's cases expect).
testsupport::FreshRoot* gSuiteRoot = nullptr;
}  // namespace

void TrustedPkiSuite::SetUpTestSuite() {
  gSuiteRoot = new testsupport::FreshRoot("tls-suite");
  dir_ = new std::string(testsupport::freshDir("tls"));
  pki_ = new Pki(*dir_);
  ASSERT_EQ(testsupport::run(certstore() + " import --store Root --cert " + pki_->caPem()), 0);
}

void TrustedPkiSuite::TearDownTestSuite() {
  delete pki_;
  delete dir_;
  pki_ = nullptr;
  dir_ = nullptr;
  delete gSuiteRoot;
  gSuiteRoot = nullptr;
}

}  // namespace tlstest
