// What bad bytes, torn packets and a cut file did to the packets the index
// lists, as a rescue meets them: where the index is followed again, and
// which packets between are written, dropped or kept in part.
#include <algorithm>
#include <cinttypes>
#include <string>

#include "container/rescuer.h"

namespace orvale {
namespace {

// How far past where an entry ends the packet after it is looked for, when
// it is not there: more than bytes put into a packet by a torn write.
constexpr std::uint64_t kRealignReach = 256;
// How far past a packet whose successor is not where the index puts it the
// index is tried again, packet by packet: bad blocks of a card, not more.
constexpr std::uint64_t kRejoinReach = std::uint64_t{16} << 20;

}  // namespace

// A packet at `offset` fills an entry of `length` bytes when it agrees with
// it and leaves no more of it than a recorder pads with: a packet read from
// a few bytes into one often agrees with an entry, but with room to spare.
Flow Rescuer::fills(std::uint64_t offset, std::uint32_t length, std::uint64_t& needed,
                    bool& filled) {
  const Flow flow = agrees(offset, length, needed, filled);
  filled = filled && needed + kMaxPadding >= length;
  return flow;
}

// The packet at `offset` fills entry `number` and the one after it the next
// entry, unless `number` is the last the index lists or the file ends after
// it: two in a row, which bytes that only look like a packet rarely give.
// `needed` is then the first packet's length by its fields.
Flow Rescuer::fills_in_line(std::uint64_t offset, std::uint64_t number, std::uint64_t entries,
                            std::uint64_t& needed, bool& filled) {
  if (fills(offset, entry(number), needed, filled) == Flow::fail) {
    return Flow::fail;
  }
  const bool last = number + 1 >= entries || later_entries_empty(number, entries);
  const std::uint64_t next = offset + entry(number);
  if (!filled || last || next >= size()) {
    return Flow::next;
  }
  std::uint64_t next_needed = 0;
  return fills(next, entry(number + 1), next_needed, filled);
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
  const std::uint64_t last_try = std::min(at + length + kRealignReach, size());
  for (std::uint64_t q = at + kPacketFixedSize; q <= last_try; ++q) {
    bool agreed = false;
    if (fills_in_line(q, number + 1, entries, needed, agreed) == Flow::fail) {
      return Flow::fail;
    }
    if (agreed) {
      resume = q;
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
    if (fills_in_line(offset, m, entries, needed, agreed) == Flow::fail) {
      return Flow::fail;
    }
    if (agreed) {
      resume = offset;
      rejoined = m;
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

}  // namespace orvale
