#include "signlib/EnvelopeFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace envfile {
namespace {

const char kTempMark[] = ".tmp.";
// mkostemp replaces its six X's with characters of this set, no others.
constexpr std::size_t kTempSuffixLength = 6;

bool tempSuffixCharacter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// `name` is `prefix` and then a suffix mkostemp could have made: only such a
// name can be a temporary of ours; the user's own `<target>.tmp.keep` is not.
bool ofTempForm(const char* name, const std::string& prefix) {
  if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0) return false;
  const char* suffix = name + prefix.size();
  for (std::size_t i = 0; i < kTempSuffixLength; ++i)
    if (!tempSuffixCharacter(suffix[i])) return false;  // the NUL ends it too
  return suffix[kTempSuffixLength] == '\0';
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The folder and the name of a path. Built as new strings, not assigned:
// GCC 12 warns falsely (-Wrestrict) when a literal is assigned here inline.
std::string folderOf(const std::string& target) {
  const std::string::size_type slash = target.rfind('/');
  if (slash == std::string::npos) return std::string(1, '.');
  return slash == 0 ? std::string(1, '/') : target.substr(0, slash);
}

std::string nameOf(const std::string& target) {
  const std::string::size_type slash = target.rfind('/');
  return slash == std::string::npos ? target : target.substr(slash + 1);
}

// A temporary of our own, created owner-only and locked. Another writer's
// clean-up may remove the name between its creation and the lock (a file it
// could still lock is one nobody holds); the name is then made again.
int createLocked(const std::string& target, std::string* temp) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    *temp = target + kTempMark + "XXXXXX";
    int fd = mkostemp(temp->data(), O_CLOEXEC);
    if (fd < 0) return -1;
    while (flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        int error = errno;
        unlink(temp->c_str());
        close(fd);
        errno = error;
        return -1;
      }
    }
    struct stat own {
    }, named{};
    if (fstat(fd, &own) == 0 && lstat(temp->c_str(), &named) == 0 && sameFile(own, named)) return fd;
    close(fd);  // the name is gone or is another file now: not ours to remove
  }
  errno = EEXIST;
  return -1;
}

int writeAll(int fd, const unsigned char* p, std::size_t left) {
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return 0;
}

void removeStaleTemporaries(const std::string& target) {
  const std::string dir = folderOf(target);
  const std::string prefix = nameOf(target) + kTempMark;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  const int dirFd = dirfd(d);
  const uid_t me = geteuid();
  while (struct dirent* e = readdir(d)) {
    if (!ofTempForm(e->d_name, prefix)) continue;
    struct stat named {};
    // Only what is plainly a leftover of ours is opened: never a device, a
    // FIFO or a link someone put there under such a name.
    if (fstatat(dirFd, e->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(named.st_mode) || named.st_uid != me)
      continue;
    int fd = openat(dirFd, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat opened {};
    // A live writer holds its lock from creation to rename: its file stays.
    if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_uid == me && sameFile(named, opened) &&
        flock(fd, LOCK_EX | LOCK_NB) == 0) {
      struct stat again {};
      if (fstatat(dirFd, e->d_name, &again, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(again, opened))
        unlinkat(dirFd, e->d_name, 0);
    }
    close(fd);
  }
  closedir(d);
}

// 0 when an existing `target` may be replaced: this process can open it for
// writing where it is (as a write in place would, a link not followed, never
// waiting on a FIFO, nothing truncated) and it is not marked read-only. A
// target that is not there is made. Else the errno that refuses it.
int replaceable(const std::string& target) {
  int fd = open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  struct stat st {};
  const int error = fstat(fd, &st) != 0 ? errno : markedReadOnly(st) ? EACCES : 0;
  close(fd);
  return error;
}

}  // namespace

bool markedReadOnly(const struct stat& st) { return (st.st_mode & S_IWUSR) == 0; }

int openInPlace(const std::string& target) {
  bool made = false;
  int fd = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    // A link to no file: the file it names is made, as fopen "wb" makes it.
    fd = open(target.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    made = fd >= 0;
  }
  if (fd < 0) return -1;
  struct stat st {};
  int error = fstat(fd, &st) != 0 ? errno : 0;
  if (error == 0 && !made && markedReadOnly(st)) error = EACCES;
  // Emptied only now that it may be written, as fopen "wb" empties it.
  if (error == 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) error = errno;
  // Writes wait as a stream's do; only the open was not to.
  const int flags = error == 0 ? fcntl(fd, F_GETFL) : -1;
  if (error == 0 && (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)) error = errno;
  if (error != 0) {
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

int writeReplacing(const std::string& target, const unsigned char* data, std::size_t length, mode_t mode,
                   bool* created) {
  // Refused before anything beside it is touched: the target, its folder and
  // the leftovers in it stay as they were.
  if (int refused = replaceable(target)) {
    *created = false;
    return refused;
  }
  removeStaleTemporaries(target);
  std::string temp;
  int fd = createLocked(target, &temp);
  *created = fd >= 0;
  if (fd < 0) return errno != 0 ? errno : EIO;
  int error = writeAll(fd, data, length);
  if (error == 0 && fsync(fd) != 0) error = errno;
  // Readable by others, where the target was, only once it is whole.
  if (error == 0 && fchmod(fd, mode) != 0) error = errno;
  if (error == 0 && rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) unlink(temp.c_str());
  // The lock goes with the descriptor, after the name has.
  if (close(fd) != 0 && error == 0) error = errno;
  return error;
}

}  // namespace envfile
