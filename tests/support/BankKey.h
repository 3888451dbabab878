// The bank's RSA key for protected input: a 1024-bit key made once per test
// binary with openssl, its public half as the page hands it over (DER in
// Base64) and its private half for the bank's side of the check.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct BankKey {
  std::string dir, privatePem, publicBase64;
};
const BankKey& bankKey();

// The plain text of a ProtectionCipherText as the bank reads it: the session
// key unwrapped with openssl pkeyutl, the text deciphered with openssl enc.
bool bankDecrypt(const std::string& cipherText, std::string* plain);

// The page's text (Base64 of the DER SubjectPublicKeyInfo) of an RSA public
// key with this modulus (big-endian) and exponent, whatever key generation
// would allow: for keys that must be refused. Empty if OpenSSL cannot make it.
std::string rsaPublicKeyText(const std::vector<unsigned char>& modulus, unsigned long exponent);

// The modulus of the bank's key, big-endian.
std::vector<unsigned char> bankModulus();

}  // namespace testsupport
