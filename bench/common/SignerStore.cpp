#include "SignerStore.h"

#include <benchmark/benchmark.h>
#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Interleaved.h"
#include "platform/crypt.h"
#include "signlib/Base64.h"
#include "signlib/PKCS11TokenUtil.h"
#include "signlib/X509Certificate.h"

namespace fs = std::filesystem;

namespace bench {

bool importIntoMy(const Identity& identity, std::string* certificateBase64) {
  std::vector<unsigned char> der = identity.pkcs12();
  if (der.empty()) return false;
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(der.size()), der.data()};
  HCERTSTORE pfx = PFXImportCertStore(&blob, u"bench", CRYPT_EXPORTABLE | CRYPT_USER_KEYSET);
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  PCCERT_CONTEXT c = pfx != nullptr ? CertEnumCertificatesInStore(pfx, nullptr) : nullptr;
  bool ok = c != nullptr && my != nullptr &&
            CertAddCertificateContextToStore(my, c, CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  certificateBase64->clear();
  if (ok) {
    char* text = base64Encode(c->pbCertEncoded, static_cast<int>(c->cbCertEncoded));
    if (text != nullptr) *certificateBase64 = text;
    std::free(text);
  }
  if (c != nullptr) CertFreeCertificateContext(c);
  if (pfx != nullptr) CertCloseStore(pfx, 0);
  if (my != nullptr) CertCloseStore(my, 0);
  return ok && !certificateBase64->empty();
}

bool SoftHsmToken::make(const std::string& prefix, const char* forwarder, const char* moduleName) {
  root = makeRoot(prefix);
  if (root.empty()) return false;
  fs::create_directories(root + "/modules");
  fs::create_directories(root + "/tokens");
  modulePath = root + "/modules/" + moduleName;
  fs::copy_file(forwarder, modulePath);
  std::string conf = root + "/softhsm2.conf";
  std::ofstream(conf) << "directories.tokendir = " << root << "/tokens\nobjectstore.backend = file\n"
                      << "log.level = ERROR\n";
  setenv("SOFTHSM2_CONF", conf.c_str(), 1);
  const std::string& r = root;
  std::string tool = "pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label bench --login --pin 1234 ";
  if (!sh("softhsm2-util --init-token --free --label bench --so-pin 87654321 --pin 1234") ||
      !sh("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + r + "/key.pem -out " + r +
          "/cert.pem -subj /CN=Bench -days 2") ||
      !sh("openssl x509 -in " + r + "/cert.pem -outform DER -out " + r + "/cert.der") ||
      !sh(tool + "--write-object " + r + "/key.pem --type privkey --id 01") ||
      !sh(tool + "--write-object " + r + "/cert.der --type cert --id 01")) {
    return false;
  }
  std::string der = readAll(r + "/cert.der");
  certificateDer.assign(der.begin(), der.end());
  CX509Certificate cert;
  if (cert.LoadCertificate(certificateDer.data(), static_cast<int>(der.size())) != 0) return false;
  certificateBase64 = cert.getB64X509Cert();
  modulus.assign(cert.getModulus(), cert.getModulus() + cert.getModulusLen());
  return true;
}

bool StoreSigner::make(const std::string& prefix, const char* commonName, long serial) {
  root = makeRoot(prefix);
  return !root.empty() && identity.make(commonName, serial) && importIntoMy(identity, &certificateBase64);
}

int runStoreBenchmarks(StoreSigner& signer, const std::string& prefix, const char* commonName, long serial,
                       const char* what, int* argc, char** argv) {
  if (!signer.make(prefix, commonName, serial)) {
    std::fprintf(stderr, "could not make the signer key and certificate\n");
    return 1;
  }
  runWithRatio(argc, argv, [what](double ratio) { std::printf("ratio: %.2f (%s; goal: at most 1.2)\n", ratio, what); });
  removeRoot(signer.root);
  return 0;
}

bool tokenSignatureOnce(const SignVariant& variant, const SoftHsmToken& token, const char* moduleName, const char* pin,
                        const char* digest, const std::string& data, std::string* error) {
  CPKCS11TokenUtil client(variant);
  unsigned char* der = nullptr;
  int length = 0;
  if (client.init(moduleName) != 0 ||
      client.signPKCS7(pin, token.certificateBase64.c_str(), digest, "RSA",
                       reinterpret_cast<const unsigned char*>(data.data()), data.size(), &der, &length) != 0) {
    *error = client.getErrorText();
    return false;
  }
  benchmark::DoNotOptimize(der);
  OPENSSL_free(der);
  return true;
}

int runTokenBenchmarks(SoftHsmToken& token, const std::string& prefix, const char* forwarder, const char* moduleName,
                       int* argc, char** argv) {
  if (!token.make(prefix, forwarder, moduleName)) {
    std::fprintf(stderr, "could not make the SoftHSM2 token (softhsm2-util, pkcs11-tool, openssl needed)\n");
    return 1;
  }
  runWithRatio(argc, argv, [](double ratio) {
    std::printf("overhead: %.1f %% (median of the interleaved runs; goal: at most 10 %%)\n", (ratio - 1.0) * 100.0);
  });
  removeRoot(token.root);
  return 0;
}

}  // namespace bench
