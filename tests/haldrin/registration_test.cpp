// Registration and the module objects: the keys registration writes (and
// nothing else), what unregistration leaves, class objects, unloading once
// the last control has gone, the interface's table, and Teskel and Haldrin
// in one process each with their own library state.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "ClassesTree.h"
#include "HaldrinSupport.h"
#include "TestRoot.h"
#include "haldrin_h.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/resources.h"
#include "platform/winreg.h"

using namespace haldrintest;


// The interface's table as the control lays it out: the listed members, then
// one operation the type library does not list. (Outside the unnamed
// namespace: a class only this file could implement would let the compiler
// call the pure function directly.)
struct IHaldrinCtrlTable : public IHaldrinCtrl {
  virtual HRESULT unlistedOperation() = 0;
};

TEST(HaldrinRegistration, WritesExactlyTheListedKeysAndUnregistersToTheParents) {
  // The bare TypeLib and Interface parents may be left from an earlier test.
  expectRegistrationRoundTrip({"Haldrin", "{4B9E2D17-6C3A-4F85-B0D2-7A1E5C9F3B46}", "Haldrin.HaldrinSignat",
                               "Haldrin.HaldrinSign.1", "HaldrinCtrl Class", CLSID_HaldrinCtrl, LIBID_HaldrinLib,
                               IID_IHaldrinCtrl, "IHaldrinCtrl", "Haldrin 1.0 型別程式庫", "103", haldrinPath()},
                              true);
}

