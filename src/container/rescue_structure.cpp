// The rescue's search by structure: where the index cannot be followed,
// packets are taken one after another where each ends, and the bytes where
// none stands are searched for the next.
#include <algorithm>
#include <cinttypes>

#include "container/rescuer.h"

namespace orvale {
namespace {

// A packet's fields are read before any byte of it can be told apart from
// zeros: one that is not all zeros has a byte other than 0 among its first 13.
constexpr std::uint64_t kLongestZeroOpening = kPacketFixedSize - 1;
// Zeros are looked through in pieces this long, so that the search's cache
// is refilled only as it moves on.
constexpr std::size_t kScanPiece = 4096;

}  // namespace

bool Rescuer::all_zeros(std::uint64_t from, std::uint64_t to) {
  while (from < to) {
    const auto piece =
        source_.at(from, static_cast<std::size_t>(std::min<std::uint64_t>(to - from, kScanPiece)));
    if (piece.empty() ||
        std::any_of(piece.begin(), piece.end(), [](std::uint8_t b) { return b != 0; })) {
      return false;
    }
    from += piece.size();
  }
  return true;
}

void Rescuer::skipped(std::uint64_t from, std::uint64_t to) {
  const bool zeros = all_zeros(from, to);
  // What lies between the header and the first packet found is the index,
  // however it failed.
  if (from == index_from_) {
    run_.report.warning("the index, bytes %" PRIu64 " to %" PRIu64 ", %s", from, to - 1,
                        zeros ? "is empty" : "does not lead to the packets");
    damage_ = true;
    return;
  }
  ranges_.note(from, to, zeros);
  ++run_.gaps_of_unknown_length;
}

// The first offset from `from` on where packets begin, or the file's end.
// A run of zeros is passed at once: no packet starts more than 12 bytes
// before its end.
Flow Rescuer::resynchronise(std::uint64_t from, std::uint64_t& found_at) {
  for (found_at = from; found_at < size();) {
    const auto byte = source_.at(found_at, 1);
    if (byte.empty()) {
      return read_failed(found_at);
    }
    if (byte[0] == 0) {
      std::uint64_t nonzero = found_at;
      for (bool zeros = true; zeros && nonzero < size();) {
        const auto piece = source_.at(nonzero, static_cast<std::size_t>(std::min<std::uint64_t>(
                                                   size() - nonzero, kScanPiece)));
        if (piece.empty()) {
          return read_failed(nonzero);
        }
        const auto hit =
            std::find_if(piece.begin(), piece.end(), [](std::uint8_t b) { return b != 0; });
        zeros = hit == piece.end();
        nonzero += static_cast<std::uint64_t>(hit - piece.begin());
      }
      if (nonzero >= size()) {
        found_at = size();
        return Flow::next;
      }
      found_at = std::max(found_at, nonzero - std::min(nonzero, kLongestZeroOpening));
    }
    std::uint64_t needed = 0;
    switch (packets_begin_at(source_, run_.header, found_at, needed)) {
      case Plausibility::yes:
        return Flow::next;
      case Plausibility::read_error:
        return read_failed(found_at);
      case Plausibility::empty:
      case Plausibility::no:
        break;
    }
    ++found_at;
  }
  return Flow::next;
}

// From `offset` on, each packet is taken where the one before ends, and a
// search for packets spans the bytes where none stands. A packet without a
// successor is written only where it stands exactly where the index or the
// packet before put it (`exact`), and after a closer look: elsewhere, bytes
// that only look like one are too easily found.
Flow Rescuer::follow_structure(std::uint64_t offset, bool exact) {
  while (offset < size()) {
    std::uint64_t needed = 0;
    std::uint64_t resume_from = offset + 1;
    const Plausibility verdict =
        plausible_packet(source_, run_.header, offset, size(), true, needed);
    if (verdict == Plausibility::read_error) {
      return read_failed(offset);
    }
    if (verdict == Plausibility::yes) {
      std::uint64_t next = 0;
      std::uint64_t next_needed = 0;
      const Successor successor =
          find_successor(source_, run_.header, offset + needed, next, next_needed);
      if (successor == Successor::read_error) {
        return read_failed(offset + needed);
      }
      std::string fault;
      Plausibility whole = Plausibility::yes;
      // Unreadable bytes where the successor would stand hide it; they say
      // nothing against this packet.
      if (successor != Successor::found &&
          !run_.window.unreadable().touches(offset + needed, kSuccessorLook)) {
        whole = exact ? holds_whole_frames(source_, run_.header, offset, needed, fault)
                      : Plausibility::no;
      }
      if (whole == Plausibility::read_error) {
        return read_failed(offset);
      }
      if (whole == Plausibility::yes) {
        const Flow flow = extract_at(offset, needed);
        if (flow != Flow::next) {
          return flow;
        }
        ++by_structure_;
        if (successor == Successor::found) {
          exact = next == offset + needed;
          offset = next;
          continue;
        }
        offset += needed;
        resume_from = offset;
      } else if (exact) {
        run_.report.warning("the packet at byte %" PRIu64 " (%" PRIu64
                            " bytes) is damaged: %s; dropped",
                            offset, needed, fault.c_str());
        damage_ = true;
        ++run_.gaps_of_unknown_length;
      }
    }
    std::uint64_t resumed = 0;
    if (resynchronise(resume_from, resumed) == Flow::fail) {
      return Flow::fail;
    }
    if (resumed > offset) {
      skipped(offset, resumed);
    }
    offset = resumed;
    exact = false;
  }
  return Flow::next;
}

}  // namespace orvale
