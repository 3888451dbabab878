// regsvr: server registration.
//   regsvr LIBRARY      calls the library's DllRegisterServer
//   regsvr -u LIBRARY   calls its DllUnregisterServer
// Exit status 0 when the call returns S_OK; otherwise the HRESULT is printed
// and the status is 1 (2 for a wrong command line).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/com.h"
#include "platform/kernel.h"

int main(int argc, char** argv) {
  bool unregister = false;
  const char* library = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-u") == 0 || std::strcmp(argv[i], "/u") == 0) {
      unregister = true;
    } else if (library == nullptr && argv[i][0] != '\0') {
      library = argv[i];
    } else {
      library = nullptr;
      break;
    }
  }
  if (library == nullptr) {
    std::fprintf(stderr, "usage: regsvr [-u] LIBRARY\n");
    return 2;
  }
  // The registered path is the library's own full path, whatever the caller typed.
  std::string path = library;
  if (path.find('/') == std::string::npos && path.find('\\') == std::string::npos) path = "./" + path;
  char resolved[4096];
  char mapped[4096];
  if (PlatformMapPath(path.c_str(), mapped, sizeof mapped) == 0 || realpath(mapped, resolved) == nullptr) {
    std::fprintf(stderr, "regsvr: %s: no such file\n", library);
    return 1;
  }
  HMODULE module = PlatformLoadLibraryPath(resolved);
  if (module == nullptr) {
    std::fprintf(stderr, "regsvr: %s cannot be loaded (error %u)\n", library, GetLastError());
    return 1;
  }
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto fn = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, entry));
  if (fn == nullptr) {
    std::fprintf(stderr, "regsvr: %s has no entry point %s\n", library, entry);
    FreeLibrary(module);
    return 1;
  }
  HRESULT init = CoInitialize(nullptr);
  HRESULT hr = fn();
  if (SUCCEEDED(init)) CoUninitialize();
  FreeLibrary(module);
  if (hr != S_OK) {
    std::fprintf(stderr, "regsvr: %s in %s failed: 0x%08X\n", entry, library, static_cast<unsigned>(hr));
    return 1;
  }
  return 0;
}
