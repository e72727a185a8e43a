#include "streams/destination.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string_view>
#include <utility>

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
int follow_links(const std::string& name, std::string& target, platform::FileStatus& status) {
  target = name;
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    if (const int error = platform::status(target, false, status); error != 0) {
      return error;
    }
    if (status.kind != platform::Kind::link) {
      return 0;
    }
    std::string next;
    if (const int error = platform::read_link(target, next); error != 0) {
      return error;
    }
    if (next.empty()) {
      return ENOENT;
    }
    const auto slash = target.find_last_of(platform::kSeparators);
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
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto ticks = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
    // The address differs from one process to the next where the system
    // places programs at random, which costs no system call to learn.
    return ticks ^ static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&ticks)) << 20;
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
  const auto slash = path.find_last_of(platform::kSeparators);
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// This machine's name as a part of a file name: no separators, and short.
const std::string& host_part() {
  static const std::string host = [] {
    constexpr std::size_t kLongest = 64;
    std::string name = platform::host_name().substr(0, kLongest);
    for (char& c : name) {
      c = c == '/' || c == '\\' || c == ':' ? '_' : c;
    }
    return name.empty() ? std::string("host") : name;
  }();
  return host;
}

// "HOST-PID-": who made a temporary, so that a later run on this machine
// can tell one whose maker is gone.
const std::string& owner_part() {
  static const std::string owner = host_part() + "-" + std::to_string(platform::process_id()) + "-";
  return owner;
}

// The process of this machine, not this one, that made the temporary named
// `name` (which starts with `prefix`); 0 when it is not such a name.
std::uint64_t maker_of(const std::string& name, const std::string& prefix) {
  const std::string rest = name.substr(prefix.size());
  const auto random_at = rest.rfind('-');
  if (random_at == std::string::npos || rest.size() - random_at - 1 != kRandomLength ||
      random_at == 0) {
    return 0;
  }
  const auto pid_at = rest.rfind('-', random_at - 1);
  if (pid_at == std::string::npos || rest.compare(0, pid_at, host_part()) != 0 ||
      pid_at != host_part().size() || random_at - pid_at - 1 == 0 || random_at - pid_at - 1 > 19) {
    return 0;
  }
  std::uint64_t pid = 0;
  for (std::size_t i = pid_at + 1; i < random_at; ++i) {
    if (rest[i] < '0' || rest[i] > '9') {
      return 0;
    }
    pid = pid * 10 + static_cast<std::uint64_t>(rest[i] - '0');
  }
  return pid == platform::process_id() ? 0 : pid;
}

}  // namespace

std::string temporary_prefix(const std::string& target) {
  const auto slash = target.find_last_of(platform::kSeparators);
  const std::size_t base_at = slash == std::string::npos ? 0 : slash + 1;
  // A directory entry holds at most NAME_MAX bytes.
  const std::size_t room =
      platform::kMaxNameBytes - 1 - kTemporaryTag.size() - owner_part().size() - kRandomLength;
  const std::size_t base_length = std::min(target.size() - base_at, room);
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
  return platform::status(platform::standard(platform::Standard::output), found_);
}

int Destination::look(const std::string& name) {
  remove();
  name_ = name;
  target_ = name;
  through_ = standard_output_ = left_alone_ = false;
  existed_ = false;
  found_ = {};
  // A link is judged by what it leads to: a FIFO or device behind it is
  // written through. A name that is no link is looked at once.
  platform::FileStatus status;
  int error = platform::status(name, false, status);
  if (error != 0 && error != ENOENT) {
    return error;
  }
  const bool there = error == 0;
  const bool link = there && status.kind == platform::Kind::link;
  platform::FileStatus leads_to = status;
  const int followed = link ? platform::status(name, true, leads_to) : error;
  if (link && followed != 0 && followed != ENOENT) {
    return followed;
  }
  const bool leads_somewhere = followed == 0;
  if (leads_somewhere && leads_to.kind == platform::Kind::directory) {
    return EISDIR;
  }
  if (leads_somewhere && leads_to.kind != platform::Kind::regular) {
    through_ = true;
    existed_ = true;
    found_ = leads_to;
    return 0;
  }
  const int found = link ? follow_links(name, target_, status) : there ? 0 : ENOENT;
  if (found != 0 && found != ENOENT) {
    return found;
  }
  platform::FileStatus folder;
  if (error = platform::status(folder_of(target_), true, folder); error != 0) {
    return error;
  }
  folder_ = folder.id;
  base_ = target_.substr(target_.find_last_of(platform::kSeparators) + 1);
  if (found == ENOENT) {
    return 0;
  }
  existed_ = true;
  found_ = status;
  return platform::may_replace(target_, status, folder);
}

