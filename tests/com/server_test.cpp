// The test server end to end: registered with regsvr, created through the
// registry by class and program identifier, driven through IDispatch, and
// unloaded when its last object goes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ComTestSupport.h"
#include "TestRoot.h"
#include "platform/com.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/winreg.h"
#include "testserver_h.h"

namespace fs = std::filesystem;

using namespace comtest;  // the com tests' shared helpers

namespace {

std::string value(const std::u16string& path, const char16_t* name = nullptr) {
  std::u16string v;
  return regValue(path, name, &v) ? narrow(v) : "<missing>";
}

// Whether a file is mapped into this process.
bool mapped(const std::string& path) {
  return testsupport::readFile("/proc/self/maps").find(path) != std::string::npos;
}

int regsvr(const std::string& args, std::string* out = nullptr) {
  return testsupport::run(std::string(REGSVR_PATH) + " " + args + " 2>&1", out);
}

std::string serverPath() { return fs::canonical(TEST_SERVER_PATH).string(); }

// Registers the test server (from its build location) for the test's duration.
class Registered : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string out;
    ASSERT_EQ(regsvr("'" + serverPath() + "'", &out), 0) << out;
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
  }
  void TearDown() override {
    CoUninitialize();
    regsvr("-u '" + serverPath() + "'");
  }

  IDispatch* create() {
    IDispatch* d = nullptr;
    EXPECT_EQ(
        CoCreateInstance(CLSID_TestCtrl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&d)),
        S_OK);
    return d;
  }
};

struct Call {
  HRESULT hr;
  VARIANT result;
  EXCEPINFO excep;
  UINT argErr;
};

DISPID idOf(IDispatch* d, const char16_t* name) {
  LPOLESTR n = const_cast<LPOLESTR>(name);
  DISPID id = DISPID_UNKNOWN;
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, &n, 1, 0, &id), S_OK) << narrow(name);
  return id;
}

// Calls a member with the arguments in their natural order (the dispatcher
// receives them reversed); the arguments are cleared afterwards.
Call invoke(IDispatch* d, DISPID id, WORD flags, std::vector<VARIANT> args) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &put;
    params.cNamedArgs = 1;
  }
  Call c{};
  VariantInit(&c.result);
  c.argErr = 12345;
  c.hr = d->Invoke(id, IID_NULL, 0, flags, &params, &c.result, &c.excep, &c.argErr);
  for (auto& a : args) VariantClear(&a);
  return c;
}
Call invoke(IDispatch* d, const char16_t* name, WORD flags, std::vector<VARIANT> args) {
  return invoke(d, idOf(d, name), flags, std::move(args));
}
constexpr WORD kMethod = DISPATCH_METHOD | DISPATCH_PROPERTYGET;  // as script engines call

// A client site that counts its references, to see the control let go of it.
struct CountingSite : IOleClientSite {
  ULONG refs = 1;
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IOleClientSite) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
  HRESULT SaveObject() override { return E_NOTIMPL; }
  HRESULT GetMoniker(DWORD, DWORD, IMoniker** pp) override {
    return CreateURLMoniker(nullptr, u"http://127.0.0.1:8080/a", pp);
  }
  HRESULT GetContainer(IOleContainer** pp) override {
    *pp = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT ShowObject() override { return S_OK; }
  HRESULT OnShowWindow(BOOL) override { return S_OK; }
  HRESULT RequestNewObjectLayout() override { return E_NOTIMPL; }
};

// A controlling object that aggregates the control.
struct Outer : IUnknown {
  ULONG refs = 1;
  IUnknown* inner = nullptr;
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return inner != nullptr ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs; }
  ULONG Release() override { return --refs; }
};
}  // namespace

