// Checks a signature the library has just made against the public key of the
// signer's certificate. A private key that does not belong to its certificate
// (a damaged or replaced key file, a token key under the wrong identifier)
// still signs, and only the relying party would notice; these checks let a
// signing path refuse such a signature before anything is handed out.
//
// Both are one public-key operation (and one digest of the data), cheap next
// to the signing itself. Neither looks at the certificate's chain or validity:
// only whether the signature was made with the certificate's key.
#pragma once

#include <cstddef>
#include <string>

namespace sigcheck {

// Every SignerInfo of a PKCS#7 SignedData (DER, content attached) verifies
// with the public key of its certificate as the message carries it, and the
// content digests agree. False with a short reason in *why (may be null).
bool signedDataVerifies(const unsigned char* der, std::size_t length, std::string* why);

// A PKCS#1 v1.5 signature over data, made with the digest named (an OpenSSL
// digest name: "SHA1", "MD5", "SHA256", ...), verifies with the public key of
// the certificate (DER). False with a short reason in *why (may be null).
bool signatureVerifies(const unsigned char* certDer, std::size_t certLength, const char* digestName,
                       const unsigned char* data, std::size_t dataLength, const unsigned char* signature,
                       std::size_t signatureLength, std::string* why);

}  // namespace sigcheck
