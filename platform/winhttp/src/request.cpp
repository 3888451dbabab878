// The WinHTTP request family over sockets and OpenSSL: synchronous sessions,
// direct connections, the server's certificate verified during the send.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "platform/crypt.h"
#include "platform/kernel.h"
#include "platform/utf.h"
#include "platform/winhttp.h"

namespace {

struct Timeouts {
  int resolve = WINHTTP_DEFAULT_RESOLVE_TIMEOUT;
  int connect = WINHTTP_DEFAULT_CONNECT_TIMEOUT;
  int send = WINHTTP_DEFAULT_SEND_TIMEOUT;
  int receive = WINHTTP_DEFAULT_RECEIVE_TIMEOUT;
};

// The documented defaults, or what PLATFORM_WINHTTP_TIMEOUTS says.
Timeouts defaultTimeouts() {
  Timeouts t;
  const char* env = std::getenv("PLATFORM_WINHTTP_TIMEOUTS");
  if (env != nullptr) {
    int v[4];
    if (std::sscanf(env, "%d,%d,%d,%d", &v[0], &v[1], &v[2], &v[3]) == 4 && v[0] >= 0 && v[1] >= 0 && v[2] >= 0 &&
        v[3] >= 0) {
      t.resolve = v[0];
      t.connect = v[1];
      t.send = v[2];
      t.receive = v[3];
    }
  }
  return t;
}

enum class Kind { Session, Connect, Request };

struct Handle {
  explicit Handle(Kind k) : kind(k) {}
  virtual ~Handle() = default;
  Kind kind;
  Timeouts timeouts;
};

struct Session : Handle {
  Session() : Handle(Kind::Session) {}
  std::string agent;  // UTF-8
};

struct Connect : Handle {
  Connect() : Handle(Kind::Connect) {}
  std::shared_ptr<Session> session;
  std::string server;  // as given (an IPv6 literal keeps its brackets), UTF-8
  INTERNET_PORT port = 0;
};

enum class State { Opened, Sent, Received, Failed };

struct Request : Handle {
  Request() : Handle(Kind::Request) {}
  ~Request() override {
    if (ssl != nullptr) SSL_free(ssl);
    if (fd >= 0) ::close(fd);
    if (cert != nullptr) X509_free(cert);
  }
  std::shared_ptr<Connect> connect;
  std::string verb;
  std::string object;  // escaped, begins with '/'
  bool secure = false;
  State state = State::Opened;
  int fd = -1;
  SSL* ssl = nullptr;
  X509* cert = nullptr;
  DWORD cipherBits = 0;
};

std::mutex gHandlesMutex;
std::map<const void*, std::shared_ptr<Handle>> gHandles;

HINTERNET publish(std::shared_ptr<Handle> h) {
  std::lock_guard<std::mutex> lock(gHandlesMutex);
  HINTERNET key = h.get();
  gHandles.emplace(key, std::move(h));
  return key;
}

std::shared_ptr<Handle> lookup(HINTERNET h) {
  std::lock_guard<std::mutex> lock(gHandlesMutex);
  auto it = gHandles.find(h);
  if (it == gHandles.end()) return nullptr;
  return it->second;
}

template <class T>
std::shared_ptr<T> lookupAs(HINTERNET h, Kind kind) {
  std::shared_ptr<Handle> any = lookup(h);
  if (any == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (any->kind != kind) {
    SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    return nullptr;
  }
  return std::static_pointer_cast<T>(any);
}

std::string utf8(LPCWSTR text) { return text == nullptr ? std::string() : platform::utf::toUtf8(text); }

// The request target as it goes on the wire: the fragment is never sent, and
// controls, blanks and non-ASCII bytes are escaped, so nothing in a page
// address can end the request line or add a header.
std::string requestTarget(LPCWSTR objectName) {
  std::string raw = utf8(objectName);
  size_t hash = raw.find('#');
  if (hash != std::string::npos) raw.resize(hash);
  std::string out;
  if (raw.empty() || raw[0] != '/') out.push_back('/');
  static const char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : raw) {
    if (c <= 0x20 || c >= 0x7F) {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

bool isAddressLiteral(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// Writes on a socket whose peer went away must not kill the process: SIGPIPE
// is held back on this thread while a request talks, and any one raised is
// taken before the mask is restored.
class NoSigpipe {
 public:
  NoSigpipe() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old_);
  }
  ~NoSigpipe() {
    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE) && !sigismember(&old_, SIGPIPE)) {
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      struct timespec zero = {0, 0};
      sigtimedwait(&pipe, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }

 private:
  sigset_t old_;
};

// 1 ready, 0 time-out, -1 error. timeoutMs 0: no limit.
int waitFor(int fd, short events, int timeoutMs) {
  struct pollfd p = {fd, events, 0};
  for (;;) {
    int r = ::poll(&p, 1, timeoutMs > 0 ? timeoutMs : -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    return r == 0 ? 0 : 1;
  }
}

// Connects to the first address that answers; the connect time-out bounds the
// whole attempt. Returns the socket or -1 with the error number in *error.
int connectTo(const std::string& host, INTERNET_PORT port, int timeoutMs, DWORD* error) {
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  if (host.empty() || ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || list == nullptr) {
    *error = ERROR_WINHTTP_NAME_NOT_RESOLVED;
    return -1;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  *error = ERROR_WINHTTP_CANNOT_CONNECT;
  int fd = -1;
  for (struct addrinfo* a = list; a != nullptr && fd < 0; a = a->ai_next) {
    int s = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (s < 0) continue;
    int r = ::connect(s, a->ai_addr, a->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS) {
      int left = 0;
      if (timeoutMs > 0) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        left = ms > 0 ? static_cast<int>(ms) : -1;
      }
      int w = left < 0 ? 0 : waitFor(s, POLLOUT, left);
      if (w == 0) {
        ::close(s);
        *error = ERROR_WINHTTP_TIMEOUT;
        break;
      }
      int soError = 0;
      socklen_t len = sizeof soError;
      if (w < 0 || ::getsockopt(s, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 || soError != 0)
        r = -1;
      else
        r = 0;
    }
    if (r == 0)
      fd = s;
    else
      ::close(s);
  }
  ::freeaddrinfo(list);
  return fd;
}

// The TLS client context, with the system's trust anchors and those of the
// "Root" store. Made again only when the Root store's certificates changed.
// Freed when the family is unloaded: a deliverable that loaded it may go
// while its host runs on.
struct ClientContext {
  ~ClientContext() {
    if (ctx != nullptr) SSL_CTX_free(ctx);
  }
  std::mutex mutex;
  std::string rootKey;  // SHA-1s of the Root certificates it was made with
  SSL_CTX* ctx = nullptr;
} gClient;

std::vector<std::vector<BYTE>> rootCertificates(std::string* key) {
  std::vector<std::vector<BYTE>> out;
  key->clear();
  HCERTSTORE store = CertOpenSystemStoreW(0, u"Root");
  if (store == nullptr) return out;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c)) {
    BYTE sha1[20];
    DWORD n = sizeof sha1;
    if (CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, sha1, &n))
      key->append(reinterpret_cast<char*>(sha1), n);
    out.emplace_back(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
  }
  CertCloseStore(store, 0);
  return out;
}

// A reference on the current client context (free with SSL_CTX_free), or NULL.
SSL_CTX* clientContext() {
  std::string key;
  std::vector<std::vector<BYTE>> roots = rootCertificates(&key);
  std::lock_guard<std::mutex> lock(gClient.mutex);
  if (gClient.ctx == nullptr || key != gClient.rootKey) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) return nullptr;
    SSL_CTX_set_default_verify_paths(ctx);
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    for (const auto& der : roots) {
      const unsigned char* p = der.data();
      X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
      if (x == nullptr) continue;
      X509_STORE_add_cert(store, x);
      X509_free(x);
    }
    ERR_clear_error();
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    // Every request is a fresh connection; nothing is resumed.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    if (gClient.ctx != nullptr) SSL_CTX_free(gClient.ctx);
    gClient.ctx = ctx;
    gClient.rootKey = key;
  }
  SSL_CTX_up_ref(gClient.ctx);
  return gClient.ctx;
}

DWORD certificateError(long verify) {
  switch (verify) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED: return ERROR_WINHTTP_SECURE_INVALID_CA;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD: return ERROR_WINHTTP_SECURE_CERT_DATE_INVALID;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return ERROR_WINHTTP_SECURE_CERT_CN_INVALID;
    default: return ERROR_WINHTTP_SECURE_FAILURE;
  }
}

