// The platform room for Linux and other POSIX systems. Only what POSIX
// gives is relied on; a Linux extra (read-ahead advice, huge pages, FIONREAD)
// is used where the system has it and skipped where it has not.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace orvale::platform {
namespace {

int descriptor(File file) { return static_cast<int>(file); }

Kind kind_of(mode_t mode) {
  if (S_ISREG(mode)) {
    return Kind::regular;
  }
  if (S_ISDIR(mode)) {
    return Kind::directory;
  }
  return S_ISLNK(mode) ? Kind::link : Kind::other;
}

Time time_of(const timespec& at) { return {at.tv_sec, at.tv_nsec}; }

#if defined(__APPLE__)
Time modified_of(const struct stat& s) { return time_of(s.st_mtimespec); }
Time changed_of(const struct stat& s) { return time_of(s.st_ctimespec); }
#else
Time modified_of(const struct stat& s) { return time_of(s.st_mtim); }
Time changed_of(const struct stat& s) { return time_of(s.st_ctim); }
#endif

FileStatus status_of(const struct stat& s) {
  FileStatus status;
  status.kind = kind_of(s.st_mode);
  status.id = {static_cast<std::uint64_t>(s.st_dev), static_cast<std::uint64_t>(s.st_ino)};
  status.size = s.st_size > 0 ? static_cast<std::uint64_t>(s.st_size) : 0;
  status.modified = modified_of(s);
  status.changed = changed_of(s);
  status.permissions = static_cast<std::uint32_t>(s.st_mode & 0777);
  status.owner = static_cast<std::uint32_t>(s.st_uid);
  status.sticky = (s.st_mode & S_ISVTX) != 0;
  return status;
}

int result(int returned) { return returned == 0 ? 0 : errno; }

// Ctrl-C, kill, a closed terminal, and Ctrl-\ when Ctrl-C seemed not to work.
constexpr std::array<int, 4> kSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
void (*interrupt_cleanup)() = nullptr;
void (*fault_cleanup)() = nullptr;
sigset_t before_hold;
int hold_depth = 0;

sigset_t handled_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : kSignals) {
    sigaddset(&set, signal_number);
  }
  return set;
}

void die_by(int signal_number) {
  // Blocked while the handler runs, the signal arrives again once it
  // returns, now with its default action: the parent sees its true cause.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  (void)::sigaction(signal_number, &default_action, nullptr);
  (void)::raise(signal_number);
}

extern "C" void clean_up_and_die(int signal_number) {
  interrupt_cleanup();
  die_by(signal_number);
}

extern "C" void clean_up_after_fault(int signal_number) {
  fault_cleanup();
  die_by(signal_number);
}

}  // namespace

std::vector<std::string> arguments(int argc, char** argv) { return {argv, argv + argc}; }

bool open_standard_files(bool& ok) {
  ok = true;
  bool output_closed = false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1) {
      output_closed = output_closed || fd == STDOUT_FILENO;
      ok = ok && ::open("/dev/null", O_RDWR) == fd;
    }
  }
  return output_closed;
}

void prepare_standard_files() {
  (void)std::signal(SIGPIPE, SIG_IGN);
#if defined(SIGXFSZ)
  (void)std::signal(SIGXFSZ, SIG_IGN);
#endif
}

File standard(Standard which) {
  switch (which) {
    case Standard::input:
      return STDIN_FILENO;
    case Standard::output:
      return STDOUT_FILENO;
    case Standard::error:
      break;
  }
  return STDERR_FILENO;
}

bool is_terminal(Standard which) { return ::isatty(descriptor(standard(which))) == 1; }

bool terminal_takes_escapes() { return true; }

