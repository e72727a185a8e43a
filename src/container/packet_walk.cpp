#include "container/packet_walk.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "container/le.h"
#include "container/recognise.h"
#include "streams/aac_elements.h"
#include "streams/adts.h"

namespace orvale {
void PacketWalker::note_problem(const std::string& problem) {
  if (first_problem_.empty()) {
    first_problem_ = problem;
  }
}

// Makes `count` bytes of the packet available in the window, first sending
// what the outputs borrowed from it.
Flow PacketWalker::refill(Packet& packet, std::uint64_t count) {
  InputWindow& window = run_.window;
  if (!run_.sink->release()) {
    return Flow::fail;
  }
  switch (window.fill(count)) {
    case ReadStatus::complete:
      return Flow::next;
    case ReadStatus::input_ended:
      return cut_short(packet, window.bytes_read());
    case ReadStatus::read_error:
    case ReadStatus::out_of_memory:
      break;
  }
  end_skipped_run();
  run_.report.error(run_.path, "read error in packet %" PRIu32 ": %s", packet.number,
                    std::strerror(window.error()));
  return Flow::fail;
}

// Where a regular file ends inside a packet whose own fields fit in what is
// left, and the entry claims more than a recorder pads a packet with, the
// file is whole and the entry is what is wrong.
Flow PacketWalker::cut_short(const Packet& packet, std::uint64_t input_end) {
  end_skipped_run();
  lost_ = true;
  if (run_.window.known_size() && fields_fit_input(packet, input_end)) {
    run_.report.warning("index entry %" PRIu32 " claims %" PRIu32 " bytes; %" PRIu64
                        " are left in the file",
                        packet.number, packet.length, input_end - packet.start);
    tell_index_damage();
    note_problem("index entry " + std::to_string(packet.number) +
                 " claims more bytes than are left");
    return Flow::end;
  }
  const bool written = packet.in_pieces && run_.sink->taken() != packet.taken_before;
  run_.report.warning("packet %" PRIu32 " (%" PRIu32 " bytes at byte %" PRIu64
                      ") is cut short: the input ends at byte %" PRIu64 "%s",
                      packet.number, packet.length, packet.start, input_end,
                      written ? "; its first part was written" : "");
  note_problem("packet " + std::to_string(packet.number) + " is cut short");
  return Flow::end;
}

bool PacketWalker::fields_fit_input(const Packet& packet, std::uint64_t input_end) {
  InputWindow& window = run_.window;
  if (window.position() != packet.start || input_end <= packet.start) {
    return false;
  }
  const std::uint64_t left = input_end - packet.start;
  const std::uint64_t want = std::min<std::uint64_t>(left, window.capacity());
  if (window.needs_fill(want) &&
      (!run_.sink->release() || window.fill(want) == ReadStatus::read_error)) {
    return false;
  }
  const auto bytes = window.data();
  if (bytes.size() < kPacketFixedSize) {
    return false;
  }
  const std::uint64_t entries = std::uint64_t{run_.header.audio_stream_count} * bytes[0];
  std::uint64_t needed = kPacketFixedSize + entries * kIndexEntrySize;
  if (needed > bytes.size()) {
    return false;
  }
  needed += read_le32(bytes, kVideoSizeOffset);
  for (std::uint64_t at = kPacketFixedSize; at < kPacketFixedSize + entries * kIndexEntrySize;
       at += kIndexEntrySize) {
    needed += read_le32(bytes, at);
  }
  return needed <= left && packet.length - needed > kMaxPadding;
}

Flow PacketWalker::skip(Packet& packet, std::uint64_t count) {
  return pass_pieces(packet, count, [](std::span<const std::uint8_t>) { return true; });
}

Flow PacketWalker::skip_malformed(Packet& packet, std::uint64_t consumed, PacketStatus status,
                                  std::uint64_t needed) {
  // A packet cut short is told as such, not as malformed.
  const Flow flow = skip(packet, packet.length - consumed);
  if (flow != Flow::next) {
    return flow;
  }
  end_unreadable_run();
  lost_ = true;
  if (!skipped_.active) {
    skipped_ = {packet.number, packet.number, packet.length, status, needed, true};
    note_problem("packet " + std::to_string(packet.number) + " " + describe(status));
  }
  skipped_.last = packet.number;
  return Flow::next;
}

void PacketWalker::lose_unreadable(const Packet& packet) {
  end_malformed_run();
  lost_ = true;
  if (!unreadable_.active) {
    unreadable_ = {packet.number, packet.number, packet.start, packet.length, true};
    note_problem("packet " + std::to_string(packet.number) + " could not be read");
  }
  unreadable_.last = packet.number;
}

Flow PacketWalker::skip_unreadable(Packet& packet) {
  const Flow flow = skip(packet, packet.length);
  if (flow == Flow::next) {
    lose_unreadable(packet);
  }
  return flow;
}

void PacketWalker::end_unreadable_run() {
  if (unreadable_.active) {
    unreadable_.active = false;
    tell_unreadable_packets(run_.report, unreadable_);
  }
}

void PacketWalker::end_skipped_run() {
  end_unreadable_run();
  end_malformed_run();
}

void PacketWalker::end_malformed_run() {
  if (!skipped_.active) {
    return;
  }
  skipped_.active = false;
  if (tell_skipped_packets(run_.report, skipped_, last_written_, index_damage_told_)) {
    tell_index_damage();
  }
}

Flow PacketWalker::read_table(Packet& packet, std::uint64_t entries, std::uint64_t& sum) {
  const std::uint64_t kept = std::uint64_t{run_.header.extracted_streams()} * frames_per_stream_;
  std::uint64_t entry = 0;
  while (entry < entries) {
    const Flow flow = ensure(packet, kIndexEntrySize);
    if (flow != Flow::next) {
      return flow;
    }
    const auto bytes = run_.window.data();
    const std::uint64_t count = std::min<std::uint64_t>(entries - entry, bytes.size() / 4);
    for (std::uint64_t i = 0; i < count; ++i, ++entry) {
      const std::uint32_t length = read_le32(bytes, i * kIndexEntrySize);
      if (entry < kept) {
        lengths_[static_cast<std::size_t>(entry)] = length;
      }
      sum += length;
    }
    run_.window.consume(static_cast<std::size_t>(count * kIndexEntrySize));
  }
  return Flow::next;
}

Flow PacketWalker::pass_video(Packet& packet, std::uint32_t video_size) {
  PacketSink& sink = *run_.sink;
  const Flow flow = pass_pieces(packet, video_size, [&](std::span<const std::uint8_t> piece) {
    return sink.video_piece(piece);
  });
  if (flow == Flow::next && !sink.video_end()) {
    return Flow::fail;
  }
  return flow;
}

// The packet's video chunk and frames, all of them in the window: handed on
// straight from it, the chunk in one go. `rest` is what is left of the
// packet, padding and the frames of streams past the tenth included.
Flow PacketWalker::pass_in_window(Packet& packet, std::uint32_t video_size, std::uint64_t rest) {
  PacketSink& sink = *run_.sink;
  const auto body = run_.window.data().first(static_cast<std::size_t>(rest));
  if (!sink.video(body.first(video_size))) {
    return Flow::fail;
  }
  std::size_t at = video_size;
  for (std::uint32_t s = 0; s < run_.header.extracted_streams(); ++s) {
    for (std::uint32_t j = 0; j < frames_per_stream_; ++j) {
      const std::uint32_t length = lengths_[std::size_t{s} * frames_per_stream_ + j];
      const auto frame = body.subspan(at, length);
      at += length;
      if (left_out_.test(std::size_t{s} * frames_per_stream_ + j)) {
        continue;
      }
      if (run_.header.is_aac()) {
        if (length > kMaxAdtsPayload) {
          warn_frame_too_long(packet, s, j, length);
          continue;
        }
        decide_channels(s, frame, length);
      }
      if (!sink.audio_frame(s, frame, run_.header.is_aac() ? header_channels(s) : 0)) {
        return Flow::fail;
      }
      run_.audio_frames[s] += length > 0 ? 1 : 0;
    }
  }
  run_.window.consume(body.size());
  return Flow::next;
}

// The rest of a packet longer than half the window, as it passes.
Flow PacketWalker::pass_in_pieces(Packet& packet, std::uint32_t video_size,
                                  std::uint64_t audio_bytes, std::uint64_t padding) {
  packet.in_pieces = true;
  packet.taken_before = run_.sink->taken();
  Flow flow = pass_video(packet, video_size);
  if (flow == Flow::next) {
    flow = pass_audio(packet, audio_bytes);
  }
  return flow == Flow::next ? skip(packet, padding) : flow;
}

Flow PacketWalker::walk_packet(Packet& packet) {
  InputWindow& window = run_.window;
  const std::uint64_t length = packet.length;
  // A packet up to half the window is read whole before anything of it is
  // written; a longer one passes in pieces, once a regular file shows it
  // holds all of it.
  const bool in_window = length <= window.capacity() / 2;
  if (in_window) {
    const Flow flow = ensure(packet, length);
    if (flow != Flow::next) {
      return flow;
    }
    if (window.unreadable().touches(packet.start, length)) {
      return skip_unreadable(packet);
    }
    // From where the walk is known to be out of line, a packet is written
    // only when a closer look finds it whole; so is one after which the
    // walk will be, since bytes put into or taken out of it put it there.
    if (out_of_line()) {
      if (!whole_at_a_closer_look(packet)) {
        return drop_out_of_line(packet, length);
      }
      if (suspect_) {
        back_in_line(packet.number);
      }
    } else if (!successor_in_line(packet) && !whole_at_a_closer_look(packet)) {
      return drop_before_misalignment(packet);
    }
  } else if (const auto size = window.known_size(); size && packet.start + length > *size) {
    return cut_short(packet, *size);
  } else if (size && !window.unreadable().empty()) {
    // Once the input has shown a bad spot, a packet too long to be held
    // whole is read ahead, so that one with unreadable bytes is never
    // written; a sound input is spared reading such packets twice.
    window.probe(packet.start, length);
    if (window.unreadable().touches(packet.start, length)) {
      return skip_unreadable(packet);
    }
  }
  if (length < kPacketFixedSize) {
    return skip_malformed(packet, 0, PacketStatus::too_short, kPacketFixedSize);
  }
  Flow flow = ensure(packet, kPacketFixedSize);
  if (flow != Flow::next) {
    return flow;
  }
  const auto fixed = window.data().first(kPacketFixedSize);
  frames_per_stream_ = fixed[0];
  const std::uint32_t video_size = read_le32(fixed, kVideoSizeOffset);
  window.consume(kPacketFixedSize);
  const std::uint64_t entries = std::uint64_t{run_.header.audio_stream_count} * frames_per_stream_;
  const std::uint64_t table_end = kPacketFixedSize + entries * kIndexEntrySize;
  if (table_end > length) {
    return skip_malformed(packet, kPacketFixedSize, PacketStatus::table_overrun, table_end);
  }
  std::uint64_t audio_bytes = 0;
  flow = read_table(packet, entries, audio_bytes);
  if (flow != Flow::next) {
    return flow;
  }
  bool aligned = true;
  if (video_size > 0) {
    const std::uint64_t look = std::min<std::uint64_t>(
        {std::uint64_t{video_size}, kOpeningLook, length - std::min(length, table_end)});
    // A packet passing in pieces may be cut short: only what an opening
    // needs is asked for, and what the window holds beyond it looked at.
    flow = ensure(packet, std::min(look, kShortestOpening));
    if (flow != Flow::next) {
      return flow;
    }
    const auto held = window.data();
    aligned = chunk_opens_a_nal_unit(
        held.first(static_cast<std::size_t>(std::min<std::uint64_t>(look, held.size()))),
        video_size);
    if (aligned) {
      ++aligned_chunks_;
      last_aligned_ = packet.number;
    }
  }
  const std::uint64_t video_end = table_end + video_size;
  const std::uint64_t needed = video_end + audio_bytes;
  if (video_end > length) {
    return skip_malformed(packet, table_end, PacketStatus::video_overrun, video_end);
  }
  if (needed > length) {
    return skip_malformed(packet, table_end, PacketStatus::audio_overrun, needed);
  }
  end_skipped_run();
  // A packet with nothing in it whose entry holds more, or whose fields fill
  // only a sliver of it, was read from bytes that only looked like its
  // fields, zeros most often.
  // Once out of line, such a packet is not written.
  if (!aligned || (needed == table_end && needed < length) || fills_a_sliver(needed, length)) {
    // Whether the index or bad bytes put it there shows at the packets
    // after it: one whole where the index puts it clears the index.
    if (!misalignment_told_ && in_window && aligned_chunks_ > 0) {
      suspect(last_aligned_, packet.number);
      return drop_out_of_line(packet, length - table_end);
    }
    tell_misalignment();
    if (misalignment_told_) {
      return drop_out_of_line(packet, length - table_end);
    }
  }
  // Bytes past the packet's fields are padding.
  flow = in_window ? pass_in_window(packet, video_size, length - table_end)
                   : pass_in_pieces(packet, video_size, audio_bytes, length - needed);
  // A packet too long to be held whole, on an input that had shown no bad
  // spot before, was on its way out when its bad spot was met.
  if (flow == Flow::next && !in_window && window.unreadable().touches(packet.start, length)) {
    run_.report.warning("packet %" PRIu32 " (%" PRIu32 " bytes at byte %" PRIu64
                        ") holds bytes that could not be read; they were written as zeros",
                        packet.number, packet.length, packet.start);
    lost_ = true;
  }
  left_out_.reset();
  if (flow == Flow::next && !run_.sink->packet_end(packet.number)) {
    flow = Flow::fail;
  }
  if (flow == Flow::next) {
    ++run_.extracted;
    last_written_ = {packet.number, needed, packet.length, true};
    written_bytes_ += packet.length;
    out_of_line_ += misalignment_told_ ? 1 : 0;
  }
  return flow;
}

Flow PacketWalker::hold(std::uint64_t count, std::uint64_t at_least) {
  InputWindow& window = run_.window;
  count = std::min<std::uint64_t>(count, window.capacity());
  if (!window.needs_fill(count)) {
    return Flow::next;
  }
  if (!run_.sink->release()) {
    return Flow::fail;
  }
  const ReadStatus status = window.fill(count);
  // A bad spot past what is needed shows where the walk meets it.
  if (status == ReadStatus::complete || status == ReadStatus::input_ended ||
      !window.needs_fill(std::min<std::uint64_t>(at_least, count))) {
    return Flow::next;
  }
  run_.report.error(run_.path, "read error at byte %" PRIu64 ": %s", window.bytes_read(),
                    std::strerror(window.error()));
  return Flow::fail;
}

bool PacketWalker::finish(Flow flow, bool packets_listed, const std::string& problem) {
  end_skipped_run();
  settle();
  if (flow == Flow::fail) {
    return false;
  }
  tell_unreadable_ranges(run_.report, run_.window.unreadable());
  if (packets_listed && run_.extracted == 0) {
    run_.report.error(run_.path,
                      "no packet could be extracted (%s); existing outputs are left as they were",
                      first_problem_.empty() ? problem.c_str() : first_problem_.c_str());
    return false;
  }
  return true;
}

}  // namespace orvale