// Drives one TLS operation to its end, waiting as OpenSSL asks. Returns the
// operation's result (> 0 done) or 0 with *error set.
template <class Op>
int tlsStep(Request& r, Op op, DWORD failure, DWORD* error) {
  for (;;) {
    ERR_clear_error();
    int n = op();
    if (n > 0) return n;
    int e = SSL_get_error(r.ssl, n);
    int w;
    if (e == SSL_ERROR_WANT_READ) {
      w = waitFor(r.fd, POLLIN, r.timeouts.receive);
    } else if (e == SSL_ERROR_WANT_WRITE) {
      w = waitFor(r.fd, POLLOUT, r.timeouts.send);
    } else {
      *error = e == SSL_ERROR_ZERO_RETURN ? ERROR_WINHTTP_CONNECTION_ERROR : failure;
      ERR_clear_error();
      return 0;
    }
    if (w == 0) {
      *error = ERROR_WINHTTP_TIMEOUT;
      return 0;
    }
    if (w < 0) {
      *error = ERROR_WINHTTP_CONNECTION_ERROR;
      return 0;
    }
  }
}

bool writeAll(Request& r, const std::string& data, DWORD* error) {
  size_t done = 0;
  while (done < data.size()) {
    if (r.ssl != nullptr) {
      int n = tlsStep(
          r, [&] { return SSL_write(r.ssl, data.data() + done, static_cast<int>(data.size() - done)); },
          ERROR_WINHTTP_CONNECTION_ERROR, error);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
      continue;
    }
    ssize_t n = ::send(r.fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int w = waitFor(r.fd, POLLOUT, r.timeouts.send);
      if (w > 0) continue;
      *error = w == 0 ? ERROR_WINHTTP_TIMEOUT : ERROR_WINHTTP_CONNECTION_ERROR;
      return false;
    }
    *error = ERROR_WINHTTP_CONNECTION_ERROR;
    return false;
  }
  return true;
}

