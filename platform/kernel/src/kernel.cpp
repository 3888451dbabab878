// Last error, platform root, version, clock and debugger output.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/kernel.h"
#include "internal.h"

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
  std::string utf8 = platform_internal::utf16ToUtf8(text);
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

namespace platform_internal {
std::string utf16ToUtf8(const char16_t* text) {
  std::string out;
  for (const char16_t* p = text; *p != 0; ++p) {
    uint32_t c = *p;
    if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
      ++p;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string utf8ToUtf16(const char* text) {
  std::u16string out;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    uint32_t c = *p;
    int extra = 0;
    if (c < 0x80) {
      extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
      c &= 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      c &= 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      c &= 0x07;
      extra = 3;
    } else {
      out.push_back(0xFFFD);
      ++p;
      continue;
    }
    ++p;
    bool bad = false;
    for (int i = 0; i < extra; ++i) {
      if ((*p & 0xC0) != 0x80) {
        bad = true;
        break;
      }
      c = (c << 6) | (*p & 0x3F);
      ++p;
    }
    if (bad) {
      out.push_back(0xFFFD);
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}
}  // namespace platform_internal
