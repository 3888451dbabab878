#include "FetchMAC.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "ctrlkit/HostAllowList.h"
#include "ctrlkit/ModuleVersion.h"
#include "ctrlkit/ServerCert.h"
#include "platform/kernel.h"
#include "platform/locale.h"

namespace {

constexpr int kIllegalUrl = 61;
constexpr int kEnumerationFailed = 70;
constexpr int kUnknownError = 99;
constexpr std::size_t kLineBuffer = 1024;

// A new script string from 8-bit text in the ANSI code page; null when it
// cannot be made.
BSTR ansiToBstr(const char* text) {
  const int length = static_cast<int>(std::strlen(text));
  if (length == 0) return SysAllocString(u"");
  const int size = MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
  if (size <= 0) return nullptr;
  BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(size));
  if (out == nullptr) return nullptr;
  MultiByteToWideChar(CP_ACP, 0, text, length, out, size);
  return out;
}

std::string toAnsi(const std::u16string& text) {
  if (text.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (size <= 0) throw std::bad_alloc();
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

// Reads the adapters twice (to size the records, then to fill them). A
// second read that fails, or that finds another number of adapters than the
// first, means the table changed under us: the whole enumeration runs once
// more, and a second such change is a failure. 0 with `records` filled, or
// the error number.
int readAdapters(std::vector<CAdapterInfo>& records) {
  int result = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    records.clear();
    std::size_t needed = 0;
    result = getAdaptersInfoList(nullptr, 0, &needed);
    if (result == 0) return 0;  // no adapters: an empty line
    if (result != static_cast<int>(ERROR_INSUFFICIENT_BUFFER)) {
      // The list grew between a size query and its read: the table is changing.
      if (result == static_cast<int>(ERROR_BUFFER_OVERFLOW)) continue;
      return result;
    }
    records.resize(needed / sizeof(CAdapterInfo));
    std::size_t filled = 0;
    result = getAdaptersInfoList(records.data(), records.size() * sizeof(CAdapterInfo), &filled);
    if (result == 0 && filled == needed) return 0;
    if (result == 0) result = static_cast<int>(ERROR_INVALID_DATA);  // another number of adapters
  }
  records.clear();
  return result;
}

}  // namespace

HRESULT CFetchMAC::IOleObject_SetClientSite(IOleClientSite* site) {
  std::lock_guard<std::mutex> guard(m_siteLock);
  return CComControlBase::IOleObject_SetClientSite(site);
}

void CFetchMAC::setMessage(const char* text) {
  std::lock_guard<std::mutex> guard(m_messageLock);
  std::strncpy(m_message, text, sizeof m_message - 1);
  m_message[sizeof m_message - 1] = '\0';
}

// The signature control's host check: the page's host must be on the list,
// and a page served over HTTPS must come from a server whose certificate
// passes the platform's verification and names a host that occurs in the
// page address. The check's own message is kept as the control's until the
// caller writes its own.
int CFetchMAC::checkHostPage() {
  std::u16string url;
  {
    CComPtr<IOleClientSite> site;
    {
      std::lock_guard<std::mutex> guard(m_siteLock);
      site = m_spClientSite;
    }
    LPOLESTR name = nullptr;
    if (SUCCEEDED(AtlGetContainerDisplayName(site, &name)) && name != nullptr) url = name;
    CoTaskMemFree(name);
  }
  LastErrorCode = 0;
  int number = 0;
  hostcheck::PageAddress page;
  if (DWORD error = hostcheck::splitPageAddress(url, &page); error != 0) {
    number = static_cast<int>(error);
  } else if (!hostcheck::isAllowedHost(page.host)) {
    number = 0;
  } else if (!page.secure || ctrlkit::serverNameInAddress(url, &number)) {
    return 0;
  }
  char text[64];
  std::snprintf(text, sizeof text, "CHaldrinCtrl::IsWebCtl >> error %d", number);
  LastErrorCode = kIllegalUrl;
  setMessage(text);
  return kIllegalUrl;
}

int CFetchMAC::ToGetIP_MAC(char* buffer) {
  try {
    std::vector<CAdapterInfo> records;
    int result = readAdapters(records);
    if (result != 0) return result;
    std::u16string line;
    for (std::size_t n = 0; n < records.size(); ++n) {
      const CAdapterInfo& r = records[n];
      line += r.getMACAddress();
      line += u':';
      for (int i = 0; i < r.getIPAddressCount(); ++i) {
        if (i > 0) line += u',';
        line += r.getIPAddress(i);
      }
      if (n + 1 < records.size()) line += u'_';
    }
    const std::string text = toAnsi(line);
    const std::size_t length = text.size() < kLineBuffer - 1 ? text.size() : kLineBuffer - 1;
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return 0;
  } catch (...) {
    LastErrorCode = kUnknownError;
    setMessage("CHaldrinCtrl::ToGetIP_MAC >> Unknow Error");
    return kUnknownError;
  }
}

HRESULT CFetchMAC::getIP_MAC(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  try {
    LastErrorCode = 0;
    char buffer[kLineBuffer] = {};
    const int check = checkHostPage();
    hostCheckResult = check;
    if (check != 0) {
      LastErrorCode = kIllegalUrl;
      setMessage("CHaldrinCtrl::getIP_MAC -> The Component can not verify the URL");
      return S_FALSE;
    }
    if (ToGetIP_MAC(buffer) == 0) {
      BSTR line = ansiToBstr(buffer);
      if (line == nullptr) throw std::bad_alloc();
      *pVal = line;
      return S_OK;
    }
    LastErrorCode = kEnumerationFailed;
    setMessage("CHaldrinCtrl::getIP_MAC >> Error");
    *pVal = SysAllocString(u"");
    return S_FALSE;
  } catch (...) {
    LastErrorCode = kUnknownError;
    setMessage("CHaldrinCtrl::getIP_MAC >> Unknow Error");
    return S_FALSE;
  }
}

HRESULT CFetchMAC::get_LastErrorCode(LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = LastErrorCode;
  return S_OK;
}

HRESULT CFetchMAC::get_VERSION(BSTR* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = nullptr;
  const std::u16string version = ctrlkit::versionText(CAtlModule::GetModuleInstance());
  *pVal = SysAllocStringLen(version.data(), static_cast<UINT>(version.size()));
  return *pVal != nullptr ? S_OK : E_OUTOFMEMORY;
}
