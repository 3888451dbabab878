// Certificate fixture factory. See Fixtures.h for the catalogue.
//
// Generation runs once per build directory: the first process that needs the
// catalogue takes an exclusive flock on "<dir>.lock", builds everything in a
// scratch folder next to <dir>, writes the "complete" marker last and renames
// the folder into place. Later processes (each gtest TEST runs in its own
// process under ctest) find the marker and only read. A crashed generation
// leaves at most a scratch folder, never a half-filled catalogue.
#include "Fixtures.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace fs = std::filesystem;

namespace fixtures {
namespace {

// Bump when the catalogue changes, so an old build directory regenerates.
constexpr const char* kCatalogueVersion = "fixtures-v1";
// "notyet" starts 30 days after generation; regenerate well before that.
constexpr long kMaxAgeSeconds = 20L * 24 * 3600;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error("fixtures: " + what); }

template <class T, void (*F)(T*)>
struct Deleter {
  void operator()(T* p) const { F(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME, X509_NAME_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using P12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12, PKCS12_free>>;
using P7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;

// ---- catalogue description ----

// One attribute of a name, in encoded order; multi=true joins it to the
// previous RDN (a multi-valued RDN).
struct Attr {
  const char* field;
  const char* value;
  bool multi = false;
};

enum class Validity { Standard, Expired, NotYet, Fixed };

struct Spec {
  const char* name;
  const char* issuer;                 // fixture name of the issuer, "" for self-signed
  const char* key;                    // key slot (see keySpecs)
  std::vector<Attr> subject;          // encoded order (C first)
  const char* keyUsage;               // nullptr: no key-usage extension
  std::vector<unsigned char> serial;  // big-endian magnitude
  Validity validity = Validity::Standard;
  const char* notBefore = nullptr;  // Fixed: "YYYYMMDDHHMMSSZ"
  const char* notAfter = nullptr;
  bool ca = false;
  bool v1 = false;
};

struct KeySpec {
  const char* slot;
  int bits;  // 0: P-256 EC key
};

// The CA and "user" keep keys of their own, so a test can tell "user"'s key from
// any other; the remaining 2048-bit fixtures share a pool of four keys (key
// generation is the slow part), and each size fixture has its own key.
const std::vector<KeySpec>& keySpecs() {
  static const std::vector<KeySpec> k = {
      {"ca", 2048},    {"ca2", 2048},     {"user", 2048},    {"pool0", 2048},   {"pool1", 2048}, {"pool2", 2048},
      {"pool3", 2048}, {"rsa1024", 1024}, {"rsa3072", 3072}, {"rsa4096", 4096}, {"ec", 0},
  };
  return k;
}

std::vector<unsigned char> serialOf(unsigned long v) {
  std::vector<unsigned char> out;
  while (v != 0) {
    out.insert(out.begin(), static_cast<unsigned char>(v & 0xFF));
    v >>= 8;
  }
  if (out.empty()) out.push_back(0);
  return out;
}

std::vector<unsigned char> serial20(unsigned char first) {
  std::vector<unsigned char> s{first};
  for (unsigned char b = 1; b <= 0x13; ++b) s.push_back(b);
  return s;
}

std::vector<Attr> bankName(const char* cn) { return {{"C", "TW"}, {"O", "Test Bank"}, {"OU", "Retail"}, {"CN", cn}}; }

const char* const kUserKu = "critical,digitalSignature,nonRepudiation";

const std::vector<Spec>& specs() {
  static const std::vector<Spec> s = [] {
    std::vector<Spec> v;
    auto add = [&v](Spec sp) { v.push_back(std::move(sp)); };
    add({"ca",
         "",
         "ca",
         {{"C", "TW"}, {"O", "Test Bank"}, {"CN", "Test Root CA"}},
         "critical,keyCertSign,cRLSign",
         serialOf(1),
         Validity::Fixed,
         "20200101000000Z",
         "20491231235959Z",
         true});
    add({"ca2",
         "",
         "ca2",
         {{"C", "US"}, {"O", "Other Org"}, {"CN", "Other Root CA"}},
         "critical,keyCertSign,cRLSign",
         serialOf(2),
         Validity::Fixed,
         "20200101000000Z",
         "20491231235959Z",
         true});
    add({"user", "ca", "user", bankName("Test User"), kUserKu, serialOf(0x1001)});
    add({"ku_none", "ca", "pool0", bankName("KU None"), nullptr, serialOf(0x1002)});
    add({"ku_sig", "ca", "pool1", bankName("KU Sig"), "critical,digitalSignature", serialOf(0x1003)});
    add({"ku_enc", "ca", "pool2", bankName("KU Enc"), "critical,keyEncipherment", serialOf(0x1004)});
    add({"ku_sig_enc", "ca", "pool3", bankName("KU Sig Enc"), "critical,digitalSignature,keyEncipherment",
         serialOf(0x1005)});
    add({"ku_enc_data", "ca", "pool0", bankName("KU Enc Data"), "critical,keyEncipherment,dataEncipherment",
         serialOf(0x1006)});
    add({"ku_sig_enc_data", "ca", "pool1", bankName("KU Sig Enc Data"),
         "critical,digitalSignature,keyEncipherment,dataEncipherment", serialOf(0x1007)});
    add({"ku_sig_enc_agree", "ca", "pool2", bankName("KU Sig Enc Agree"),
         "critical,digitalSignature,keyEncipherment,keyAgreement", serialOf(0x1008)});
    add({"ku_nonrep", "ca", "pool3", bankName("KU NonRep"), "critical,nonRepudiation", serialOf(0x1009)});
    add({"expired", "ca", "pool0", bankName("Expired User"), kUserKu, serialOf(0x100A), Validity::Expired});
    add({"notyet", "ca", "pool1", bankName("NotYet User"), kUserKu, serialOf(0x100B), Validity::NotYet});
    add({"utc_0030", "ca", "pool2", bankName("UTC 0030"), kUserKu, serialOf(0x100C), Validity::Fixed, "20240102003000Z",
         "20340102160000Z"});
    add({"utc_1600", "ca", "pool3", bankName("UTC 1600"), kUserKu, serialOf(0x100D), Validity::Fixed, "20240301160000Z",
         "20340301160000Z"});
    add({"serial20", "ca", "pool0", bankName("Serial 20"), kUserKu, serial20(0x7F)});
    add({"serial_high", "ca", "pool1", bankName("Serial High"), kUserKu, serialOf(0x80)});
    add({"serial_high20", "ca", "pool2", bankName("Serial High 20"), kUserKu, serial20(0xA5)});
    add({"serial_01a2", "ca", "pool3", bankName("Serial 01A2"), kUserKu, serialOf(0x01A2)});
    add({"zh_tw",
         "ca",
         "pool0",
         {{"C", "TW"},
          {"O", "\xE8\x87\xBA\xE7\x81\xA3\xE6\xB8\xAC\xE8\xA9\xA6\xE9\x8A\x80\xE8\xA1\x8C"},
          {"CN", "\xE7\x8E\x8B\xE5\xB0\x8F\xE6\x98\x8E"}},
         kUserKu,
         serialOf(0x100E)});
    add({"zh_cn",
         "ca",
         "pool1",
         {{"C", "CN"},
          {"O", "\xE4\xB8\xAD\xE5\x9B\xBD\xE6\xB5\x8B\xE8\xAF\x95\xE9\x93\xB6\xE8\xA1\x8C"},
          {"CN", "\xE5\xBC\xA0\xE5\xB0\x8F\xE6\x98\x8E"}},
         kUserKu,
         serialOf(0x100F)});
    add({"separators",
         "ca",
         "pool2",
         {{"emailAddress", "ann@example.com"},
          {"L", "Xinyi"},
          {"ST", "Taipei"},
          {"OU", "Trailing "},
          {"O", "A=B+C"},
          {"CN", "Lee, Ann; Jr."}},
         kUserKu,
         serialOf(0x1010)});
    add({"multi_ou",
         "ca",
         "pool3",
         {{"C", "TW"}, {"O", "Test Bank"}, {"OU", "Retail"}, {"OU", "Cards"}, {"CN", "Multi"}, {"UID", "42", true}},
         kUserKu,
         serialOf(0x1011)});
    add({"rsa1024", "ca", "rsa1024", bankName("RSA 1024"), "critical,digitalSignature", serialOf(0x1012)});
    add({"rsa3072", "ca", "rsa3072", bankName("RSA 3072"), "critical,digitalSignature", serialOf(0x1013)});
    add({"rsa4096", "ca", "rsa4096", bankName("RSA 4096"), "critical,digitalSignature", serialOf(0x1014)});
    add({"ec", "ca", "ec", bankName("EC User"), "critical,digitalSignature", serialOf(0x1015)});
    Spec v1{"v1", "ca", "pool0", bankName("V1 User"), nullptr, serialOf(0x1016)};
    v1.v1 = true;
    add(v1);
    return v;
  }();
  return s;
}

struct BundleSpec {
  const char* name;
  std::vector<const char*> certs;
};

const std::vector<BundleSpec>& bundleSpecs() {
  static const std::vector<BundleSpec> b = {
      {"user_ca", {"user", "ca"}},
      {"ca_user", {"ca", "user"}},
      {"unrelated", {"ca2", "user"}},
      {"single", {"user"}},
  };
  return b;
}

// ---- file helpers ----

void writeBytes(const fs::path& p, const std::string& data) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  out.close();
  if (!out) fail("cannot write " + p.string());
}

std::string readBytes(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) fail("cannot read " + p);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(n));
}

// ---- generation ----

KeyPtr makeKey(int bits) {
  EVP_PKEY* k = bits == 0 ? EVP_EC_gen("P-256") : EVP_RSA_gen(static_cast<unsigned>(bits));
  if (k == nullptr) fail("key generation failed");
  return KeyPtr(k);
}

void setTime(ASN1_TIME* t, const char* text) {
  if (ASN1_TIME_set_string_X509(t, text) != 1) fail(std::string("bad time ") + text);
}

void addExt(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
  if (ext == nullptr) fail(std::string("extension ") + value);
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

X509Ptr makeCert(const Spec& spec, EVP_PKEY* key, X509* issuerCert, EVP_PKEY* issuerKey) {
  X509Ptr cert(X509_new());
  if (!cert) fail("X509_new");
  X509_set_version(cert.get(), spec.v1 ? X509_VERSION_1 : X509_VERSION_3);

  BnPtr bn(BN_bin2bn(spec.serial.data(), static_cast<int>(spec.serial.size()), nullptr));
  if (!bn || BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get())) == nullptr) fail("serial");

