// A certificate store's entry file, as another process (or a damaged disk)
// may have left it: the input is written into the user's "MY" store and the
// store is opened and walked, reading each entry's key-container property.
// An entry only counts under the SHA-1 of its certificate, so when the input
// carries a decodable "certificate=" line the file is named after it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/sha.h>

#include "../support/FuzzRoot.h"
#include "platform/crypt.h"
#include "platform/kernel.h"

namespace {
std::string gDir;

std::string entryName(const std::string& text) {
  std::string der;
  size_t at = text.find("certificate=");
  if (at != std::string::npos) {
    size_t end = text.find('\n', at);
    std::string b64 = text.substr(at + 12, end == std::string::npos ? std::string::npos : end - at - 12);
    while (!b64.empty() && (b64.back() == '\r' || b64.back() == ' ')) b64.pop_back();
    std::vector<unsigned char> out(b64.size() + 4);
    int n =
        EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(b64.data()), static_cast<int>(b64.size()));
    if (n > 0) {
      size_t pad = 0;
      for (size_t i = b64.size(); i > 0 && b64[i - 1] == '=' && pad < 2; --i) ++pad;
      der.assign(reinterpret_cast<char*>(out.data()), static_cast<size_t>(n) - pad);
    }
  }
  unsigned char md[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(der.data()), der.size(), md);
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char b : md) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 15]);
  }
  return hex + ".cert";
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::root();
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");  // makes the folder
  CertCloseStore(my, 0);
  gDir = fuzzsupport::root() + "/stores/MY";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string path = gDir + "/" + entryName(text);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
  if (store != nullptr) {
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(store, c)) {
      DWORD n = 0;
      if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n) && n > 0) {
        std::vector<BYTE> buf(n);
        if (CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n)) {
          auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
          if (info->pwszContainerName != nullptr) {
            size_t len = 0;
            while (info->pwszContainerName[len] != 0) ++len;
            if (len * 2 > n) __builtin_trap();
          }
        }
      }
      if (c->cbCertEncoded == 0 || c->pbCertEncoded == nullptr) __builtin_trap();
    }
    CertCloseStore(store, 0);
  }
  std::remove(path.c_str());
  return 0;
}
