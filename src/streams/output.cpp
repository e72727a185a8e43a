#include "streams/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace orvale {
namespace {

// Opens `path` for writing without truncating it; `created` tells whether this
// call made the file.
int open_for_writing(const std::string& path, bool& created) {
  created = false;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    created = true;
    return fd;
  }
  if (errno != EEXIST) {
    return -1;
  }
  fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    // A link to nowhere: writing creates its target, which is not ours to
    // remove again, just as any file behind a link is not.
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  }
  return fd;
}

}  // namespace

Output::~Output() {
  if (fd_ < 0) {
    return;
  }
  if (begun_) {
    // Reached only when an error elsewhere ended the run: what is pending is
    // still worth keeping.
    (void)close();
  } else {
    discard();
  }
}

bool Output::fail(int error_number) {
  if (error_ == 0) {
    error_ = error_number;
  }
  return false;
}

bool Output::open(const std::string& path) {
  name_ = path;
  error_ = 0;
  taken_ = 0;
  used_ = 0;
  pending_count_ = 0;
  borrowed_ = false;
  begun_ = false;
  buffer_.reset(new (std::nothrow) std::uint8_t[kBufferSize]);
  if (!buffer_) {
    return fail(ENOMEM);
  }
  fd_ = open_for_writing(path, created_);
  if (fd_ < 0) {
    return fail(errno);
  }
  struct stat status {};
  if (::fstat(fd_, &status) != 0) {
    return fail(errno);
  }
  regular_ = S_ISREG(status.st_mode);
  device_ = status.st_dev;
  inode_ = status.st_ino;
  return true;
}

bool Output::begin() {
  if (error_ != 0 || fd_ < 0) {
    return fail(error_ != 0 ? error_ : EBADF);
  }
  if (regular_ && !created_ && ::ftruncate(fd_, 0) != 0) {
    return fail(errno);
  }
  begun_ = true;
  return true;
}

void Output::discard() {
  if (fd_ < 0) {
    return;
  }
  ::close(std::exchange(fd_, -1));
  pending_count_ = 0;
  used_ = 0;
  borrowed_ = false;
  if (created_) {
    (void)::unlink(name_.c_str());
    created_ = false;
  }
}

bool Output::write(std::span<const std::uint8_t> bytes) {
  if (error_ != 0 || fd_ < 0) {
    return fail(error_ != 0 ? error_ : EBADF);
  }
  return bytes.empty() || append(bytes);
}

bool Output::append(std::span<const std::uint8_t> piece) {
  taken_ += piece.size();
  const bool copy = piece.size() < kCopyLimit;
  if (copy && piece.size() > kBufferSize - used_ && !write_pending()) {
    return false;
  }
  // A copy right behind the staged piece before it joins that piece.
  const bool joins = copy && pending_count_ > 0 &&
                     static_cast<std::uint8_t*>(pending_[pending_count_ - 1].iov_base) +
                             pending_[pending_count_ - 1].iov_len ==
                         buffer_.get() + used_;
  if (!joins && pending_count_ == kMaxPending && !write_pending()) {
    return false;
  }
  if (!copy) {
    pending_[pending_count_++] = {const_cast<std::uint8_t*>(piece.data()), piece.size()};
    borrowed_ = true;
    return true;
  }
  std::uint8_t* at = buffer_.get() + used_;
  std::memcpy(at, piece.data(), piece.size());
  used_ += piece.size();
  if (joins) {
    pending_[pending_count_ - 1].iov_len += piece.size();
  } else {
    pending_[pending_count_++] = {at, piece.size()};
  }
  return true;
}

bool Output::write_pending() {
  std::size_t done = 0;
  while (done < pending_count_) {
    const auto count = static_cast<int>(pending_count_ - done);
    const ssize_t written = ::writev(fd_, pending_.data() + done, count);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return fail(errno);
    }
    auto left = static_cast<std::size_t>(written);
    while (done < pending_count_ && left >= pending_[done].iov_len) {
      left -= pending_[done].iov_len;
      ++done;
    }
    if (done < pending_count_) {
      pending_[done].iov_base = static_cast<std::uint8_t*>(pending_[done].iov_base) + left;
      pending_[done].iov_len -= left;
    }
  }
  pending_count_ = 0;
  used_ = 0;
  borrowed_ = false;
  return true;
}

bool Output::flush() {
  if (error_ != 0) {
    return false;
  }
  return pending_count_ == 0 || write_pending();
}

bool Output::close() {
  if (fd_ < 0) {
    return error_ == 0;
  }
  const bool flushed = flush();
  pending_count_ = 0;
  borrowed_ = false;
  if (::close(std::exchange(fd_, -1)) != 0 && flushed) {
    return fail(errno);
  }
  return flushed;
}

}  // namespace orvale
