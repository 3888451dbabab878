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
// The same with another private key (a PEM file).
bool decryptCipherText(const std::string& privatePem, const std::string& cipherText, std::string* plain);

// The page's text (Base64 of the DER SubjectPublicKeyInfo) of an RSA public
// key with this modulus (big-endian) and exponent, whatever key generation
// would allow: for keys that must be refused. Empty if OpenSSL cannot make it.
std::string rsaPublicKeyText(const std::vector<unsigned char>& modulus, unsigned long exponent);
// The same with an exponent of any size (big-endian).
std::string rsaPublicKeyText(const std::vector<unsigned char>& modulus, const std::vector<unsigned char>& exponent);

// The modulus of the bank's key, big-endian.
std::vector<unsigned char> bankModulus();
// The modulus of the RSA key in a PEM file, big-endian (empty if unreadable).
std::vector<unsigned char> rsaModulus(const std::string& privatePem);

// A modulus of exactly `bits` bits (at least 32), the product of two primes
// made now with OpenSSL, so that OpenSSL's public-key check finds nothing
// wrong with it: for moduli key generation would not make.
std::vector<unsigned char> twoPrimeModulus(int bits);

// An RSA key made with openssl genpkey (modulus bits, public exponent in
// decimal), kept in the build's test data folder for later runs (large keys
// take seconds): the private key's PEM file.
std::string cachedRsaKey(int bits, const std::string& exponent);

// The page's text of the public half of the key in a PEM file.
std::string publicKeyTextOf(const std::string& privatePem);

// RSA public keys in the page's form under which the session key is not to
// be wrapped, each named: `modulus` (a real key's) with the exponents 0, 1
// and 65536, which protect nothing; moduli of 216 and 511 bits, factored with
// public tools; and keys OpenSSL's check passes but its encryption refuses
// (a 4096-bit modulus with e = n or e = 2^64+1) or past its 16384 bits.
struct NamedKey {
  std::string what, key;
};
std::vector<NamedKey> keysThatCannotProtect(const std::vector<unsigned char>& modulus);

}  // namespace testsupport
