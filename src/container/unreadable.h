// The input's unreadable bytes, and how reads get past them: a worn card or
// disk fails a sector here and there, and the packets after it are as good
// as ever, so a read error in a regular file costs the packets it hits, not
// the run.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/platform.h"

namespace orvale {

// Byte ranges of the input that could not be read, merged; the reads hand
// zeros in their place.
class UnreadableRanges {
 public:
  struct Range {
    std::uint64_t from = 0;
    std::uint64_t to = 0;  // one past the last byte
  };
  // Past this many, a new range is merged into its nearest neighbour along
  // with the readable bytes between, so that memory stays bounded on a card
  // failing everywhere; those bytes are then taken for unreadable too.
  static constexpr std::size_t kMostRanges = 4096;

  void add(std::uint64_t from, std::uint64_t to);
  [[nodiscard]] bool empty() const { return ranges_.empty(); }
  // The first unreadable offset in [from, to).
  [[nodiscard]] std::optional<std::uint64_t> first_in(std::uint64_t from, std::uint64_t to) const;
  // Whether [from, from + length) holds an unreadable byte; checked for every
  // packet, so a sound input pays one test.
  [[nodiscard]] bool touches(std::uint64_t from, std::uint64_t length) const {
    return !ranges_.empty() && first_in(from, from + length).has_value();
  }
  // How many unreadable bytes run up to `at`, whether or not it is one.
  [[nodiscard]] std::uint64_t run_ending_at(std::uint64_t at) const;
  [[nodiscard]] std::span<const Range> ranges() const { return ranges_; }

 private:
  std::vector<Range> ranges_;  // in order, neither overlapping nor touching
};

// Where a read of a regular file `size` bytes long failed with `error`,
// reads `into` at `offset` anew: once as it was, then by the file's 4 KiB blocks,
// skipping from the first byte that fails in steps that grow from 4 KiB to
// 1 MiB while the blocks keep failing, so that a long bad stretch does not
// take hours. Unreadable bytes read as zeros and are added to `unreadable`.
// `got` is how many bytes of `into` now hold the input (0 at its end). The
// error stands when the device is gone or 16 MiB in a row are unreadable.
[[nodiscard]] int read_past_damage(platform::File file, std::uint64_t offset, std::uint64_t size,
                                   int error, std::span<std::uint8_t> into,
                                   UnreadableRanges& unreadable, std::size_t& got);

}  // namespace orvale
