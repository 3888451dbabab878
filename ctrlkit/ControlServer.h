// The glue of a control's in-process server that the signing controls'
// modules share: the application object and the four exports over the
// module object (lock count, type library, object map). The module object
// itself, with its type library and application identifier, stays with
// each deliverable.
#pragma once

#include "platform/comserver.h"

namespace ctrlkit {

// The application object. Its start-up and shut-down do nothing of their
// own, and it keeps no objects that would hold the library loaded; a
// start-up that failed would leave the module unable to hand out class
// objects.
template <class Module>
class CControlApp {
 public:
  explicit CControlApp(Module& module) {
    if (!InitInstance()) module.m_bInitFailed = true;
  }
  ~CControlApp() { ExitInstance(); }
  CControlApp(const CControlApp&) = delete;
  CControlApp& operator=(const CControlApp&) = delete;
  BOOL InitInstance() { return TRUE; }
  int ExitInstance() { return 0; }
  bool canUnloadNow() const { return true; }
};

}  // namespace ctrlkit

// The four exports registration and activation call, over the module object
// and the application object. The library unloads only when neither holds it.
#define CTRLKIT_SERVER_EXPORTS(module, app)                                                \
  PLATFORM_API HRESULT DllCanUnloadNow() {                                                 \
    return (app).canUnloadNow() && (module).GetLockCount() == 0 ? S_OK : S_FALSE;          \
  }                                                                                        \
  PLATFORM_API HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {      \
    return (module).DllGetClassObject(rclsid, riid, ppv);                                  \
  }                                                                                        \
  PLATFORM_API HRESULT DllRegisterServer() { return (module).DllRegisterServer(); }        \
  PLATFORM_API HRESULT DllUnregisterServer() { return (module).DllUnregisterServer(); }
