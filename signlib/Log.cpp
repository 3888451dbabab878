#include "signlib/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace {
constexpr size_t kMaxDirectory = 127;
constexpr size_t kMessageBuffer = 80960;

const char* tagFor(int level) {
  switch (level) {
    case 1: return "[Error ]";
    case 2: return "[Warning]";
    case 3: return "[Debug ]";
    case 4: return "[Info  ]";
    default: return "[Invalid]";
  }
}

// The daily file, for appending. A symbolic link planted at its name is not
// followed (page text must not land in whatever file it points to), nothing
// but a regular file is written (a FIFO there would block the caller), and a
// new file is readable by its owner only.
FILE* openForAppend(const char* windowsPath) {
  std::string mapped(std::strlen(windowsPath) + std::strlen(PlatformRoot()) + 16, '\0');
  if (PlatformMapPath(windowsPath, mapped.data(), mapped.size()) == 0) return nullptr;
  int fd = open(mapped.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  FILE* f = fdopen(fd, "a+");
  if (f == nullptr) close(fd);
  return f;
}

bool localNow(struct tm* out) {
  time_t now = time(nullptr);
  return localtime_r(&now, out) != nullptr;
}
}  // namespace

CLog::CLog() : m_iLevel(0) { std::memset(m_szPath, 0, sizeof m_szPath); }

CLog::~CLog() = default;

int CLog::setLogFile(const char* directory, const char* baseName) {
  try {
    std::memset(m_szPath, 0, sizeof m_szPath);
    if (baseName == nullptr) baseName = "";
    int result = 0;
    char folder[kMaxDirectory + 1] = {0};
    // A folder name that does not fit is treated like one that does not exist:
    // cutting it could point the log at some other folder.
    if (directory != nullptr && std::strlen(directory) <= kMaxDirectory && _access(directory, 0) == 0) {
      std::memcpy(folder, directory, std::strlen(directory) + 1);
    } else {
      result = -1;
      char cwd[4096];
      DWORD n = GetCurrentDirectoryA(sizeof cwd, cwd);
      if (n == 0 || n >= sizeof cwd || std::strlen(cwd) > kMaxDirectory) return -1;
      std::memcpy(folder, cwd, std::strlen(cwd) + 1);
    }
    struct tm now {};
    if (!localNow(&now)) return -1;
    char path[sizeof m_szPath];
    int n = std::snprintf(path, sizeof path, "%s\\%d%02d%02d-%s.log", folder, now.tm_year + 1900, now.tm_mon + 1,
                          now.tm_mday, baseName);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) return -1;  // never a cut path
    std::memcpy(m_szPath, path, sizeof path);
    return result;
  } catch (...) {
    return -1;
  }
}

int CLog::setLogLevel(int level) {
  m_iLevel = level;
  return 0;
}

int CLog::writeLog(int level, const char* message, int resultCode) {
  try {
    if (level > m_iLevel) return 0;
    if (m_szPath[0] == '\0') return -1;
    FILE* f = openForAppend(m_szPath);
    if (f == nullptr) return -1;
    struct tm now {};
    localNow(&now);
    std::fprintf(f, "%s    %d/%02d/%02d %02d:%02d:%02d >> %s >> rtn = %d\n", tagFor(level), now.tm_year + 1900,
                 now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec, message != nullptr ? message : "",
                 resultCode);
    std::fflush(f);
    std::fclose(f);
    return 0;
  } catch (...) {
    return -1;
  }
}

int CLog::log(int level, int resultCode, const char* format, ...) {
  try {
    if (level > m_iLevel) return 0;
    if (format == nullptr) return -1;
    std::vector<char> buffer(kMessageBuffer, '\0');
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    if (n < 0) return n;
    return writeLog(level, buffer.data(), resultCode);
  } catch (...) {
    return -1;
  }
}
