// Loading type libraries from files and modules, and their registration:
//   HKCR\TypeLib\{libid}\MAJOR.MINOR = help string (or name)   (version in hexadecimal)
//        ...\MAJOR.MINOR\FLAGS = library flags (decimal)
//        ...\MAJOR.MINOR\HELPDIR = help folder (the library file's folder when none is given)
//        ...\MAJOR.MINOR\LCID\win64 = the library file              (LCID in hexadecimal)
//   HKCR\Interface\{iid} = name, ProxyStubClsid, ProxyStubClsid32 = the automation
//        marshaller, TypeLib = {libid} with the named value Version = MAJOR.MINOR
//   for every dual or oleautomation interface.
// Loading does not register (as REGKIND_NONE); LoadTypeLibEx(REGKIND_REGISTER) does.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "internal.h"
#include "platform/kernel.h"
#include "typelib.h"

using namespace com_internal;

namespace {

std::u16string hexText(unsigned v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", v);
  return toUtf16(buf);
}
std::u16string versionText(WORD major, WORD minor) { return hexText(major) + u"." + hexText(minor); }

const char16_t* syskindName(SYSKIND k) {
  switch (k) {
    case SYS_WIN16: return u"win16";
    case SYS_WIN32: return u"win32";
    case SYS_MAC: return u"mac";
    default: return u"win64";
  }
}

bool readFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  return true;
}

bool isFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

HRESULT loadFromModule(const std::string& path, UINT index, ITypeLib** out) {
  HMODULE module = PlatformLoadLibraryPath(path.c_str());
  if (module == nullptr) return TYPE_E_CANTLOADLIBRARY;
  std::string data;
  bool found = moduleResource(module, u"TYPELIB", index, &data);
  FreeLibrary(module);
  if (!found) return TYPE_E_CANTLOADLIBRARY;
  return PlatformLoadTypeLibFromMemory(data.data(), data.size(), out);
}

HRESULT loadPath(LPCOLESTR file, ITypeLib** out) {
  std::string given = toUtf8(file);
  char mapped[4096];
  if (PlatformMapPath(given.c_str(), mapped, sizeof mapped) == 0) return TYPE_E_CANTLOADLIBRARY;
  std::string path = mapped;
  UINT index = 1;
  if (!isFile(path)) {
    // "MODULE\N": resource N of the module.
    size_t sep = path.find_last_of('/');
    std::string last = sep == std::string::npos ? path : path.substr(sep + 1);
    bool digits = !last.empty() && last.find_first_not_of("0123456789") == std::string::npos && last.size() < 6;
    if (!digits || sep == std::string::npos || !isFile(path.substr(0, sep))) return TYPE_E_CANTLOADLIBRARY;
    index = static_cast<UINT>(std::atoi(last.c_str()));
    return loadFromModule(path.substr(0, sep), index, out);
  }
  std::string head;
  {
    std::ifstream in(path, std::ios::binary);
    char buf[16] = {};
    in.read(buf, sizeof buf);
    head.assign(buf, static_cast<size_t>(in.gcount()));
  }
  if (head.rfind("PLATFORM-TYPELIB", 0) == 0) {
    std::string data;
    if (!readFile(path, &data)) return TYPE_E_CANTLOADLIBRARY;
    return PlatformLoadTypeLibFromMemory(data.data(), data.size(), out);
  }
  if (head.size() >= 4 && head.compare(0, 4,
                                       "\x7f"
                                       "ELF") == 0)
    return loadFromModule(path, index, out);
  return TYPE_E_UNSUPFORMAT;
}

std::u16string typeLibKey(REFGUID libid) { return u"TypeLib\\" + guidText(libid); }

// The registered version key of the library: the same major version and the
// highest minor version not below the one asked for.
bool findVersion(REFGUID libid, WORD major, WORD minor, std::u16string* version) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, typeLibKey(libid).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  bool found = false;
  unsigned best = 0;
  for (DWORD i = 0;; ++i) {
    char16_t name[256];
    DWORD cch = 256;
    if (RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    std::string v = toUtf8(std::u16string_view(name, cch));
    unsigned a = 0, b = 0;
    char tail = 0;
    if (std::sscanf(v.c_str(), "%x.%x%c", &a, &b, &tail) != 2) continue;
    if (a == major && b >= minor && (!found || b > best)) {
      found = true;
      best = b;
      *version = std::u16string(name, cch);
    }
  }
  RegCloseKey(key);
  return found;
}

