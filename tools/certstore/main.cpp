// certstore: the system's certificate-store administration.
//
//   certstore import --store NAME --pfx FILE [--password PW] [--provider NAME]
//   certstore import --store NAME --token MODULE [--pin PIN] [--provider NAME]
//   certstore import --store NAME --cert FILE
//   certstore list   --store NAME
//   certstore delete --store NAME --sha1 HEX
//
// import puts each certificate of the PKCS#12 that comes with its private key
// into the store; the key goes to a new key container of the software
// provider, which reports the provider name given (default: the system's
// software provider). With --token the certificates come from the tokens the
// PKCS#11 module shows (MODULE found as LoadLibraryA finds it) and their keys
// stay on the token, reached through the token provider (default name: the
// token provider's own); the PIN, when given, is used for this import only
// and never stored. With --cert the certificate of FILE (PEM or DER) goes in
// without a key: "--store Root --cert FILE" adds a trust anchor. list writes
// one line per certificate: SHA-1 in upper-case
// hexadecimal, provider name (empty without a key) and subject in the
// CertNameToStrA comma form, separated by tabs. delete removes the certificate
// and its key container.
//
// Exit status: 0 done, 1 the operation failed, 2 bad usage.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "platform/crypt.h"
#include "platform/kernel.h"
#include "platform/locale.h"

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

int usage(const char* message) {
  if (message != nullptr) std::fprintf(stderr, "certstore: %s\n", message);
  std::fprintf(stderr,
               "usage: certstore import --store NAME --pfx FILE [--password PW] [--provider NAME]\n"
               "       certstore import --store NAME --token MODULE [--pin PIN] [--provider NAME]\n"
               "       certstore import --store NAME --cert FILE\n"
               "       certstore list --store NAME\n"
               "       certstore delete --store NAME --sha1 HEX\n");
  return 2;
}

int failed(const std::string& what, DWORD error) {
  std::fprintf(stderr, "certstore: %s (error 0x%08X)\n", what.c_str(), error);
  return 1;
}

// UTF-16 from a command-line argument, which is in the ANSI code page.
std::u16string wide(const std::string& text) {
  if (text.empty()) return std::u16string();
  int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return std::u16string();
  std::u16string out(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, out.data(), n);
  out.pop_back();
  return out;
}

std::string ansi(const char16_t* text) {
  if (text == nullptr || *text == u'\0') return std::string();
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.pop_back();
  return out;
}

std::string sha1Hex(PCCERT_CONTEXT ctx) {
  BYTE hash[20];
  DWORD n = sizeof hash;
  if (!CertGetCertificateContextProperty(ctx, CERT_SHA1_HASH_PROP_ID, hash, &n)) return std::string();
  std::string out;
  char buf[3];
  for (DWORD i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", hash[i]);
    out += buf;
  }
  return out;
}

std::string subjectText(PCCERT_CONTEXT ctx) {
  DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_COMMA_FLAG;
  DWORD n = CertNameToStrA(kEncoding, &ctx->pCertInfo->Subject, type, nullptr, 0);
  std::string out(n, '\0');
  CertNameToStrA(kEncoding, &ctx->pCertInfo->Subject, type, out.data(), n);
  out.resize(std::strlen(out.c_str()));
  return out;
}

// The key-container property, or an empty buffer.
std::vector<BYTE> keyProvInfo(PCCERT_CONTEXT ctx) {
  DWORD n = 0;
  if (!CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n)) return {};
  std::vector<BYTE> buf(n);
  if (!CertGetCertificateContextProperty(ctx, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n)) return {};
  return buf;
}

const CRYPT_KEY_PROV_INFO* asInfo(const std::vector<BYTE>& buf) {
  return buf.empty() ? nullptr : reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
}

void deleteContainer(const CRYPT_KEY_PROV_INFO* info) {
  if (info == nullptr || info->pwszContainerName == nullptr) return;
  HCRYPTPROV none = 0;
  CryptAcquireContextW(&none, info->pwszContainerName, info->pwszProvName, info->dwProvType, CRYPT_DELETEKEYSET);
}

HCERTSTORE openStore(const std::string& name) { return CertOpenSystemStoreA(0, name.c_str()); }

int doList(const std::string& storeName) {
  HCERTSTORE store = openStore(storeName);
  if (store == nullptr) return failed("cannot open store " + storeName, GetLastError());
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c)) {
    std::vector<BYTE> info = keyProvInfo(c);
    std::string provider;
    if (const CRYPT_KEY_PROV_INFO* k = asInfo(info))
      provider = k->pwszProvName != nullptr && *k->pwszProvName != u'\0' ? ansi(k->pwszProvName) : MS_ENHANCED_PROV_A;
    std::printf("%s\t%s\t%s\n", sha1Hex(c).c_str(), provider.c_str(), subjectText(c).c_str());
  }
  CertCloseStore(store, 0);
  return 0;
}

