// Module loading. Page-supplied module names are reduced to their file name
// and looked up only in the module search path, case-insensitively, so a page
// can name "C:\Windows\System32\vendor.dll" and still only reach vendor.dll
// from the folders the machine's owner installed modules into.
#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/utf.h"

namespace {
constexpr DWORD kErrorBadExeFormat = 193;

struct ModuleRecord {
  void* handle = nullptr;  // from dlopen; null for images we only observed
  std::string path;
  int loads = 0;  // outstanding LoadLibrary calls
};

std::mutex gMutex;
std::map<const void*, ModuleRecord*>& table() {
  static auto* t = new std::map<const void*, ModuleRecord*>();
  return *t;
}

HMODULE toHandle(const void* base) { return reinterpret_cast<HMODULE>(const_cast<void*>(base)); }

// The system's own libraries are always loaded: the platform plays them. Their
// names resolve to this library, and their exports are looked up across all
// of the platform's family libraries.
bool isSystemName(const std::string& fileName) {
  static const char* const kNames[] = {"kernel32.dll", "kernel32", "user32.dll",    "user32",
                                       "gdi32.dll",    "gdi32",    "kernelbase.dll"};
  for (const char* n : kNames) {
    if (strcasecmp(fileName.c_str(), n) == 0) return true;
  }
  return false;
}

const void* kernelBase();

bool isPlatformLibrary(const void* base) {
  Dl_info info{};
  if (dladdr(base, &info) == 0 || info.dli_fname == nullptr) return false;
  const char* slash = std::strrchr(info.dli_fname, '/');
  const char* file = slash != nullptr ? slash + 1 : info.dli_fname;
  return std::strncmp(file, "libplatform_", 12) == 0;
}

// The image base of the object containing the address; null when none.
const void* baseOf(const void* address, std::string* path) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fbase == nullptr) return nullptr;
  if (path != nullptr) *path = info.dli_fname != nullptr ? info.dli_fname : "";
  return info.dli_fbase;
}

int mainCallback(struct dl_phdr_info* info, size_t, void* data) {
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type == PT_LOAD) {
      *static_cast<const void**>(data) = reinterpret_cast<const void*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
      return 1;
    }
  }
  return 1;
}

const void* mainBase() {
  static const void* base = [] {
    const void* firstLoad = nullptr;
    dl_iterate_phdr(mainCallback, &firstLoad);
    return baseOf(firstLoad, nullptr);
  }();
  return base;
}

std::string selfExePath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  buf[n] = '\0';
  return buf;
}

ModuleRecord* recordFor(const void* base, const std::string& path) {
  auto& t = table();
  auto it = t.find(base);
  if (it != t.end()) return it->second;
  auto* rec = new ModuleRecord();
  rec->path = path;
  t[base] = rec;
  return rec;
}

std::string fileNameOf(const char* name) {
  const char* last = name;
  for (const char* p = name; *p != 0; ++p) {
    if (*p == '/' || *p == '\\') last = p + 1;
  }
  return last;
}

std::vector<std::string> searchDirs() {
  std::vector<std::string> dirs;
  dirs.push_back(std::string(PlatformRoot()) + "/modules");
  dirs.push_back("/usr/lib/x86_64-linux-gnu/pkcs11");
  dirs.push_back("/usr/lib/softhsm");
  return dirs;
}

// Finds the file in the search path; exact name first, then any case.
std::string findModule(const std::string& name) {
  for (const auto& dir : searchDirs()) {
    std::string exact = dir + "/" + name;
    struct stat st {};
    if (stat(exact.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return exact;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) continue;
    std::string found;
    while (struct dirent* e = readdir(d)) {
      if (strcasecmp(e->d_name, name.c_str()) == 0) {
        std::string candidate = dir + "/" + e->d_name;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
          found = candidate;
          break;
        }
      }
    }
    closedir(d);
    if (!found.empty()) return found;
  }
  return "";
}

HMODULE loadPath(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    SetLastError(kErrorBadExeFormat);
    return nullptr;
  }
  struct link_map* lm = nullptr;
  const void* base = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &lm) == 0 && lm != nullptr) base = baseOf(lm->l_ld, nullptr);
  if (base == nullptr) {
    dlclose(handle);
    SetLastError(kErrorBadExeFormat);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(gMutex);
  ModuleRecord* rec = recordFor(base, path);
  if (rec->handle == nullptr) {
    rec->handle = handle;
  } else {
    dlclose(handle);  // keep one dlopen reference per record; loads are counted here
  }
  rec->path = path;
  ++rec->loads;
  SetLastError(ERROR_SUCCESS);
  return toHandle(base);
}
}  // namespace

PLATFORM_API const char* PlatformModuleSearchPath() {
  static thread_local std::string text;
  text.clear();
  for (const auto& d : searchDirs()) {
    if (!text.empty()) text.push_back(':');
    text += d;
  }
  return text.c_str();
}

namespace {
const void* kernelBase() {
  static const void* base = baseOf(reinterpret_cast<const void*>(&GetLastError), nullptr);
  return base;
}
}  // namespace