bool registeredPath(REFGUID libid, WORD major, WORD minor, LCID lcid, std::u16string* path) {
  std::u16string version;
  if (!findVersion(libid, major, minor, &version)) return false;
  std::u16string base = typeLibKey(libid) + u"\\" + version + u"\\";
  // The exact locale, then its primary language, then the neutral one.
  LCID tries[] = {lcid, static_cast<LCID>(PRIMARYLANGID(LANGIDFROMLCID(lcid))), 0};
  for (LCID l : tries) {
    for (const char16_t* kind : {u"win64", u"win32"}) {
      if (readRegString(HKEY_CLASSES_ROOT, base + hexText(l) + u"\\" + kind, nullptr, path) && !path->empty())
        return true;
    }
  }
  return false;
}

std::u16string folderOf(const std::u16string& path) {
  size_t slash = path.find_last_of(u"/\\");
  if (slash == std::u16string::npos) return u"";
  return path.substr(0, slash);
}
}  // namespace

PLATFORM_API HRESULT LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib) {
  if (pptlib == nullptr) return E_INVALIDARG;
  *pptlib = nullptr;
  if (szFile == nullptr || szFile[0] == 0) return E_INVALIDARG;
  HRESULT hr = loadPath(szFile, pptlib);
  if (FAILED(hr) || regkind != REGKIND_REGISTER) return hr;
  hr = RegisterTypeLib(*pptlib, szFile, nullptr);
  if (FAILED(hr)) {
    (*pptlib)->Release();
    *pptlib = nullptr;
  }
  return hr;
}

PLATFORM_API HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
  return LoadTypeLibEx(szFile, REGKIND_NONE, pptlib);
}

PLATFORM_API HRESULT QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID lcid, BSTR* lpbstrPathName) {
  if (lpbstrPathName == nullptr) return E_INVALIDARG;
  *lpbstrPathName = nullptr;
  std::u16string path;
  if (!registeredPath(guid, wMaj, wMin, lcid, &path)) return TYPE_E_LIBNOTREGISTERED;
  *lpbstrPathName = SysAllocStringLen(path.data(), static_cast<UINT>(path.size()));
  return *lpbstrPathName != nullptr ? S_OK : E_OUTOFMEMORY;
}

PLATFORM_API HRESULT LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** pptlib) {
  if (pptlib == nullptr) return E_INVALIDARG;
  *pptlib = nullptr;
  std::u16string path;
  if (!registeredPath(rguid, wVerMajor, wVerMinor, lcid, &path)) return TYPE_E_LIBNOTREGISTERED;
  HRESULT hr = LoadTypeLib(path.c_str(), pptlib);
  if (FAILED(hr)) return hr;
  const LibData* data = libDataOf(*pptlib);
  if (data == nullptr || data->guid != rguid) {
    (*pptlib)->Release();
    *pptlib = nullptr;
    return TYPE_E_LIBNOTREGISTERED;
  }
  return S_OK;
}

PLATFORM_API HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir) {
  if (ptlib == nullptr || szFullPath == nullptr || szFullPath[0] == 0) return E_INVALIDARG;
  const LibData* lib = libDataOf(ptlib);
  if (lib == nullptr) return E_INVALIDARG;
  std::u16string libid = guidText(lib->guid);
  std::u16string version = versionText(lib->major, lib->minor);
  std::u16string base = typeLibKey(lib->guid) + u"\\" + version;
  std::u16string path = szFullPath;
  std::u16string helpDir = szHelpDir != nullptr ? std::u16string(szHelpDir) : folderOf(path);
  bool ok =
      writeRegString(HKEY_CLASSES_ROOT, base, nullptr, lib->help.empty() ? lib->name : lib->help) == ERROR_SUCCESS &&
      writeRegString(HKEY_CLASSES_ROOT, base + u"\\FLAGS", nullptr, toUtf16(std::to_string(lib->flags))) ==
          ERROR_SUCCESS &&
      writeRegString(HKEY_CLASSES_ROOT, base + u"\\HELPDIR", nullptr, helpDir) == ERROR_SUCCESS &&
      writeRegString(HKEY_CLASSES_ROOT, base + u"\\" + hexText(lib->lcid) + u"\\win64", nullptr, path) == ERROR_SUCCESS;
  if (!ok) return TYPE_E_REGISTRYACCESS;
  std::u16string marshaller = guidText(CLSID_PSOAInterface);
  for (const auto& type : lib->types) {
    if (type.kind == TKIND_COCLASS) continue;
    if (!(type.flags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION)) && type.kind != TKIND_DISPATCH) continue;
    std::u16string key = u"Interface\\" + guidText(type.guid);
    ok = writeRegString(HKEY_CLASSES_ROOT, key, nullptr, type.name) == ERROR_SUCCESS &&
         writeRegString(HKEY_CLASSES_ROOT, key + u"\\ProxyStubClsid", nullptr, marshaller) == ERROR_SUCCESS &&
         writeRegString(HKEY_CLASSES_ROOT, key + u"\\ProxyStubClsid32", nullptr, marshaller) == ERROR_SUCCESS &&
         writeRegString(HKEY_CLASSES_ROOT, key + u"\\TypeLib", nullptr, libid) == ERROR_SUCCESS &&
         writeRegString(HKEY_CLASSES_ROOT, key + u"\\TypeLib", u"Version", version) == ERROR_SUCCESS;
    if (!ok) return TYPE_E_REGISTRYACCESS;
  }
  return S_OK;
}

