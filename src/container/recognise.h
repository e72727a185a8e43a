// Telling by its own fields whether a packet stands at an input offset: how a
// damaged index is found out, and how the packets it hides are found again.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "container/container.h"
#include "container/input.h"

namespace orvale {

// Bytes a recorder may leave between one packet's fields and the next packet.
inline constexpr std::uint64_t kMaxPadding = 64;

// Reads a regular file by offset through a cache refilled by offset, apart
// from the window the walk reads through.
class Peek {
 public:
  static constexpr std::size_t kSize = std::size_t{1} << 20;

  // Bytes it cannot read are zeros, added to `unreadable`.
  Peek(platform::File file, std::uint64_t file_size, UnreadableRanges& unreadable)
      : file_(file), file_size_(file_size), unreadable_(unreadable) {}
  [[nodiscard]] bool allocate();
  // Up to `count` (at most kSize) bytes at `offset`, fewer at the file's end;
  // empty after a read error.
  [[nodiscard]] std::span<const std::uint8_t> at(std::uint64_t offset, std::size_t count);
  [[nodiscard]] std::uint64_t file_size() const { return file_size_; }
  [[nodiscard]] int error() const { return error_; }

 private:
  platform::File file_;
  std::uint64_t file_size_;
  UnreadableRanges& unreadable_;
  std::unique_ptr<std::uint8_t[]> cache_;
  std::uint64_t base_ = 0;
  std::size_t cached_ = 0;
  int error_ = 0;
};

// Input bytes by offset: from the walk's window where it holds them, so that
// an intact stretch is read once, and through a Peek (when there is one,
// for a regular file) elsewhere. `end` is where the input ends, as far as is
// known.
class ByteSource {
 public:
  ByteSource(const InputWindow& window, Peek* peek, std::uint64_t end)
      : window_(window), peek_(peek), end_(end) {}
  // Up to `count` bytes (at most Peek::kSize) at `offset`; fewer where the
  // input ends or neither holds them, none after a read error.
  [[nodiscard]] std::span<const std::uint8_t> at(std::uint64_t offset, std::size_t count);
  [[nodiscard]] std::uint64_t end() const { return end_; }
  [[nodiscard]] int error() const { return peek_ != nullptr ? peek_->error() : 0; }

 private:
  const InputWindow& window_;
  Peek* peek_;
  std::uint64_t end_;
};

enum class Plausibility {
  yes,
  empty,  // fields that fit, but no video and no audio: zeros read as a packet
  no,
  read_error,
};

// A packet plausibly stands at `offset` when its fields fit before `limit`,
// its video chunk is empty (allowed only when `allow_empty_video`) or begins
// with a start code, and its frames are no longer than the stream kind allows
// (AAC at most 8184 bytes). `needed` is then the length its fields add up to.
[[nodiscard]] Plausibility plausible_packet(ByteSource& source, const FileHeader& header,
                                            std::uint64_t offset, std::uint64_t limit,
                                            bool allow_empty_video, std::uint64_t& needed);

// Where the packet after one whose fields end at `after` stands: right there
// or behind a little padding, or the input ends there. `next` is its offset
// and `next_needed` its length (0 at the input's end).
enum class Successor { found, none, read_error };
[[nodiscard]] Successor find_successor(ByteSource& source, const FileHeader& header,
                                       std::uint64_t after, std::uint64_t& next,
                                       std::uint64_t& next_needed);

// A packet with video at `offset`, and the two after it each where the one
// before ends (or the input ending there): the structure a search for packets
// trusts. `needed` is the first one's length.
[[nodiscard]] Plausibility packets_begin_at(ByteSource& source, const FileHeader& header,
                                            std::uint64_t offset, std::uint64_t& needed);

// A closer look at a plausible packet of `needed` bytes, for one whose
// successor is not where it ends: every NAL unit header has its forbidden bit
// clear, and every non-empty AAC frame of the extracted streams, past the
// fill and data stream elements it may open with, begins with a single
// channel or channel pair element of instance 0 and closes with an end
// element. MP3 frames are held to
// their lengths only, since a writer may cut them anywhere. `fault` then says
// what failed.
[[nodiscard]] Plausibility holds_whole_frames(ByteSource& source, const FileHeader& header,
                                              std::uint64_t offset, std::uint64_t needed,
                                              std::string& fault);

// The closer look at one AAC frame of `length` bytes at `at`; an empty one
// passes.
[[nodiscard]] Plausibility aac_frame_whole(ByteSource& source, std::uint64_t at,
                                           std::uint32_t length);

// The closer look at the video of the plausible packet at `offset` alone.
[[nodiscard]] Plausibility video_whole(ByteSource& source, const FileHeader& header,
                                       std::uint64_t offset);

}  // namespace orvale