  NamePtr subject(X509_NAME_new());
  for (const Attr& a : spec.subject) {
    if (X509_NAME_add_entry_by_txt(subject.get(), a.field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(a.value), -1, -1, a.multi ? -1 : 0) != 1)
      fail(std::string("name attribute ") + a.field);
  }
  X509_set_subject_name(cert.get(), subject.get());
  X509_set_issuer_name(cert.get(), issuerCert != nullptr ? X509_get_subject_name(issuerCert) : subject.get());

  switch (spec.validity) {
    case Validity::Fixed:
      setTime(X509_getm_notBefore(cert.get()), spec.notBefore);
      setTime(X509_getm_notAfter(cert.get()), spec.notAfter);
      break;
    case Validity::Standard:
      setTime(X509_getm_notBefore(cert.get()), "20240101000000Z");
      setTime(X509_getm_notAfter(cert.get()), "20491231235959Z");
      break;
    case Validity::Expired: {
      time_t now = time(nullptr);
      X509_time_adj_ex(X509_getm_notBefore(cert.get()), -366, 0, &now);
      X509_time_adj_ex(X509_getm_notAfter(cert.get()), -1, 0, &now);
      break;
    }
    case Validity::NotYet: {
      time_t now = time(nullptr);
      X509_time_adj_ex(X509_getm_notBefore(cert.get()), 30, 0, &now);
      X509_time_adj_ex(X509_getm_notAfter(cert.get()), 30 + 365, 0, &now);
      break;
    }
  }
  X509_set_pubkey(cert.get(), key);

