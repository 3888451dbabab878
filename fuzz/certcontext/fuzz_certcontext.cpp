// The signer certificate a page hands the signature control: on the token
// path and in the card login dialog its fields are read from the page's own
// text, not from a stored copy. Arbitrary bytes are taken as the DER (sent
// as Base64) and as the text itself. Whatever the input, every call returns
// a code; a certificate that was taken has fields that hang together; its
// names are dumped attribute by attribute, each with its own length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../support/FuzzRoot.h"
#include "platform/crypt.h"
#include "signlib/Base64.h"
#include "signlib/MyCertContext.h"

namespace {
bool upperHex(const char* s) {
  size_t n = std::strlen(s);
  if (n % 2 != 0) return false;
  for (size_t i = 0; i < n; ++i)
    if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'A' && s[i] <= 'F'))) return false;
  return true;
}

void check(const CMyCertContext& c, int code) {
  if (std::strlen(c.getErrorText()) >= ERROR_TEXT_SIZE) __builtin_trap();
  if (code != 0) return;
  if (c.getCertContext() == nullptr || c.getSerialNumber() == nullptr || c.getSubject() == nullptr ||
      c.getIssuer() == nullptr || c.getCertificateText() == nullptr || c.getNotBefore() == nullptr ||
      c.getNotAfter() == nullptr)
    __builtin_trap();
  if (!upperHex(c.getSerialNumber())) __builtin_trap();
  if (std::strlen(c.getNotBefore()) != 14 || std::strlen(c.getNotAfter()) != 14) __builtin_trap();
}

void dumpNames(CMyCertContext& c, const char* b64, const std::string& dump) {
  PCCERT_CONTEXT made = nullptr;
  int code = c.b64Cert_2_CertContext(b64, &made);
  if ((code == 0) != (made != nullptr)) __builtin_trap();
  if (made == nullptr) return;
  c.extractCertNameBlob(&made->pCertInfo->Subject, dump.c_str());
  c.extractCertNameBlob(&made->pCertInfo->Issuer, dump.c_str());
  CertFreeCertificateContext(made);
  std::remove(dump.c_str());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  static const std::string dump = fuzzsupport::root() + "/names.txt";
  char* b64 = base64Encode(data, static_cast<int>(size));
  if (b64 == nullptr) return 0;
  {
    CMyCertContext c;
    check(c, c.setCertContext(b64, false, false));
    dumpNames(c, b64, dump);
  }
  std::free(b64);
  std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
  CMyCertContext c;
  check(c, c.setCertContext(text.c_str(), false, false));
  return 0;
}
