// Judging by its own fields whether a packet stands at an input offset, for
// recovering the packets a damaged or missing index hides.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "extract/container.h"

namespace orvale {

// Reads a regular file by offset through a cache refilled with pread, apart
// from the window the walk reads through.
class Peek {
 public:
  static constexpr std::size_t kSize = std::size_t{1} << 20;

  Peek(int fd, std::uint64_t file_size) : fd_(fd), file_size_(file_size) {}
  [[nodiscard]] bool allocate();
  // Up to `count` (at most kSize) bytes at `offset`, fewer at the file's end;
  // empty after a read error.
  [[nodiscard]] std::span<const std::uint8_t> at(std::uint64_t offset, std::size_t count);
  [[nodiscard]] std::uint64_t file_size() const { return file_size_; }
  [[nodiscard]] int error() const { return error_; }

 private:
  int fd_;
  std::uint64_t file_size_;
  std::unique_ptr<std::uint8_t[]> cache_;
  std::uint64_t base_ = 0;
  std::size_t cached_ = 0;
  int error_ = 0;
};

enum class Plausibility { yes, no, read_error };

// A packet plausibly stands at `offset` when its fields fit before `limit`,
// its video chunk is empty (allowed only when `allow_empty_video`) or begins
// with a start code, and its frames are no longer than the stream kind allows
// (AAC at most 8184 bytes). `needed` is then the length its fields add up to.
[[nodiscard]] Plausibility plausible_packet(Peek& peek, const FileHeader& header,
                                            std::uint64_t offset, std::uint64_t limit,
                                            bool allow_empty_video, std::uint64_t& needed);

}  // namespace orvale