// A signal ignored when the program started stays ignored: a background
// job of a script keeps SIGINT so.
void on_interrupt(void (*cleanup)()) {
  interrupt_cleanup = cleanup;
  struct sigaction action {};
  action.sa_handler = clean_up_and_die;
  action.sa_mask = handled_signals();
  action.sa_flags = SA_RESTART;
  for (const int signal_number : kSignals) {
    struct sigaction previous {};
    if (::sigaction(signal_number, &action, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      (void)::sigaction(signal_number, &previous, nullptr);
    }
  }
}

void on_input_fault(void (*cleanup)()) {
  fault_cleanup = cleanup;
  struct sigaction action {};
  action.sa_handler = clean_up_after_fault;
  sigemptyset(&action.sa_mask);
  (void)::sigaction(SIGBUS, &action, nullptr);
}

void hold_interrupts() {
  if (hold_depth++ == 0) {
    const sigset_t set = handled_signals();
    (void)::sigprocmask(SIG_BLOCK, &set, &before_hold);
  }
}

void release_interrupts() {
  if (--hold_depth == 0) {
    (void)::sigprocmask(SIG_SETMASK, &before_hold, nullptr);
  }
}

void remove_now(const char* path) { (void)::unlink(path); }

void write_now(Standard which, const char* text, std::size_t length) {
  (void)!::write(descriptor(standard(which)), text, length);
}

int open_to_read(const std::string& path, File& file) {
  file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  return file < 0 ? errno : 0;
}

int open_to_write(const std::string& path, File& file) {
  file = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  return file < 0 ? errno : 0;
}

int create_new(const std::string& path, const FileStatus* like, File& file) {
  file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
  if (file < 0) {
    return errno;
  }
  // A file its owner kept private stays private.
  if (like != nullptr) {
    (void)::fchmod(descriptor(file), static_cast<mode_t>(like->permissions));
  }
  return 0;
}

int create_unnamed(const std::string& folder, const FileStatus* like, File& file) {
#if defined(O_TMPFILE)
  const mode_t mode = like != nullptr ? static_cast<mode_t>(like->permissions) : 0666;
  file = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_NOCTTY | O_CLOEXEC, mode);
  if (file < 0) {
    return errno;
  }
  // The mode given is masked by the umask, as a named file's is; a file
  // kept private must stay exactly so.
  if (like != nullptr) {
    (void)::fchmod(descriptor(file), static_cast<mode_t>(like->permissions));
  }
  return 0;
#else
  (void)folder;
  (void)like;
  file = kNoFile;
  return EOPNOTSUPP;
#endif
}

// Through /proc, which any user may; AT_EMPTY_PATH needs a privilege most
// lack, but serves where /proc is not mounted.
int link_unnamed(File file, const std::string& path) {
  const std::string proc = "/proc/self/fd/" + std::to_string(descriptor(file));
  if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    return 0;
  }
  const int error = errno;
#if defined(AT_EMPTY_PATH)
  if (error == ENOENT || error == EPERM || error == EACCES) {
    return result(::linkat(descriptor(file), "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH));
  }
#endif
  return error;
}

int duplicate(File file, File& copy) {
  copy = ::fcntl(descriptor(file), F_DUPFD_CLOEXEC, 3);
  return copy < 0 ? errno : 0;
}

std::string host_name() {
  std::array<char, 256> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0) {
    return {};
  }
  return name.data();
}

std::uint64_t process_id() { return static_cast<std::uint64_t>(::getpid()); }

