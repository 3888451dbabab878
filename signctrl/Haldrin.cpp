// Deliverable Haldrin: the in-process server of the signature control. Its
// global objects (the keypad's result, the module object with the object map
// and lock count, then the application object) live while the library is
// loaded; the four exports are what registration and activation call.
#include "HaldrinCtrl.h"
#include "ctrlkit/ControlServer.h"
#include "protinput/Secret.h"

// The last confirmed keypad, plain and enciphered, for every control of the
// process.
std::u16string protectionPlainData;
std::u16string protectionCipherData;

namespace {
// What the user typed does not outlive the library in freed memory.
struct KeypadResultWipe {
  KeypadResultWipe() = default;
  KeypadResultWipe(const KeypadResultWipe&) = delete;
  KeypadResultWipe& operator=(const KeypadResultWipe&) = delete;
  ~KeypadResultWipe() {
    protinput::WipeString(protectionPlainData);
    protinput::WipeString(protectionCipherData);
  }
} keypadResultWipe;
}  // namespace

// The module object: the lock count, the type library and the object map,
// and the application identifier the registry scripts are given.
class CHaldrinModule : public CAtlDllModuleT<CHaldrinModule> {
 public:
  DECLARE_LIBID(LIBID_HaldrinLib)
  DECLARE_REGISTRY_APPID_RESOURCEID(101, "{4B9E2D17-6C3A-4F85-B0D2-7A1E5C9F3B46}")
};
CHaldrinModule _AtlModule;

// The application object: the kit's, whose start-up and shut-down do nothing of
// their own.
using CHaldrinApp = ctrlkit::CControlApp<CHaldrinModule>;
CHaldrinApp theApp(_AtlModule);

OBJECT_ENTRY_AUTO(CLSID_HaldrinCtrl, CHaldrinCtrl)

CTRLKIT_SERVER_EXPORTS(_AtlModule, theApp)