PLATFORM_API HMODULE LoadLibraryA(LPCSTR fileName) {
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string name = fileNameOf(fileName);
  if (name.empty() || name == "." || name == "..") {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  std::string path = findModule(name);
  if (path.empty()) {
    if (isSystemName(name)) return toHandle(kernelBase());
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return loadPath(path);
}

PLATFORM_API HMODULE LoadLibraryW(LPCWSTR fileName) {
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string utf8 = platform::utf::toUtf8(fileName);
  return LoadLibraryA(utf8.c_str());
}

PLATFORM_API HMODULE PlatformLoadLibraryPath(LPCSTR fullPath) {
  if (fullPath == nullptr || *fullPath == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  char mapped[4096];
  if (PlatformMapPath(fullPath, mapped, sizeof mapped) == 0) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  struct stat st {};
  if (stat(mapped, &st) != 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return loadPath(mapped);
}

PLATFORM_API BOOL FreeLibrary(HMODULE module) {
  if (module != nullptr && module == toHandle(kernelBase())) return TRUE;
  std::lock_guard<std::mutex> lock(gMutex);
  auto& t = table();
  auto it = t.find(module);
  if (module == nullptr || it == t.end() || it->second->loads <= 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ModuleRecord* rec = it->second;
  if (--rec->loads == 0 && rec->handle != nullptr) {
    void* handle = rec->handle;
    // Forget the record first: a reloaded image may land at the same base.
    t.erase(it);
    delete rec;
    dlclose(handle);
  }
  return TRUE;
}

PLATFORM_API void* GetProcAddress(HMODULE module, LPCSTR procName) {
  if (procName == nullptr || IS_INTRESOURCE(procName)) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  if (module == toHandle(kernelBase())) {
    void* sym = dlsym(RTLD_DEFAULT, procName);
    const void* base = baseOf(sym, nullptr);
    if (sym == nullptr || base == nullptr || !isPlatformLibrary(base)) {
      SetLastError(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
    return sym;
  }
  void* handle = nullptr;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    if (module == nullptr || module == toHandle(mainBase())) {
      handle = dlopen(nullptr, RTLD_NOW);
    } else {
      auto it = table().find(module);
      if (it == table().end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
      }
      handle = it->second->handle;
      if (handle == nullptr) {
        handle = dlopen(it->second->path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle != nullptr) dlclose(handle);  // the image stays loaded by its owner
      }
    }
  }
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* sym = dlsym(handle, procName);
  if (sym == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  // dlsym also finds symbols of the object's dependencies; a module exports
  // only what it defines itself.
  if (module != nullptr && module != toHandle(mainBase()) && baseOf(sym, nullptr) != module) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return sym;
}

PLATFORM_API HMODULE PlatformModuleFromAddress(const void* address) {
  std::string path;
  const void* base = baseOf(address, &path);
  if (base == nullptr) return nullptr;
  if (base == mainBase()) return toHandle(base);
  std::lock_guard<std::mutex> lock(gMutex);
  recordFor(base, path);
  return toHandle(base);
}

PLATFORM_API HMODULE GetModuleHandleA(LPCSTR moduleName) {
  if (moduleName == nullptr) return toHandle(mainBase());
  std::string name = fileNameOf(moduleName);
  if (isSystemName(name)) return toHandle(kernelBase());
  std::lock_guard<std::mutex> lock(gMutex);
  for (auto& [base, rec] : table()) {
    if (strcasecmp(fileNameOf(rec->path.c_str()).c_str(), name.c_str()) == 0) return toHandle(base);
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

namespace {
std::string modulePath(HMODULE module, bool* ok) {
  *ok = true;
  if (module == nullptr || module == toHandle(mainBase())) return selfExePath();
  std::lock_guard<std::mutex> lock(gMutex);
  auto it = table().find(module);
  if (it == table().end()) {
    *ok = false;
    return "";
  }
  char real[4096];
  if (realpath(it->second->path.c_str(), real) != nullptr) return real;
  return it->second->path;
}
}  // namespace

PLATFORM_API DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  bool ok = false;
  std::string path = modulePath(module, &ok);
  if (!ok) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  // As documented: a short buffer gets the truncated, terminated path, the
  // return value is the buffer size and the error is ERROR_INSUFFICIENT_BUFFER.
  if (path.size() >= size) {
    std::memcpy(buffer, path.data(), size - 1);
    buffer[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

PLATFORM_API DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  bool ok = false;
  std::string path = modulePath(module, &ok);
  if (!ok) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  std::u16string wide = platform::utf::toUtf16(path);
  if (buffer == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (wide.size() >= size) {
    std::memcpy(buffer, wide.data(), (size - 1) * sizeof(char16_t));
    buffer[size - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(wide.size());
}

PLATFORM_API HMODULE GetModuleHandleW(LPCWSTR moduleName) {
  if (moduleName == nullptr) return toHandle(mainBase());
  std::string utf8 = platform::utf::toUtf8(moduleName);
  return GetModuleHandleA(utf8.c_str());
}
