#include "ClassesTree.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/utf.h"
#include "platform/winreg.h"

namespace testsupport {
namespace {

std::string utf8(const std::u16string& s) { return platform::utf::toUtf8(s); }

void dump(const std::u16string& path, std::set<std::string>& out) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return;
  if (!path.empty()) out.insert(utf8(path));
  for (DWORD i = 0;; ++i) {
    char16_t name[512];
    DWORD nameLength = 512;
    BYTE data[4096];
    DWORD dataSize = sizeof data;
    DWORD type = 0;
    if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) break;
    std::string value = type == REG_SZ ? utf8(std::u16string(reinterpret_cast<char16_t*>(data), dataSize / 2 - 1))
                                       : "type " + std::to_string(type);
    out.insert(utf8(path) + "|" + utf8(std::u16string(name, nameLength)) + "=" + value);
  }
  std::vector<std::u16string> children;
  for (DWORD i = 0;; ++i) {
    char16_t name[512];
    DWORD nameLength = 512;
    if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.emplace_back(name, nameLength);
  }
  RegCloseKey(key);
  for (const auto& c : children) dump(path.empty() ? c : path + u"\\" + c, out);
}

}  // namespace

std::u16string guidText(REFGUID g) {
  OLECHAR buf[40];
  StringFromGUID2(g, buf, 40);
  return buf;
}

std::set<std::string> classesTree() {
  std::set<std::string> out;
  dump(u"", out);
  return out;
}

void createClassesKey(const char16_t* path) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(k);
}

std::set<std::string> addedKeys(const std::set<std::string>& before, const std::set<std::string>& after) {
  std::set<std::string> added;
  for (const auto& k : after)
    if (!before.count(k)) added.insert(k);
  return added;
}

std::set<std::string> controlKeys(const ControlRegistration& c) {
  const std::string& appid = c.appid;
  const std::string& path = c.path;
  const std::string clsid = utf8(guidText(c.clsid));
  const std::string libid = utf8(guidText(c.libid));
  const std::string iid = utf8(guidText(c.iid));
  const std::string cls = "CLSID\\" + clsid;
  const std::string helpDir = path.substr(0, path.find_last_of('/'));
  return {
      "AppID\\" + appid,
      "AppID\\" + appid + "|=" + c.module,
      "AppID\\" + c.module + ".DLL",
      "AppID\\" + c.module + ".DLL|AppID=" + appid,
      c.versionedProgId,
      c.versionedProgId + "|=" + c.className,
      c.versionedProgId + "\\CLSID",
      c.versionedProgId + "\\CLSID|=" + clsid,
      c.progId,
      c.progId + "|=" + c.className,
      c.progId + "\\CLSID",
      c.progId + "\\CLSID|=" + clsid,
      c.progId + "\\CurVer",
      c.progId + "\\CurVer|=" + c.versionedProgId,
      cls,
      cls + "|=" + c.className,
      cls + "|AppID=" + appid,
      cls + "\\ProgID",
      cls + "\\ProgID|=" + c.versionedProgId,
      cls + "\\VersionIndependentProgID",
      cls + "\\VersionIndependentProgID|=" + c.progId,
      cls + "\\Programmable",
      cls + "\\InprocServer32",
      cls + "\\InprocServer32|=" + path,
      cls + "\\InprocServer32|ThreadingModel=Apartment",
      cls + "\\Control",
      cls + "\\ToolboxBitmap32",
      cls + "\\ToolboxBitmap32|=" + path + ", " + c.bitmap,
      cls + "\\MiscStatus",
      cls + "\\MiscStatus|=0",
      cls + "\\MiscStatus\\1",
      cls + "\\MiscStatus\\1|=131473",
      cls + "\\TypeLib",
      cls + "\\TypeLib|=" + libid,
      cls + "\\Version",
      cls + "\\Version|=1.0",
      // The type library, and the interface for the automation marshaller.
      "TypeLib",
      "TypeLib\\" + libid,
      "TypeLib\\" + libid + "\\1.0",
      "TypeLib\\" + libid + "\\1.0|=" + c.typeLibName,
      "TypeLib\\" + libid + "\\1.0\\0",
      "TypeLib\\" + libid + "\\1.0\\0\\win64",
      "TypeLib\\" + libid + "\\1.0\\0\\win64|=" + path,
      "TypeLib\\" + libid + "\\1.0\\FLAGS",
      "TypeLib\\" + libid + "\\1.0\\FLAGS|=0",
      "TypeLib\\" + libid + "\\1.0\\HELPDIR",
      "TypeLib\\" + libid + "\\1.0\\HELPDIR|=" + helpDir,
      "Interface",
      "Interface\\" + iid,
      "Interface\\" + iid + "|=" + c.interfaceName,
      "Interface\\" + iid + "\\ProxyStubClsid",
      "Interface\\" + iid + "\\ProxyStubClsid|={00020424-0000-0000-C000-000000000046}",
      "Interface\\" + iid + "\\ProxyStubClsid32",
      "Interface\\" + iid + "\\ProxyStubClsid32|={00020424-0000-0000-C000-000000000046}",
      "Interface\\" + iid + "\\TypeLib",
      "Interface\\" + iid + "\\TypeLib|=" + libid,
      "Interface\\" + iid + "\\TypeLib|Version=1.0",
  };
}

}  // namespace testsupport
