// Feeds CX509Certificate arbitrary bytes: as DER, as text, and (Base64
// encoded) as the text of a certificate and of a PKCS#7 bundle. Whatever the
// input, every call must return a code; on success the fields must hang
// together.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "signlib/Base64.h"
#include "signlib/X509Certificate.h"

namespace {
void check(const CX509Certificate& cert, int code) {
  if (std::strlen(cert.getErrorText()) >= ERROR_TEXT_SIZE) __builtin_trap();
  if (code != 0) {
    if (cert.getBinaryX509Cert() != nullptr || cert.getSerialNum() != nullptr) __builtin_trap();
    return;
  }
  if (cert.getIssuer() == nullptr || cert.getSubject() == nullptr || cert.getSubjectCN() == nullptr ||
      cert.getSerialNum() == nullptr || cert.getBinaryX509Cert() == nullptr || cert.getB64X509Cert() == nullptr)
    __builtin_trap();
  if (std::strlen(cert.getSubjectCN()) > 128) __builtin_trap();
  if ((cert.getModulus() == nullptr) != (cert.getModulusLen() == 0)) __builtin_trap();
  if (cert.getCertRecord().modulusHex.size() != 2 * static_cast<size_t>(cert.getModulusLen())) __builtin_trap();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  CX509Certificate cert;
  check(cert, cert.LoadCertificate(data, static_cast<int>(size)));
  // Parsing alone keeps no DER: only the parsed fields are checked.
  int parsed = cert.LoadBinaryX509Cert(data, static_cast<int>(size));
  if (parsed != 0 && parsed != 17 && parsed != 2) __builtin_trap();
  if ((parsed == 0) != (cert.getSerialNum() != nullptr)) __builtin_trap();

  std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
  check(cert, cert.LoadX509Cert(text.c_str()));
  check(cert, cert.loadPKCS7Cert(text.c_str()));

  char* b64 = base64Encode(data, static_cast<int>(size));
  if (b64 == nullptr) __builtin_trap();
  check(cert, cert.LoadX509Cert(b64));
  check(cert, cert.loadPKCS7Cert(b64));
  std::free(b64);
  return 0;
}
