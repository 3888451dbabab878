// Registration and the module objects: the keys registration writes (and
// nothing else), what unregistration leaves, the caller's locale, class
// objects, and unloading once the last control has gone.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "ClassesTree.h"
#include "TeskelSupport.h"
#include "TestRoot.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/resources.h"
#include "platform/winreg.h"

using namespace teskeltest;

using testsupport::classesTree;
using testsupport::guidText;

TEST(TeskelRegistration, WritesExactlyTheListedKeysAndUnregistersToTheParents) {
  // A registry holding nothing of an earlier registration, so the type
  // library's parents are among the keys this one adds.
  testsupport::FreshRoot root("registration");
  expectRegistrationRoundTrip({"Teskel", "{9258644D-2934-4123-A3E2-B96A3809C2DB}", "Teskel.TeskelCtrl",
                               "Teskel.TeskelCtrl.1", "TeskelCtrl Class", CLSID_TeskelCtrl, LIBID_TeskelLib,
                               IID_ITeskelCtrl, "ITeskelCtrl", "Teskel 1.0 Type Library", "117", teskelPath()},
                              false);
}

TEST(TeskelRegistration, AnEmptyRootKeepsTheAppIdAndClassParents) {
  testsupport::FreshRoot root("empty");
  const std::string path = teskelPath();
  std::string out;
  ASSERT_EQ(regsvr("'" + path + "'", &out), 0) << out;
  ASSERT_EQ(regsvr("-u '" + path + "'", &out), 0) << out;
  std::set<std::string> left = classesTree();
  EXPECT_TRUE(left.count("AppID"));
  EXPECT_TRUE(left.count("CLSID"));
  for (const auto& k : left)
    EXPECT_TRUE(k == "AppID" || k == "CLSID" || k == "TypeLib" || k == "Interface") << "left behind: " << k;
}

// The exports called directly, as an installer and COM call them.
TEST(TeskelRegistration, RunsUnderTheSystemLocaleAndServesOnlyItsClass) {
  HMODULE m = PlatformLoadLibraryPath(teskelPath().c_str());
  ASSERT_NE(m, nullptr);
  auto reg = reinterpret_cast<HRESULT (*)()>(GetProcAddress(m, "DllRegisterServer"));
  auto unreg = reinterpret_cast<HRESULT (*)()>(GetProcAddress(m, "DllUnregisterServer"));
  auto getClass = reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, LPVOID*)>(GetProcAddress(m, "DllGetClassObject"));
  auto canUnload = reinterpret_cast<HRESULT (*)()>(GetProcAddress(m, "DllCanUnloadNow"));
  ASSERT_TRUE(reg && unreg && getClass && canUnload);

  const LCID caller = GetSystemDefaultLCID() == 0x0804 ? 0x0404 : 0x0804;
  ASSERT_TRUE(SetThreadLocale(caller));
  ASSERT_EQ(reg(), S_OK);
  EXPECT_EQ(GetThreadLocale(), caller);
  HKEY k = nullptr;
  std::u16string misc = u"CLSID\\" + guidText(CLSID_TeskelCtrl) + u"\\MiscStatus\\1";
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, misc.c_str(), 0, KEY_READ, &k), ERROR_SUCCESS);
  char16_t buf[32];
  DWORD size = sizeof buf;
  ASSERT_EQ(RegQueryValueExW(k, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size), ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_EQ(std::u16string(buf), u"131473");

  void* factory = reinterpret_cast<void*>(1);
  const GUID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(getClass(other, IID_IClassFactory, &factory), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory, nullptr);
  IClassFactory* cf = nullptr;
  ASSERT_EQ(getClass(CLSID_TeskelCtrl, IID_IClassFactory, reinterpret_cast<void**>(&cf)), S_OK);
  EXPECT_EQ(canUnload(), S_OK);  // a factory alone does not hold the library

  IUnknown* control = nullptr;
  ASSERT_EQ(cf->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&control)), S_OK);
  EXPECT_EQ(canUnload(), S_FALSE);
  IUnknown* second = nullptr;
  ASSERT_EQ(cf->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&second)), S_OK);
  control->Release();
  EXPECT_EQ(canUnload(), S_FALSE);  // one control still lives
  second->Release();
  EXPECT_EQ(canUnload(), S_OK);

  ASSERT_EQ(cf->LockServer(TRUE), S_OK);
  EXPECT_EQ(canUnload(), S_FALSE);
  ASSERT_EQ(cf->LockServer(FALSE), S_OK);
  EXPECT_EQ(canUnload(), S_OK);
  cf->Release();

  ASSERT_EQ(unreg(), S_OK);
  EXPECT_EQ(GetThreadLocale(), caller);
  SetThreadLocale(LOCALE_USER_DEFAULT);
  FreeLibrary(m);
}

TEST_F(TeskelTest, TheLibraryUnloadsAfterTheLastControlGoes) {
  auto mapped = [] { return testsupport::readFile("/proc/self/maps").find(teskelPath()) != std::string::npos; };
  {
    Control first;
    Control second;
    EXPECT_TRUE(mapped());
    CoFreeUnusedLibraries();
    EXPECT_TRUE(mapped());
  }
  CoFreeUnusedLibraries();
  EXPECT_FALSE(mapped());
  // Created again after the unload: a fresh module.
  Control again;
  EXPECT_EQ(again.lastCode(), 0);
}

TEST_F(TeskelTest, AggregatedByAnOuterObject) {
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
  } outer;
  void* p = nullptr;
  EXPECT_EQ(CoCreateInstance(CLSID_TeskelCtrl, &outer, CLSCTX_INPROC_SERVER, IID_IDispatch, &p), CLASS_E_NOAGGREGATION);
  ASSERT_EQ(CoCreateInstance(CLSID_TeskelCtrl, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(&outer.inner)),
            S_OK);
  IDispatch* d = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_ITeskelCtrl, reinterpret_cast<void**>(&d)), S_OK);
  IUnknown* identity = nullptr;
  ASSERT_EQ(d->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
  identity->Release();
  d->Release();
  outer.inner->Release();
}

// The deliverable carries its dialogs and texts in the three languages.
TEST(TeskelResources, DialogsAndTextsInTheThreeLanguages) {
  HMODULE m = PlatformLoadLibraryPath(teskelPath().c_str());
  ASSERT_NE(m, nullptr);
  const WORD languages[] = {1028, 1033, 2052};
  for (WORD language : languages) {
    SCOPED_TRACE(language);
    for (WORD dialog : {104, 105, 106, 107, 113})
      EXPECT_NE(FindResourceExW(m, RT_DIALOG, PlatformIntResource{dialog}, language), nullptr) << dialog;
    char16_t buf[256];
    for (UINT id : {100u, 400u, 401u, 500u, 529u, 532u, 533u, 540u, 541u, 542u})
      EXPECT_GT(PlatformLoadStringLang(m, id, language, buf, 256), 0) << id;
    // 530 in Chinese only, 531 in English only.
    EXPECT_EQ(PlatformLoadStringLang(m, 530, language, buf, 256) > 0, language != 1033);
    EXPECT_EQ(PlatformLoadStringLang(m, 531, language, buf, 256) > 0, language == 1033);
  }
  char16_t name[64];
  ASSERT_GT(PlatformLoadStringLang(m, 100, 1033, name, 64), 0);
  EXPECT_EQ(std::u16string(name), u"Teskel");
  EXPECT_NE(FindResourceW(m, PlatformIntResource{102}, RT_BITMAP), nullptr);
  EXPECT_NE(FindResourceW(m, PlatformIntResource{1}, RT_VERSION), nullptr);
  FreeLibrary(m);
}