// Drops the key container of a certificate that did not make it into the
// store. Only the software provider's containers are files; a token key's
// container names a key on the token, which no import or delete ever removes
// (deleting such a name finds no file and changes nothing).
void dropKey(PCCERT_CONTEXT, const CRYPT_KEY_PROV_INFO* info) { deleteContainer(info); }

// Adds every certificate of `source` that comes with its key to the store.
int addWithKeys(HCERTSTORE source, const std::string& storeName, bool haveProvider, const std::string& providerName,
                const std::string& what) {
  HCERTSTORE store = openStore(storeName);
  if (store == nullptr) {
    DWORD err = GetLastError();
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(source, nullptr); c != nullptr;
         c = CertEnumCertificatesInStore(source, c))
      dropKey(c, asInfo(keyProvInfo(c)));
    return failed("cannot open store " + storeName, err);
  }
  std::u16string provider = wide(providerName);
  int imported = 0, status = 0;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(source, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(source, c)) {
    std::vector<BYTE> infoBuf = keyProvInfo(c);
    const CRYPT_KEY_PROV_INFO* info = asInfo(infoBuf);
    if (info == nullptr) continue;  // a chain certificate without a key
    if (status != 0) {              // an earlier certificate failed: drop the rest's keys
      dropKey(c, info);
      continue;
    }
    if (haveProvider) {
      CRYPT_KEY_PROV_INFO renamed = *info;
      renamed.pwszProvName = provider.data();
      if (!CertSetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, 0, &renamed)) {
        status = failed("cannot set the provider name", GetLastError());
        dropKey(c, info);
        continue;
      }
    }
    // The certificate may be there already, with a key container of its own.
    CRYPT_HASH_BLOB hash{};
    BYTE sha1[20];
    DWORD n = sizeof sha1;
    CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, sha1, &n);
    hash.cbData = n;
    hash.pbData = sha1;
    std::vector<BYTE> oldInfo;
    if (PCCERT_CONTEXT old = CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SHA1_HASH, &hash, nullptr)) {
      oldInfo = keyProvInfo(old);
      CertFreeCertificateContext(old);
    }
    PCCERT_CONTEXT added = nullptr;
    if (!CertAddCertificateContextToStore(store, c, CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
      status = failed("cannot add the certificate to store " + storeName, GetLastError());
      dropKey(c, info);
      continue;
    }
    const CRYPT_KEY_PROV_INFO* old = asInfo(oldInfo);
    if (old != nullptr && old->pwszContainerName != nullptr &&
        std::u16string(old->pwszContainerName) != std::u16string(info->pwszContainerName))
      deleteContainer(old);
    std::printf("imported %s\t%s\n", sha1Hex(added).c_str(), subjectText(added).c_str());
    CertFreeCertificateContext(added);
    ++imported;
  }
  CertCloseStore(store, 0);
  if (status != 0) return status;
  if (imported == 0) return failed(what + " holds no certificate with its private key", CRYPT_E_NOT_FOUND);
  return 0;
}

int doImport(const std::string& storeName, const std::string& pfxPath, const std::string& password, bool haveProvider,
             const std::string& providerName) {
  std::ifstream in(pfxPath, std::ios::binary);
  if (!in) return failed("cannot read " + pfxPath, ERROR_FILE_NOT_FOUND);
  std::vector<BYTE> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(data.size()), data.data()};
  std::u16string pw = wide(password);
  HCERTSTORE pfx = PFXImportCertStore(&blob, pw.c_str(), CRYPT_EXPORTABLE | CRYPT_USER_KEYSET);
  std::fill(pw.begin(), pw.end(), u'\0');
  if (pfx == nullptr) {
    DWORD err = GetLastError();
    if (err == ERROR_INVALID_PASSWORD) return failed("wrong password for " + pfxPath, err);
    // Reading the PKCS#12 fails with an encoding error; anything else failed
    // while its private key was being written to the key folder.
    if (err == CRYPT_E_BAD_ENCODE || err == static_cast<DWORD>(E_INVALIDARG))
      return failed("cannot read the PKCS#12 " + pfxPath, err);
    return failed("cannot write the private key of " + pfxPath + " to the key folder", err);
  }
  int status = addWithKeys(pfx, storeName, haveProvider, providerName, "the PKCS#12 " + pfxPath);
  CertCloseStore(pfx, 0);
  return status;
}

int doTokenImport(const std::string& storeName, const std::string& module, const char* pin, bool haveProvider,
                  const std::string& providerName) {
  HCERTSTORE token = PlatformTokenImportCertStore(module.c_str(), pin, 0);
  if (token == nullptr) {
    DWORD err = GetLastError();
    if (err == SCARD_W_WRONG_CHV) return failed("wrong PIN for the token of " + module, err);
    if (err == SCARD_W_CHV_BLOCKED) return failed("the PIN of the token of " + module + " is locked", err);
    if (err == SCARD_E_NO_SMARTCARD) return failed("no token behind " + module, err);
    return failed("cannot use the token module " + module, err);
  }
  int status = addWithKeys(token, storeName, haveProvider, providerName, "the token of " + module);
  CertCloseStore(token, 0);
  return status;
}

