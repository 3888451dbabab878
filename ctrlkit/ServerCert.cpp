#include "ctrlkit/ServerCert.h"

#include <cstring>
#include <vector>

#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/winhttp.h"

namespace ctrlkit {
namespace {

std::string toAnsi(const char16_t* text, size_t length) {
  if (length == 0) return std::string();
  int n = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}

std::u16string fromAnsi(const char* text) {
  if (text == nullptr || *text == '\0') return std::u16string();
  int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (n <= 0) return std::u16string();
  std::u16string out(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

// The last error of a failed step; never 0, so a failure is never read as a
// step that went through.
int stepError() {
  DWORD error = GetLastError();
  return error != 0 ? static_cast<int>(error) : static_cast<int>(ERROR_WINHTTP_INTERNAL_ERROR);
}

// Closes what was opened, request first, on every way out.
struct Handles {
  HINTERNET session = nullptr;
  HINTERNET connect = nullptr;
  HINTERNET request = nullptr;
  ~Handles() {
    if (request != nullptr) WinHttpCloseHandle(request);
    if (connect != nullptr) WinHttpCloseHandle(connect);
    if (session != nullptr) WinHttpCloseHandle(session);
  }
};

// The record's strings belong to the caller once the query succeeded.
struct CertificateInfo {
  WINHTTP_CERTIFICATE_INFO info{};
  ~CertificateInfo() {
    LocalFree(info.lpszSubjectInfo);
    LocalFree(info.lpszIssuerInfo);
    LocalFree(info.lpszProtocolName);
    LocalFree(info.lpszSignatureAlgName);
    LocalFree(info.lpszEncryptionAlgName);
  }
};

}  // namespace

void serverNameFromSubject(const char16_t* subject, char serverName[SERVER_NAME_SIZE]) {
  std::memset(serverName, 0, SERVER_NAME_SIZE);
  if (subject == nullptr) return;
  size_t length = 0;
  while (subject[length] != 0) ++length;
  // The last non-empty line.
  size_t end = length;
  for (;;) {
    size_t start = end;
    while (start >= 2 && !(subject[start - 2] == u'\r' && subject[start - 1] == u'\n')) --start;
    if (start < 2) start = 0;
    if (start < end) {
      std::string line = toAnsi(subject + start, end - start);
      std::memcpy(serverName, line.data(), line.size() < SERVER_NAME_MAX ? line.size() : SERVER_NAME_MAX);
      return;
    }
    if (start == 0) return;
    end = start - 2;
  }
}

int GetServerCertSubject(const char* pageUrl, char serverName[SERVER_NAME_SIZE]) {
  std::memset(serverName, 0, SERVER_NAME_SIZE);
  std::u16string url = fromAnsi(pageUrl);
  char16_t host[256] = {0};
  URL_COMPONENTS uc;
  std::memset(&uc, 0, sizeof uc);
  uc.dwStructSize = sizeof uc;
  uc.lpszHostName = host;
  uc.dwHostNameLength = 256;
  uc.dwSchemeLength = static_cast<DWORD>(-1);
  uc.dwUrlPathLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &uc)) return stepError();
  if (uc.nScheme != INTERNET_SCHEME_HTTPS) return -1;

  Handles h;
  h.session = WinHttpOpen(u"WinHTTP Mirvale/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
  if (h.session == nullptr) return stepError();
  h.connect = WinHttpConnect(h.session, host, uc.nPort, 0);
  if (h.connect == nullptr) return stepError();
  // The address from its path on is the object asked for.
  const char16_t* object = uc.lpszUrlPath != nullptr ? uc.lpszUrlPath : u"/";
  h.request = WinHttpOpenRequest(h.connect, u"GET", object, nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                 WINHTTP_FLAG_SECURE);
  if (h.request == nullptr) return stepError();
  if (!WinHttpSendRequest(h.request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
    return stepError();
  if (!WinHttpReceiveResponse(h.request, nullptr)) return stepError();
  CertificateInfo record;
  DWORD size = sizeof record.info;
  if (!WinHttpQueryOption(h.request, WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT, &record.info, &size))
    return stepError();
  serverNameFromSubject(record.info.lpszSubjectInfo, serverName);
  return 0;
}

bool serverNameInAddress(const std::u16string& pageAddress, int* number) {
  char serverName[SERVER_NAME_SIZE];
  std::string address = toAnsi(pageAddress.c_str(), pageAddress.size());
  int result = GetServerCertSubject(address.c_str(), serverName);
  *number = result;
  if (result != 0) return false;
  // An empty name occurs in every address: without a name there is nothing
  // the page has been checked against.
  std::u16string name = fromAnsi(serverName);
  if (name.empty()) return false;
  return pageAddress.find(name) != std::u16string::npos;
}

}  // namespace ctrlkit