TEST(Regsvr, RegistersAndUnregistersTheServer) {
  const std::string path = serverPath();
  // Keys of other servers under the shared parents.
  HKEY other = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\{00000000-0000-0000-0000-0000000000AA}", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &other, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(other);
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_CLASSES_ROOT, u"AppID\\Other.DLL", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &other, nullptr),
      ERROR_SUCCESS);
  RegCloseKey(other);

  std::string out;
  ASSERT_EQ(regsvr("'" + path + "'", &out), 0) << out;
  const std::u16string appid = u"{9B458945-78CA-4777-AC77-05D027452F78}";
  const std::u16string cls = u"CLSID\\" + guidText(CLSID_TestCtrl);
  const std::u16string lib = guidText(LIBID_ComTestLib);
  struct Expect {
    std::u16string key;
    const char16_t* name;
    std::string value;
  } expected[] = {
      {u"AppID\\" + appid, nullptr, "ComTestServer"},
      {u"AppID\\ComTestServer.DLL", u"AppID", narrow(appid)},
      {u"ComTest.TestCtrl.1", nullptr, "TestCtrl Class"},
      {u"ComTest.TestCtrl.1\\CLSID", nullptr, narrow(guidText(CLSID_TestCtrl))},
      {u"ComTest.TestCtrl", nullptr, "TestCtrl Class"},
      {u"ComTest.TestCtrl\\CurVer", nullptr, "ComTest.TestCtrl.1"},
      {cls, nullptr, "TestCtrl Class"},
      {cls, u"AppID", narrow(appid)},
      {cls + u"\\ProgID", nullptr, "ComTest.TestCtrl.1"},
      {cls + u"\\VersionIndependentProgID", nullptr, "ComTest.TestCtrl"},
      {cls + u"\\InprocServer32", nullptr, path},
      {cls + u"\\InprocServer32", u"ThreadingModel", "Apartment"},
      {cls + u"\\ToolboxBitmap32", nullptr, path + ", 102"},
      {cls + u"\\MiscStatus", nullptr, "0"},
      {cls + u"\\MiscStatus\\1", nullptr, "131473"},
      {cls + u"\\TypeLib", nullptr, narrow(lib)},
      {cls + u"\\Version", nullptr, "1.0"},
      {u"CLSID\\" + guidText(CLSID_Plain) + u"\\InprocServer32", u"ThreadingModel", "Both"},
      {u"TypeLib\\" + lib + u"\\1.0", nullptr, "ComTest 1.0 Type Library"},
      {u"TypeLib\\" + lib + u"\\1.0\\0\\win64", nullptr, path},
      // The server's own proxy and stub replace the automation marshaller.
      {u"Interface\\" + guidText(IID_ITestCtrl), nullptr, "ITestCtrl"},
      {u"Interface\\" + guidText(IID_ITestCtrl) + u"\\ProxyStubClsid32", nullptr, narrow(guidText(IID_ITestCtrl))},
      {u"Interface\\" + guidText(IID_ITestCtrl) + u"\\NumMethods", nullptr, "25"},
      {u"Interface\\" + guidText(IID_ITestCtrl) + u"\\TypeLib", nullptr, narrow(lib)},
      {u"Interface\\" + guidText(IID_IPlain) + u"\\ProxyStubClsid32", nullptr, narrow(guidText(IID_ITestCtrl))},
      {u"CLSID\\" + guidText(IID_ITestCtrl), nullptr, "PSFactoryBuffer"},
      {u"CLSID\\" + guidText(IID_ITestCtrl) + u"\\InprocServer32", u"ThreadingModel", "Both"},
  };
  for (const auto& e : expected) EXPECT_EQ(value(e.key, e.name), e.value) << narrow(e.key);
  EXPECT_TRUE(regKey(cls + u"\\Programmable"));
  EXPECT_TRUE(regKey(cls + u"\\Control"));
  EXPECT_FALSE(regKey(u"CLSID\\" + guidText(CLSID_Plain) + u"\\MiscStatus"));

  ASSERT_EQ(regsvr("-u '" + path + "'", &out), 0) << out;
  EXPECT_TRUE(regKey(u"AppID"));
  EXPECT_TRUE(regKey(u"CLSID"));
  EXPECT_TRUE(regKey(u"CLSID\\{00000000-0000-0000-0000-0000000000AA}"));
  EXPECT_TRUE(regKey(u"AppID\\Other.DLL"));
  for (const std::u16string& gone :
       {u"AppID\\" + appid, std::u16string(u"AppID\\ComTestServer.DLL"), std::u16string(u"ComTest.TestCtrl.1"),
        std::u16string(u"ComTest.TestCtrl"), std::u16string(u"ComTest.Plain"), cls, u"CLSID\\" + guidText(CLSID_Plain),
        u"TypeLib\\" + lib, u"Interface\\" + guidText(IID_ITestCtrl), u"Interface\\" + guidText(IID_IPlain),
        u"CLSID\\" + guidText(IID_ITestCtrl)})
    EXPECT_FALSE(regKey(gone)) << narrow(gone);

  // A second unregistration finds no type library to remove: the HRESULT is printed.
  EXPECT_EQ(regsvr("-u '" + path + "'", &out), 1);
  EXPECT_NE(out.find("0x8002801C"), std::string::npos) << out;
  EXPECT_EQ(regsvr("", &out), 2);
  EXPECT_EQ(regsvr("/no/such/server.so", &out), 1);
  EXPECT_EQ(regsvr(std::string("'") + PLAIN_LIBRARY_PATH + "'", &out), 1);
  EXPECT_NE(out.find("no entry point DllRegisterServer"), std::string::npos) << out;
}