  if (!spec.v1) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuerCert != nullptr ? issuerCert : cert.get(), cert.get(), nullptr, nullptr, 0);
    addExt(cert.get(), &ctx, NID_basic_constraints, spec.ca ? "critical,CA:TRUE" : "CA:FALSE");
    if (spec.keyUsage != nullptr) addExt(cert.get(), &ctx, NID_key_usage, spec.keyUsage);
    addExt(cert.get(), &ctx, NID_subject_key_identifier, "hash");
    if (issuerCert != nullptr) addExt(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");
  }
  if (X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0) fail(std::string("sign ") + spec.name);
  return cert;
}

std::string certPemText(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert);
  return bioText(bio.get());
}

std::string certDerBytes(X509* cert) {
  unsigned char* der = nullptr;
  int n = i2d_X509(cert, &der);
  if (n <= 0) fail("i2d_X509");
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  return out;
}

std::string keyPemText(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  return bioText(bio.get());
}

std::string p12Bytes(const char* name, EVP_PKEY* key, X509* cert) {
  P12Ptr p12(PKCS12_create(kP12Password, name, key, cert, nullptr, 0, 0, 0, 0, 0));
  if (!p12) fail(std::string("PKCS12_create ") + name);
  unsigned char* der = nullptr;
  int n = i2d_PKCS12(p12.get(), &der);
  if (n <= 0) fail("i2d_PKCS12");
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  return out;
}

