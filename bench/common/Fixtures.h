// What the signing benchmarks set up before they time anything: a throwaway
// platform root, a software key with its self-signed certificate made with
// OpenSSL, and OpenSSL's own PKCS7_sign as the reference side.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

namespace bench {

// A fresh folder /tmp/<prefix>-XXXXXX made the platform root (PLATFORM_ROOT);
// "" when it cannot be made.
std::string makeRoot(const std::string& prefix);
void removeRoot(const std::string& root);

// `command` through the shell, its output dropped; true when it exits with 0.
bool sh(const std::string& command);
std::string readAll(const std::string& path);
// `s` in single quotes for the shell.
std::string quote(const std::string& s);

// A 2048-bit RSA key and its self-signed certificate (C=TW, O=Bench Bank,
// CN=`commonName`, key usage for signing), valid from yesterday for a year.
struct Identity {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;

  Identity() = default;
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;
  ~Identity();

  bool make(const char* commonName, long serial);
  // The key and certificate as a PKCS#12 with the password "bench".
  std::vector<unsigned char> pkcs12() const;
  bool writePkcs12(const std::string& path) const;
  // The certificate's DER in Base64, on one line.
  std::string certificateBase64() const;
};

// One PKCS7_sign of `data` with the identity, encoded to DER: the SignedData
// made with `createFlags`, the signer added with `signerFlags`, finished with
// `finalFlags`.
bool pkcs7SignOnce(const Identity& signer, const std::string& data, int createFlags, int signerFlags, int finalFlags);

}  // namespace bench