TEST(Regsvr, AModulePathWithAQuoteIsRegisteredAsItIs) {
  std::string dir = testsupport::freshDir("it's here");
  std::string copy = dir + "/server's.so";
  fs::copy_file(TEST_SERVER_PATH, copy);
  std::string quoted = "\"" + copy + "\"";
  std::string out;
  ASSERT_EQ(regsvr(quoted, &out), 0) << out;
  EXPECT_EQ(value(u"CLSID\\" + guidText(CLSID_TestCtrl) + u"\\InprocServer32"), fs::canonical(copy).string());
  EXPECT_EQ(value(u"CLSID\\" + guidText(CLSID_TestCtrl) + u"\\ToolboxBitmap32"),
            fs::canonical(copy).string() + ", 102");

  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  IDispatch* d = nullptr;
  ASSERT_EQ(
      CoCreateInstance(CLSID_TestCtrl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&d)),
      S_OK);
  Call c = invoke(d, u"Add", kMethod, {vI4(1), vI4(2)});
  EXPECT_EQ(c.hr, S_OK);
  EXPECT_EQ(c.result.lVal, 3);
  d->Release();
  CoUninitialize();
  EXPECT_EQ(regsvr("-u " + quoted, &out), 0) << out;
}

TEST(Registration, RunsUnderTheSystemLocaleAndRestoresTheCallers) {
  HMODULE m = PlatformLoadLibraryPath(serverPath().c_str());
  ASSERT_NE(m, nullptr);
  auto reg = reinterpret_cast<HRESULT (*)()>(GetProcAddress(m, "DllRegisterServer"));
  auto unreg = reinterpret_cast<HRESULT (*)()>(GetProcAddress(m, "DllUnregisterServer"));
  auto seen = reinterpret_cast<LCID (*)()>(GetProcAddress(m, "TestServerRegistrationLocale"));
  ASSERT_TRUE(reg != nullptr && unreg != nullptr && seen != nullptr);
  const LCID caller = GetSystemDefaultLCID() == 0x0804 ? 0x0404 : 0x0804;
  ASSERT_TRUE(SetThreadLocale(caller));
  ASSERT_EQ(reg(), S_OK);
  EXPECT_EQ(GetThreadLocale(), caller);
  EXPECT_EQ(seen(), GetSystemDefaultLCID());
  EXPECT_EQ(value(u"CLSID\\" + guidText(CLSID_TestCtrl) + u"\\MiscStatus\\1"), "131473");
  ASSERT_EQ(unreg(), S_OK);
  EXPECT_EQ(GetThreadLocale(), caller);
  EXPECT_FALSE(regKey(u"CLSID\\" + guidText(CLSID_TestCtrl)));
  // A failing unregistration (nothing is registered any more) restores the locale too.
  EXPECT_EQ(unreg(), TYPE_E_REGISTRYACCESS);
  EXPECT_EQ(GetThreadLocale(), caller);
  SetThreadLocale(LOCALE_USER_DEFAULT);
  FreeLibrary(m);
}