TEST(HaldrinRegistration, ClassObjectsAndUnloadPermission) {
  HMODULE m = PlatformLoadLibraryPath(haldrinPath().c_str());
  ASSERT_NE(m, nullptr);
  auto getClass = reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, LPVOID*)>(GetProcAddress(m, "DllGetClassObject"));
  auto canUnload = reinterpret_cast<HRESULT (*)()>(GetProcAddress(m, "DllCanUnloadNow"));
  ASSERT_TRUE(getClass && canUnload);
  void* factory = reinterpret_cast<void*>(1);
  const GUID other = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(getClass(other, IID_IClassFactory, &factory), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory, nullptr);
  IClassFactory* cf = nullptr;
  ASSERT_EQ(getClass(CLSID_HaldrinCtrl, IID_IClassFactory, reinterpret_cast<void**>(&cf)), S_OK);
  EXPECT_EQ(canUnload(), S_OK);
  IUnknown* control = nullptr;
  ASSERT_EQ(cf->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&control)), S_OK);
  EXPECT_EQ(canUnload(), S_FALSE);

  // The interface's table: null out pointers refused, the unlisted operation
  // answers S_OK and is not reachable by name.
  IHaldrinCtrl* itf = nullptr;
  ASSERT_EQ(control->QueryInterface(IID_IHaldrinCtrl, reinterpret_cast<void**>(&itf)), S_OK);
  EXPECT_EQ(itf->get_LastErrorStr(nullptr), E_POINTER);
  EXPECT_EQ(itf->get_LastErrorCode(nullptr), E_POINTER);
  EXPECT_EQ(itf->getSignedEnvelopByString(nullptr), E_POINTER);
  EXPECT_EQ(itf->getProtectionDataPlain(nullptr), E_POINTER);
  EXPECT_EQ(itf->CallGRD(nullptr, 8, nullptr), E_POINTER);
  EXPECT_EQ(itf->convertTextToImage(nullptr, nullptr, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(itf->setLanguage(nullptr, nullptr), E_POINTER);
  EXPECT_EQ(itf->get_VERSION(nullptr), E_POINTER);
  EXPECT_EQ(static_cast<IHaldrinCtrlTable*>(itf)->unlistedOperation(), S_OK);
  LPOLESTR name = const_cast<LPOLESTR>(u"unlistedOperation");
  DISPID id = 0;
  EXPECT_NE(itf->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
  BSTR version = nullptr;
  ASSERT_EQ(itf->get_VERSION(&version), S_OK);
  EXPECT_EQ(std::u16string(version), u"1.0.0.1");
  SysFreeString(version);
  // Members left out of the listed DISPIDs.
  ITypeInfo* info = nullptr;
  ASSERT_EQ(itf->GetTypeInfo(0, 0, &info), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->cFuncs, 27);
  info->ReleaseTypeAttr(attr);
  info->Release();
  itf->Release();

  control->Release();
  EXPECT_EQ(canUnload(), S_OK);
  cf->Release();
  FreeLibrary(m);
}

TEST_F(HaldrinTest, TheLibraryUnloadsAfterTheLastControlGoes) {
  auto mapped = [] { return testsupport::readFile("/proc/self/maps").find(haldrinPath()) != std::string::npos; };
  {
    Haldrin first;
    Haldrin second;
    EXPECT_TRUE(mapped());
    CoFreeUnusedLibraries();
    EXPECT_TRUE(mapped());
  }
  CoFreeUnusedLibraries();
  EXPECT_FALSE(mapped());
  Haldrin again;
  EXPECT_EQ(again.callText(u"getProtectionDataPlain"), "");  // a fresh module
}

// Teskel and Haldrin in one process: each keeps its own copy of the library,
// so one's envelope, module name or keypad never reaches the other.
TEST_F(HaldrinTest, TeskelAndHaldrinKeepTheirOwnLibraryState) {
  std::string out;
  ASSERT_EQ(regsvr(quote(teskelPath()), &out), 0) << out;
  clearMy();
  importFixture("user");
  const std::string cert = certificateText("user");
  {
    Control teskel;
    Haldrin haldrin;
    ASSERT_EQ(teskel.callLong(u"setDataContentByString", {text("for Teskel")}), 0);
    ASSERT_EQ(teskel.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0) << teskel.lastError();
    // Haldrin has signed nothing.
    EXPECT_TRUE(haldrin.call(u"getSignedEnvelopByString").isNullText());
    // Haldrin's module name stays Haldrin's: Teskel still signs with the store.
    haldrin.put(u"PKCS11LibName", text("othervendor.dll"));
    ASSERT_EQ(haldrin.callLong(u"setDataContentByString", {text("for Haldrin")}), 0);
    EXPECT_NE(haldrin.call(u"sign", {text(cert), text("SHA1"), text("RSA")}).asLong(), 0);
    EXPECT_NE(haldrin.lastError().find("othervendor.dll"), std::string::npos) << haldrin.lastError();
    ASSERT_EQ(teskel.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0) << teskel.lastError();
    Verified t = verifyEnvelopeText(teskel.callText(u"getSignedEnvelopByString"));
    ASSERT_EQ(t.status, 0) << t.output;
    EXPECT_EQ(t.content, "for Teskel");
    haldrin.put(u"PKCS11LibName", text("MicroSoftCAPI"));
    ASSERT_EQ(haldrin.callLong(u"sign", {text(cert), text("SHA1"), text("RSA")}), 0) << haldrin.lastError();
    Verified h = verifyEnvelopeText(haldrin.callText(u"getSignedEnvelopByString"));
    ASSERT_EQ(h.status, 0) << h.output;
    EXPECT_EQ(h.content, "for Haldrin");
  }
  regsvr("-u " + quote(teskelPath()));
}

// The deliverable carries its dialogs and texts in 1028 and 1033 only.
TEST(HaldrinResources, DialogsAndTextsInTwoLanguages) {
  HMODULE m = PlatformLoadLibraryPath(haldrinPath().c_str());
  ASSERT_NE(m, nullptr);
  for (WORD language : {1028, 1033}) {
    SCOPED_TRACE(language);
    for (WORD dialog : {102, 103, 104, 107, 201, 202, 203, 204})
      EXPECT_NE(FindResourceExW(m, RT_DIALOG, PlatformIntResource{dialog}, language), nullptr) << dialog;
    char16_t buf[256];
    for (UINT id : {100u, 107u, 110u, 111u, 112u, 113u, 114u, 116u, 2507u, 2508u, 500u, 3002u})
      EXPECT_GT(PlatformLoadStringLang(m, id, language, buf, 256), 0) << id;
  }
  for (WORD dialog : {103, 104, 107, 201})
    EXPECT_EQ(FindResourceExW(m, RT_DIALOG, PlatformIntResource{dialog}, 2052), nullptr) << dialog;
  char16_t name[64];
  ASSERT_GT(PlatformLoadStringLang(m, 100, 1033, name, 64), 0);
  EXPECT_EQ(std::u16string(name), u"Haldrin");
  EXPECT_NE(FindResourceW(m, PlatformIntResource{1}, RT_VERSION), nullptr);
  FreeLibrary(m);
}
