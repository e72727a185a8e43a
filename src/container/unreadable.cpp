#include "container/unreadable.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace orvale {
namespace {

// A device's sectors are read in blocks of this size: a real one fails a
// whole large read for one bad sector, so only smaller reads find where the
// good bytes resume.
constexpr std::uint64_t kBlock = 4096;
constexpr std::uint64_t kLongestStep = std::uint64_t{1} << 20;
constexpr std::uint64_t kGiveUp = std::uint64_t{16} << 20;

// The device went away (a card pulled out): nothing further can be read.
bool gone(int error) { return error == ENODEV || error == ENXIO; }

}  // namespace

void UnreadableRanges::add(std::uint64_t from, std::uint64_t to) {
  if (from >= to) {
    return;
  }
  // The first range that ends at or after `from`: every one before it lies
  // wholly before the new one and does not touch it.
  auto first = std::lower_bound(ranges_.begin(), ranges_.end(), from,
                                [](const Range& range, std::uint64_t at) { return range.to < at; });
  auto last = first;
  while (last != ranges_.end() && last->from <= to) {
    from = std::min(from, last->from);
    to = std::max(to, last->to);
    ++last;
  }
  if (first != last) {
    *first = {from, to};
    ranges_.erase(first + 1, last);
    return;
  }
  if (ranges_.size() < kMostRanges) {
    ranges_.insert(first, {from, to});
    return;
  }
  // Full: widen the nearer neighbour over the gap.
  const bool after_previous =
      last == ranges_.end() ||
      (first != ranges_.begin() && from - (first - 1)->to <= last->from - to);
  if (after_previous) {
    (first - 1)->to = to;
  } else {
    first->from = from;
  }
}

std::optional<std::uint64_t> UnreadableRanges::first_in(std::uint64_t from,
                                                        std::uint64_t to) const {
  const auto range = std::upper_bound(ranges_.begin(), ranges_.end(), from,
                                      [](std::uint64_t at, const Range& r) { return at < r.to; });
  if (range == ranges_.end() || range->from >= to || from >= to) {
    return std::nullopt;
  }
  return std::max(from, range->from);
}

std::uint64_t UnreadableRanges::run_ending_at(std::uint64_t at) const {
  const auto range = std::lower_bound(ranges_.begin(), ranges_.end(), at,
                                      [](const Range& r, std::uint64_t a) { return r.to < a; });
  return range != ranges_.end() && range->from < at ? at - range->from : 0;
}

int read_past_damage(platform::File file, std::uint64_t offset, std::uint64_t size, int error,
                     std::span<std::uint8_t> into, UnreadableRanges& unreadable,
                     std::size_t& got) {
  got = 0;
  if (gone(error)) {
    return error;
  }
  // A read can fail for a moment (a bus reset, a card that was busy).
  error = platform::read_at(file, offset, into, got);
  if (error == 0 || gone(error)) {
    return error;
  }
  const std::uint64_t end = offset >= size ? offset : std::min(offset + into.size(), size);
  std::uint64_t at = offset;
  while (at < end) {
    const auto inside = static_cast<std::size_t>(at - offset);
    // Blocks lie on the boundaries the device's own do, so that a bad one
    // costs no good bytes beside it.
    const std::uint64_t block_end = std::min((at / kBlock + 1) * kBlock, end);
    std::size_t read = 0;
    error = platform::read_at(file, at, into.subspan(inside, block_end - at), read);
    if (error == 0 && read == 0) {
      break;  // the file shrank under the run
    }
    if (error == 0) {
      at += read;
      continue;
    }
    if (gone(error)) {
      return error;
    }
    // Each step as long as the stretch so far, and a block more: 4 KiB,
    // 8 KiB, 16 KiB and on. It ends on a block's boundary, where a bad
    // sector of a file laid out in whole blocks ends too.
    const std::uint64_t step = std::min(unreadable.run_ending_at(at) + kBlock, kLongestStep);
    const std::uint64_t to = std::min((at + step) / kBlock * kBlock, end);
    std::memset(into.data() + inside, 0, static_cast<std::size_t>(to - at));
    unreadable.add(at, to);
    at = to;
    if (unreadable.run_ending_at(at) >= kGiveUp) {
      return error;
    }
  }
  got = static_cast<std::size_t>(at - offset);
  return 0;
}

}  // namespace orvale