TEST_F(Registered, CreatedByClassAndProgramIdentifier) {
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"ComTest.TestCtrl", &clsid), S_OK);
  EXPECT_TRUE(clsid == CLSID_TestCtrl);
  ASSERT_EQ(CLSIDFromProgID(u"comtest.testctrl.1", &clsid), S_OK);
  EXPECT_TRUE(clsid == CLSID_TestCtrl);
  EXPECT_EQ(CLSIDFromProgID(u"ComTest.Nothing", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(CLSIDFromProgID(u"CLSID", &clsid), CO_E_CLASSSTRING);  // a key without a CLSID value
  ASSERT_EQ(CLSIDFromString(u"ComTest.TestCtrl", &clsid), S_OK);
  EXPECT_TRUE(clsid == CLSID_TestCtrl);
  LPOLESTR progId = nullptr;
  ASSERT_EQ(ProgIDFromCLSID(CLSID_TestCtrl, &progId), S_OK);
  EXPECT_EQ(std::u16string(progId), u"ComTest.TestCtrl.1");
  CoTaskMemFree(progId);

  ASSERT_EQ(CLSIDFromProgID(u"ComTest.TestCtrl", &clsid), S_OK);
  IUnknown* u = nullptr;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IUnknown, reinterpret_cast<void**>(&u)), S_OK);
  // Every interface of the control's map, and one identity behind them all.
  const IID* interfaces[] = {&IID_ITestCtrl,         &IID_IDispatch,         &IID_IViewObjectEx,
                             &IID_IViewObject2,      &IID_IViewObject,       &IID_IOleInPlaceObjectWindowless,
                             &IID_IOleInPlaceObject, &IID_IOleWindow,        &IID_IOleInPlaceActiveObject,
                             &IID_IOleControl,       &IID_IOleObject,        &IID_IPersistStreamInit,
                             &IID_IPersist,          &IID_ISupportErrorInfo, &IID_ISpecifyPropertyPages,
                             &IID_IQuickActivate,    &IID_IPersistStorage,   &IID_IObjectSafety,
                             &IID_IDataObject,       &IID_IProvideClassInfo, &IID_IProvideClassInfo2};
  for (const IID* iid : interfaces) {
    IUnknown* p = nullptr;
    ASSERT_EQ(u->QueryInterface(*iid, reinterpret_cast<void**>(&p)), S_OK) << narrow(guidText(*iid));
    IUnknown* identity = nullptr;
    ASSERT_EQ(p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, u);
    identity->Release();
    p->Release();
  }
  IUnknown* none = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(u->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&none)), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  u->Release();

  struct Failure {
    const char* what;
    std::u16string server;  // InprocServer32 of a made-up class; empty: no such key
    DWORD context;
    HRESULT hr;
  } failures[] = {
      {"unregistered class", u"", CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG},
      {"out of process only", wide(serverPath()), CLSCTX_LOCAL_SERVER, REGDB_E_CLASSNOTREG},
      {"missing library", u"/no/such/server.so", CLSCTX_INPROC_SERVER, CO_E_DLLNOTFOUND},
      {"library without the export", wide(PLAIN_LIBRARY_PATH), CLSCTX_INPROC_SERVER, CO_E_ERRORINDLL},
      {"a class the server does not have", wide(serverPath()), CLSCTX_INPROC_SERVER, CLASS_E_CLASSNOTAVAILABLE},
  };
  const GUID madeUp = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  for (const auto& f : failures) {
    std::u16string key = u"CLSID\\" + guidText(madeUp) + u"\\InprocServer32";
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (u"CLSID\\" + guidText(madeUp)).c_str());
    if (!f.server.empty()) {
      HKEY k = nullptr;
      ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
                ERROR_SUCCESS);
      RegSetValueExW(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(f.server.c_str()),
                     static_cast<DWORD>((f.server.size() + 1) * 2));
      RegCloseKey(k);
    }
    IUnknown* p = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(CoCreateInstance(madeUp, nullptr, f.context, IID_IUnknown, reinterpret_cast<void**>(&p)), f.hr) << f.what;
    EXPECT_EQ(p, nullptr) << f.what;
  }
  RegDeleteTreeW(HKEY_CLASSES_ROOT, (u"CLSID\\" + guidText(madeUp)).c_str());
}

TEST(Activation, NeedsAnInitialisedThread) {
  IUnknown* p = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_TestCtrl, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&p)),
            CO_E_NOTINITIALIZED);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(CoCreateInstance(CLSID_TestCtrl, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&p)),
            CO_E_NOTINITIALIZED);
}

