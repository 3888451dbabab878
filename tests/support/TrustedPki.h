// A test suite whose TLS test PKI is trusted: its CA in the user's Root store.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "TlsServer.h"

namespace tlstest {

// The certstore tool of this build.
std::string certstore();

// A suite whose test PKI (in a fresh folder) has its CA in the user's Root
// store, imported with the certstore tool once for the suite.
class TrustedPkiSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  static std::string* dir_;
  static Pki* pki_;
};

}  // namespace tlstest
