// Where the library's signing benchmarks find their key: the user's "MY"
// store of the platform root, or a SoftHSM2 token.
#pragma once

#include <string>
#include <vector>

#include "Fixtures.h"
#include "signlib/SignVariant.h"

namespace bench {

// Imports the identity's PKCS#12 into the user's "MY" store and gives the
// certificate in the store's Base64 (the library's, with its line ends).
bool importIntoMy(const Identity& identity, std::string* certificateBase64);

// A throwaway platform root (/tmp/<prefix>-XXXXXX) with a 2048-bit software
// key and its certificate (CN=commonName, the serial given) in "MY".
struct StoreSigner {
  std::string root;
  Identity identity;
  std::string certificateBase64;

  bool make(const std::string& prefix, const char* commonName, long serial);
};

// A store benchmark's main: the signer made, the benchmarks run and the
// ratio reported as "ratio: x (<what>; goal: at most 1.2)", the root removed.
int runStoreBenchmarks(StoreSigner& signer, const std::string& prefix, const char* commonName, long serial,
                       const char* what, int* argc, char** argv);

// A SoftHSM2 token in a throwaway root: one initialised token (label
// "bench", user PIN "1234") with a fresh 2048-bit key and its certificate
// under CKA_ID 01, written with pkcs11-tool, reached as modules/<moduleName>,
// a copy of `forwarder` (the tests' initialised-only forwarder: SoftHSM2
// alone always shows one more, uninitialised token).
struct SoftHsmToken {
  std::string root;
  std::string modulePath;
  std::string certificateBase64;
  std::vector<unsigned char> certificateDer;
  std::vector<unsigned char> modulus;

  bool make(const std::string& prefix, const char* forwarder, const char* moduleName);
};

// One whole signature of data through the token client of `variant` from an
// unloaded module (moduleName, as the token's module is reached), with the
// token's key and the digest named; the client's text in *error on failure.
bool tokenSignatureOnce(const SignVariant& variant, const SoftHsmToken& token, const char* moduleName, const char* pin,
                        const char* digest, const std::string& data, std::string* error);

// A token benchmark's main: the token made, the benchmarks run and the
// library's overhead over the bare sequence reported ("overhead: x %", the
// goal at most 10 %), the root removed.
int runTokenBenchmarks(SoftHsmToken& token, const std::string& prefix, const char* forwarder, const char* moduleName,
                       int* argc, char** argv);

}  // namespace bench