TEST_F(Registered, MembersAndPropertiesThroughIDispatch) {
  IDispatch* d = create();
  ASSERT_NE(d, nullptr);
  UINT count = 0;
  EXPECT_EQ(d->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ITypeInfo* ti = nullptr;
  EXPECT_EQ(d->GetTypeInfo(1, 0, &ti), DISP_E_BADINDEX);
  ASSERT_EQ(d->GetTypeInfo(0, 0, &ti), S_OK);
  ti->Release();

  struct Case {
    const char* what;
    const char16_t* member;
    WORD flags;
    std::vector<VARIANT> args;
    HRESULT hr;
    VARTYPE vt;            // of the result
    const char16_t* text;  // a BSTR result
    double number;         // a numeric result
    UINT argErr;           // for a coercion failure: the argument's index in rgvarg
  };
  std::vector<Case> cases;
  cases.push_back({"texts", u"Concat", kMethod, {vStr(u"ab"), vStr(u"cd")}, S_OK, VT_BSTR, u"abcd", 0, 0});
  cases.push_back({"numbers as text", u"Concat", kMethod, {vI4(12), vR8(3.5)}, S_OK, VT_BSTR, u"123.5", 0, 0});
  cases.push_back(
      {"boolean and empty as text", u"Concat", kMethod, {vBool(true), vType(VT_EMPTY)}, S_OK, VT_BSTR, u"-1", 0, 0});
  cases.push_back({"null is no text",
                   u"Concat",
                   kMethod,
                   {vType(VT_NULL), vStr(u"x")},
                   DISP_E_TYPEMISMATCH,
                   VT_EMPTY,
                   nullptr,
                   0,
                   1});
  cases.push_back({"longs", u"Add", kMethod, {vI4(2), vI4(3)}, S_OK, VT_I4, nullptr, 5, 0});
  cases.push_back({"text as long", u"Add", kMethod, {vStr(u"40"), vI4(2)}, S_OK, VT_I4, nullptr, 42, 0});
  cases.push_back({"double as long rounds to even", u"Add", kMethod, {vR8(2.5), vI4(0)}, S_OK, VT_I4, nullptr, 2, 0});
  cases.push_back(
      {"words as long", u"Add", kMethod, {vI4(1), vStr(u"x")}, DISP_E_TYPEMISMATCH, VT_EMPTY, nullptr, 0, 0});
  cases.push_back(
      {"too large for a long", u"Add", kMethod, {vR8(3e10), vI4(0)}, DISP_E_OVERFLOW, VT_EMPTY, nullptr, 0, 1});
  cases.push_back({"too few arguments", u"Add", kMethod, {vI4(1)}, DISP_E_BADPARAMCOUNT, VT_EMPTY, nullptr, 0, 12345});
  cases.push_back({"too many arguments",
                   u"Add",
                   kMethod,
                   {vI4(1), vI4(2), vI4(3)},
                   DISP_E_BADPARAMCOUNT,
                   VT_EMPTY,
                   nullptr,
                   0,
                   12345});
  cases.push_back({"double and unsigned", u"Scale", kMethod, {vR8(1.5), vI4(4)}, S_OK, VT_R8, nullptr, 6, 0});
  cases.push_back(
      {"negative as unsigned", u"Scale", kMethod, {vR8(1.5), vI4(-1)}, DISP_E_OVERFLOW, VT_EMPTY, nullptr, 0, 0});
  cases.push_back({"null as a variant", u"Describe", kMethod, {vType(VT_NULL)}, S_OK, VT_BSTR, u"1:-", 0, 0});
  cases.push_back({"empty as a variant", u"Describe", kMethod, {vType(VT_EMPTY)}, S_OK, VT_BSTR, u"0:", 0, 0});
  cases.push_back({"double as a variant", u"Describe", kMethod, {vR8(1.5)}, S_OK, VT_BSTR, u"5:1.5", 0, 0});
  cases.push_back({"a variant result", u"Echo", kMethod, {vI4(5)}, S_OK, VT_I4, nullptr, 5, 0});
  cases.push_back({"a null text result", u"NullText", kMethod, {}, S_OK, VT_BSTR, nullptr, 0, 0});
  cases.push_back({"wide text", u"Wide", kMethod, {}, S_OK, VT_BSTR, u"\u4e2d\u6587", 0, 0});
  cases.push_back({"method named like an accessor", u"get_Label", kMethod, {}, S_OK, VT_BSTR, u"label", 0, 0});
  cases.push_back({"the property behind it", u"Label", DISPATCH_PROPERTYGET, {}, S_OK, VT_BSTR, u"label", 0, 0});
  cases.push_back({"success other than S_OK", u"Fail", kMethod, {vI4(S_FALSE)}, S_FALSE, VT_EMPTY, nullptr, 0, 0});
  cases.push_back({"a getter is not a setter",
                   u"FlagValue",
                   DISPATCH_PROPERTYPUT,
                   {vI4(1)},
                   DISP_E_MEMBERNOTFOUND,
                   VT_EMPTY,
                   nullptr,
                   0,
                   12345});
  cases.push_back({"a method is not a property",
                   u"Concat",
                   DISPATCH_PROPERTYGET,
                   {vStr(u"a"), vStr(u"b")},
                   DISP_E_MEMBERNOTFOUND,
                   VT_EMPTY,
                   nullptr,
                   0,
                   12345});
  cases.push_back({"nor settable",
                   u"Concat",
                   DISPATCH_PROPERTYPUT,
                   {vStr(u"a")},
                   DISP_E_MEMBERNOTFOUND,
                   VT_EMPTY,
                   nullptr,
                   0,
                   12345});
  for (auto& c : cases) {
    Call r = invoke(d, c.member, c.flags, std::move(c.args));
    EXPECT_EQ(r.hr, c.hr) << c.what;
    EXPECT_EQ(r.result.vt, c.vt) << c.what;
    if (c.vt == VT_BSTR) {
      if (c.text == nullptr) {
        EXPECT_EQ(r.result.bstrVal, nullptr) << c.what;
      } else {
        EXPECT_EQ(str(r.result.bstrVal), c.text) << c.what;
      }
    } else if (c.vt == VT_I4) {
      EXPECT_EQ(r.result.lVal, static_cast<LONG>(c.number)) << c.what;
    } else if (c.vt == VT_R8) {
      EXPECT_EQ(r.result.dblVal, c.number) << c.what;
    }
    if (c.hr == DISP_E_TYPEMISMATCH || c.hr == DISP_E_OVERFLOW) {
      EXPECT_EQ(r.argErr, c.argErr) << c.what;
    }
    VariantClear(&r.result);
  }

  // Properties: set (the value named DISPID_PROPERTYPUT), then read back.
  ASSERT_EQ(invoke(d, u"Count", DISPATCH_PROPERTYPUT, {vStr(u"9")}).hr, S_OK);
  Call got = invoke(d, u"Count", kMethod, {});
  EXPECT_EQ(got.result.vt, VT_I4);
  EXPECT_EQ(got.result.lVal, 9);
  ASSERT_EQ(invoke(d, u"Switch", DISPATCH_PROPERTYPUT, {vI4(1)}).hr, S_OK);
  got = invoke(d, u"Switch", DISPATCH_PROPERTYGET, {});
  EXPECT_EQ(got.result.vt, VT_BOOL);
  EXPECT_EQ(got.result.boolVal, VARIANT_TRUE);

  // A VARIANT setter that reads only the boolean field.
  struct Flag {
    VARIANT value;
    LONG expected;
  } flags[] = {{vBool(true), 1}, {vBool(false), 0},    {vI4(1), 0},
               {vI4(-1), 1},     {vI4(0x0001FFFF), 1}, {vType(VT_EMPTY), 0}};
  for (auto& f : flags) {
    VARTYPE vt = f.value.vt;
    ASSERT_EQ(invoke(d, u"Flag", DISPATCH_PROPERTYPUT, {f.value}).hr, S_OK);
    got = invoke(d, u"FlagValue", DISPATCH_PROPERTYGET, {});
    EXPECT_EQ(got.result.lVal, f.expected) << "vt " << vt;
  }

  // Failures of the member come back as exceptions with their HRESULT.
  Call failed = invoke(d, u"Fail", kMethod, {vI4(E_ACCESSDENIED)});
  EXPECT_EQ(failed.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(failed.excep.scode, E_ACCESSDENIED);
  Call thrown = invoke(d, u"Throw", kMethod, {});
  EXPECT_EQ(thrown.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(thrown.excep.scode, E_UNEXPECTED);

  // A parameter passed by reference.
  BSTR held = SysAllocString(u"abc");
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_BSTR;
  ref.pbstrVal = &held;
  Call swapped = invoke(d, u"Swap", kMethod, {ref});
  EXPECT_EQ(swapped.hr, S_OK);
  EXPECT_EQ(swapped.result.lVal, 3);
  EXPECT_EQ(str(held), u"cba");
  SysFreeString(held);
  Call byValue = invoke(d, u"Swap", kMethod, {vStr(u"abc")});
  EXPECT_EQ(byValue.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(byValue.argErr, 0u);

  // Named arguments go to the parameter they name.
  DISPID concat = idOf(d, u"Concat");
  VARIANT args[2] = {vStr(u"X"), vStr(u"A")};  // rgvarg[0] named "second", rgvarg[1] the first positional
  DISPID named = 1;
  DISPPARAMS params{args, &named, 2, 1};
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(d->Invoke(concat, IID_NULL, 0, kMethod, &params, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(str(result.bstrVal), u"AX");
  VariantClear(&result);
  named = 5;
  UINT argErr = 99;
  EXPECT_EQ(d->Invoke(concat, IID_NULL, 0, kMethod, &params, &result, nullptr, &argErr), DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(argErr, 0u);
  named = 0;  // the first parameter, already given by position
  EXPECT_EQ(d->Invoke(concat, IID_NULL, 0, kMethod, &params, &result, nullptr, &argErr), DISP_E_PARAMNOTFOUND);
  // No result wanted: nothing leaks.
  EXPECT_EQ(d->Invoke(concat, IID_NULL, 0, kMethod, &params, nullptr, nullptr, nullptr), DISP_E_PARAMNOTFOUND);
  named = 1;
  EXPECT_EQ(d->Invoke(concat, IID_NULL, 0, kMethod, &params, nullptr, nullptr, nullptr), S_OK);
  VariantClear(&args[0]);
  VariantClear(&args[1]);

  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(d->Invoke(999, IID_NULL, 0, kMethod, &none, &result, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(d->Invoke(concat, IID_IDispatch, 0, kMethod, &none, &result, nullptr, nullptr), DISP_E_UNKNOWNINTERFACE);
  LPOLESTR n = const_cast<LPOLESTR>(u"Concat");
  DISPID id;
  EXPECT_EQ(d->GetIDsOfNames(IID_IDispatch, &n, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
  d->Release();
}

TEST_F(Registered, TheServerUnloadsAfterItsLastObject) {
  IDispatch* d = create();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(PlatformComLoadedServerCount(), 1u);
  EXPECT_TRUE(mapped(serverPath()));
  HMODULE m = PlatformLoadLibraryPath(serverPath().c_str());
  ASSERT_NE(m, nullptr);
  auto canUnload = reinterpret_cast<HRESULT (*)()>(GetProcAddress(m, "DllCanUnloadNow"));
  ASSERT_NE(canUnload, nullptr);
  EXPECT_EQ(canUnload(), S_FALSE);
  CoFreeUnusedLibraries();
  EXPECT_EQ(PlatformComLoadedServerCount(), 1u);

  IDispatch* second = create();
  d->Release();
  EXPECT_EQ(canUnload(), S_FALSE);
  second->Release();
  EXPECT_EQ(canUnload(), S_OK);

  // A locked class factory keeps the server, an unlocked one does not.
  IClassFactory* cf = nullptr;
  ASSERT_EQ(
      CoGetClassObject(CLSID_TestCtrl, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&cf)),
      S_OK);
  EXPECT_EQ(canUnload(), S_OK);  // a factory alone does not hold the server
  ASSERT_EQ(cf->LockServer(TRUE), S_OK);
  cf->Release();
  EXPECT_EQ(canUnload(), S_FALSE);
  CoFreeUnusedLibraries();
  EXPECT_EQ(PlatformComLoadedServerCount(), 1u);
  ASSERT_EQ(
      CoGetClassObject(CLSID_TestCtrl, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, reinterpret_cast<void**>(&cf)),
      S_OK);
  ASSERT_EQ(cf->LockServer(FALSE), S_OK);
  cf->Release();
  EXPECT_EQ(canUnload(), S_OK);
  FreeLibrary(m);
  CoFreeUnusedLibraries();
  EXPECT_EQ(PlatformComLoadedServerCount(), 0u);
  EXPECT_FALSE(mapped(serverPath())) << "the library is still in the process";

  // Loaded again on the next request.
  IDispatch* again = create();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(invoke(again, u"Add", kMethod, {vI4(20), vI4(22)}).result.lVal, 42);
  again->Release();
}

TEST_F(Registered, AggregatedByAControllingObject) {
  Outer outer;
  IUnknown* inner = nullptr;
  EXPECT_EQ(
      CoCreateInstance(CLSID_TestCtrl, &outer, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&inner)),
      CLASS_E_NOAGGREGATION);
  EXPECT_EQ(CoCreateInstance(CLSID_Plain, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&inner)),
            CLASS_E_NOAGGREGATION);
  ASSERT_EQ(
      CoCreateInstance(CLSID_TestCtrl, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&inner)),
      S_OK);
  outer.inner = inner;
  EXPECT_EQ(outer.refs, 1u);  // the inner object holds no reference on its controller

  IDispatch* d = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d)), S_OK);
  EXPECT_EQ(outer.refs, 2u);  // references to the inner interfaces count on the controller
  IUnknown* identity = nullptr;
  ASSERT_EQ(d->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
  identity->Release();
  IObjectSafety* safety = nullptr;
  ASSERT_EQ(d->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  DWORD supported = 0, enabled = 0;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 3u);
  safety->Release();
  EXPECT_EQ(invoke(d, u"Add", kMethod, {vI4(1), vI4(1)}).result.lVal, 2);
  d->Release();
  EXPECT_EQ(outer.refs, 1u);

  HMODULE m = PlatformLoadLibraryPath(serverPath().c_str());
  auto canUnload = reinterpret_cast<HRESULT (*)()>(GetProcAddress(m, "DllCanUnloadNow"));
  EXPECT_EQ(canUnload(), S_FALSE);
  outer.inner = nullptr;
  EXPECT_EQ(inner->Release(), 0u);
  EXPECT_EQ(canUnload(), S_OK);
  FreeLibrary(m);
}

TEST_F(Registered, ObjectSafetyOptions) {
  IDispatch* d = create();
  ASSERT_NE(d, nullptr);
  IObjectSafety* s = nullptr;
  ASSERT_EQ(d->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&s)), S_OK);
  DWORD supported = 9, enabled = 9;
  EXPECT_EQ(s->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), E_POINTER);
  EXPECT_EQ(s->GetInterfaceSafetyOptions(IID_IDispatch, &supported, nullptr), E_POINTER);
  ASSERT_EQ(s->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA);
  EXPECT_EQ(enabled, 0u);
  supported = enabled = 9;
  EXPECT_EQ(s->GetInterfaceSafetyOptions(IID_IClassFactory, &supported, &enabled), E_NOINTERFACE);
  EXPECT_EQ(supported, 0u);
  EXPECT_EQ(enabled, 0u);

  struct Set {
    const IID* iid;
    DWORD mask, options;
    HRESULT hr;
    DWORD enabledAfter;
  } steps[] = {
      {&IID_IDispatch, 4, 4, E_FAIL, 0},
      {&IID_IDispatch, 7, 3, E_FAIL, 0},
      {&IID_IClassFactory, 1, 1, E_NOINTERFACE, 0},
      {&IID_IDispatch, 3, 3, S_OK, 3},
      {&IID_IPersistStreamInit, 1, 0, S_OK, 2},  // one set of options for every interface
      {&IID_ITestCtrl, 0, 3, S_OK, 2},           // an empty mask changes nothing
      {&IID_IObjectSafety, 2, 1, S_OK, 0},
  };
  for (const auto& st : steps) {
    EXPECT_EQ(s->SetInterfaceSafetyOptions(*st.iid, st.mask, st.options), st.hr) << st.mask << "/" << st.options;
    ASSERT_EQ(s->GetInterfaceSafetyOptions(IID_ITestCtrl, &supported, &enabled), S_OK);
    EXPECT_EQ(enabled, st.enabledAfter) << st.mask << "/" << st.options;
    EXPECT_EQ(supported, 3u);
  }
  s->Release();
  d->Release();
}

TEST_F(Registered, TheControlReadsThePageAddressFromItsSite) {
  IDispatch* d = create();
  ASSERT_NE(d, nullptr);
  IOleObject* ole = nullptr;
  ASSERT_EQ(d->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);

  // No site yet.
  Call c = invoke(d, u"PageUrl", kMethod, {});
  EXPECT_EQ(str(c.result.bstrVal), u"error:0x80004005");
  VariantClear(&c.result);

  IOleClientSite* site = nullptr;
  ASSERT_EQ(PlatformCreateClientSite(u"https://bank.example:8443/ebank/sign?x=1#top", 0, &site), S_OK);
  ASSERT_EQ(ole->SetClientSite(site), S_OK);
  c = invoke(d, u"PageUrl", kMethod, {});
  EXPECT_EQ(str(c.result.bstrVal), u"https://bank.example:8443/ebank/sign?x=1#top");
  VariantClear(&c.result);
  IOleClientSite* back = nullptr;
  ASSERT_EQ(ole->GetClientSite(&back), S_OK);
  EXPECT_EQ(back, site);
  back->Release();
  site->Release();

  // A site without a moniker.
  ASSERT_EQ(PlatformCreateClientSite(u"http://ignored/", PLATFORM_SITE_NO_MONIKER, &site), S_OK);
  ASSERT_EQ(ole->SetClientSite(site), S_OK);
  site->Release();
  c = invoke(d, u"PageUrl", kMethod, {});
  EXPECT_EQ(str(c.result.bstrVal), u"error:0x80004001");
  VariantClear(&c.result);

  // The control holds its site until it is given another or goes away.
  CountingSite counting;
  ASSERT_EQ(ole->SetClientSite(&counting), S_OK);
  EXPECT_EQ(counting.refs, 2u);
  c = invoke(d, u"PageUrl", kMethod, {});
  EXPECT_EQ(str(c.result.bstrVal), u"http://127.0.0.1:8080/a");
  VariantClear(&c.result);

  // The other OLE answers the container asks for.
  DWORD misc = 0;
  EXPECT_EQ(ole->GetMiscStatus(DVASPECT_CONTENT, &misc), S_OK);
  EXPECT_EQ(misc, 0x20191u);
  SIZEL extent{};
  EXPECT_EQ(ole->GetExtent(DVASPECT_CONTENT, &extent), S_OK);
  EXPECT_EQ(extent.cx, 5080);
  EXPECT_EQ(extent.cy, 5080);
  CLSID clsid{};
  EXPECT_EQ(ole->GetUserClassID(&clsid), S_OK);
  EXPECT_TRUE(clsid == CLSID_TestCtrl);
  IProvideClassInfo2* pci = nullptr;
  ASSERT_EQ(d->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&pci)), S_OK);
  ITypeInfo* classInfo = nullptr;
  ASSERT_EQ(pci->GetClassInfo(&classInfo), S_OK);
  TYPEATTR* ta = nullptr;
  ASSERT_EQ(classInfo->GetTypeAttr(&ta), S_OK);
  EXPECT_TRUE(ta->guid == CLSID_TestCtrl);
  EXPECT_EQ(ta->typekind, TKIND_COCLASS);
  classInfo->ReleaseTypeAttr(ta);
  classInfo->Release();
  GUID source{};
  EXPECT_EQ(pci->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), E_FAIL);  // no events
  pci->Release();
  ISupportErrorInfo* sei = nullptr;
  ASSERT_EQ(d->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&sei)), S_OK);
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_ITestCtrl), S_OK);
  EXPECT_EQ(sei->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
  sei->Release();

  ole->Release();
  d->Release();
  EXPECT_EQ(counting.refs, 1u);
}
