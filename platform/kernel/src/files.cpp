// The C run-time file functions in the forms the components call them, and
// atomic file replacement for everything the platform keeps on disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/kernel.h"

PLATFORM_API SIZE_T PlatformMapPath(LPCSTR windowsPath, LPSTR out, SIZE_T outSize) {
  if (windowsPath == nullptr || out == nullptr || outSize == 0) return 0;
  std::string path;
  const char* rest = windowsPath;
  if (std::isalpha(static_cast<unsigned char>(windowsPath[0])) && windowsPath[1] == ':') {
    path = PlatformRoot();
    path += "/drives/";
    path.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(windowsPath[0]))));
    rest = windowsPath + 2;
    if (*rest != '\\' && *rest != '/' && *rest != '\0') path.push_back('/');
  }
  for (const char* p = rest; *p != 0; ++p) path.push_back(*p == '\\' ? '/' : *p);
  if (path.size() + 1 > outSize) return 0;
  std::memcpy(out, path.c_str(), path.size() + 1);
  return path.size();
}

namespace {
bool mapped(const char* path, std::string* out) {
  if (path == nullptr) return false;
  std::string buf(std::strlen(path) + std::strlen(PlatformRoot()) + 16, '\0');
  SIZE_T n = PlatformMapPath(path, buf.data(), buf.size());
  if (n == 0 && *path != '\0') return false;
  buf.resize(n);
  *out = buf;
  return true;
}
}  // namespace

PLATFORM_API int _access(const char* path, int mode) {
  std::string p;
  if (!mapped(path, &p)) {
    errno = EINVAL;
    return -1;
  }
  int how = F_OK;
  if (mode & 2) how |= W_OK;
  if (mode & 4) how |= R_OK;
  return access(p.c_str(), how);
}

PLATFORM_API int _stat64(const char* path, struct _stat64* buffer) {
  std::string p;
  if (!mapped(path, &p) || buffer == nullptr) {
    errno = EINVAL;
    return -1;
  }
  struct stat st {};
  if (stat(p.c_str(), &st) != 0) return -1;
  buffer->st_mode = st.st_mode;
  buffer->st_size = st.st_size;
  buffer->st_modified = st.st_mtime;
  return 0;
}

PLATFORM_API FILE* crt_fopen(const char* path, const char* mode) {
  std::string p;
  if (!mapped(path, &p) || mode == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  std::string m;
  for (const char* c = mode; *c != 0; ++c) {
    if (*c != 't') m.push_back(*c);  // text mode is the only mode here
  }
  return std::fopen(p.c_str(), m.c_str());
}

PLATFORM_API int crt_remove(const char* path) {
  std::string p;
  if (!mapped(path, &p)) {
    errno = EINVAL;
    return -1;
  }
  return std::remove(p.c_str());
}

PLATFORM_API DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  DWORD len = static_cast<DWORD>(std::strlen(cwd));
  if (buffer == nullptr || size <= len) return len + 1;
  std::memcpy(buffer, cwd, len + 1);
  return len;
}

PLATFORM_API BOOL PlatformMakeDirs(LPCSTR posixPath) {
  if (posixPath == nullptr || *posixPath == '\0') return FALSE;
  std::string path = posixPath;
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      std::string part = path.substr(0, i);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
      }
    }
  }
  struct stat st {};
  return stat(posixPath, &st) == 0 && S_ISDIR(st.st_mode) ? TRUE : FALSE;
}

PLATFORM_API BOOL PlatformWriteFileAtomic(LPCSTR posixPath, const void* data, SIZE_T size) {
  if (posixPath == nullptr || (data == nullptr && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string target = posixPath;
  std::string dir = ".";
  size_t slash = target.rfind('/');
  if (slash != std::string::npos) dir = slash == 0 ? "/" : target.substr(0, slash);
  std::string temp = target + ".tmp.XXXXXX";
  // Owner-only from the first byte: the temporary may hold a private key,
  // and a writer killed before the rename leaves it behind.
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd >= 0 && fchmod(fd, 0600) != 0) {
    close(fd);
    unlink(temp.c_str());
    fd = -1;
  }
  if (fd < 0) {
    SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const char* p = static_cast<const char*>(data);
  SIZE_T left = size;
  bool ok = true;
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    p += n;
    left -= static_cast<SIZE_T>(n);
  }
  if (ok && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  if (ok && rename(temp.c_str(), target.c_str()) != 0) ok = false;
  if (!ok) {
    unlink(temp.c_str());
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return TRUE;
}
