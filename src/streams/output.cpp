#include "streams/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace orvale {

Output::~Output() { (void)close(); }

bool Output::fail(int error_number) {
  if (error_ == 0) {
    error_ = error_number;
  }
  return false;
}

bool Output::attach(int fd, std::string name) {
  (void)close();
  discarding_ = false;
  fd_ = fd;
  name_ = std::move(name);
  error_ = 0;
  taken_ = 0;
  written_ = 0;
  used_ = 0;
  pending_count_ = 0;
  borrowed_ = false;
  if (!buffer_) {
    buffer_.reset(new (std::nothrow) std::uint8_t[kBufferSize]);
    if (!buffer_) {
      return fail(ENOMEM);
    }
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

void Output::discard() {
  (void)close();
  discarding_ = true;
  taken_ = 0;
}

bool Output::write(std::span<const std::uint8_t> bytes) {
  if (discarding_) {
    taken_ += bytes.size();
    return true;
  }
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
    written_ += static_cast<std::uint64_t>(written);
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

bool Output::close(const timespec* modified) {
  if (fd_ < 0) {
    return error_ == 0;
  }
  bool flushed = flush();
  pending_count_ = 0;
  borrowed_ = false;
  if (flushed && modified != nullptr) {
    const std::array<timespec, 2> times = {timespec{0, UTIME_OMIT}, *modified};
    flushed = ::futimens(fd_, times.data()) == 0 || fail(errno);
  }
  if (::close(std::exchange(fd_, -1)) != 0 && flushed) {
    return fail(errno);
  }
  return flushed;
}

}  // namespace orvale
