// In-process activation through the registry.
//
// CoCreateInstance reads HKCR\CLSID\{clsid}\InprocServer32 (default value:
// the library's path), loads that library once per process and asks its
// DllGetClassObject for the class factory. Libraries stay loaded until
// CoFreeUnusedLibraries (or the last CoUninitialize of the process) finds
// that their DllCanUnloadNow answers S_OK. There is one kind of apartment:
// ThreadingModel is written by registration but not acted on.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "platform/kernel.h"

using namespace com_internal;

namespace {

using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
using CanUnloadNowFn = HRESULT (*)();

struct Server {
  HMODULE module = nullptr;
  GetClassObjectFn getClassObject = nullptr;
  CanUnloadNowFn canUnloadNow = nullptr;
};

std::recursive_mutex gMutex;
std::map<std::string, Server>& servers() {
  static auto* m = new std::map<std::string, Server>();
  return *m;
}
int gInitializedThreads = 0;

struct ThreadState {
  ULONG count = 0;
  DWORD model = COINIT_APARTMENTTHREADED;
};
thread_local ThreadState tState;

void freeUnused() {
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  auto& all = servers();
  for (auto it = all.begin(); it != all.end();) {
    Server s = it->second;
    if (s.canUnloadNow != nullptr && s.canUnloadNow() == S_OK) {
      it = all.erase(it);
      FreeLibrary(s.module);
    } else {
      ++it;
    }
  }
}

HRESULT serverFor(const std::u16string& path, Server* out) {
  std::string file = toUtf8(path);
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  auto& all = servers();
  auto it = all.find(file);
  if (it != all.end()) {
    *out = it->second;
    return S_OK;
  }
  HMODULE module = PlatformLoadLibraryPath(file.c_str());
  if (module == nullptr) return CO_E_DLLNOTFOUND;
  Server s;
  s.module = module;
  s.getClassObject = reinterpret_cast<GetClassObjectFn>(GetProcAddress(module, "DllGetClassObject"));
  s.canUnloadNow = reinterpret_cast<CanUnloadNowFn>(GetProcAddress(module, "DllCanUnloadNow"));
  if (s.getClassObject == nullptr) {
    FreeLibrary(module);
    return CO_E_ERRORINDLL;
  }
  all[file] = s;
  *out = s;
  return S_OK;
}
}  // namespace

PLATFORM_API HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved != nullptr) return E_INVALIDARG;
  DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
  if (tState.count > 0) {
    if (model != tState.model) return RPC_E_CHANGED_MODE;
    ++tState.count;
    return S_FALSE;
  }
  tState.count = 1;
  tState.model = model;
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  ++gInitializedThreads;
  return S_OK;
}

PLATFORM_API HRESULT CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

PLATFORM_API void CoUninitialize() {
  if (tState.count == 0) return;
  if (--tState.count > 0) return;
  bool last;
  {
    std::lock_guard<std::recursive_mutex> lock(gMutex);
    last = --gInitializedThreads == 0;
  }
  // Libraries whose objects are still alive stay loaded.
  if (last) freeUnused();
}

PLATFORM_API HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if (tState.count == 0) return CO_E_NOTINITIALIZED;
  if (!(dwClsContext & CLSCTX_INPROC_SERVER)) return REGDB_E_CLASSNOTREG;
  std::u16string path;
  if (!readRegString(HKEY_CLASSES_ROOT, u"CLSID\\" + guidText(rclsid) + u"\\InprocServer32", nullptr, &path) ||
      path.empty())
    return REGDB_E_CLASSNOTREG;
  Server s;
  HRESULT hr = serverFor(path, &s);
  if (FAILED(hr)) return hr;
  return s.getClassObject(rclsid, riid, ppv);
}

PLATFORM_API HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                      LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  if (factory == nullptr) return E_UNEXPECTED;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}

PLATFORM_API void CoFreeUnusedLibraries() { freeUnused(); }
PLATFORM_API void CoFreeUnusedLibrariesEx(DWORD, DWORD) { freeUnused(); }

PLATFORM_API ULONG PlatformComLoadedServerCount() {
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  return static_cast<ULONG>(servers().size());
}

PLATFORM_API HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
  if (lpszProgID == nullptr || lpclsid == nullptr) return E_INVALIDARG;
  std::u16string text;
  std::u16string progId = lpszProgID;
  if (progId.empty() || progId.find(u'\\') != std::u16string::npos ||
      !readRegString(HKEY_CLASSES_ROOT, progId + u"\\CLSID", nullptr, &text) || !parseGuid(text, lpclsid)) {
    *lpclsid = CLSID_NULL;
    return CO_E_CLASSSTRING;
  }
  return S_OK;
}

PLATFORM_API HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID) {
  if (lplpszProgID == nullptr) return E_INVALIDARG;
  *lplpszProgID = nullptr;
  std::u16string progId;
  if (!readRegString(HKEY_CLASSES_ROOT, u"CLSID\\" + guidText(clsid) + u"\\ProgID", nullptr, &progId) || progId.empty())
    return REGDB_E_CLASSNOTREG;
  *lplpszProgID = taskString(progId);
  return *lplpszProgID != nullptr ? S_OK : E_OUTOFMEMORY;
}
