// Deliverable Pellmar: the in-process server of the network-address control.
// It carries the proxy and stub of its own interface; every export asks them
// first, and registering the server registers them too.
#include "FetchMAC.h"

namespace {

// The proxy and stub's process-attach step. Calls never cross a process or
// an apartment here, so the factory marshals nothing and there is nothing to
// set up beyond knowing which interfaces it serves.
BOOL proxyStubProcessAttach() { return PellmarLib_ProxyInterfaceCount > 0 ? TRUE : FALSE; }

}  // namespace

// The module object: the lock count, the type library and the object map,
// and the application identifier the registry scripts are given.
class CPellmarModule : public CAtlDllModuleT<CPellmarModule> {
 public:
  DECLARE_LIBID(LIBID_PellmarLib)
  DECLARE_REGISTRY_APPID_RESOURCEID(101, "{AEF9D127-9A0A-441D-8851-A19D41281F66}")
};
CPellmarModule _AtlModule;

// The application object. A start-up that fails leaves the module unable to
// hand out class objects.
class CPellmarApp {
 public:
  CPellmarApp() {
    if (!InitInstance()) _AtlModule.m_bInitFailed = true;
  }
  ~CPellmarApp() { ExitInstance(); }
  CPellmarApp(const CPellmarApp&) = delete;
  CPellmarApp& operator=(const CPellmarApp&) = delete;
  BOOL InitInstance() {
    if (!proxyStubProcessAttach()) return FALSE;
    return TRUE;
  }
  int ExitInstance() { return 0; }
  bool canUnloadNow() const { return true; }
};
CPellmarApp theApp;

OBJECT_ENTRY_AUTO(CLSID_FetchMAC, CFetchMAC)

PLATFORM_API HRESULT DllCanUnloadNow() {
  HRESULT hr = PrxDllCanUnloadNow();
  if (hr != S_OK) return hr;
  return theApp.canUnloadNow() && _AtlModule.GetLockCount() == 0 ? S_OK : S_FALSE;
}

PLATFORM_API HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (PrxDllGetClassObject(PellmarLib_ProxyInterfaces, PellmarLib_ProxyInterfaceCount, rclsid, riid, ppv) == S_OK)
    return S_OK;
  return _AtlModule.DllGetClassObject(rclsid, riid, ppv);
}

PLATFORM_API HRESULT DllRegisterServer() {
  HRESULT hr = _AtlModule.DllRegisterServer();
  if (SUCCEEDED(hr)) hr = PrxDllRegisterServer(PellmarLib_ProxyInterfaces, PellmarLib_ProxyInterfaceCount);
  return hr;
}

// The type library's removal takes the interface's keys; the proxy and stub
// are registered once more so that their own unregistration finds and
// removes everything they wrote.
PLATFORM_API HRESULT DllUnregisterServer() {
  HRESULT hr = _AtlModule.DllUnregisterServer();
  if (SUCCEEDED(hr)) hr = PrxDllRegisterServer(PellmarLib_ProxyInterfaces, PellmarLib_ProxyInterfaceCount);
  if (SUCCEEDED(hr)) hr = PrxDllUnregisterServer(PellmarLib_ProxyInterfaces, PellmarLib_ProxyInterfaceCount);
  return hr;
}