// One certificate, PEM or DER, added without a key.
int doCertImport(const std::string& storeName, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return failed("cannot read " + path, ERROR_FILE_NOT_FOUND);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<BYTE> der;
  BIO* bio = BIO_new_mem_buf(data.data(), static_cast<int>(data.size()));
  X509* x = bio != nullptr ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  if (x != nullptr) {
    unsigned char* p = nullptr;
    int n = i2d_X509(x, &p);
    if (n > 0) der.assign(p, p + n);
    OPENSSL_free(p);
    X509_free(x);
  } else {
    der.assign(data.begin(), data.end());
  }
  ERR_clear_error();
  HCERTSTORE store = openStore(storeName);
  if (store == nullptr) return failed("cannot open store " + storeName, GetLastError());
  PCCERT_CONTEXT added = nullptr;
  if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                        CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
    DWORD err = GetLastError();
    CertCloseStore(store, 0);
    return failed("cannot add the certificate of " + path + " to store " + storeName, err);
  }
  std::printf("imported %s\t%s\n", sha1Hex(added).c_str(), subjectText(added).c_str());
  CertFreeCertificateContext(added);
  CertCloseStore(store, 0);
  return 0;
}

bool parseSha1(const std::string& text, BYTE out[20]) {
  if (text.size() != 40) return false;
  for (size_t i = 0; i < 20; ++i) {
    auto nibble = [](char ch) -> int {
      if (ch >= '0' && ch <= '9') return ch - '0';
      ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
      return -1;
    };
    int hi = nibble(text[2 * i]), lo = nibble(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<BYTE>(hi << 4 | lo);
  }
  return true;
}

int doDelete(const std::string& storeName, const std::string& hex) {
  BYTE sha1[20];
  if (!parseSha1(hex, sha1)) return usage("--sha1 takes 40 hexadecimal digits");
  HCERTSTORE store = openStore(storeName);
  if (store == nullptr) return failed("cannot open store " + storeName, GetLastError());
  CRYPT_HASH_BLOB hash{20, sha1};
  PCCERT_CONTEXT c = CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SHA1_HASH, &hash, nullptr);
  if (c == nullptr) {
    DWORD err = GetLastError();
    CertCloseStore(store, 0);
    return failed("no certificate " + hex + " in store " + storeName, err);
  }
  std::vector<BYTE> info = keyProvInfo(c);
  if (!CertDeleteCertificateFromStore(c)) {
    DWORD err = GetLastError();
    CertCloseStore(store, 0);
    return failed("cannot delete " + hex + " from store " + storeName, err);
  }
  deleteContainer(asInfo(info));
  CertCloseStore(store, 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage(nullptr);
  std::string command = argv[1];
  std::map<std::string, std::string> opts;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    static const char* const kKnown[] = {"--store", "--pfx",   "--password", "--provider",
                                         "--sha1",  "--token", "--pin",      "--cert"};
    bool known = false;
    for (const char* k : kKnown) known = known || a == k;
    if (!known) return usage(("unknown argument " + a).c_str());
    if (i + 1 >= argc) return usage((a + " needs a value").c_str());
    opts[a] = argv[++i];
    // Secrets do not stay readable in the process's command line.
    if (a == "--pin" || a == "--password") std::memset(argv[i], 'x', std::strlen(argv[i]));
  }
  auto has = [&](const char* k) { return opts.count(k) != 0; };
  if (!has("--store") || opts["--store"].empty()) return usage("--store is required");
  const std::string store = opts["--store"];
  if (command == "list") return doList(store);
  if (command == "delete") {
    if (!has("--sha1")) return usage("delete needs --sha1");
    return doDelete(store, opts["--sha1"]);
  }
  if (command == "import") {
    if (has("--provider") && opts.at("--provider").empty()) return usage("--provider needs a name");
    const bool haveProvider = has("--provider");
    if (has("--cert")) {
      if (has("--pfx") || has("--password") || has("--pin") || has("--token") || haveProvider)
        return usage("--cert goes with --store only");
      return doCertImport(store, opts["--cert"]);
    }
    if (has("--token")) {
      if (has("--pfx") || has("--password")) return usage("--token does not go with --pfx or --password");
      if (opts["--token"].empty()) return usage("--token needs a module name");
      std::string pin = has("--pin") ? opts["--pin"] : std::string();
      int status = doTokenImport(store, opts["--token"], has("--pin") ? pin.c_str() : nullptr, haveProvider,
                                 haveProvider ? opts["--provider"] : std::string());
      std::fill(pin.begin(), pin.end(), '\0');
      std::fill(opts["--pin"].begin(), opts["--pin"].end(), '\0');
      return status;
    }
    if (has("--pin")) return usage("--pin goes with --token");
    if (!has("--pfx")) return usage("import needs --pfx");
    const std::string password = has("--password") ? opts["--password"] : std::string();
    return doImport(store, opts["--pfx"], password, haveProvider, haveProvider ? opts["--provider"] : std::string());
  }
  return usage(("unknown command " + command).c_str());
}
