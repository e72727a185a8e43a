#include "container/rescue.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string>

#include "container/damage_report.h"
#include "container/le.h"
#include "container/packet_walk.h"
#include "container/recognise.h"

namespace orvale {
namespace {

// A packet's fields are read before any byte of it can be told apart from
// zeros: one that is not all zeros has a byte other than 0 among its first 13.
constexpr std::uint64_t kLongestZeroOpening = kPacketFixedSize - 1;
// What the follower has the window hold beyond a packet: its successor's
// fields, for all but the largest audio size tables.
constexpr std::uint64_t kSuccessorLook = 4096;
// Zeros are looked through in pieces this long, so that the search's cache
// is refilled only as it moves on.
constexpr std::size_t kScanPiece = 4096;
// How far past where an entry ends the packet after it is looked for, when
// it is not there: more than bytes put into a packet by a torn write.
constexpr std::uint64_t kRealignReach = 256;
// How far past a packet whose successor is not where the index puts it the
// index is tried again, packet by packet: bad blocks of a card, not more.
constexpr std::uint64_t kRejoinReach = std::uint64_t{16} << 20;

class Rescuer {
 public:
  Rescuer(Run& run, Peek& peek)
      : run_(run),
        packets_(run),
        source_(run.window, &peek, peek.file_size()),
        frame_count_(run.header.frame_count) {}

  [[nodiscard]] bool rescue();

 private:
  [[nodiscard]] std::uint64_t size() const { return source_.end(); }
  [[nodiscard]] Flow read_failed(std::uint64_t offset);
  [[nodiscard]] Flow agrees(std::uint64_t offset, std::uint32_t length, std::uint64_t& needed,
                            bool& agreed);
  [[nodiscard]] Flow find_packets_start(std::uint64_t& start, bool& found);
  [[nodiscard]] Flow follow_index(std::uint64_t start, std::uint64_t entries,
                                  std::uint64_t& handover, bool& complete);
  [[nodiscard]] Flow next_recording(std::uint64_t at, bool& another);
  [[nodiscard]] Flow rescue_recording(std::uint64_t& search_from, bool& found, bool& another);
  [[nodiscard]] bool cut_after(std::uint64_t at, std::uint32_t length, std::uint32_t next);
  [[nodiscard]] Flow cut_short(std::uint64_t at, std::uint64_t needed, std::uint64_t number,
                               std::uint64_t entries, std::uint64_t& handover);
  [[nodiscard]] Flow rejoin(std::uint64_t at, std::uint64_t number, std::uint64_t entries,
                            std::uint64_t& resume, std::uint64_t& rejoined, std::uint64_t& needed,
                            bool& found);
  [[nodiscard]] Flow salvage(std::uint64_t at, std::uint64_t number, std::uint64_t rejoined);
  [[nodiscard]] Flow salvage_packet(std::uint64_t at, std::uint64_t number, std::uint64_t& needed,
                                    std::uint64_t& bad);
  [[nodiscard]] Flow fills(std::uint64_t offset, std::uint32_t length, std::uint64_t& needed,
                           bool& filled);
  [[nodiscard]] Flow realign(std::uint64_t at, std::uint32_t length, std::uint64_t number,
                             std::uint64_t entries, std::uint64_t& resume, std::uint64_t& needed,
                             bool& found);
  [[nodiscard]] Flow settle(std::uint64_t at, std::uint32_t length, std::uint64_t number,
                            std::uint64_t resume);
  [[nodiscard]] Flow follow_structure(std::uint64_t offset, bool exact);
  [[nodiscard]] Flow resynchronise(std::uint64_t from, std::uint64_t& found_at);
  [[nodiscard]] Flow extract_at(std::uint64_t offset, std::uint64_t needed);
  [[nodiscard]] bool all_zeros(std::uint64_t from, std::uint64_t to);
  void skipped(std::uint64_t from, std::uint64_t to);
  [[nodiscard]] std::uint32_t entry(std::uint64_t number) const {
    return packet_length(read_le32(run_.index, number * kIndexEntrySize));
  }
  [[nodiscard]] bool later_entries_empty(std::uint64_t number, std::uint64_t entries) const;
  void tell();

