// Preloaded into orvale by the tests to make one file fail the way a bad disk
// does, which no ordinary file can be made to do on demand:
//   ORVALE_FAIL_READ=DEVICE:INODE:OFFSET  reads of that file at or past
//     OFFSET fail with EIO; a read that reaches past it stops there, as the
//     read before a bad sector does;
//   ORVALE_FAIL_RENAME_TO=PATH  renaming a file to PATH fails with EIO;
//   ORVALE_PAUSE_RENAME_TO=PATH  renaming or linking a file to PATH first makes
//     PATH.paused and waits until PATH.go is there: a test then acts while
//     the program is held at that point;
//   ORVALE_NO_UNNAMED_FILES=1  files with no name (O_TMPFILE) cannot be made,
//     as on a file system without them (EOPNOTSUPP).
// The calls go straight to the kernel, so nothing else changes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Target {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t offset = 0;
};

bool targets(const char* variable, int fd, Target& target) {
  const char* value = std::getenv(variable);
  if (value == nullptr ||
      std::sscanf(value, "%" SCNu64 ":%" SCNu64 ":%" SCNu64, &target.device, &target.inode,
                  &target.offset) < 2) {
    return false;
  }
  struct stat status {};
  return ::fstat(fd, &status) == 0 && status.st_dev == target.device &&
         status.st_ino == target.inode;
}

// How much of `count` bytes at `offset` may be read; -1 when none may.
ssize_t allowed(int fd, std::uint64_t offset, std::size_t count) {
  Target target;
  if (!targets("ORVALE_FAIL_READ", fd, target)) {
    return static_cast<ssize_t>(count);
  }
  if (offset >= target.offset) {
    errno = EIO;
    return -1;
  }
  return static_cast<ssize_t>(std::min<std::uint64_t>(count, target.offset - offset));
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, std::size_t count) {
  const off_t at = static_cast<off_t>(::syscall(SYS_lseek, fd, 0, SEEK_CUR));
  const ssize_t take = at < 0 ? static_cast<ssize_t>(count) : allowed(fd, at, count);
  return take < 0 ? -1 : ::syscall(SYS_read, fd, buffer, take);
}

extern "C" ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) {
  const ssize_t take = allowed(fd, static_cast<std::uint64_t>(offset), count);
  return take < 0 ? -1 : ::syscall(SYS_pread64, fd, buffer, take, offset);
}

extern "C" ssize_t pread64(int fd, void* buffer, std::size_t count, off_t offset) {
  return pread(fd, buffer, count, offset);
}

void pause_if_asked(const char* to) {
  const char* paused = std::getenv("ORVALE_PAUSE_RENAME_TO");
  if (paused == nullptr || std::strcmp(paused, to) != 0) {
    return;
  }
  const std::string marker = std::string(to) + ".paused";
  const std::string go = std::string(to) + ".go";
  ::close(static_cast<int>(
      ::syscall(SYS_openat, AT_FDCWD, marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)));
  struct stat status {};
  while (::stat(go.c_str(), &status) != 0) {
    ::usleep(1000);
  }
}

extern "C" int rename(const char* from, const char* to) {
  pause_if_asked(to);
  const char* refused = std::getenv("ORVALE_FAIL_RENAME_TO");
  if (refused != nullptr && std::strcmp(refused, to) == 0) {
    errno = EIO;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 0));
}

// The mode is there when the flags create a file; reading it otherwise is
// harmless, as glibc's own open does.
extern "C" int open(const char* path, int flags, ...) {
  std::va_list arguments;
  va_start(arguments, flags);
  const auto mode = static_cast<mode_t>(va_arg(arguments, unsigned int));
  va_end(arguments);
  if ((flags & O_TMPFILE) == O_TMPFILE && std::getenv("ORVALE_NO_UNNAMED_FILES") != nullptr) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

extern "C" int open64(const char* path, int flags, ...) {
  std::va_list arguments;
  va_start(arguments, flags);
  const auto mode = static_cast<mode_t>(va_arg(arguments, unsigned int));
  va_end(arguments);
  return open(path, flags, mode);
}

extern "C" int linkat(int from_folder, const char* from, int to_folder, const char* to,
                      int flags) {
  pause_if_asked(to);
  return static_cast<int>(::syscall(SYS_linkat, from_folder, from, to_folder, to, flags));
}