// A certs-only SignedData with the certificates in the given order (OpenSSL
// keeps the order of the certificate set as added).
std::string bundleDerBytes(const std::vector<X509*>& certs) {
  P7Ptr p7(PKCS7_new());
  if (!p7 || PKCS7_set_type(p7.get(), NID_pkcs7_signed) != 1 || PKCS7_content_new(p7.get(), NID_pkcs7_data) != 1)
    fail("PKCS7 setup");
  for (X509* c : certs)
    if (PKCS7_add_certificate(p7.get(), c) != 1) fail("PKCS7_add_certificate");
  unsigned char* der = nullptr;
  int n = i2d_PKCS7(p7.get(), &der);
  if (n <= 0) fail("i2d_PKCS7");
  std::string out(reinterpret_cast<char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  return out;
}

// PEM body: 64-character Base64 lines, each ended by CR LF.
std::string base64Lines(const std::string& bytes) {
  std::string out;
  for (size_t off = 0; off < bytes.size(); off += 48) {
    size_t len = std::min<size_t>(48, bytes.size() - off);
    unsigned char buf[80];
    int n = EVP_EncodeBlock(buf, reinterpret_cast<const unsigned char*>(bytes.data()) + off, static_cast<int>(len));
    out.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    out += "\r\n";
  }
  return out;
}

void generate(const fs::path& target) {
  std::map<std::string, KeyPtr> keys;
  {
    // RSA key generation dominates; run it on all cores.
    std::vector<std::pair<std::string, std::future<KeyPtr>>> jobs;
    for (const KeySpec& ks : keySpecs()) jobs.emplace_back(ks.slot, std::async(std::launch::async, makeKey, ks.bits));
    for (auto& [slot, job] : jobs) keys[slot] = job.get();
  }

  std::map<std::string, X509Ptr> certs;
  for (const Spec& spec : specs()) {
    EVP_PKEY* key = keys.at(spec.key).get();
    X509* issuerCert = nullptr;
    EVP_PKEY* issuerKey = key;
    if (*spec.issuer != '\0') {
      issuerCert = certs.at(spec.issuer).get();
      issuerKey = keys.at(spec.issuer).get();  // the CAs' key slots bear their names
    }
    X509Ptr cert = makeCert(spec, key, issuerCert, issuerKey);
    std::string n = spec.name;
    writeBytes(target / (n + ".pem"), certPemText(cert.get()));
    writeBytes(target / (n + ".der"), certDerBytes(cert.get()));
    writeBytes(target / (n + ".key.pem"), keyPemText(key));
    writeBytes(target / (n + ".p12"), p12Bytes(spec.name, key, cert.get()));
    certs[n] = std::move(cert);
  }
  for (const BundleSpec& b : bundleSpecs()) {
    std::vector<X509*> list;
    for (const char* c : b.certs) list.push_back(certs.at(c).get());
    std::string der = bundleDerBytes(list);
    std::string n = std::string("bundle_") + b.name;
    writeBytes(target / (n + ".p7b"), der);
    writeBytes(target / (n + ".b64"), base64Lines(der));
  }
  std::ostringstream marker;
  marker << kCatalogueVersion << "\n" << static_cast<long long>(time(nullptr)) << "\n";
  writeBytes(target / "complete", marker.str());
}

// True when the folder holds a complete, current catalogue.
bool isComplete(const fs::path& d) {
  std::ifstream in(d / "complete");
  std::string version;
  long long when = 0;
  if (!(in >> version >> when)) return false;
  if (version != kCatalogueVersion) return false;
  long long age = static_cast<long long>(time(nullptr)) - when;
  return age >= 0 && age < kMaxAgeSeconds;
}

fs::path executableDir() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fs::current_path();
  return exe.parent_path();
}