  Run& run_;
  PacketWalker packets_;
  ByteSource source_;
  // Where the index of the recording being rescued begins, and the count its
  // header gives: a second recording may follow the first.
  std::uint64_t index_from_ = kHeaderSize;
  std::uint32_t frame_count_ = 0;
  std::uint32_t next_number_ = 0;
  std::uint64_t from_index_ = 0;
  std::uint64_t by_structure_ = 0;
  SkippedRanges ranges_;
  // Something was wrong beside the packets found by structure.
  bool damage_ = false;
};

Flow Rescuer::read_failed(std::uint64_t offset) {
  run_.report.error(run_.path, "read error at byte %" PRIu64 ": %s", offset,
                    std::strerror(source_.error()));
  return Flow::fail;
}

// A packet at `offset` agrees with an entry of `length` bytes when its fields
// fit in them; one that holds nothing, as zeros read as a packet do, agrees
// only with an entry of exactly its length.
Flow Rescuer::agrees(std::uint64_t offset, std::uint32_t length, std::uint64_t& needed,
                     bool& agreed) {
  agreed = false;
  if (length == 0 || offset + length > size()) {
    return Flow::next;
  }
  switch (plausible_packet(source_, run_.header, offset, offset + length, true, needed)) {
    case Plausibility::yes:
      agreed = true;
      break;
    case Plausibility::empty:
      agreed = needed == length;
      break;
    case Plausibility::no:
      break;
    case Plausibility::read_error:
      return read_failed(offset);
  }
  return Flow::next;
}

// The packets begin where the index ends: where the header's count puts its
// end when a packet there agrees with entry 0, else at the first 4-byte
// boundary after the header where a packet agrees with entry 0 and the one
// after it with entry 1 (or the file ends after the first). A count too high
// puts its end inside packet 0, one too low inside the index. The search
// stops at a word that cannot be an entry.
Flow Rescuer::find_packets_start(std::uint64_t& start, bool& found) {
  found = false;
  const auto first_entries = source_.at(index_from_, 2 * kIndexEntrySize);
  if (first_entries.size() < kIndexEntrySize) {
    return source_.error() != 0 ? read_failed(index_from_) : Flow::next;
  }
  const std::uint32_t first = packet_length(read_le32(first_entries, 0));
  const std::uint32_t second =
      first_entries.size() == 2 * kIndexEntrySize ? packet_length(read_le32(first_entries, 4)) : 0;
  const auto pair_at = [&](std::uint64_t at, bool& agreed) {
    std::uint64_t needed = 0;
    Flow flow = agrees(at, first, needed, agreed);
    if (flow == Flow::next && agreed && at + first < size()) {
      flow = agrees(at + first, second, needed, agreed);
    }
    return flow;
  };
  // Where the header says, packet 0 agreeing with its entry will do.
  const std::uint64_t announced = index_from_ + kIndexEntrySize * frame_count_;
  std::uint64_t needed = 0;
  if (frame_count_ > 0 && announced < size()) {
    if (agrees(announced, first, needed, found) == Flow::fail) {
      return Flow::fail;
    }
    if (found) {
      start = announced;
      return Flow::next;
    }
  }
  for (start = index_from_ + kIndexEntrySize; start + kIndexEntrySize <= size();
       start += kIndexEntrySize) {
    const auto last = source_.at(start - kIndexEntrySize, kIndexEntrySize);
    if (last.size() < kIndexEntrySize) {
      return source_.error() != 0 ? read_failed(start) : Flow::next;
    }
    const std::uint32_t length = packet_length(read_le32(last, 0));
    if (length != 0 && (length < kPacketFixedSize || length > size())) {
      return Flow::next;
    }
    if (pair_at(start, found) == Flow::fail) {
      return Flow::fail;
    }
    if (found) {
      return Flow::next;
    }
  }
  return Flow::next;
}

bool Rescuer::later_entries_empty(std::uint64_t number, std::uint64_t entries) const {
  for (std::uint64_t later = number + 1; later < entries; ++later) {
    if (entry(later) != 0) {
      return false;
    }
  }
  return true;
}

Flow Rescuer::extract_at(std::uint64_t offset, std::uint64_t needed) {
  if (run_.window.skip_to(offset) != ReadStatus::complete) {
    run_.report.error(run_.path, "read error at byte %" PRIu64 ": %s", offset,
                      std::strerror(run_.window.error()));
    return Flow::fail;
  }
  Packet packet;
  packet.number = next_number_++;
  packet.length = static_cast<std::uint32_t>(needed);
  packet.start = offset;
  return packets_.walk_packet(packet);
}

// Follows the index from `start` while each entry agrees with its packet and
// the next entry with the packet after it. `handover` is where the search by
// structure takes over when it does not; `complete` when it did to the end
// of the index (an entry of length 0 followed by nothing else ends it).
Flow Rescuer::follow_index(std::uint64_t start, std::uint64_t entries, std::uint64_t& handover,
                           bool& complete) {
  complete = false;
  std::uint64_t at = start;
  handover = start;
  bool agreed = false;
  std::uint64_t needed = 0;
  for (std::uint64_t number = 0; number < entries; ++number) {
    const std::uint32_t length = entry(number);
    if (length == 0 && later_entries_empty(number, entries)) {
      break;
    }
    // The window holds the packet and its successor's fields, so that both
    // are judged from it and the packet's bytes are read once.
    if (run_.window.skip_to(at) != ReadStatus::complete) {
      return read_failed(at);
    }
    if (packets_.hold(length + kSuccessorLook, length) == Flow::fail) {
      return Flow::fail;
    }
    if (number == 0 && agrees(at, length, needed, agreed) == Flow::fail) {
      return Flow::fail;
    }
    if (!agreed) {
      return Flow::next;  // the search starts where the last entry followed ends
    }
    const std::uint64_t packet_needed = needed;
    const bool last = number + 1 == entries || later_entries_empty(number, entries);
    // A bad spot in the next packet keeps this one, which was read whole.
    const Flow next_flow =
        last ? Flow::next : agrees(at + length, entry(number + 1), needed, agreed);
    if (next_flow == Flow::next && !last && !agreed &&
        cut_after(at, length, entry(number + 1))) {
      return cut_short(at, packet_needed, number, entries, handover);
    }
    if (next_flow == Flow::next && !last && !agreed) {
      std::uint64_t resume = 0;
      bool found = false;
      if (realign(at, length, number, entries, resume, needed, found) == Flow::fail) {
        return Flow::fail;
      }
      std::uint64_t rejoined = number + 1;
      if (!found && rejoin(at, number, entries, resume, rejoined, needed, found) == Flow::fail) {
        return Flow::fail;
      }
      if (!found) {
        handover = at;  // the search looks at this packet again, and deeper
        return Flow::next;
      }
      const Flow settled = rejoined == number + 1 ? settle(at, length, number, resume)
                                                  : salvage(at, number, rejoined);
      if (settled == Flow::fail) {
        return Flow::fail;
      }
      number = rejoined - 1;
      at = resume;
      handover = at;
      agreed = true;
      continue;
    }
    const Flow flow = extract_at(at, packet_needed);
    if (flow != Flow::next || next_flow != Flow::next) {
      return flow == Flow::next ? next_flow : flow;
    }
    ++from_index_;
    at += length;
    handover = at;
  }
  complete = true;
  handover = at;
  return Flow::next;
}

// A packet at `offset` fills an entry of `length` bytes when it agrees with
// it and leaves no more of it than a recorder pads with: a packet read from
// a few bytes into one often agrees with an entry, but with room to spare.
Flow Rescuer::fills(std::uint64_t offset, std::uint32_t length, std::uint64_t& needed,
                    bool& filled) {
  const Flow flow = agrees(offset, length, needed, filled);
  filled = filled && needed + kMaxPadding >= length;
  return flow;
}

// Where the packet after entry `number` begins when it is not where the
// entry ends: the nearest offset, from a packet's fixed fields on to a few
// hundred bytes past the entry's end, at which a packet agrees with the next
// entry and the one after it with the entry after that (or the file ends).
// `needed` is then that packet's length by its fields.
Flow Rescuer::realign(std::uint64_t at, std::uint32_t length, std::uint64_t number,
                      std::uint64_t entries, std::uint64_t& resume, std::uint64_t& needed,
                      bool& found) {
  found = false;
  const std::uint32_t next = entry(number + 1);
  const bool next_is_last = number + 2 >= entries || later_entries_empty(number + 1, entries);
  const std::uint64_t last_try = std::min(at + length + kRealignReach, size());
  for (std::uint64_t q = at + kPacketFixedSize; q <= last_try; ++q) {
    bool agreed = false;
    if (fills(q, next, needed, agreed) == Flow::fail) {
      return Flow::fail;
    }
    if (!agreed) {
      continue;
    }
    const std::uint64_t packet_needed = needed;
    if (!next_is_last && q + next < size()) {
      if (fills(q + next, entry(number + 2), needed, agreed) == Flow::fail) {
        return Flow::fail;
      }
    }
    if (agreed) {
      resume = q;
      needed = packet_needed;
      found = true;
      return Flow::next;
    }
  }
  return Flow::next;
}

// The file ends inside the packet that follows the one of `length` bytes at
// `at`, whose entry says `next` bytes: right where it begins, or inside a
// packet whose fields agree with its entry as far as they go but run past
// the file's end. An entry too long has fields that fit.
bool Rescuer::cut_after(std::uint64_t at, std::uint32_t length, std::uint32_t next) {
  const std::uint64_t from = at + length;
  if (from > size() || from + next <= size()) {
    return false;
  }
  if (from == size()) {
    return true;
  }
  const std::uint64_t left = size() - from;
  if (left < kPacketFixedSize) {
    return true;
  }
  // Where the file ends before the fields can be judged, those it holds
  // must fit the entry.
  const auto fixed = source_.at(from, kPacketFixedSize);
  if (fixed.size() < kPacketFixedSize) {
    return false;
  }
  const std::uint64_t table_end =
      kPacketFixedSize + std::uint64_t{run_.header.audio_stream_count} * fixed[0] * kIndexEntrySize;
  const std::uint64_t video_size = read_le32(fixed, kVideoSizeOffset);
  if (table_end + std::min<std::uint64_t>(video_size, kShortestOpening) > left) {
    return table_end + video_size <= next;
  }
  std::uint64_t needed = 0;
  return plausible_packet(source_, run_.header, from, from + next, true, needed) ==
             Plausibility::yes &&
         from + needed > size();
}

// The packet of entry `number` at `at`, its successor standing where it
// ends but cut short by the file's end: it is written, and what the index
// lists from its successor on is told missing.
Flow Rescuer::cut_short(std::uint64_t at, std::uint64_t needed, std::uint64_t number,
                        std::uint64_t entries, std::uint64_t& handover) {
  const Flow flow = extract_at(at, needed);
  if (flow != Flow::next) {
    return flow;
  }
  ++from_index_;
  std::uint64_t missing = 0;
  for (std::uint64_t later = number + 1; later < entries; ++later) {
    missing += entry(later) != 0 ? 1 : 0;
  }
  const bool between = at + entry(number) == size();
  run_.report.warning("the file is cut short: it ends at byte %" PRIu64 ", %s packet %" PRIu64
                      "; %" PRIu64 " packets the index lists are not there",
                      size(), between ? "where it should hold" : "inside", number + 1, missing);
  damage_ = true;
  handover = size();
  return Flow::next;
}

// Where the index is whole but bad bytes hit the packets after entry
// `number` at `at`: the first later entry whose packet fills it where the
// index puts it, the one after it doing the same (or the index ending).
// `rejoined` is its number, `resume` its offset and `needed` its length.
Flow Rescuer::rejoin(std::uint64_t at, std::uint64_t number, std::uint64_t entries,
                     std::uint64_t& resume, std::uint64_t& rejoined, std::uint64_t& needed,
                     bool& found) {
  found = false;
  const std::uint64_t reach = at + kRejoinReach;
  std::uint64_t offset = at + entry(number) + entry(number + 1);
  for (std::uint64_t m = number + 2; m < entries && offset < size() && offset <= reach;
       offset += entry(m), ++m) {
    if (entry(m) == 0) {
      return Flow::next;
    }
    bool agreed = false;
    if (fills(offset, entry(m), needed, agreed) == Flow::fail) {
      return Flow::fail;
    }
    const std::uint64_t packet_needed = needed;
    const bool last = m + 1 == entries || later_entries_empty(m, entries);
    if (agreed && !last && offset + entry(m) < size() &&
        fills(offset + entry(m), entry(m + 1), needed, agreed) == Flow::fail) {
      return Flow::fail;
    }
    if (agreed) {
      resume = offset;
      rejoined = m;
      needed = packet_needed;
      found = true;
      return Flow::next;
    }
  }
  return Flow::next;
}

// The packets of entries `number` to `rejoined` - 1, from `at` on where the
// index puts them, bad bytes among them: each whose fields fit and whose
// video is whole is written, without its audio frames that fail the closer
// look; the others are dropped. Both are told.
Flow Rescuer::salvage(std::uint64_t at, std::uint64_t number, std::uint64_t rejoined) {
  damage_ = true;
  std::uint64_t dropped = 0;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  for (std::uint64_t k = number; k < rejoined; at += entry(k), ++k) {
    std::uint64_t needed = 0;
    std::uint64_t bad = 0;
    const Flow flow = salvage_packet(at, k, needed, bad);
    if (flow != Flow::next) {
      return flow;
    }
    if (needed == 0) {
      first = dropped++ == 0 ? k : first;
      last = k;
      continue;
    }
    if (bad > 0) {
      run_.report.warning("packet %" PRIu64 ": %" PRIu64
                          " of its audio frames are damaged; dropped, its video kept",
                          k, bad);
    }
  }
  if (dropped == 1) {
    run_.report.warning("packet %" PRIu64 " is damaged where the index puts it; dropped", first);
  } else if (dropped > 1) {
    run_.report.warning("packets %" PRIu64 " to %" PRIu64 " (%" PRIu64
                        " of them) are damaged where the index puts them; dropped",
                        first, last, dropped);
  }
  return Flow::next;
}

// One packet of salvage(): written when its fields fit its entry and its
// video is whole (`needed` then its length, else 0), with `bad` audio
// frames left out.
Flow Rescuer::salvage_packet(std::uint64_t at, std::uint64_t number, std::uint64_t& needed,
                             std::uint64_t& bad) {
  const std::uint32_t length = entry(number);
  const Plausibility fits =
      plausible_packet(source_, run_.header, at, at + length, true, needed);
  Plausibility video = fits == Plausibility::yes ? video_whole(source_, run_.header, at) : fits;
  if (video == Plausibility::read_error) {
    return read_failed(at);
  }
  if (video != Plausibility::yes) {
    needed = 0;
    return Flow::next;
  }
  const auto fixed = source_.at(at, kPacketFixedSize);
  const std::uint32_t frames = fixed[0];
  std::uint64_t frame_at = at + kPacketFixedSize +
                           std::uint64_t{run_.header.audio_stream_count} * frames * kIndexEntrySize +
                           read_le32(fixed, kVideoSizeOffset);
  for (std::uint32_t s = 0; run_.header.is_aac() && s < run_.header.extracted_streams(); ++s) {
    for (std::uint32_t j = 0; j < frames; ++j) {
      const auto field = source_.at(
          at + kPacketFixedSize + (std::uint64_t{s} * frames + j) * kIndexEntrySize, 4);
      if (field.size() < 4) {
        return read_failed(at);
      }
      const std::uint32_t frame_length = read_le32(field, 0);
      const Plausibility frame = aac_frame_whole(source_, frame_at, frame_length);
      if (frame == Plausibility::read_error) {
        return read_failed(frame_at);
      }
      if (frame != Plausibility::yes) {
        packets_.leave_out_frame(s, j, frames);
        ++bad;
      }
      frame_at += frame_length;
    }
  }
  const Flow flow = extract_at(at, needed);
  packets_.keep_all_frames();
  ++from_index_;
  return flow;
}

// The packet of entry `number` at `at`, whose successor stands at `resume`
// rather than where the entry ends: written when its fields end by then and
// a closer look finds it whole (the bytes past its entry then are skipped
// and told); else bytes were put into it or taken out, and it is dropped.
Flow Rescuer::settle(std::uint64_t at, std::uint32_t length, std::uint64_t number,
                     std::uint64_t resume) {
  std::uint64_t needed = 0;
  std::string fault;
  const Plausibility fits = plausible_packet(source_, run_.header, at, resume, true, needed);
  Plausibility whole = Plausibility::no;
  if (fits == Plausibility::yes) {
    whole = holds_whole_frames(source_, run_.header, at, needed, fault);
  }
  if (fits == Plausibility::read_error || whole == Plausibility::read_error) {
    return read_failed(at);
  }
  damage_ = true;
  if (whole == Plausibility::yes) {
    const Flow flow = extract_at(at, needed);
    if (flow == Flow::next) {
      ++from_index_;
      if (resume > at + length) {
        skipped(at + length, resume);
      }
    }
    return flow;
  }
  const std::uint64_t end = at + length;
  const bool more = resume > end;
  run_.report.warning("packet %" PRIu64 " holds %" PRIu64
                      " bytes %s than its fields and entry account for; dropped",
                      number, more ? resume - end : end - resume, more ? "more" : "fewer");
  ++run_.gaps_of_unknown_length;
  return Flow::next;
}

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
      if (successor != Successor::found) {
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

void Rescuer::tell() {
  ranges_.tell(run_.report);
  if (by_structure_ > 0 || ranges_.any() || damage_) {
    run_.report.warning("rescue: %" PRIu64 " packets from the index, %" PRIu64
                        " recovered by structure",
                        from_index_, by_structure_);
  }
}

// The streams a header declares, as a message names them.
std::string layout(const FileHeader& header) {
  return std::to_string(header.audio_stream_count) + (header.is_aac() ? " AAC" : " MP3") +
         " streams at " + std::to_string(header.audio_rate) + " Hz";
}

// A recording that follows the one whose index was followed to its end at
// `at`, as a recorder restarting into the same file leaves it: rescued after
// it into the same outputs when its streams are laid out alike.
Flow Rescuer::next_recording(std::uint64_t at, bool& another) {
  another = false;
  const auto bytes = source_.at(at, kHeaderSize);
  FileHeader next;
  if (bytes.size() < kHeaderSize ||
      parse_header(bytes.first<kHeaderSize>(), next) != HeaderStatus::ok) {
    return source_.error() != 0 ? read_failed(at) : Flow::next;
  }
  damage_ = true;
  const FileHeader& first = run_.header;
  if (next.audio_stream_count != first.audio_stream_count || next.is_aac() != first.is_aac() ||
      next.audio_rate != first.audio_rate) {
    run_.report.warning("a second recording begins at byte %" PRIu64
                        ", with other streams (%s, the first has %s); only the first is "
                        "extracted",
                        at, layout(next).c_str(), layout(first).c_str());
    return Flow::next;
  }
  run_.report.warning("a second recording begins at byte %" PRIu64
                      "; its packets follow the first's in the outputs",
                      at);
  index_from_ = at + kHeaderSize;
  frame_count_ = next.frame_count;
  if (run_.window.skip_to(index_from_) != ReadStatus::complete) {
    return read_failed(index_from_);
  }
  another = true;
  return Flow::next;
}

// One recording, from its index at index_from_ on: `search_from` is where
// the search by structure goes on, and `another` whether a second recording
// follows it.
Flow Rescuer::rescue_recording(std::uint64_t& search_from, bool& found, bool& another) {
  another = false;
  std::uint64_t start = index_from_;
  found = false;
  Flow flow = find_packets_start(start, found);
  search_from = index_from_;
  bool complete = false;
  if (flow == Flow::next && found) {
    const std::uint64_t entries = (start - index_from_) / kIndexEntrySize;
    if (entries != frame_count_) {
      run_.report.warning("the header lists %" PRIu32 " packets, but the index holds %" PRIu64
                          " entries",
                          frame_count_, entries);
      damage_ = true;
    }
    if (run_.window.read_into(run_.index_buffer, start - index_from_, run_.index) !=
        ReadStatus::complete) {
      run_.report.error(run_.path, "read error in the frame index: %s",
                        std::strerror(run_.window.error()));
      flow = Flow::fail;
    } else {
      flow = follow_index(start, entries, search_from, complete);
    }
  }
  if (flow == Flow::next && complete && search_from < size()) {
    flow = next_recording(search_from, another);
    if (another) {
      return flow;
    }
  }
  // Past an index that was followed to its end, only packets that stand
  // right there mean more: zeros or stale bytes are what recorders leave.
  if (flow == Flow::next && complete) {
    std::uint64_t needed = 0;
    const Plausibility more = search_from < size()
                                  ? packets_begin_at(source_, run_.header, search_from, needed)
                                  : Plausibility::no;
    if (more == Plausibility::read_error) {
      flow = read_failed(search_from);
    } else if (more != Plausibility::yes) {
      search_from = size();
    }
  }
  return flow;
}

bool Rescuer::rescue() {
  std::uint64_t search_from = index_from_;
  bool found = false;
  Flow flow = Flow::next;
  for (bool another = true; another && flow == Flow::next;) {
    flow = rescue_recording(search_from, found, another);
  }
  if (flow == Flow::next) {
    flow = follow_structure(search_from, found);
  }
  if (flow == Flow::next) {
    tell();
  }
  return packets_.finish(flow, true, "no packet was found in the file");
}

}  // namespace

bool rescue(Run& run) {
  const auto size = run.window.known_size();
  if (!size) {
    run.report.error(run.path,
                     "rescue needs a regular file to search; extract it as usual, "
                     "or copy it to a file first");
    return false;
  }
  Peek peek(run.file, *size);
  if (!peek.allocate()) {
    run.report.error(run.path, "out of memory for the rescue search");
    return false;
  }
  Rescuer rescuer(run, peek);
  return rescuer.rescue();
}

}  // namespace orvale