bool process_gone(std::uint64_t id) {
  const auto pid = static_cast<pid_t>(id);
  if (pid <= 0 || static_cast<std::uint64_t>(pid) != id) {
    return false;
  }
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

int duplicate_standard_output(File& file) {
  file = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  return file < 0 ? errno : 0;
}

int close(File file) { return result(::close(descriptor(file))); }

int read(File file, std::span<std::uint8_t> into, std::size_t& got) {
  got = 0;
  for (;;) {
    const ssize_t count = ::read(descriptor(file), into.data(), into.size());
    if (count >= 0) {
      got = static_cast<std::size_t>(count);
      return 0;
    }
    if (errno != EINTR) {
      return errno;
    }
  }
}

int read_at(File file, std::uint64_t offset, std::span<std::uint8_t> into, std::size_t& got) {
  got = 0;
  for (;;) {
    const ssize_t count =
        ::pread(descriptor(file), into.data(), into.size(), static_cast<off_t>(offset));
    if (count >= 0) {
      got = static_cast<std::size_t>(count);
      return 0;
    }
    if (errno != EINTR) {
      return errno;
    }
  }
}

int seek(File file, std::uint64_t offset) {
  return ::lseek(descriptor(file), static_cast<off_t>(offset), SEEK_SET) < 0 ? errno : 0;
}

bool nothing_waiting(File file) {
#if defined(FIONREAD)
  int waiting = 0;
  return ::ioctl(descriptor(file), FIONREAD, &waiting) == 0 && waiting == 0;
#else
  (void)file;
  return false;
#endif
}

void expect_sequential(File file) {
#if defined(POSIX_FADV_SEQUENTIAL)
  (void)::posix_fadvise(descriptor(file), 0, 0, POSIX_FADV_SEQUENTIAL);
#else
  (void)file;
#endif
}

int write(File file, std::span<const Piece> pieces, std::size_t& written) {
  written = 0;
  std::array<iovec, kMaxPieces> vector{};
  const std::size_t count = std::min(pieces.size(), vector.size());
  for (std::size_t i = 0; i < count; ++i) {
    vector[i] = {const_cast<std::uint8_t*>(pieces[i].bytes), pieces[i].size};
  }
  for (;;) {
    const ssize_t done = ::writev(descriptor(file), vector.data(), static_cast<int>(count));
    if (done >= 0) {
      written = static_cast<std::size_t>(done);
      return 0;
    }
    if (errno != EINTR) {
      return errno;
    }
  }
}

std::uint64_t room_worth_reserving(File file) {
#if defined(__linux__)
  // Writing 253 MiB into reserved room took ext4 22 ms instead of 40, but
  // tmpfs longer, and XFS several times longer.
  constexpr decltype(statfs::f_type) kExt4 = 0xEF53;
  struct statfs system {};
  if (::fstatfs(descriptor(file), &system) != 0 || system.f_type != kExt4) {
    return 0;
  }
  return static_cast<std::uint64_t>(system.f_bavail) * static_cast<std::uint64_t>(system.f_bsize);
#else
  (void)file;
  return 0;
#endif
}

int reserve(File file, std::uint64_t offset, std::uint64_t length) {
#if defined(__linux__)
  for (;;) {
    if (::fallocate(descriptor(file), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                    static_cast<off_t>(length)) == 0) {
      return 0;
    }
    if (errno != EINTR) {
      return errno;
    }
  }
#else
  (void)file;
  (void)offset;
  (void)length;
  return ENOSYS;
#endif
}

int release_reserved(File file) {
  // Cutting a file to its own size frees what lies past its end.
  struct stat status {};
  if (::fstat(descriptor(file), &status) != 0) {
    return errno;
  }
  return result(::ftruncate(descriptor(file), status.st_size));
}

int set_modified(File file, const Time& modified) {
  const std::array<timespec, 2> times = {
      timespec{0, UTIME_OMIT},
      timespec{static_cast<time_t>(modified.seconds), static_cast<long>(modified.nanoseconds)}};
  return result(::futimens(descriptor(file), times.data()));
}

int status(File file, FileStatus& found) {
  struct stat s {};
  if (::fstat(descriptor(file), &s) != 0) {
    return errno;
  }
  found = status_of(s);
  return 0;
}

int status(const std::string& path, bool follow, FileStatus& found) {
  struct stat s {};
  if ((follow ? ::stat(path.c_str(), &s) : ::lstat(path.c_str(), &s)) != 0) {
    return errno;
  }
  found = status_of(s);
  return 0;
}

int read_link(const std::string& link, std::string& leads_to) {
  std::array<char, 4096> text{};
  const ssize_t length = ::readlink(link.c_str(), text.data(), text.size());
  if (length < 0) {
    return errno;
  }
  if (static_cast<std::size_t>(length) == text.size()) {
    return ENAMETOOLONG;
  }
  leads_to.assign(text.data(), static_cast<std::size_t>(length));
  return 0;
}

// Renaming over a file its owner protected would replace it all the same.
// In a sticky folder (/tmp) only the owner of a file, or of the folder, may
// rename over it; finding that out at the rename would leave the other
// outputs of the input replaced and this one not.
int may_replace(const std::string& path, const FileStatus& file, const FileStatus& folder) {
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
    return errno;
  }
  const uid_t user = ::geteuid();
  const bool refused = folder.sticky && user != 0 && file.owner != user && folder.owner != user;
  return refused ? EPERM : 0;
}

int list_folder(const std::string& path, std::vector<std::string>& names) {
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) {
    return errno;
  }
  errno = 0;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
    errno = 0;
  }
  const int error = errno;
  ::closedir(folder);
  return error;
}

int rename_over(const std::string& from, const std::string& to) {
  return result(::rename(from.c_str(), to.c_str()));
}

