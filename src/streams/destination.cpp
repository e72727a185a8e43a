#include "streams/destination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <string_view>

namespace orvale {
namespace {

// As many links in a row as the system itself follows.
constexpr int kMaxLinks = 40;
constexpr std::string_view kTemporaryTag = ".orvale-";
constexpr std::size_t kRandomLength = 6;
// Names already taken are tried again with another random part.
constexpr int kAttempts = 100;

// Follows the links at `name` to the name that is no link: a file, whose
// `status` it gives, or nothing yet (ENOENT). A relative link counts from the
// directory holding it.
int follow_links(const std::string& name, std::string& target, struct stat& status) {
  target = name;
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    if (::lstat(target.c_str(), &status) != 0) {
      return errno;
    }
    if (!S_ISLNK(status.st_mode)) {
      return 0;
    }
    std::array<char, PATH_MAX> link{};
    const ssize_t length = ::readlink(target.c_str(), link.data(), link.size());
    if (length < 0) {
      return errno;
    }
    if (static_cast<std::size_t>(length) == link.size()) {
      return ENAMETOOLONG;
    }
    if (length == 0) {
      return ENOENT;
    }
    std::string next(link.data(), static_cast<std::size_t>(length));
    const auto slash = target.rfind('/');
    if (next.front() != '/' && slash != std::string::npos) {
      next.insert(0, target, 0, slash + 1);
    }
    target = std::move(next);
  }
  return ELOOP;
}

// Not for secrecy: O_EXCL makes a clash harmless, this only makes one rare
// between runs that start at the same moment.
std::string random_part() {
  static std::uint64_t state = [] {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // The address differs from one process to the next where the system
    // places programs at random, which costs no system call to learn.
    return static_cast<std::uint64_t>(now.tv_nsec) ^ static_cast<std::uint64_t>(now.tv_sec) << 30 ^
           static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&now)) << 20;
  }();
  state += 0x9E3779B97F4A7C15ULL;
  std::uint64_t mixed = state;
  mixed = (mixed ^ mixed >> 30) * 0xBF58476D1CE4E5B9ULL;
  mixed = (mixed ^ mixed >> 27) * 0x94D049BB133111EBULL;
  mixed ^= mixed >> 31;
  constexpr std::string_view kLetters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string part;
  for (std::size_t i = 0; i < kRandomLength; ++i, mixed /= kLetters.size()) {
    part += kLetters[mixed % kLetters.size()];
  }
  return part;
}

std::string folder_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// In a sticky folder (/tmp) only the owner of a file, or of the folder, may
// rename over it; finding that out at the rename would leave the other
// outputs of the input replaced and this one not.
bool sticky_refuses(const struct stat& folder, const struct stat& file) {
  const uid_t user = ::geteuid();
  return (folder.st_mode & S_ISVTX) != 0 && user != 0 && file.st_uid != user &&
         folder.st_uid != user;
}

}  // namespace

std::string temporary_prefix(const std::string& target) {
  const auto slash = target.rfind('/');
  const std::size_t base_at = slash == std::string::npos ? 0 : slash + 1;
  // A directory entry holds at most NAME_MAX bytes.
  constexpr std::size_t kRoom = NAME_MAX - 1 - kTemporaryTag.size() - kRandomLength;
  const std::size_t base_length = std::min(target.size() - base_at, kRoom);
  std::string prefix = target.substr(0, base_at);
  prefix += '.';
  prefix.append(target, base_at, base_length);
  prefix += kTemporaryTag;
  return prefix;
}

int Destination::look_standard_output() {
  remove();
  name_ = target_ = "standard output";
  through_ = standard_output_ = existed_ = true;
  struct stat status {};
  if (::fstat(STDOUT_FILENO, &status) != 0) {
    return errno;
  }
  device_ = status.st_dev;
  inode_ = status.st_ino;
  return 0;
}

int Destination::look(const std::string& name) {
  remove();
  name_ = name;
  target_ = name;
  through_ = standard_output_ = false;
  existed_ = false;
  // A link is judged by what it leads to: a FIFO or device behind it is
  // written through. A name that is no link is looked at once.
  struct stat status {};
  const bool there = ::lstat(name.c_str(), &status) == 0;
  if (!there && errno != ENOENT) {
    return errno;
  }
  const bool link = there && S_ISLNK(status.st_mode);
  struct stat leads_to = status;
  const bool leads_somewhere = link ? ::stat(name.c_str(), &leads_to) == 0 : there;
  if (link && !leads_somewhere && errno != ENOENT) {
    return errno;
  }
  if (leads_somewhere && S_ISDIR(leads_to.st_mode)) {
    return EISDIR;
  }
  if (leads_somewhere && !S_ISREG(leads_to.st_mode)) {
    through_ = true;
    existed_ = true;
    device_ = leads_to.st_dev;
    inode_ = leads_to.st_ino;
    return 0;
  }
  const int found = link ? follow_links(name, target_, status) : there ? 0 : ENOENT;
  if (found != 0 && found != ENOENT) {
    return found;
  }
  struct stat folder {};
  if (::stat(folder_of(target_).c_str(), &folder) != 0) {
    return errno;
  }
  folder_device_ = folder.st_dev;
  folder_inode_ = folder.st_ino;
  base_ = target_.substr(target_.rfind('/') + 1);
  if (found == ENOENT) {
    return 0;
  }
  existed_ = true;
  device_ = status.st_dev;
  inode_ = status.st_ino;
  changed_ = status.st_ctim;
  mode_ = status.st_mode;
  // Renaming over a file its owner protected would replace it all the same.
  if (::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) {
    return errno;
  }
  return sticky_refuses(folder, status) ? EPERM : 0;
}

int Destination::open(int& fd) {
  fd = -1;
  if (standard_output_) {
    fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    return fd < 0 ? errno : 0;
  }
  if (through_) {
    fd = ::open(name_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    return fd < 0 ? errno : 0;
  }
  const std::string prefix = temporary_prefix(target_);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::string candidate = prefix + random_part();
    fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd >= 0) {
      temporary_ = std::move(candidate);
      // A file its owner kept private stays private.
      if (existed_) {
        (void)::fchmod(fd, mode_ & 0777);
      }
      return 0;
    }
    if (errno != EEXIST) {
      return errno;
    }
  }
  return EEXIST;
}

int Destination::move_temporary(const std::string& to) {
  if (temporary_.empty()) {
    return 0;
  }
  if (::rename(temporary_.c_str(), to.c_str()) != 0) {
    return errno;
  }
  temporary_.clear();
  return 0;
}

int Destination::replace() { return move_temporary(target_); }

int Destination::keep_partial() { return move_temporary(partial()); }

void Destination::remove() {
  if (!temporary_.empty()) {
    (void)::unlink(temporary_.c_str());
    temporary_.clear();
  }
}

bool Destination::replaced_meanwhile() const {
  struct stat status {};
  if (through_ || ::lstat(target_.c_str(), &status) != 0) {
    return false;
  }
  return !existed_ || status.st_dev != device_ || status.st_ino != inode_ ||
         status.st_ctim.tv_sec != changed_.tv_sec || status.st_ctim.tv_nsec != changed_.tv_nsec;
}

bool Destination::same_file_as(const Destination& other) const {
  if (through_ || other.through_ || existed_ != other.existed_) {
    return false;
  }
  if (existed_) {
    return device_ == other.device_ && inode_ == other.inode_;
  }
  return folder_device_ == other.folder_device_ && folder_inode_ == other.folder_inode_ &&
         base_ == other.base_;
}

}  // namespace orvale
