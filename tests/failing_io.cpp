// Preloaded into orvale by the tests to make one file fail the way a bad disk
// does, which no ordinary file can be made to do on demand:
//   ORVALE_FAIL_READ=DEVICE:INODE:OFFSET[:LENGTH]  reads of that file's bytes
//     from OFFSET on (LENGTH of them; all when 0 or left out) fail with EIO;
//     a read that reaches into them stops there, as the read before a bad
//     sector does, and one that starts past them reads;
//   ORVALE_FAIL_READ_EVERY=N  the same LENGTH bytes fail again every N bytes
//     after them, as on a card failing here and there;
//   ORVALE_FAIL_READ_HOW=whole  a read that reaches into them fails whole,
//     as a real device fails a large read for one bad sector;
//   ORVALE_FAIL_READ_HOW=gone  reads of them fail with ENODEV, as on a card
//     pulled out;
//   ORVALE_FAIL_RENAME_TO=PATH  renaming a file to PATH fails with EIO;
//   ORVALE_PAUSE_RENAME_TO=PATH  renaming or linking a file to PATH first makes
//     PATH.paused and waits until PATH.go is there: a test then acts while
//     the program is held at that point;
//   ORVALE_NO_UNNAMED_FILES=1  files with no name (O_TMPFILE) cannot be made,
//     as on a file system without them (EOPNOTSUPP);
//   ORVALE_CUT_WHEN_MAPPED=DEVICE:INODE  the file is cut to nothing as soon
//     as it is mapped, as by another program while it is read in place: a
//     page of it looked at then faults.
// A file whose reads fail cannot be mapped either (ENODEV), as the system
// holds no page it could not read: the program then reads it.
// A FIFO is told by its device and inode too; its bytes are counted as they
// pass. The calls go straight to the kernel, so nothing else changes.
#include <fcntl.h>
#include <sys/mman.h>
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
  std::uint64_t length = 0;
};

// Bytes read so far from a target that cannot seek.
std::uint64_t g_passed = 0;

bool targets(const char* variable, int fd, Target& target) {
  const char* value = std::getenv(variable);
  if (value == nullptr ||
      std::sscanf(value, "%" SCNu64 ":%" SCNu64 ":%" SCNu64 ":%" SCNu64, &target.device,
                  &target.inode, &target.offset, &target.length) < 2) {
    return false;
  }
  struct stat status {};
  return ::fstat(fd, &status) == 0 && status.st_dev == target.device &&
         status.st_ino == target.inode;
}

bool how(const char* word) {
  const char* value = std::getenv("ORVALE_FAIL_READ_HOW");
  return value != nullptr && std::strcmp(value, word) == 0;
}

// How much of `count` bytes at `offset` may be read; -1 when none may.
ssize_t allowed(int fd, std::uint64_t offset, std::size_t count) {
  Target target;
  if (!targets("ORVALE_FAIL_READ", fd, target)) {
    return static_cast<ssize_t>(count);
  }
  const char* every = std::getenv("ORVALE_FAIL_READ_EVERY");
  const std::uint64_t period = every != nullptr ? std::strtoull(every, nullptr, 10) : 0;
  if (period > 0 && offset >= target.offset + period) {
    // The bad spot nearest before the read is the one that matters.
    target.offset += (offset - target.offset) / period * period;
  }
  std::uint64_t end = target.length == 0 ? UINT64_MAX : target.offset + target.length;
  if (period > 0 && offset >= end) {
    target.offset += period;
    end += period;
  }
  if (offset >= end || offset + count <= target.offset) {
    return static_cast<ssize_t>(count);
  }
  if (offset >= target.offset || how("whole")) {
    errno = how("gone") ? ENODEV : EIO;
    return -1;
  }
  return static_cast<ssize_t>(target.offset - offset);
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, std::size_t count) {
  const off_t at = static_cast<off_t>(::syscall(SYS_lseek, fd, 0, SEEK_CUR));
  const ssize_t take = allowed(fd, at < 0 ? g_passed : static_cast<std::uint64_t>(at), count);
  if (take < 0) {
    return -1;
  }
  const auto got = static_cast<ssize_t>(::syscall(SYS_read, fd, buffer, take));
  if (at < 0 && got > 0) {
    g_passed += static_cast<std::uint64_t>(got);
  }
  return got;
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

extern "C" int renameat2(int from_folder, const char* from, int to_folder, const char* to,
                         unsigned int flags) {
  pause_if_asked(to);
  const char* refused = std::getenv("ORVALE_FAIL_RENAME_TO");
  if (refused != nullptr && std::strcmp(refused, to) == 0) {
    errno = EIO;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_renameat2, from_folder, from, to_folder, to, flags));
}

extern "C" int rename(const char* from, const char* to) {
  return renameat2(AT_FDCWD, from, AT_FDCWD, to, 0);
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

extern "C" void* mmap(void* address, std::size_t length, int protection, int flags, int fd,
                      off_t offset) {
  Target target;
  if (fd >= 0 && targets("ORVALE_FAIL_READ", fd, target)) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  const auto view = static_cast<long>(
      ::syscall(SYS_mmap, address, length, protection, flags, fd, offset));
  if (view != -1 && fd >= 0 && targets("ORVALE_CUT_WHEN_MAPPED", fd, target)) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    (void)::syscall(SYS_truncate, path.c_str(), 0);
  }
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the kernel's answer is an address
  return view == -1 ? MAP_FAILED : reinterpret_cast<void*>(view);
}

extern "C" void* mmap64(void* address, std::size_t length, int protection, int flags, int fd,
                        off_t offset) {
  return mmap(address, length, protection, flags, fd, offset);
}