// Where the file system cannot rename without replacing, a second link
// does it; where it has no links either (FAT, exFAT), the name is looked at
// just before the rename.
int rename_new(const std::string& from, const std::string& to) {
#if defined(RENAME_NOREPLACE)
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return errno;
  }
#endif
  if (::link(from.c_str(), to.c_str()) == 0) {
    // The file has its name; a temporary name left beside it is removed as
    // stale by a later run.
    (void)::unlink(from.c_str());
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) {
    return errno;
  }
  struct stat found {};
  if (::lstat(to.c_str(), &found) == 0) {
    return EEXIST;
  }
  return rename_over(from, to);
}

int remove(const std::string& path) { return result(::unlink(path.c_str())); }

std::uint8_t* allocate_aligned(std::size_t size, std::size_t alignment) {
  const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
  return static_cast<std::uint8_t*>(std::aligned_alloc(alignment, rounded));
}

void free_aligned(std::uint8_t* bytes) { std::free(bytes); }

void prefer_large_pages(std::uint8_t* bytes, std::size_t size) {
#if defined(MADV_HUGEPAGE)
  (void)::madvise(bytes, size, MADV_HUGEPAGE);
#else
  (void)bytes;
  (void)size;
#endif
}

namespace {

// The kernel counts a file's pages in memory at once (Linux 6.5 on); before
// it, mincore() asks page by page of a mapping, which costs nothing until
// touched, a slice at a time so that the answer stays small.
int cached_pages(File file, PagesHeld& counted) {
#if defined(__linux__)
  constexpr long kCachestat = 451;  // the same number on every architecture
  struct Range {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;  // 0: to the end of the file
  } range;
  struct Counts {
    std::uint64_t cached, dirty, writeback, evicted, recently_evicted;
  } counts{};
  if (::syscall(kCachestat, descriptor(file), &range, &counts, 0) == 0) {
    counted.held = std::min(counts.cached, counted.pages);
    counted.let_go = counts.evicted;
    return 0;
  }
#endif
  (void)file;
  (void)counted;
  return ENOSYS;
}

bool resident_by_mapping(File file, std::uint64_t size, std::uint64_t page, std::uint64_t& held) {
  constexpr std::uint64_t kSlice = std::uint64_t{256} << 20;
  std::vector<unsigned char> resident(static_cast<std::size_t>(kSlice / page));
  for (std::uint64_t at = 0; at < size; at += kSlice) {
    const auto length = static_cast<std::size_t>(std::min(kSlice, size - at));
    void* view =
        ::mmap(nullptr, length, PROT_READ, MAP_SHARED, descriptor(file), static_cast<off_t>(at));
    if (view == MAP_FAILED) {
      return false;
    }
    const bool asked = ::mincore(view, length, resident.data()) == 0;
    (void)::munmap(view, length);
    if (!asked) {
      return false;
    }
    const auto pages = static_cast<std::ptrdiff_t>((length + page - 1) / page);
    held += static_cast<std::uint64_t>(
        std::count_if(resident.begin(), resident.begin() + pages,
                      [](unsigned char flags) { return (flags & 1U) != 0; }));
  }
  return true;
}

}  // namespace

bool pages_in_memory(File file, std::uint64_t size, PagesHeld& counted) {
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  counted = {.held = 0, .let_go = 0, .pages = (size + page - 1) / page};
  if (cached_pages(file, counted) == 0) {
    return true;
  }
  return resident_by_mapping(file, size, page, counted.held);
}

std::uint64_t mapping_granularity() { return static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)); }

const std::uint8_t* map_to_read(File file, std::uint64_t offset, std::size_t length) {
  void* view = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, descriptor(file),
                      static_cast<off_t>(offset));
  return view == MAP_FAILED ? nullptr : static_cast<const std::uint8_t*>(view);
}

void unmap(const std::uint8_t* bytes, std::size_t length) {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): munmap takes no const
  (void)::munmap(const_cast<std::uint8_t*>(bytes), length);
}

void* load_library(const char* name, std::string& error) {
  // Functions are bound as they are first called: binding all of a library
  // and all it brings up front costs time and memory for functions never
  // called.
  void* library = ::dlopen(name, RTLD_LAZY | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = ::dlerror();
    error = why != nullptr ? why : name;
  }
  return library;
}

void* library_symbol(void* library, const char* symbol) { return ::dlsym(library, symbol); }

}  // namespace orvale::platform
