// Deliverable Teskel: the in-process server of the certificate control. Its
// two global objects (the module object with the object map and lock count,
// then the application object) live while the library is loaded; the four
// exports are what registration and activation call.
#include "TeskelCtrl.h"

// The module object: the lock count, the type library and the object map,
// and the application identifier the registry scripts are given.
class CTeskelModule : public CAtlDllModuleT<CTeskelModule> {
 public:
  DECLARE_LIBID(LIBID_TeskelLib)
  DECLARE_REGISTRY_APPID_RESOURCEID(101, "{9258644D-2934-4123-A3E2-B96A3809C2DB}")
};
CTeskelModule _AtlModule;

// The application object. Its start-up and shut-down do nothing of their
// own, and it keeps no objects that would hold the library loaded.
class CTeskelApp {
 public:
  CTeskelApp() { InitInstance(); }
  ~CTeskelApp() { ExitInstance(); }
  CTeskelApp(const CTeskelApp&) = delete;
  CTeskelApp& operator=(const CTeskelApp&) = delete;
  BOOL InitInstance() { return TRUE; }
  int ExitInstance() { return 0; }
  bool canUnloadNow() const { return true; }
};
CTeskelApp theApp;

OBJECT_ENTRY_AUTO(CLSID_TeskelCtrl, CTeskelCtrl)

PLATFORM_API HRESULT DllCanUnloadNow() {
  return theApp.canUnloadNow() && _AtlModule.GetLockCount() == 0 ? S_OK : S_FALSE;
}

PLATFORM_API HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return _AtlModule.DllGetClassObject(rclsid, riid, ppv);
}

PLATFORM_API HRESULT DllRegisterServer() { return _AtlModule.DllRegisterServer(); }

PLATFORM_API HRESULT DllUnregisterServer() { return _AtlModule.DllUnregisterServer(); }
