#include "container/walk.h"

#include <cinttypes>
#include <limits>
#include <string>

#include "container/damage_report.h"
#include "container/le.h"
#include "container/packet_walk.h"
#include "container/recognise.h"

namespace orvale {
namespace {

// How far ahead of the entry being read the index is fetched.
constexpr std::uint64_t kIndexLookAhead = 512;

// Entries after `number` that are not empty: packets a zero entry leaves out.
std::uint32_t packets_left_out(const Run& run, std::uint32_t number) {
  std::uint32_t left_out = 0;
  const std::uint64_t entries = run.index.size() / kIndexEntrySize;
  for (std::uint64_t later = static_cast<std::uint64_t>(number) + 1; later < entries; ++later) {
    left_out += packet_length(read_le32(run.index, later * kIndexEntrySize)) != 0 ? 1 : 0;
  }
  return left_out;
}

// After the last packet the index lists, a recorder leaves nothing, zeros or
// stale bytes; packets there mean the index was not finished. A look at the
// bytes that follow, not a search through them.
Flow look_past_index(Run& run, PacketWalker& packets, std::uint32_t listed) {
  InputWindow& window = run.window;
  const std::uint64_t look = window.capacity() / 2;
  const Flow flow = packets.hold(look, 0);
  if (flow != Flow::next) {
    return flow;
  }
  const std::uint64_t from = window.position();
  const auto size = window.known_size();
  std::uint64_t end = std::numeric_limits<std::uint64_t>::max();
  if (size) {
    end = *size;
  } else if (window.data().size() < look) {
    end = window.bytes_read();
  }
  ByteSource source(window, nullptr, end);
  if (const auto bytes = source.at(from, kHeaderSize); bytes.size() == kHeaderSize) {
    FileHeader second;
    if (parse_header(bytes.first<kHeaderSize>(), second) == HeaderStatus::ok) {
      run.report.warning("a second recording begins at byte %" PRIu64
                         ", after the packets the index lists; only the first is extracted",
                         from);
      packets.tell_index_damage();
      packets.note_problem("a second recording begins at byte " + std::to_string(from));
      return Flow::next;
    }
  }
  std::uint64_t needed = 0;
  if (from >= end || packets_begin_at(source, run.header, from, needed) != Plausibility::yes) {
    return Flow::next;
  }
  const std::string following =
      size ? std::to_string(*size - from) + " bytes" : std::string("more bytes");
  if (listed == 0) {
    run.report.warning("the index lists no packet, but the %s after it look like packets",
                       following.c_str());
  } else {
    run.report.warning("%s follow the last packet the index lists (packet %" PRIu32
                       "), and they look like packets",
                       following.c_str(), listed - 1);
  }
  packets.tell_index_damage();
  packets.note_problem("the bytes after the packets the index lists look like packets");
  return Flow::next;
}

// The first index entry that could not be read, or the count: past it, where
// each packet stands is not known.
std::uint32_t entries_read(const Run& run) {
  const auto bad = run.window.unreadable().first_in(kHeaderSize, kHeaderSize + run.index.size());
  return bad ? static_cast<std::uint32_t>((*bad - kHeaderSize) / kIndexEntrySize)
             : run.header.frame_count;
}

void tell_unreadable_entry(Run& run, PacketWalker& packets, std::uint32_t entry) {
  run.report.warning("index entry %" PRIu32 " could not be read; packets %" PRIu32 " to %" PRIu32
                     " are not extracted",
                     entry, entry, run.header.frame_count - 1);
  packets.note_problem("index entry " + std::to_string(entry) + " could not be read");
  packets.tell_index_damage();
}

}  // namespace

bool walk(Run& run) {
  PacketWalker packets(run);
  Flow flow = Flow::next;
  std::uint32_t number = 0;
  bool index_cut = false;
  const std::uint32_t readable = entries_read(run);
  for (; number < run.header.frame_count && flow == Flow::next; ++number) {
    if (number == readable) {
      tell_unreadable_entry(run, packets, number);
      index_cut = true;
      break;
    }
    const std::uint64_t entry = std::uint64_t{number} * kIndexEntrySize;
    // One entry per packet is too slow a stream for the processor to fetch
    // ahead by itself while the packets' bytes pass: with a million small
    // packets, a sixth of the time went to waiting for the index.
    if (run.index.size() - entry > kIndexLookAhead) {
      __builtin_prefetch(run.index.data() + entry + kIndexLookAhead);
    }
    Packet packet;
    packet.number = number;
    packet.length = packet_length(read_le32(run.index, entry));
    packet.start = run.window.position();
    if (number + 1 < run.header.frame_count) {
      packet.next_length = packet_length(read_le32(run.index, entry + kIndexEntrySize));
    }
    if (packet.length == 0) {
      // An entry of length 0 ends the index; entries after it matter only if
      // some of them are not empty, since then packets are being left out.
      if (const std::uint32_t left_out = packets_left_out(run, number); left_out > 0) {
        run.report.warning("packet %" PRIu32 " has length 0, which ends the index; %" PRIu32
                           " later packets are not extracted",
                           number, left_out);
        packets.note_problem("packet " + std::to_string(number) +
                             " has length 0, which ends the index");
        packets.tell_index_damage();
        index_cut = true;
      }
      break;
    }
    flow = packets.walk_packet(packet);
  }
  packets.settle();
  // A walk that went through what the index lists as it says looks past it.
  if (flow == Flow::next && !index_cut && !packets.index_damage_told()) {
    flow = look_past_index(run, packets, number);
  }
  const bool done = packets.finish(flow, number > 0 || packets.index_damage_told());
  if (flow == Flow::fail) {
    return done;
  }
  if (const std::uint64_t dropped = packets.dropped_out_of_line(); dropped > 0) {
    run.report.warning("%" PRIu64 " packets read out of line fail a closer look; not written",
                       dropped);
  }
  if (packets.lost() && run.extracted > 0) {
    tell_extracted_share(run, run.header.frame_count, packets.bytes_written_from(),
                         packets.written_out_of_line());
  }
  if (packets.index_damage_told()) {
    suggest_rescue(run);
  }
  return done;
}

}  // namespace orvale