// Reads some bytes; 0 at the end of the stream, -1 with *error set.
long readSome(Request& r, char* buf, size_t size, DWORD* error) {
  if (r.ssl != nullptr) {
    DWORD e = 0;
    int n = tlsStep(
        r, [&] { return SSL_read(r.ssl, buf, static_cast<int>(size)); }, ERROR_WINHTTP_CONNECTION_ERROR, &e);
    if (n > 0) return n;
    if (e == ERROR_WINHTTP_CONNECTION_ERROR) return 0;  // closed (with or without close_notify)
    *error = e;
    return -1;
  }
  for (;;) {
    ssize_t n = ::recv(r.fd, buf, size, 0);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      int w = waitFor(r.fd, POLLIN, r.timeouts.receive);
      if (w > 0) continue;
      *error = w == 0 ? ERROR_WINHTTP_TIMEOUT : ERROR_WINHTTP_CONNECTION_ERROR;
      return -1;
    }
    *error = ERROR_WINHTTP_CONNECTION_ERROR;
    return -1;
  }
}

DWORD sendRequest(Request& r) {
  const Connect& c = *r.connect;
  std::string host = c.server;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  INTERNET_PORT port = c.port;
  INTERNET_PORT defaultPort = r.secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
  if (port == INTERNET_DEFAULT_PORT) port = defaultPort;

  DWORD error = 0;
  r.fd = connectTo(host, port, r.timeouts.connect, &error);
  if (r.fd < 0) return error;

  if (r.secure) {
    SSL_CTX* ctx = clientContext();
    if (ctx == nullptr) return ERROR_WINHTTP_SECURE_FAILURE;
    r.ssl = SSL_new(ctx);
    SSL_CTX_free(ctx);
    if (r.ssl == nullptr || SSL_set_fd(r.ssl, r.fd) != 1) return ERROR_WINHTTP_SECURE_FAILURE;
    bool literal = isAddressLiteral(host);
    if (literal) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(r.ssl), host.c_str());
    } else {
      SSL_set_tlsext_host_name(r.ssl, host.c_str());
      SSL_set1_host(r.ssl, host.c_str());
    }
    if (tlsStep(
            r, [&] { return SSL_connect(r.ssl); }, ERROR_WINHTTP_SECURE_FAILURE, &error) <= 0) {
      long verify = SSL_get_verify_result(r.ssl);
      if (error != ERROR_WINHTTP_TIMEOUT)
        error = verify != X509_V_OK ? certificateError(verify) : ERROR_WINHTTP_SECURE_FAILURE;
      return error;
    }
    r.cert = SSL_get1_peer_certificate(r.ssl);
    if (r.cert == nullptr) return ERROR_WINHTTP_SECURE_FAILURE;
    r.cipherBits = static_cast<DWORD>(SSL_CIPHER_get_bits(SSL_get_current_cipher(r.ssl), nullptr));
  }

  std::string hostHeader = c.server;
  if (port != defaultPort) hostHeader += ":" + std::to_string(port);
  std::string head = r.verb + " " + r.object + " HTTP/1.1\r\nHost: " + hostHeader + "\r\n";
  if (!c.session->agent.empty()) head += "User-Agent: " + c.session->agent + "\r\n";
  head += "Connection: close\r\n\r\n";
  if (!writeAll(r, head, &error)) return error;
  return 0;
}

