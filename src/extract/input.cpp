#include "extract/input.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace orvale {
namespace {

constexpr std::uint64_t kFirstStep = std::uint64_t{64} * 1024;

}  // namespace

bool ByteBuffer::grow(std::uint64_t size) {
  if (size <= capacity_) {
    return true;
  }
  if (size > SIZE_MAX) {
    return false;
  }
  void* grown = std::realloc(bytes_.get(), static_cast<std::size_t>(size));
  if (grown == nullptr) {
    return false;
  }
  (void)bytes_.release();
  bytes_.reset(static_cast<std::uint8_t*>(grown));
  capacity_ = size;
  return true;
}

ReadStatus Input::read(ByteBuffer& buffer, std::uint64_t size,
                       std::span<const std::uint8_t>& view) {
  std::uint64_t done = 0;
  view = {};
  while (done < size) {
    if (buffer.capacity() <= done) {
      const std::uint64_t step = std::max(buffer.capacity() * 2, kFirstStep);
      if (!buffer.grow(std::min(size, step))) {
        return ReadStatus::out_of_memory;
      }
    }
    const std::uint64_t want = std::min(size, buffer.capacity()) - done;
    errno = 0;
    const std::size_t got =
        std::fread(buffer.data() + done, 1, static_cast<std::size_t>(want), file_);
    done += got;
    offset_ += got;
    view = {buffer.data(), static_cast<std::size_t>(done)};
    if (got < want) {
      if (std::ferror(file_) != 0) {
        error_ = errno != 0 ? errno : EIO;
        return ReadStatus::read_error;
      }
      return ReadStatus::input_ended;
    }
  }
  return ReadStatus::complete;
}

}  // namespace orvale