std::string Destination::folder() const { return folder_of(target_); }

void Destination::remove_stale(std::span<const std::string> names_in_folder,
                               std::vector<std::string>& removed) const {
  if (through_) {
    return;
  }
  const std::string prefix = temporary_prefix(target_);
  const auto slash = prefix.find_last_of(platform::kSeparators);
  const std::string base_prefix = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
  for (const std::string& name : names_in_folder) {
    if (!name.starts_with(base_prefix)) {
      continue;
    }
    const std::uint64_t maker = maker_of(name, base_prefix);
    const std::string path = prefix.substr(0, prefix.size() - base_prefix.size()) + name;
    if (maker != 0 && platform::process_gone(maker) && platform::remove(path) == 0) {
      removed.push_back(path);
    }
  }
}

int Destination::open(platform::File& file) {
  file = platform::kNoFile;
  if (standard_output_) {
    return platform::duplicate_standard_output(file);
  }
  if (through_) {
    return platform::open_to_write(name_, file);
  }
  const platform::FileStatus* like = existed_ ? &found_ : nullptr;
  // A second handle keeps the unnamed file alive after the output closes
  // its own, until it is named.
  if (platform::create_unnamed(folder_of(target_), like, file) == 0) {
    if (platform::duplicate(file, unnamed_) == 0) {
      return 0;
    }
    (void)platform::close(file);
    file = platform::kNoFile;
  }
  return create_named(like, file);
}

int Destination::create_named(const platform::FileStatus* like, platform::File& file) {
  const std::string prefix = temporary_prefix(target_) + owner_part();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::string candidate = prefix + random_part();
    const int error = platform::create_new(candidate, like, file);
    if (error == 0) {
      temporary_ = std::move(candidate);
      return 0;
    }
    if (error != EEXIST) {
      return error;
    }
  }
  return EEXIST;
}

int Destination::name_unnamed() {
  if (unnamed_ == platform::kNoFile) {
    return 0;
  }
  const std::string prefix = temporary_prefix(target_) + owner_part();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::string candidate = prefix + random_part();
    const int error = platform::link_unnamed(unnamed_, candidate);
    if (error == 0) {
      temporary_ = std::move(candidate);
      close_unnamed();
      return 0;
    }
    if (error != EEXIST) {
      return error;
    }
  }
  return EEXIST;
}

void Destination::close_unnamed() {
  if (unnamed_ != platform::kNoFile) {
    (void)platform::close(std::exchange(unnamed_, platform::kNoFile));
  }
}

int Destination::move_temporary(const std::string& to, bool only_if_free) {
  if (const int error = name_unnamed(); error != 0) {
    return error;
  }
  if (temporary_.empty()) {
    return 0;
  }
  const int error = only_if_free ? platform::rename_new(temporary_, to)
                                 : platform::rename_over(temporary_, to);
  if (error != 0) {
    return error;
  }
  temporary_.clear();
  return 0;
}

// A name nothing stood at is taken only while it is still free: a file
// another run put there meanwhile stays (EEXIST).
int Destination::replace() {
  if (unnamed_ != platform::kNoFile && !existed_) {
    if (const int error = platform::link_unnamed(unnamed_, target_); error != 0) {
      return error;
    }
    close_unnamed();
    return 0;
  }
  return move_temporary(target_, !existed_);
}

int Destination::keep_partial() { return move_temporary(partial(), false); }

void Destination::remove() {
  close_unnamed();
  if (!temporary_.empty()) {
    (void)platform::remove(temporary_);
    temporary_.clear();
  }
}

bool Destination::replaced_meanwhile() const {
  platform::FileStatus status;
  if (through_ || platform::status(target_, false, status) != 0) {
    return false;
  }
  return !existed_ || status.id != found_.id || status.changed != found_.changed;
}

bool Destination::same_file_as(const Destination& other) const {
  if (through_ || other.through_ || existed_ != other.existed_) {
    return false;
  }
  if (existed_) {
    return found_.id == other.found_.id;
  }
  return folder_ == other.folder_ && base_ == other.base_;
}

}  // namespace orvale
