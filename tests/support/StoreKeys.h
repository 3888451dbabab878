// Keys that do not belong to their certificates, as a damaged or replaced key
// file leaves them: for the tests that make sure such a key never yields a
// signature a page could take for a good one.
#pragma once

#include <string>

namespace testsupport {

// Replaces every key file that holds the fixture's key, in the key folder of
// the platform root in use, by the key in `keyPem` (the file names, and so
// the certificates they serve, stay). Earlier imports of the same fixture
// leave files of their own, so there may be several; fails the test when
// there is none.
void replaceStoreKeyOf(const std::string& fixture, const std::string& keyPem);

// Writes to `path` (PEM) a damaged copy of the fixture's key: its public half
// (modulus and exponent) is the certificate's, but its private exponents are
// off, so every signature it makes is wrong.
void writeDamagedKey(const std::string& fixture, const std::string& path);

}  // namespace testsupport