DWORD receiveResponse(Request& r) {
  std::string head;
  char buf[4096];
  constexpr size_t kMaxHead = 64 * 1024;
  for (;;) {
    DWORD error = 0;
    long n = readSome(r, buf, sizeof buf, &error);
    if (n < 0) return error;
    if (n == 0) return head.empty() ? ERROR_WINHTTP_CONNECTION_ERROR : ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    head.append(buf, static_cast<size_t>(n));
    if (head.find("\r\n\r\n") != std::string::npos) break;
    if (head.size() > kMaxHead) return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
  }
  // "HTTP/1.x NNN ..."
  if (head.compare(0, 5, "HTTP/") != 0) return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
  size_t sp = head.find(' ');
  if (sp == std::string::npos || sp + 4 > head.size()) return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
  for (size_t i = sp + 1; i < sp + 4; ++i)
    if (head[i] < '0' || head[i] > '9') return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
  return 0;
}

void toFileTime(const ASN1_TIME* t, FILETIME* ft) {
  struct tm tm;
  std::memset(&tm, 0, sizeof tm);
  ft->dwLowDateTime = ft->dwHighDateTime = 0;
  if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return;
  long long seconds = static_cast<long long>(timegm(&tm));
  unsigned long long v = static_cast<unsigned long long>(seconds + 11644473600LL) * 10000000ULL;
  ft->dwLowDateTime = static_cast<DWORD>(v);
  ft->dwHighDateTime = static_cast<DWORD>(v >> 32);
}

// A name as its values, one a line, in encoded order, in a LocalAlloc'd block.
LPWSTR nameLines(const X509_NAME* name) {
  unsigned char* der = nullptr;
  int len = i2d_X509_NAME(name, &der);
  if (len <= 0) return nullptr;
  CERT_NAME_BLOB blob{static_cast<DWORD>(len), der};
  const DWORD type = CERT_SIMPLE_NAME_STR | CERT_NAME_STR_CRLF_FLAG;
  DWORD n = CertNameToStrW(X509_ASN_ENCODING, &blob, type, nullptr, 0);
  auto* out = static_cast<LPWSTR>(LocalAlloc(LPTR, (n == 0 ? 1 : n) * sizeof(WCHAR)));
  if (out != nullptr && n > 0) CertNameToStrW(X509_ASN_ENCODING, &blob, type, out, n);
  OPENSSL_free(der);
  return out;
}

}  // namespace

