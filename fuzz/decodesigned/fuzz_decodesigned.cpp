// Feeds decodeSignedData arbitrary bytes, twice on one object (the second
// decode releases the first). Whatever the input: a code of 0, 2, 3 or 99;
// on 0 the content keeps its length with a NUL after it, and every counted
// certificate and signer info is there and whole.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "signlib/PKCS7MsgUtils.h"

namespace {
void check(const CPKCS7MsgUtils& m, int code) {
  if (code != 0 && code != 2 && code != 3 && code != 99) __builtin_trap();
  if (std::strlen(m.getErrorText()) >= ERROR_TEXT_SIZE) __builtin_trap();
  if (code != 0) return;
  if (m.getDataContent() == nullptr || m.getDataContent()[m.getDataContentLength()] != '\0') __builtin_trap();
  for (int i = 0; i < m.getSignerCertCount(); ++i) {
    DWORD n = 0;
    const BYTE* der = m.getSignerCert(i, &n);
    if (der == nullptr || n == 0 || der[0] != 0x30) __builtin_trap();
  }
  for (int i = 0; i < m.getSignerInfoCount(); ++i) {
    const CMSG_SIGNER_INFO* si = m.getSignerInfo(i);
    if (si == nullptr || si->HashAlgorithm.pszObjId == nullptr) __builtin_trap();
    volatile size_t touch = si->Issuer.cbData + si->SerialNumber.cbData + si->EncryptedHash.cbData +
                            std::strlen(si->HashAlgorithm.pszObjId);
    for (DWORD a = 0; a < si->AuthAttrs.cAttr; ++a) touch = touch + std::strlen(si->AuthAttrs.rgAttr[a].pszObjId);
    (void)touch;
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  CPKCS7MsgUtils m;
  check(m, m.decodeSignedData(data, size));
  check(m, m.decodeSignedData(data, size));
  return 0;
}
