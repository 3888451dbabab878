// Registration and unregistration: exactly the keys of the registry scripts,
// the type library and the built-in proxy and stub, and nothing left behind.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "ClassesTree.h"
#include "PellmarSupport.h"
#include "platform/winreg.h"

using namespace pellmartest;

using testsupport::classesTree;
using testsupport::createClassesKey;

TEST(PellmarRegistration, WritesExactlyTheListedKeysAndUnregistersToTheParents) {
  createClassesKey(u"AppID\\Other.DLL");
  createClassesKey(u"CLSID\\{00000000-0000-0000-0000-0000000000AA}\\InprocServer32");
  createClassesKey(u"Interface\\{00000000-0000-0000-0000-0000000000BB}");
  createClassesKey(u"TypeLib\\{00000000-0000-0000-0000-0000000000CC}");  // the shared parents exist on any system
  const std::set<std::string> before = classesTree();

  const std::string path = pellmarPath();
  std::string out;
  ASSERT_EQ(regsvr("'" + path + "'", &out), 0) << out;
  const std::set<std::string> added = testsupport::addedKeys(before, classesTree());

  const std::string clsid = "{C97F2169-358B-4B16-91ED-E047D87214A2}";
  const std::string iid = "{F93A2F89-D0AB-4C9B-85A5-D1A7C326A289}";
  const std::string libid = "{7688C807-4072-4212-AE92-D67F26DE72A6}";
  const std::string appid = "{AEF9D127-9A0A-441D-8851-A19D41281F66}";
  const std::string folder = path.substr(0, path.rfind('/'));
  const std::set<std::string> expected = {
      // script 101
      "AppID\\" + appid, "AppID\\" + appid + "|=Pellmar", "AppID\\Pellmar.DLL", "AppID\\Pellmar.DLL|AppID=" + appid,
      // script 103
      "Pellmar.FetchMAC.1", "Pellmar.FetchMAC.1|=FetchMAC Class", "Pellmar.FetchMAC.1\\CLSID",
      "Pellmar.FetchMAC.1\\CLSID|=" + clsid, "Pellmar.FetchMAC", "Pellmar.FetchMAC|=FetchMAC Class",
      "Pellmar.FetchMAC\\CLSID", "Pellmar.FetchMAC\\CLSID|=" + clsid, "Pellmar.FetchMAC\\CurVer",
      "Pellmar.FetchMAC\\CurVer|=Pellmar.FetchMAC.1", "CLSID\\" + clsid, "CLSID\\" + clsid + "|=FetchMAC Class",
      "CLSID\\" + clsid + "|AppID=" + appid, "CLSID\\" + clsid + "\\ProgID",
      "CLSID\\" + clsid + "\\ProgID|=Pellmar.FetchMAC.1", "CLSID\\" + clsid + "\\VersionIndependentProgID",
      "CLSID\\" + clsid + "\\VersionIndependentProgID|=Pellmar.FetchMAC", "CLSID\\" + clsid + "\\Programmable",
      "CLSID\\" + clsid + "\\InprocServer32", "CLSID\\" + clsid + "\\InprocServer32|=" + path,
      "CLSID\\" + clsid + "\\InprocServer32|ThreadingModel=Both", "CLSID\\" + clsid + "\\TypeLib",
      "CLSID\\" + clsid + "\\TypeLib|=" + libid,
      // the type library
      "TypeLib\\" + libid, "TypeLib\\" + libid + "\\1.0", "TypeLib\\" + libid + "\\1.0|=Pellmar 1.0 Type Library",
      "TypeLib\\" + libid + "\\1.0\\0", "TypeLib\\" + libid + "\\1.0\\0\\win64",
      "TypeLib\\" + libid + "\\1.0\\0\\win64|=" + path, "TypeLib\\" + libid + "\\1.0\\FLAGS",
      "TypeLib\\" + libid + "\\1.0\\FLAGS|=0", "TypeLib\\" + libid + "\\1.0\\HELPDIR",
      "TypeLib\\" + libid + "\\1.0\\HELPDIR|=" + folder,
      // the interface: the type library's keys, its proxy and stub in place of the automation marshaller
      "Interface\\" + iid, "Interface\\" + iid + "|=IFetchMAC", "Interface\\" + iid + "\\ProxyStubClsid",
      "Interface\\" + iid + "\\ProxyStubClsid|={00020424-0000-0000-C000-000000000046}",
      "Interface\\" + iid + "\\ProxyStubClsid32", "Interface\\" + iid + "\\ProxyStubClsid32|=" + iid,
      "Interface\\" + iid + "\\TypeLib", "Interface\\" + iid + "\\TypeLib|=" + libid,
      "Interface\\" + iid + "\\TypeLib|Version=1.0", "Interface\\" + iid + "\\NumMethods",
      "Interface\\" + iid + "\\NumMethods|=10",
      // the proxy and stub's factory
      "CLSID\\" + iid, "CLSID\\" + iid + "|=PSFactoryBuffer", "CLSID\\" + iid + "\\InprocServer32",
      "CLSID\\" + iid + "\\InprocServer32|=" + path, "CLSID\\" + iid + "\\InprocServer32|ThreadingModel=Both"};
  std::string diff;
  for (const auto& k : added)
    if (!expected.count(k)) diff += "unexpected: " + k + "\n";
  for (const auto& k : expected)
    if (!added.count(k)) diff += "missing: " + k + "\n";
  EXPECT_EQ(diff, "");
  // Nothing that was there before was changed or removed.
  for (const auto& k : before) EXPECT_TRUE(classesTree().count(k)) << k;

  // Activation finds both class objects through the registry: the control's
  // factory, and the proxy and stub's factory under the interface's identifier.
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  IUnknown* factory = nullptr;
  EXPECT_EQ(CoGetClassObject(CLSID_FetchMAC, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  if (factory) factory->Release();
  factory = nullptr;
  EXPECT_EQ(CoGetClassObject(IID_IFetchMAC, CLSCTX_INPROC_SERVER, nullptr, IID_IPSFactoryBuffer,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  if (factory) factory->Release();
  CoUninitialize();

  ASSERT_EQ(regsvr("-u '" + path + "'", &out), 0) << out;
  EXPECT_EQ(classesTree(), before);
}
