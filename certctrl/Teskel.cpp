// Deliverable Teskel: the in-process server of the certificate control. Its
// two global objects (the module object with the object map and lock count,
// then the application object) live while the library is loaded; the four
// exports are what registration and activation call.
#include "TeskelCtrl.h"
#include "ctrlkit/ControlServer.h"

// The module object: the lock count, the type library and the object map,
// and the application identifier the registry scripts are given.
class CTeskelModule : public CAtlDllModuleT<CTeskelModule> {
 public:
  DECLARE_LIBID(LIBID_TeskelLib)
  DECLARE_REGISTRY_APPID_RESOURCEID(101, "{9258644D-2934-4123-A3E2-B96A3809C2DB}")
};
CTeskelModule _AtlModule;

// The application object: the kit's, whose start-up and shut-down do nothing of
// their own.
using CTeskelApp = ctrlkit::CControlApp<CTeskelModule>;
CTeskelApp theApp(_AtlModule);

OBJECT_ENTRY_AUTO(CLSID_TeskelCtrl, CTeskelCtrl)

CTRLKIT_SERVER_EXPORTS(_AtlModule, theApp)
