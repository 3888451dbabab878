// TLS fixtures made at test time: a test CA and server certificates (2048-bit
// RSA), `openssl s_server` on 127.0.0.1 at an ephemeral port, the verdict of
// `openssl s_client -verify_return_error -verify_hostname`, and plain listeners
// that count connections and never answer.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tlstest {

enum class Issuer { TestCa, OtherCa, Self };

struct LeafSpec {
  // Name entries in encoded order, e.g. {{"O", "Test Bank"}, {"CN", "localhost"}}.
  // A short name OpenSSL knows, or a dotted OID.
  std::vector<std::pair<std::string, std::string>> subject;
  std::vector<std::string> dnsNames;  // subject alternative names
  long notBeforeDays = -1;            // relative to now
  long notAfterDays = 30;
  Issuer issuer = Issuer::TestCa;
};

struct Leaf {
  std::string cert;  // PEM path
  std::string key;   // PEM path
};

// A test CA ("Test TLS CA") and an unrelated one, with their keys, in `dir`.
class Pki {
 public:
  explicit Pki(const std::string& dir);
  ~Pki();
  Pki(const Pki&) = delete;
  Pki& operator=(const Pki&) = delete;
  const std::string& caPem() const { return caPem_; }
  Leaf leaf(const std::string& name, const LeafSpec& spec);

 private:
  struct Impl;
  Impl* impl_;
  std::string dir_;
  std::string caPem_;
};

// `openssl s_server -www` on 127.0.0.1 at a port the system chose.
class SServer {
 public:
  SServer(const Leaf& leaf, const std::string& dir, const std::vector<std::string>& extraArgs = {});
  ~SServer();
  SServer(const SServer&) = delete;
  SServer& operator=(const SServer&) = delete;
  int port() const { return port_; }

 private:
  int pid_ = -1;
  int port_ = 0;
};

struct Verdict {
  bool verified = false;
  std::string text;  // s_client's verification error, "" when verified
};
// What `openssl s_client -verify_return_error -verify_hostname HOST` decides,
// trusting caFile, against 127.0.0.1:port with HOST as server name.
Verdict sClient(int port, const std::string& host, const std::string& caFile);

// A listening socket on 127.0.0.1 that never answers.
class Listener {
 public:
  Listener();
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  int port() const { return port_; }
  // Connections made so far (accepts the waiting ones and keeps them open).
  int connections();

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> accepted_;
};

// A port on 127.0.0.1 with nothing listening on it.
int unusedPort();

}  // namespace tlstest
