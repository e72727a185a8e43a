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
#include "container/rescuer.h"

namespace orvale {

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

void Rescuer::lose_unreadable(std::uint64_t number, std::uint64_t at, std::uint32_t length) {
  Packet packet;
  packet.number = static_cast<std::uint32_t>(number);
  packet.length = length;
  packet.start = at;
  packets_.lose_unreadable(packet);
  ++next_number_;
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
  bool recheck = false;
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
    // Unreadable bytes hide a packet, not where the next one stands.
    const UnreadableRanges& unreadable = run_.window.unreadable();
    if (unreadable.touches(at, length)) {
      lose_unreadable(number, at, length);
      at += length;
      handover = at;
      recheck = true;
      continue;
    }
    if ((number == 0 || recheck) && agrees(at, length, needed, agreed) == Flow::fail) {
      return Flow::fail;
    }
    recheck = false;
    if (!agreed) {
      return Flow::next;  // the search starts where the last entry followed ends
    }
    const std::uint64_t packet_needed = needed;
    const bool last = number + 1 == entries || later_entries_empty(number, entries);
    // A bad spot in the next packet keeps this one, which was read whole.
    const Flow next_flow = last || unreadable.touches(at + length, entry(number + 1))
                               ? Flow::next
                               : agrees(at + length, entry(number + 1), needed, agreed);
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

void Rescuer::tell() {
  ranges_.tell(run_.report);
  if (by_structure_ > 0 || ranges_.any() || damage_) {
    run_.report.warning("rescue: %" PRIu64 " packets from the index, %" PRIu64
                        " recovered by structure",
                        from_index_, by_structure_);
  }
}

namespace {

// The streams a header declares, as a message names them.
std::string layout(const FileHeader& header) {
  return std::to_string(header.audio_stream_count) + (header.is_aac() ? " AAC" : " MP3") +
         " streams at " + std::to_string(header.audio_rate) + " Hz";
}

}  // namespace

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

bool rescue(Run& run) {
  const auto size = run.window.known_size();
  if (!size) {
    run.report.error(run.path,
                     "rescue needs a regular file to search; extract it as usual, "
                     "or copy it to a file first");
    return false;
  }
  Peek peek(run.file, *size, run.window.unreadable());
  if (!peek.allocate()) {
    run.report.error(run.path, "out of memory for the rescue search");
    return false;
  }
  Rescuer rescuer(run, peek);
  return rescuer.rescue();
}

}  // namespace orvale
