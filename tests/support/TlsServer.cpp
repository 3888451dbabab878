#include "TlsServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace tlstest {
namespace {
[[noreturn]] void fail(const std::string& what) { throw std::runtime_error("tlstest: " + what); }

// Kept free of the test root, so benchmarks can use these fixtures too.
std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int run(const std::string& command, std::string* out) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out->append(buf, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

EVP_PKEY* rsaKey() {
  EVP_PKEY* k = EVP_RSA_gen(2048);
  if (k == nullptr) fail("key generation");
  return k;
}

void writePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) fail("cannot write " + path);
  if (cert != nullptr) PEM_write_X509(f, cert);
  if (key != nullptr) PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

void addExt(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) fail("extension " + value);
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

X509* makeCert(const std::vector<std::pair<std::string, std::string>>& subject, EVP_PKEY* key, X509* issuer,
               EVP_PKEY* issuerKey, long notBeforeDays, long notAfterDays, long serial, bool ca,
               const std::vector<std::string>& dnsNames) {
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
  X509_gmtime_adj(X509_getm_notBefore(x), notBeforeDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(x), notAfterDays * 86400L);
  X509_NAME* name = X509_get_subject_name(x);
  for (const auto& [field, value] : subject) {
    // Raw UTF8String, so lengths beyond the usual upper bounds stay possible.
    ASN1_OBJECT* obj = OBJ_txt2obj(field.c_str(), 0);
    if (obj == nullptr) fail("name field " + field);
    if (X509_NAME_add_entry_by_OBJ(name, obj, V_ASN1_UTF8STRING, reinterpret_cast<const unsigned char*>(value.data()),
                                   static_cast<int>(value.size()), -1, 0) != 1)
      fail("name entry " + field);
    ASN1_OBJECT_free(obj);
  }
  X509_set_issuer_name(x, issuer != nullptr ? X509_get_subject_name(issuer) : name);
  X509_set_pubkey(x, key);
  X509* signerCert = issuer != nullptr ? issuer : x;
  addExt(x, signerCert, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
  addExt(x, signerCert, NID_key_usage,
         ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
  if (!dnsNames.empty()) {
    std::string san;
    for (const auto& d : dnsNames) san += (san.empty() ? "DNS:" : ",DNS:") + d;
    addExt(x, signerCert, NID_subject_alt_name, san);
  }
  if (X509_sign(x, issuerKey != nullptr ? issuerKey : key, EVP_sha256()) <= 0) fail("signing");
  return x;
}
}  // namespace

struct Pki::Impl {
  EVP_PKEY* caKey = nullptr;
  X509* ca = nullptr;
  EVP_PKEY* otherKey = nullptr;
  X509* other = nullptr;
  EVP_PKEY* leafKey = nullptr;
  long serial = 100;
};

Pki::Pki(const std::string& dir) : impl_(new Impl), dir_(dir) {
  impl_->caKey = rsaKey();
  impl_->ca =
      makeCert({{"O", "Test Bank"}, {"CN", "Test TLS CA"}}, impl_->caKey, nullptr, nullptr, -3650, 3650, 1, true, {});
  impl_->otherKey = rsaKey();
  impl_->other = makeCert({{"O", "Other Org"}, {"CN", "Other TLS CA"}}, impl_->otherKey, nullptr, nullptr, -3650, 3650,
                          2, true, {});
  impl_->leafKey = rsaKey();
  caPem_ = dir_ + "/test-ca.pem";
  writePem(caPem_, impl_->ca, nullptr);
}

Pki::~Pki() {
  X509_free(impl_->ca);
  X509_free(impl_->other);
  EVP_PKEY_free(impl_->caKey);
  EVP_PKEY_free(impl_->otherKey);
  EVP_PKEY_free(impl_->leafKey);
  delete impl_;
}

Leaf Pki::leaf(const std::string& name, const LeafSpec& spec) {
  X509* issuer = spec.issuer == Issuer::TestCa ? impl_->ca : spec.issuer == Issuer::OtherCa ? impl_->other : nullptr;
  EVP_PKEY* issuerKey = spec.issuer == Issuer::TestCa    ? impl_->caKey
                        : spec.issuer == Issuer::OtherCa ? impl_->otherKey
                                                         : nullptr;
  X509* x = makeCert(spec.subject, impl_->leafKey, issuer, issuerKey, spec.notBeforeDays, spec.notAfterDays,
                     ++impl_->serial, false, spec.dnsNames);
  Leaf out{dir_ + "/" + name + ".pem", dir_ + "/" + name + ".key"};
  writePem(out.cert, x, nullptr);
  writePem(out.key, nullptr, impl_->leafKey);
  X509_free(x);
  return out;
}

SServer::SServer(const Leaf& leaf, const std::string& dir, const std::vector<std::string>& extraArgs) {
  static int counter = 0;
  std::string log = dir + "/s_server." + std::to_string(getpid()) + "." + std::to_string(++counter) + ".out";
  std::vector<std::string> args = {"openssl", "s_server", "-accept", "127.0.0.1:0", "-cert",
                                   leaf.cert, "-key",     leaf.key,  "-www"};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int in = ::open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp("openssl", argv.data());
    _exit(127);
  }
  pid_ = pid;
  for (int i = 0; i < 1000 && port_ == 0; ++i) {
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("ACCEPT ", 0) == 0) {
        size_t colon = line.rfind(':');
        if (colon != std::string::npos) port_ = std::atoi(line.c_str() + colon + 1);
      }
    }
    if (port_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (port_ == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    fail("s_server did not start: " + readFile(log));
  }
}

SServer::~SServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

Verdict sClient(int port, const std::string& host, const std::string& caFile) {
  std::string cmd = "openssl s_client -connect 127.0.0.1:" + std::to_string(port) + " -servername " + host +
                    " -verify_return_error -verify_hostname " + host + " -CAfile " + caFile + " </dev/null 2>&1";
  std::string out;
  int status = run(cmd, &out);
  Verdict v;
  v.verified = status == 0 && out.find("Verify return code: 0 (ok)") != std::string::npos;
  if (!v.verified) {
    size_t at = out.find("verify error:");
    v.text = at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
  }
  return v;
}

Listener::Listener() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    fail("listener");
  port_ = ntohs(a.sin_port);
}

Listener::~Listener() {
  for (int f : accepted_) ::close(f);
  if (fd_ >= 0) ::close(fd_);
}

int Listener::connections() {
  for (;;) {
    int f = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (f < 0) break;
    accepted_.push_back(f);
  }
  return static_cast<int>(accepted_.size());
}

int unusedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    fail("unused port");
  ::close(fd);
  return ntohs(a.sin_port);
}

}  // namespace tlstest
