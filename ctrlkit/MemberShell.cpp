#include "ctrlkit/MemberShell.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ctrlkit/HostAllowList.h"
#include "ctrlkit/ScriptText.h"
#include "ctrlkit/ServerCert.h"

namespace ctrlkit {

HRESULT falseOnThrow(int, bool threw) { return threw ? S_FALSE : S_OK; }
HRESULT falseOnFailure(int code, bool threw) { return (threw || code != 0) ? S_FALSE : S_OK; }
HRESULT alwaysOk(int, bool) { return S_OK; }

ControlShell::ControlShell(const char* classPrefix, HResultPolicy policy, HostCheck hostCheck)
    : m_classPrefix(classPrefix), m_policy(policy), m_hostCheck(hostCheck) {}

ControlShell::~ControlShell() = default;

HRESULT ControlShell::lastErrorCode(LONG* pVal) const {
  if (pVal == nullptr) return E_POINTER;
  *pVal = LastErrorCode;
  return S_OK;
}

HRESULT ControlShell::lastErrorStr(BSTR* pVal, UINT codePage) const {
  if (pVal == nullptr) return E_POINTER;
  return textResult(LastErrorStr, pVal, codePage);
}

namespace {
// Formatted into a temporary first: arguments may be the buffer itself.
void formatAfterPrefix(char (&buffer)[LAST_ERROR_SIZE], const char* prefix, const char* format, va_list args) {
  char temp[LAST_ERROR_SIZE];
  int n = std::snprintf(temp, sizeof temp, "%s::", prefix);
  if (n < 0) n = 0;
  std::size_t used = static_cast<std::size_t>(n) < sizeof temp ? static_cast<std::size_t>(n) : sizeof temp - 1;
  if (std::vsnprintf(temp + used, sizeof temp - used, format, args) < 0) temp[used] = '\0';
  std::memcpy(buffer, temp, sizeof temp);
  buffer[LAST_ERROR_SIZE - 1] = '\0';
}
}  // namespace

void ControlShell::setError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  formatAfterPrefix(LastErrorStr, m_classPrefix, format, args);
  va_end(args);
}

int ControlShell::fail(int result, const char* format, ...) {
  va_list args;
  va_start(args, format);
  formatAfterPrefix(LastErrorStr, m_classPrefix, format, args);
  va_end(args);
  return result;
}

void ControlShell::clearError() { std::memset(LastErrorStr, 0, sizeof LastErrorStr); }

int ControlShell::hostListCheck(const std::u16string& pageAddress) {
  LastErrorCode = 0;
  hostcheck::PageAddress page;
  DWORD error = hostcheck::splitPageAddress(pageAddress, &page);
  if (error != 0) {
    LastErrorCode = code::ILLEGAL_URL;
    setError("IsWebCtl >> error %d", static_cast<int>(error));
    return code::ILLEGAL_URL;
  }
  if (hostcheck::isAllowedHost(page.host)) return 0;
  LastErrorCode = code::ILLEGAL_URL;
  setError("IsWebCtl >> error %d", 0);
  return code::ILLEGAL_URL;
}

int ControlShell::pageCheck(const std::u16string& pageAddress) {
  int result = hostListCheck(pageAddress);
  if (result != 0 || m_hostCheck != HostCheck::ServerCertificate) return result;
  hostcheck::PageAddress page;
  if (hostcheck::splitPageAddress(pageAddress, &page) == 0 && !page.secure) return 0;
  int number = 0;
  if (serverNameInAddress(pageAddress, &number)) return 0;
  LastErrorCode = code::ILLEGAL_URL;
  setError("IsWebCtl >> error %d", number);
  return code::ILLEGAL_URL;
}

void ControlShell::errorLine(int) {}

std::string ControlShell::memberName(const Member& m) {
  if (m.hostGate != nullptr) return m.hostGate;
  if (m.unknownError == nullptr) return std::string();
  std::string name = m.unknownError;
  // Up to the first separator, "->" or the protected-input members' ">>".
  std::size_t cut = std::min(name.find(" ->"), name.find(" >>"));
  return cut == std::string::npos ? name : name.substr(0, cut);
}

}  // namespace ctrlkit
