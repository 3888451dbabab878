// The test server: an in-process server built on the platform's server
// framework exactly as a deliverable is, with a control whose members cover
// the kinds of parameters and results the controls use.
#include <stdexcept>
#include <string>

#include "platform/comserver.h"
#include "testserver_h.h"

namespace {

class CTestModule : public CAtlDllModuleT<CTestModule> {
 public:
  DECLARE_LIBID(LIBID_ComTestLib)
  DECLARE_REGISTRY_APPID_RESOURCEID(101, "{9B458945-78CA-4777-AC77-05D027452F78}")
};
CTestModule _AtlModule;

BSTR text(const std::u16string& s) { return SysAllocStringLen(s.data(), static_cast<UINT>(s.size())); }

class CTestCtrl
    : public CComObjectRootEx<CComSingleThreadModel>,
      public IDispatchImpl<ITestCtrl, &IID_ITestCtrl, &LIBID_ComTestLib, 1, 0>,
      public IPersistStreamInitImpl<CTestCtrl>,
      public IOleControlImpl<CTestCtrl>,
      public IOleObjectImpl<CTestCtrl>,
      public IOleInPlaceActiveObjectImpl<CTestCtrl>,
      public IViewObjectExImpl<CTestCtrl>,
      public IOleInPlaceObjectWindowlessImpl<CTestCtrl>,
      public ISupportErrorInfoImpl<&IID_ITestCtrl>,
      public IPersistStorageImpl<CTestCtrl>,
      public ISpecifyPropertyPagesImpl<CTestCtrl>,
      public IQuickActivateImpl<CTestCtrl>,
      public IDataObjectImpl<CTestCtrl>,
      public IProvideClassInfo2Impl<&CLSID_TestCtrl, nullptr, &LIBID_ComTestLib>,
      public CComCoClass<CTestCtrl, &CLSID_TestCtrl>,
      public CComControlBase,
      public IObjectSafetyImpl<CTestCtrl, INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA> {
 public:
  DECLARE_OLEMISC_STATUS(OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT |
                         OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST)
  DECLARE_REGISTRY_RESOURCEID(103)
  DECLARE_PROTECT_FINAL_CONSTRUCT()

  BEGIN_COM_MAP(CTestCtrl)
  COM_INTERFACE_ENTRY(ITestCtrl)
  COM_INTERFACE_ENTRY(IDispatch)
  COM_INTERFACE_ENTRY(IViewObjectEx)
  COM_INTERFACE_ENTRY(IViewObject2)
  COM_INTERFACE_ENTRY(IViewObject)
  COM_INTERFACE_ENTRY(IOleInPlaceObjectWindowless)
  COM_INTERFACE_ENTRY(IOleInPlaceObject)
  COM_INTERFACE_ENTRY2(IOleWindow, IOleInPlaceObjectWindowless)
  COM_INTERFACE_ENTRY(IOleInPlaceActiveObject)
  COM_INTERFACE_ENTRY(IOleControl)
  COM_INTERFACE_ENTRY(IOleObject)
  COM_INTERFACE_ENTRY(IPersistStreamInit)
  COM_INTERFACE_ENTRY2(IPersist, IPersistStreamInit)
  COM_INTERFACE_ENTRY(ISupportErrorInfo)
  COM_INTERFACE_ENTRY(ISpecifyPropertyPages)
  COM_INTERFACE_ENTRY(IQuickActivate)
  COM_INTERFACE_ENTRY(IPersistStorage)
  COM_INTERFACE_ENTRY(IObjectSafety)
  COM_INTERFACE_ENTRY(IDataObject)
  COM_INTERFACE_ENTRY(IProvideClassInfo)
  COM_INTERFACE_ENTRY(IProvideClassInfo2)
  END_COM_MAP()

  HRESULT Concat(BSTR first, BSTR second, BSTR* pVal) override {
    *pVal = text(std::u16string(first != nullptr ? first : u"", SysStringLen(first)) +
                 std::u16string(second != nullptr ? second : u"", SysStringLen(second)));
    return *pVal != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT Add(LONG a, LONG b, LONG* pVal) override {
    *pVal = a + b;
    return S_OK;
  }
  HRESULT get_Count(LONG* pVal) override {
    *pVal = count_;
    return S_OK;
  }
  HRESULT put_Count(LONG newVal) override {
    count_ = newVal;
    return S_OK;
  }
  // Reads only the 16-bit boolean field, whatever the type tag says.
  HRESULT put_Flag(VARIANT newVal) override {
    flag_ = newVal.boolVal == VARIANT_TRUE ? 1 : 0;
    return S_OK;
  }
  HRESULT get_FlagValue(LONG* pVal) override {
    *pVal = flag_;
    return S_OK;
  }
  HRESULT put_Switch(VARIANT_BOOL newVal) override {
    switch_ = newVal;
    return S_OK;
  }
  HRESULT get_Switch(VARIANT_BOOL* pVal) override {
    *pVal = switch_;
    return S_OK;
  }
  // "vt:text": the argument's type tag and its text form (or "-").
  HRESULT Describe(VARIANT value, BSTR* pVal) override {
    VARIANT t;
    VariantInit(&t);
    std::u16string out;
    for (char c : std::to_string(value.vt)) out.push_back(static_cast<char16_t>(c));
    out += u":";
    if (SUCCEEDED(VariantChangeType(&t, &value, 0, VT_BSTR)))
      out += std::u16string(t.bstrVal, SysStringLen(t.bstrVal));
    else
      out += u"-";
    VariantClear(&t);
    *pVal = text(out);
    return S_OK;
  }
  HRESULT Fail(LONG result) override { return result; }
  HRESULT PageUrl(BSTR* pVal) override {
    LPOLESTR name = nullptr;
    HRESULT hr = AtlGetContainerDisplayName(m_spClientSite, &name);
    if (FAILED(hr)) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "error:0x%08X", static_cast<unsigned>(hr));
      std::u16string e;
      for (char* c = buf; *c != 0; ++c) e.push_back(static_cast<char16_t>(*c));
      *pVal = text(e);
      return S_OK;
    }
    *pVal = SysAllocString(name);
    CoTaskMemFree(name);
    return S_OK;
  }
  HRESULT get_Label(BSTR* pVal) override {
    *pVal = text(u"label");
    return S_OK;
  }
  HRESULT Scale(DOUBLE value, ULONG factor, DOUBLE* pVal) override {
    *pVal = value * factor;
    return S_OK;
  }
  // Reverses the caller's string in place (a new string) and gives its old length.
  HRESULT Swap(BSTR* textRef, LONG* pVal) override {
    std::u16string s(*textRef != nullptr ? *textRef : u"", SysStringLen(*textRef));
    *pVal = static_cast<LONG>(s.size());
    std::u16string r(s.rbegin(), s.rend());
    SysFreeString(*textRef);
    *textRef = text(r);
    return S_OK;
  }
  HRESULT Echo(VARIANT value, VARIANT* pVal) override { return VariantCopy(pVal, &value); }
  HRESULT NullText(BSTR* pVal) override {
    *pVal = nullptr;
    return S_OK;
  }
  HRESULT Throw() override { throw std::runtime_error("member failed"); }
  HRESULT Wide(BSTR* pVal) override {
    *pVal = text(u"\u4e2d\u6587");
    return S_OK;
  }