PLATFORM_API HINTERNET WinHttpOpen(LPCWSTR agent, DWORD accessType, LPCWSTR proxyName, LPCWSTR proxyBypass,
                                   DWORD flags) {
  // Only direct connections: the default setting is "no proxy" here.
  if ((accessType != WINHTTP_ACCESS_TYPE_DEFAULT_PROXY && accessType != WINHTTP_ACCESS_TYPE_NO_PROXY) ||
      proxyName != nullptr || proxyBypass != nullptr || (flags & WINHTTP_FLAG_ASYNC) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto s = std::make_shared<Session>();
  s->agent = utf8(agent);
  // A user agent never ends the header line it goes into.
  for (char& ch : s->agent)
    if (ch == '\r' || ch == '\n') ch = ' ';
  s->timeouts = defaultTimeouts();
  SetLastError(ERROR_SUCCESS);
  return publish(s);
}

PLATFORM_API HINTERNET WinHttpConnect(HINTERNET session, LPCWSTR serverName, INTERNET_PORT serverPort, DWORD reserved) {
  auto s = lookupAs<Session>(session, Kind::Session);
  if (s == nullptr) return nullptr;
  if (serverName == nullptr || *serverName == 0 || reserved != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto c = std::make_shared<Connect>();
  c->session = s;
  c->server = utf8(serverName);
  for (char ch : c->server) {
    if (static_cast<unsigned char>(ch) <= 0x20 || ch == '/' || ch == '\\') {
      SetLastError(ERROR_WINHTTP_INVALID_URL);
      return nullptr;
    }
  }
  c->port = serverPort;
  c->timeouts = s->timeouts;
  SetLastError(ERROR_SUCCESS);
  return publish(c);
}

PLATFORM_API HINTERNET WinHttpOpenRequest(HINTERNET connect, LPCWSTR verb, LPCWSTR objectName, LPCWSTR /*version*/,
                                          LPCWSTR /*referrer*/, LPCWSTR* /*acceptTypes*/, DWORD flags) {
  auto c = lookupAs<Connect>(connect, Kind::Connect);
  if (c == nullptr) return nullptr;
  auto r = std::make_shared<Request>();
  r->connect = c;
  r->verb = verb == nullptr || *verb == 0 ? "GET" : utf8(verb);
  for (char ch : r->verb) {
    if (!((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || ch == '-')) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
  }
  r->object = requestTarget(objectName);
  r->secure = (flags & WINHTTP_FLAG_SECURE) != 0;
  r->timeouts = c->timeouts;
  SetLastError(ERROR_SUCCESS);
  return publish(r);
}

PLATFORM_API BOOL WinHttpSendRequest(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                                     DWORD optionalLength, DWORD totalLength, DWORD_PTR /*context*/) {
  auto r = lookupAs<Request>(request, Kind::Request);
  if (r == nullptr) return FALSE;
  // Extra headers and request bodies are not offered.
  if ((headers != nullptr && headersLength != 0) || optional != nullptr || optionalLength != 0 || totalLength != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (r->state != State::Opened) {
    SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    return FALSE;
  }
  NoSigpipe guard;
  DWORD error = sendRequest(*r);
  if (error != 0) {
    r->state = State::Failed;
    SetLastError(error);
    return FALSE;
  }
  r->state = State::Sent;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

PLATFORM_API BOOL WinHttpReceiveResponse(HINTERNET request, LPVOID reserved) {
  auto r = lookupAs<Request>(request, Kind::Request);
  if (r == nullptr) return FALSE;
  if (reserved != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (r->state != State::Sent) {
    SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    return FALSE;
  }
  NoSigpipe guard;
  DWORD error = receiveResponse(*r);
  if (error != 0) {
    r->state = State::Failed;
    SetLastError(error);
    return FALSE;
  }
  r->state = State::Received;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

PLATFORM_API BOOL WinHttpQueryOption(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD bufferLength) {
  if (bufferLength == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<Handle> any = lookup(handle);
  if (any == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (option != WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT) {
    SetLastError(ERROR_WINHTTP_INVALID_OPTION);
    return FALSE;
  }
  if (any->kind != Kind::Request) {
    SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    return FALSE;
  }
  auto& r = static_cast<Request&>(*any);
  if (r.cert == nullptr) {
    SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    return FALSE;
  }
  if (buffer == nullptr || *bufferLength < sizeof(WINHTTP_CERTIFICATE_INFO)) {
    *bufferLength = sizeof(WINHTTP_CERTIFICATE_INFO);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  WINHTTP_CERTIFICATE_INFO info;
  std::memset(&info, 0, sizeof info);
  toFileTime(X509_get0_notAfter(r.cert), &info.ftExpiry);
  toFileTime(X509_get0_notBefore(r.cert), &info.ftStart);
  info.lpszSubjectInfo = nameLines(X509_get_subject_name(r.cert));
  info.lpszIssuerInfo = nameLines(X509_get_issuer_name(r.cert));
  if (info.lpszSubjectInfo == nullptr || info.lpszIssuerInfo == nullptr) {
    LocalFree(info.lpszSubjectInfo);
    LocalFree(info.lpszIssuerInfo);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  info.dwKeySize = r.cipherBits;
  std::memcpy(buffer, &info, sizeof info);
  *bufferLength = sizeof info;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

PLATFORM_API BOOL WinHttpSetTimeouts(HINTERNET handle, int resolveTimeout, int connectTimeout, int sendTimeout,
                                     int receiveTimeout) {
  if (resolveTimeout < -1 || connectTimeout < -1 || sendTimeout < -1 || receiveTimeout < -1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<Handle> h = lookup(handle);
  if (h == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto value = [](int v) { return v < 0 ? 0 : v; };
  h->timeouts.resolve = value(resolveTimeout);
  h->timeouts.connect = value(connectTimeout);
  h->timeouts.send = value(sendTimeout);
  h->timeouts.receive = value(receiveTimeout);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

PLATFORM_API BOOL WinHttpCloseHandle(HINTERNET handle) {
  std::shared_ptr<Handle> h;
  {
    std::lock_guard<std::mutex> lock(gHandlesMutex);
    auto it = gHandles.find(handle);
    if (it == gHandles.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    h = std::move(it->second);
    gHandles.erase(it);
  }
  h.reset();  // outside the lock: a request's connection closes here
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

PLATFORM_API DWORD PlatformWinHttpOpenHandles() {
  std::lock_guard<std::mutex> lock(gHandlesMutex);
  return static_cast<DWORD>(gHandles.size());
}
