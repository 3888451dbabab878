// The glue of a control's in-process server that the signing controls'
// modules share: the control class's framework declarations and the common
// part of its interface map, the application object and the four exports
// over the module object (lock count, type library, object map). The module object
// itself, with its type library and application identifier, stays with
// each deliverable.
#pragma once

#include "platform/comserver.h"

// A control's framework declarations: its activation traits, its class's
// registry script (resource 103) and a protected final construction.
#define CTRLKIT_CONTROL_DECLARATIONS()                                                            \
  DECLARE_OLEMISC_STATUS(OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT | \
                         OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST)                \
  DECLARE_REGISTRY_RESOURCEID(103)                                                                \
  DECLARE_PROTECT_FINAL_CONSTRUCT()

// The interfaces every control serves after its own, in the map's order.
#define CTRLKIT_CONTROL_COM_ENTRIES()                           \
  COM_INTERFACE_ENTRY(IDispatch)                                \
  COM_INTERFACE_ENTRY(IViewObjectEx)                            \
  COM_INTERFACE_ENTRY(IViewObject2)                             \
  COM_INTERFACE_ENTRY(IViewObject)                              \
  COM_INTERFACE_ENTRY(IOleInPlaceObjectWindowless)              \
  COM_INTERFACE_ENTRY(IOleInPlaceObject)                        \
  COM_INTERFACE_ENTRY2(IOleWindow, IOleInPlaceObjectWindowless) \
  COM_INTERFACE_ENTRY(IOleInPlaceActiveObject)                  \
  COM_INTERFACE_ENTRY(IOleControl)                              \
  COM_INTERFACE_ENTRY(IOleObject)                               \
  COM_INTERFACE_ENTRY(IPersistStreamInit)                       \
  COM_INTERFACE_ENTRY2(IPersist, IPersistStreamInit)            \
  COM_INTERFACE_ENTRY(ISupportErrorInfo)                        \
  COM_INTERFACE_ENTRY(ISpecifyPropertyPages)                    \
  COM_INTERFACE_ENTRY(IQuickActivate)                           \
  COM_INTERFACE_ENTRY(IPersistStorage)                          \
  COM_INTERFACE_ENTRY(IObjectSafety)                            \
  COM_INTERFACE_ENTRY(IDataObject)                              \
  COM_INTERFACE_ENTRY(IProvideClassInfo)                        \
  COM_INTERFACE_ENTRY(IProvideClassInfo2)

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
#define CTRLKIT_SERVER_EXPORTS(module, app)                                           \
  PLATFORM_API HRESULT DllCanUnloadNow() {                                            \
    return (app).canUnloadNow() && (module).GetLockCount() == 0 ? S_OK : S_FALSE;     \
  }                                                                                   \
  PLATFORM_API HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) { \
    return (module).DllGetClassObject(rclsid, riid, ppv);                             \
  }                                                                                   \
  PLATFORM_API HRESULT DllRegisterServer() { return (module).DllRegisterServer(); }   \
  PLATFORM_API HRESULT DllUnregisterServer() { return (module).DllUnregisterServer(); }