 private:
  LONG count_ = 0;
  LONG flag_ = -1;
  VARIANT_BOOL switch_ = VARIANT_FALSE;
};
OBJECT_ENTRY_AUTO(CLSID_TestCtrl, CTestCtrl)

// The thread locale the last registration of the plain class ran under.
LCID gRegistrationLocale = 0;

class CPlain : public CComObjectRootEx<CComMultiThreadModel>,
               public IDispatchImpl<IPlain, &IID_IPlain, &LIBID_ComTestLib, 1, 0>,
               public CComCoClass<CPlain, &CLSID_Plain> {
 public:
  DECLARE_NOT_AGGREGATABLE(CPlain)
  static HRESULT UpdateRegistry(BOOL bRegister) {
    gRegistrationLocale = GetThreadLocale();
    return AtlUpdateClassRegistry<CPlain>(104, bRegister);
  }
  BEGIN_COM_MAP(CPlain)
  COM_INTERFACE_ENTRY(IPlain)
  COM_INTERFACE_ENTRY(IDispatch)
  END_COM_MAP()
  HRESULT Ping(LONG* pVal) override {
    *pVal = 7;
    return S_OK;
  }
};
OBJECT_ENTRY_AUTO(CLSID_Plain, CPlain)
}  // namespace

// The proxy and stub of the library's interfaces come first, as in a server
// that carries its own.
PLATFORM_API HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  HRESULT hr = PrxDllGetClassObject(ComTestLib_ProxyInterfaces, ComTestLib_ProxyInterfaceCount, rclsid, riid, ppv);
  if (hr != CLASS_E_CLASSNOTAVAILABLE) return hr;
  return _AtlModule.DllGetClassObject(rclsid, riid, ppv);
}
PLATFORM_API HRESULT DllCanUnloadNow() {
  HRESULT hr = PrxDllCanUnloadNow();
  if (hr != S_OK) return hr;
  return _AtlModule.DllCanUnloadNow();
}
PLATFORM_API HRESULT DllRegisterServer() {
  HRESULT hr = _AtlModule.DllRegisterServer();
  if (SUCCEEDED(hr)) hr = PrxDllRegisterServer(ComTestLib_ProxyInterfaces, ComTestLib_ProxyInterfaceCount);
  return hr;
}
PLATFORM_API LCID TestServerRegistrationLocale() { return gRegistrationLocale; }

PLATFORM_API HRESULT DllUnregisterServer() {
  HRESULT hr = _AtlModule.DllUnregisterServer();
  if (SUCCEEDED(hr)) hr = PrxDllUnregisterServer(ComTestLib_ProxyInterfaces, ComTestLib_ProxyInterfaceCount);
  return hr;
}
