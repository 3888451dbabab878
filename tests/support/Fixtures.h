// Certificate fixture factory: a small CA and user certificates made at test
// time with OpenSSL, never committed.
//
// The catalogue is generated once per build into $TEST_DATA_DIR/fixtures (a
// file lock keeps concurrent test processes from generating it twice) and
// reused by every test binary of that build.
#pragma once

#include <string>
#include <vector>

namespace fixtures {

struct Fixture {
  std::string name;
  std::string certPem;                     // path of the certificate, PEM
  std::string certDer;                     // path of the certificate, DER
  std::string keyPem;                      // path of the private key, PEM (unencrypted); "" for the bundles
  std::string p12;                         // path of a PKCS#12 with key and certificate, password kP12Password
  std::string issuer;                      // name of the issuing fixture ("" for self-signed)
  int bits = 0;                            // RSA key size (0 for a non-RSA key)
  std::vector<unsigned char> der() const;  // the certificate's DER bytes
  std::string pem() const;                 // the certificate's PEM text
  std::string base64() const;              // one-line Base64 of the DER (no line breaks)
};

inline const char* const kP12Password = "test";

// Catalogue (names):
//   "ca"            root CA, CN=Test Root CA, O=Test Bank, C=TW (2048-bit, self-signed)
//   "ca2"           an unrelated second root CA, CN=Other Root CA, O=Other Org, C=US
//   "user"          CN=Test User, OU=Retail, O=Test Bank, C=TW, 2048, digitalSignature + nonRepudiation
//   "ku_none"       no key-usage extension
//   "ku_sig"        digitalSignature
//   "ku_enc"        keyEncipherment
//   "ku_sig_enc"    digitalSignature + keyEncipherment
//   "ku_enc_data"   keyEncipherment + dataEncipherment
//   "ku_sig_enc_data" digitalSignature + keyEncipherment + dataEncipherment
//   "ku_sig_enc_agree" digitalSignature + keyEncipherment + keyAgreement
//   "ku_nonrep"     nonRepudiation only
//   "expired"       validity ended yesterday (1 year long)
//   "notyet"        validity starts in 30 days
//   "utc_0030"      not before 2024-01-02 00:30:00 UTC, not after 2034-01-02 16:00:00 UTC
//   "utc_1600"      not before 2024-03-01 16:00:00 UTC
//   "serial20"      20-byte serial 7F0102...13 (first byte below 0x80)
//   "serial_high"   serial 0x80 (one content octet with the high bit: DER adds a sign byte)
//   "serial_high20" 20-byte serial whose first byte is 0xA5 (21 content octets)
//   "serial_01a2"   serial 0x01A2
//   "zh_tw"         CN=王小明 (Traditional), O=臺灣測試銀行, C=TW, UTF8String
//   "zh_cn"         CN=张小明 (Simplified), O=中国测试银行, C=CN, UTF8String
//   "separators"    CN="Lee, Ann; Jr.", O=A=B+C, OU=Trailing , ST=Taipei, L=Xinyi, emailAddress=ann@example.com
//   "multi_ou"      subject with two OUs and a multi-valued RDN (CN=Multi+UID=42)
//   "rsa1024", "rsa3072", "rsa4096"  key sizes (digitalSignature)
//   "ec"            a P-256 EC key (no RSA modulus)
//   "v1"            an X.509 v1 certificate (no extensions)
// PKCS#7 bundles (certificate-only SignedData, DER and Base64 files): see bundle().
//
// Details the tests may rely on:
// - Names above are listed most specific first; they are encoded in the reverse
//   order (C first, then O, OU, CN; "separators" starts with emailAddress).
//   Every value is a UTF8String except C (PrintableString).
// - Every fixture except "ca" and "ca2" is issued by "ca" and signed with
//   SHA-256. Serial numbers are unique: ca 01, ca2 02, the named ones as listed,
//   the others 0x1001 upwards ("user" is 0x1001).
// - Validity, unless named above: 2024-01-01 00:00:00Z to 2049-12-31 23:59:59Z
//   ("ca", "ca2": from 2020-01-01 00:00:00Z); "utc_1600" ends 2034-03-01 16:00:00Z.
//   The catalogue is regenerated when older than 20 days, so "notyet" stays
//   in the future.
// - Extensions (not "v1"): basicConstraints (CA:TRUE critical for the CAs),
//   keyUsage as named (critical; CAs keyCertSign+cRLSign; fixtures without a
//   named usage carry digitalSignature+nonRepudiation like "user"),
//   subjectKeyIdentifier, authorityKeyIdentifier.
// - Keys: "ca", "ca2", "user" and the key-size fixtures have keys of their
//   own; the other 2048-bit fixtures share four pooled keys, so two of them may
//   have the same public key (never the same as "user", "ca" or "ca2").
// - The PKCS#12 files hold the key and its certificate only (no CA), with the
//   fixture's name as friendly name.
const Fixture& get(const std::string& name);
std::vector<std::string> names();

// PKCS#7 certs-only bundles: "user_ca" (user then CA), "ca_user" (CA then user),
// "unrelated" (ca2 and user: no issuer for the user), "single" (user only).
// Returns the path of the bundle's Base64 text (PEM body without armour, CR LF lines).
std::string bundle(const std::string& name);
std::string bundleDer(const std::string& name);

// Folder holding the catalogue.
const std::string& dir();

}  // namespace fixtures
