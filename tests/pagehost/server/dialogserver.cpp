// The page host's dialog server: a control whose members open a message box
// and a dialog, so that tests can drive the scripted user through a page.
#include <string>

#include "dialogserver_h.h"
#include "platform/comserver.h"
#include "platform/ui.h"

namespace {

class CDialogModule : public CAtlDllModuleT<CDialogModule> {
 public:
  DECLARE_LIBID(LIBID_PageHostTestLib)
};
CDialogModule _AtlModule;

constexpr int kPromptDialog = 200;
constexpr int kAnswerEdit = 201;

struct Prompt {
  std::u16string answer;
};

INT_PTR promptProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    return TRUE;
  }
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    if (LOWORD(wParam) == IDOK) {
      auto* prompt = reinterpret_cast<Prompt*>(GetWindowLongPtrW(dialog, DWLP_USER));
      WCHAR text[256] = {};
      GetDlgItemTextW(dialog, kAnswerEdit, text, 256);
      prompt->answer = text;
    }
    EndDialog(dialog, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

class CDialogCtrl
    : public CComObjectRootEx<CComSingleThreadModel>,
      public IDispatchImpl<IDialogCtrl, &IID_IDialogCtrl, &LIBID_PageHostTestLib, 1, 0>,
      public IOleObjectImpl<CDialogCtrl>,
      public CComCoClass<CDialogCtrl, &CLSID_DialogCtrl>,
      public CComControlBase,
      public IObjectSafetyImpl<CDialogCtrl, INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA> {
 public:
  DECLARE_REGISTRY_RESOURCEID(103)

  BEGIN_COM_MAP(CDialogCtrl)
  COM_INTERFACE_ENTRY(IDialogCtrl)
  COM_INTERFACE_ENTRY(IDispatch)
  COM_INTERFACE_ENTRY(IOleObject)
  COM_INTERFACE_ENTRY(IObjectSafety)
  END_COM_MAP()

  // The button the user chose in an OK/Cancel box.
  HRESULT Ask(BSTR text, LONG* pVal) override {
    *pVal = MessageBoxW(nullptr, text != nullptr ? text : u"", u"Page question", MB_OKCANCEL | MB_ICONQUESTION);
    return S_OK;
  }
  // The typed answer after OK; a null string after Cancel.
  HRESULT Prompt(BSTR* pVal) override {
    ::Prompt prompt;
    INT_PTR r = DialogBoxParamW(_AtlModule.GetModuleInstance(), MAKEINTRESOURCEW(kPromptDialog), nullptr, promptProc,
                                reinterpret_cast<LPARAM>(&prompt));
    *pVal = r == IDOK ? SysAllocStringLen(prompt.answer.data(), static_cast<UINT>(prompt.answer.size())) : nullptr;
    return r == IDOK && *pVal == nullptr ? E_OUTOFMEMORY : S_OK;
  }
};
OBJECT_ENTRY_AUTO(CLSID_DialogCtrl, CDialogCtrl)

}  // namespace

PLATFORM_API HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return _AtlModule.DllGetClassObject(rclsid, riid, ppv);
}
PLATFORM_API HRESULT DllCanUnloadNow() { return _AtlModule.DllCanUnloadNow(); }
PLATFORM_API HRESULT DllRegisterServer() { return _AtlModule.DllRegisterServer(); }
PLATFORM_API HRESULT DllUnregisterServer() { return _AtlModule.DllUnregisterServer(); }