PLATFORM_API HRESULT UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind) {
  std::u16string libid = guidText(libID);
  std::u16string version = versionText(wVerMajor, wVerMinor);
  std::u16string base = typeLibKey(libID) + u"\\" + version;
  std::u16string platformKey = base + u"\\" + hexText(lcid) + u"\\" + syskindName(syskind);
  if (!regKeyExists(HKEY_CLASSES_ROOT, platformKey)) return TYPE_E_REGISTRYACCESS;

  // The interfaces this version of the library registered.
  std::vector<std::u16string> interfaces;
  HKEY all = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, u"Interface", 0, KEY_READ, &all) == ERROR_SUCCESS) {
    for (DWORD i = 0;; ++i) {
      char16_t name[256];
      DWORD cch = 256;
      if (RegEnumKeyExW(all, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      std::u16string key = u"Interface\\" + std::u16string(name, cch);
      std::u16string owner, ownerVersion;
      if (readRegString(HKEY_CLASSES_ROOT, key + u"\\TypeLib", nullptr, &owner) && equalsNoCase(owner, libid) &&
          readRegString(HKEY_CLASSES_ROOT, key + u"\\TypeLib", u"Version", &ownerVersion) &&
          equalsNoCase(ownerVersion, version))
        interfaces.push_back(key);
    }
    RegCloseKey(all);
  }
  for (const auto& key : interfaces) {
    LSTATUS st = deleteRegTree(HKEY_CLASSES_ROOT, key);
    if (st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND) return TYPE_E_REGISTRYACCESS;
  }

  auto subkeyCount = [](const std::u16string& path, std::vector<std::u16string>* names) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return -1;
    int n = 0;
    for (DWORD i = 0;; ++i) {
      char16_t name[256];
      DWORD cch = 256;
      if (RegEnumKeyExW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      if (names != nullptr) names->emplace_back(name, cch);
      ++n;
    }
    RegCloseKey(k);
    return n;
  };
  std::u16string lcidKey = base + u"\\" + hexText(lcid);
  if (RegDeleteTreeW(HKEY_CLASSES_ROOT, platformKey.c_str()) != ERROR_SUCCESS) return TYPE_E_REGISTRYACCESS;
  if (subkeyCount(lcidKey, nullptr) == 0) RegDeleteKeyW(HKEY_CLASSES_ROOT, lcidKey.c_str());
  // The version key goes once no locale of it is registered.
  std::vector<std::u16string> rest;
  subkeyCount(base, &rest);
  bool otherLocale = false;
  for (const auto& r : rest)
    if (!equalsNoCase(r, u"FLAGS") && !equalsNoCase(r, u"HELPDIR")) otherLocale = true;
  if (!otherLocale) {
    if (RegDeleteTreeW(HKEY_CLASSES_ROOT, base.c_str()) != ERROR_SUCCESS) return TYPE_E_REGISTRYACCESS;
    if (subkeyCount(typeLibKey(libID), nullptr) == 0) RegDeleteKeyW(HKEY_CLASSES_ROOT, typeLibKey(libID).c_str());
  }
  return S_OK;
}
