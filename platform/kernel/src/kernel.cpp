// Last error, platform root, version, clock and debugger output.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/kernel.h"
#include "platform/utf.h"

namespace {
thread_local DWORD tLastError = 0;

std::mutex gRootMutex;
std::string gRoot;

// The headless clock starts at a fixed, non-zero value so that runs repeat
// exactly and no caller mistakes the start for an unset time.
constexpr ULONGLONG kClockStart = 1000000;
std::atomic<ULONGLONG> gClock{kClockStart};
std::atomic<bool> gHeadless{std::getenv("PLATFORM_REAL_CLOCK") == nullptr};

std::mutex gDebugMutex;
std::string gDebugSink;
}  // namespace

PLATFORM_API DWORD GetLastError() { return tLastError; }
PLATFORM_API void SetLastError(DWORD code) { tLastError = code; }

PLATFORM_API const char* PlatformRoot() {
  std::lock_guard<std::mutex> lock(gRootMutex);
  if (gRoot.empty()) {
    const char* env = std::getenv("PLATFORM_ROOT");
    if (env != nullptr && *env != '\0') {
      gRoot = env;
    } else {
      const char* home = std::getenv("HOME");
      gRoot = std::string(home != nullptr && *home != '\0' ? home : "/tmp") + "/.local/share/platform-root";
    }
    while (gRoot.size() > 1 && gRoot.back() == '/') gRoot.pop_back();
    PlatformMakeDirs(gRoot.c_str());
  }
  return gRoot.c_str();
}

PLATFORM_API void PlatformResetRoot() {
  std::lock_guard<std::mutex> lock(gRootMutex);
  gRoot.clear();
}

PLATFORM_API BOOL GetVersionExW(LPOSVERSIONINFOW info) {
  if (info == nullptr || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOW)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  info->dwMajorVersion = 6;
  info->dwMinorVersion = 1;
  info->dwBuildNumber = 7601;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  const char16_t sp[] = u"Service Pack 1";
  std::memcpy(info->szCSDVersion, sp, sizeof sp);
  return TRUE;
}

PLATFORM_API ULONGLONG GetTickCount64() {
  if (gHeadless.load()) return gClock.load();
  using namespace std::chrono;
  static const auto start = steady_clock::now();
  return kClockStart + static_cast<ULONGLONG>(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

PLATFORM_API DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

PLATFORM_API void Sleep(DWORD milliseconds) {
  if (gHeadless.load()) {
    gClock.fetch_add(milliseconds);
    return;
  }
  struct timespec ts;
  ts.tv_sec = milliseconds / 1000;
  ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0) {
  }
}

PLATFORM_API void PlatformSetHeadlessClock(BOOL headless) { gHeadless.store(headless != FALSE); }
PLATFORM_API BOOL PlatformClockIsHeadless() { return gHeadless.load() ? TRUE : FALSE; }
PLATFORM_API void PlatformAdvanceClock(DWORD milliseconds) { gClock.fetch_add(milliseconds); }

PLATFORM_API void OutputDebugStringA(LPCSTR text) {
  if (text == nullptr) return;
  std::lock_guard<std::mutex> lock(gDebugMutex);
  gDebugSink.append(text);
  if (gDebugSink.empty() || gDebugSink.back() != '\n') gDebugSink.push_back('\n');
  if (std::getenv("PLATFORM_DEBUG_STDERR") != nullptr) std::fprintf(stderr, "[debug] %s\n", text);
}

PLATFORM_API void OutputDebugStringW(LPCWSTR text) {
  if (text == nullptr) return;
  std::string utf8 = platform::utf::toUtf8(text);
  OutputDebugStringA(utf8.c_str());
}

PLATFORM_API SIZE_T PlatformDebugOutput(char* buffer, SIZE_T size, BOOL clear) {
  std::lock_guard<std::mutex> lock(gDebugMutex);
  SIZE_T n = gDebugSink.size();
  if (buffer != nullptr && size > 0) {
    SIZE_T copy = n < size - 1 ? n : size - 1;
    std::memcpy(buffer, gDebugSink.data(), copy);
    buffer[copy] = '\0';
  }
  if (clear) gDebugSink.clear();
  return n;
}

PLATFORM_API HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  if ((flags & ~LPTR) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* block = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes == 0 ? 1 : bytes) : std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

PLATFORM_API HLOCAL LocalFree(HLOCAL block) {
  std::free(block);
  return nullptr;
}