fs::path catalogueDir() {
  if (const char* t = std::getenv("TEST_DATA_DIR"); t != nullptr && *t != '\0') return fs::path(t) / "fixtures";
  if (const char* b = std::getenv("BUILD_DIR"); b != nullptr && *b != '\0')
    return fs::path(b) / "testdata" / "fixtures";
  // Run by hand from build/bin: the build folder is one up.
  return executableDir().parent_path() / "testdata" / "fixtures";
}

void ensureCatalogue(const fs::path& d) {
  fs::create_directories(d.parent_path());
  std::string lockPath = d.string() + ".lock";
  int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) fail("cannot open " + lockPath + ": " + std::strerror(errno));
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd);
      fail("flock " + lockPath);
    }
  }
  try {
    if (!isComplete(d)) {
      fs::path scratch = d.string() + ".new-" + std::to_string(getpid());
      fs::path old = d.string() + ".old-" + std::to_string(getpid());
      fs::remove_all(scratch);
      fs::create_directories(scratch);
      generate(scratch);
      // Swap in with renames so a reader sees either the old files or the new.
      if (fs::exists(d)) fs::rename(d, old);
      fs::rename(scratch, d);
      std::error_code ec;
      fs::remove_all(old, ec);
    }
  } catch (...) {
    flock(fd, LOCK_UN);
    close(fd);
    throw;
  }
  flock(fd, LOCK_UN);
  close(fd);
}

struct Catalogue {
  std::string dir;
  std::map<std::string, Fixture> items;
  std::vector<std::string> order;
};

const Catalogue& catalogue() {
  static Catalogue cat;
  static std::once_flag once;
  std::call_once(once, [] {
    fs::path d = catalogueDir();
    ensureCatalogue(d);
    cat.dir = d.string();
    for (const Spec& spec : specs()) {
      Fixture f;
      f.name = spec.name;
      std::string base = (d / spec.name).string();
      f.certPem = base + ".pem";
      f.certDer = base + ".der";
      f.keyPem = base + ".key.pem";
      f.p12 = base + ".p12";
      f.issuer = spec.issuer;
      for (const KeySpec& ks : keySpecs())
        if (std::strcmp(ks.slot, spec.key) == 0) f.bits = ks.bits;
      cat.order.push_back(f.name);
      cat.items.emplace(f.name, std::move(f));
    }
  });
  return cat;
}

}  // namespace

std::vector<unsigned char> Fixture::der() const {
  std::string b = readBytes(certDer);
  return std::vector<unsigned char>(b.begin(), b.end());
}

std::string Fixture::pem() const { return readBytes(certPem); }

std::string Fixture::base64() const {
  std::string b = readBytes(certDer);
  std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(b.data()), static_cast<int>(b.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

const Fixture& get(const std::string& name) {
  const Catalogue& cat = catalogue();
  auto it = cat.items.find(name);
  if (it == cat.items.end()) fail("no fixture named \"" + name + "\"");
  return it->second;
}

std::vector<std::string> names() { return catalogue().order; }

std::string bundle(const std::string& name) {
  const Catalogue& cat = catalogue();
  for (const BundleSpec& b : bundleSpecs())
    if (name == b.name) return cat.dir + "/bundle_" + name + ".b64";
  fail("no bundle named \"" + name + "\"");
}

std::string bundleDer(const std::string& name) {
  const Catalogue& cat = catalogue();
  for (const BundleSpec& b : bundleSpecs())
    if (name == b.name) return cat.dir + "/bundle_" + name + ".p7b";
  fail("no bundle named \"" + name + "\"");
}

const std::string& dir() { return catalogue().dir; }

}  // namespace fixtures
