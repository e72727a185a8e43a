#include "streams/output.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace orvale {
namespace {

// Pieces per writev call: few enough for the stack, far below IOV_MAX.
constexpr std::size_t kMaxIovecs = 64;

}  // namespace

Output::~Output() { release(); }

void Output::release() {
  if (fd_ >= 0) {
    // Only reached when the caller gave up on this output already (an error
    // elsewhere ended the run): what is buffered is still worth keeping.
    (void)flush();
    ::close(fd_);
    fd_ = -1;
  }
}

bool Output::fail(int error_number) {
  if (error_ == 0) {
    error_ = error_number;
  }
  return false;
}

bool Output::open(const std::string& path) {
  release();
  name_ = path;
  error_ = 0;
  used_ = 0;
  buffer_.reset(new (std::nothrow) std::uint8_t[kBufferSize]);
  if (!buffer_) {
    return fail(ENOMEM);
  }
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  return fd_ >= 0 || fail(errno);
}

bool Output::write(std::span<const std::uint8_t> bytes) {
  const std::span<const std::uint8_t> pieces[] = {bytes};
  return write_pieces(pieces);
}

bool Output::write_pieces(std::span<const std::span<const std::uint8_t>> pieces) {
  if (error_ != 0 || fd_ < 0) {
    return fail(error_ != 0 ? error_ : EBADF);
  }
  std::size_t total = 0;
  for (const auto& piece : pieces) {
    total += piece.size();
  }
  // Small writes gather in the buffer; large ones go out from the caller's
  // memory, with whatever is buffered in front of them, in one writev.
  if (total < kCopyLimit && total <= kBufferSize - used_) {
    for (const auto& piece : pieces) {
      if (!piece.empty()) {
        std::memcpy(buffer_.get() + used_, piece.data(), piece.size());
        used_ += piece.size();
      }
    }
    return true;
  }
  return write_through(pieces);
}

// Sends what is buffered and then the pieces themselves with gathered writes,
// so a large video chunk is never copied into the buffer first.
bool Output::write_through(std::span<const std::span<const std::uint8_t>> pieces) {
  iovec vec[kMaxIovecs];
  std::size_t count = 0;
  std::size_t next = 0;
  if (used_ > 0) {
    vec[count++] = {buffer_.get(), used_};
  }
  while (count > 0 || next < pieces.size()) {
    while (count < kMaxIovecs && next < pieces.size()) {
      const auto& piece = pieces[next++];
      if (!piece.empty()) {
        vec[count++] = {const_cast<std::uint8_t*>(piece.data()), piece.size()};
      }
    }
    std::size_t done = 0;
    while (done < count) {
      const ssize_t written = ::writev(fd_, vec + done, static_cast<int>(count - done));
      if (written < 0) {
        if (errno == EINTR) {
          continue;
        }
        return fail(errno);
      }
      auto left = static_cast<std::size_t>(written);
      while (done < count && left >= vec[done].iov_len) {
        left -= vec[done].iov_len;
        ++done;
      }
      if (done < count) {
        vec[done].iov_base = static_cast<std::uint8_t*>(vec[done].iov_base) + left;
        vec[done].iov_len -= left;
      }
    }
    count = 0;
  }
  used_ = 0;
  return true;
}

bool Output::flush() {
  if (error_ != 0) {
    return false;
  }
  if (used_ == 0) {
    return true;
  }
  return write_through({});
}

bool Output::close() {
  if (fd_ < 0) {
    return error_ == 0;
  }
  const bool flushed = flush();
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0 && flushed) {
    return fail(errno);
  }
  return flushed;
}

}  // namespace orvale
