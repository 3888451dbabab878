// Keys that do not belong to their certificates, as a damaged or replaced key
// file leaves them: for the tests that make sure such a key never yields a
// signature a page could take for a good one.
#pragma once

#include <string>

namespace testsupport {

// Replaces the key file that holds the fixture's key, in the platform root's
// key folder, by the key in `keyPem` (the file name, and so the certificate
// it serves, stay). Fails the test unless exactly one file held it. The key
// folder is that of the platform root in use.
void replaceStoreKeyOf(const std::string& fixture, const std::string& keyPem);

// Writes to `path` (PEM) a damaged copy of the fixture's key: its public half
// (modulus and exponent) is the certificate's, but its private exponents are
// off, so every signature it makes is wrong.
void writeDamagedKey(const std::string& fixture, const std::string& path);

}  // namespace testsupport
