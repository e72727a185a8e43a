#include "extract/walk.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string>

#include "extract/le.h"
#include "extract/outputs.h"
#include "extract/rescue.h"
#include "streams/adts.h"
#include "streams/startcode.h"
#include "streams/streams.h"

namespace orvale {
namespace {

constexpr std::uint64_t kVideoSizeOffset = 9;
// How far ahead of the entry being read the index is fetched.
constexpr std::uint64_t kIndexLookAhead = 512;

// How a step of the walk ended: go on, the walk is over (a warning said why),
// or the run failed (an error said why).
enum class Flow { next, end, fail };

// The packet being walked and how far into it the window has moved.
struct Packet {
  std::uint32_t number = 0;
  std::uint32_t length = 0;
  std::uint64_t start = 0;
  // Passing in pieces, and what the outputs had taken when it began: a
  // packet cut short then may have left its first part in them.
  bool in_pieces = false;
  std::uint64_t taken_before = 0;
};

// Consecutive packets skipped for malformed fields, told as one line once
// the run of them ends.
struct SkippedRun {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  std::uint32_t first_length = 0;
  PacketStatus first_status = PacketStatus::ok;
  std::uint64_t first_needed = 0;
  bool active = false;
};

const char* describe(PacketStatus status) {
  switch (status) {
    case PacketStatus::too_short:
      return "is shorter than its 13 fixed bytes";
    case PacketStatus::table_overrun:
      return "is too short for its audio size table";
    case PacketStatus::video_overrun:
      return "is too short for its video chunk";
    case PacketStatus::audio_overrun:
      return "is too short for its audio frames";
    case PacketStatus::ok:
      break;
  }
  return "is well formed";
}

// A byte range in which no packet was found.
struct SkippedBytes {
  std::uint64_t from = 0;
  std::uint64_t to = 0;
};

class Walker {
 public:
  explicit Walker(Run& run) : run_(run) {}

  [[nodiscard]] bool walk();
  [[nodiscard]] bool rescue();

 private:
  [[nodiscard]] bool finish_walk(Flow flow);
  [[nodiscard]] Flow extract_at(std::uint64_t offset, std::uint64_t needed);
  [[nodiscard]] Flow follow_index(Peek& peek, std::uint64_t& resume);
  [[nodiscard]] Flow follow_structure(Peek& peek, std::uint64_t offset);
  [[nodiscard]] Flow judge(Peek& peek, std::uint64_t offset, std::uint64_t limit,
                           bool allow_empty_video, std::uint64_t& needed, bool& plausible);
  [[nodiscard]] Flow successor(Peek& peek, std::uint64_t after, std::uint64_t& next, bool& found);
  [[nodiscard]] Flow candidate(Peek& peek, std::uint64_t offset, bool allow_empty_video,
                               std::uint64_t& needed, std::uint64_t& next, bool& found);
  [[nodiscard]] Flow resynchronise(Peek& peek, std::uint64_t from, std::uint64_t& found_at);
  void note_skipped_bytes(std::uint64_t from, std::uint64_t to);
  void report_rescue();

  [[nodiscard]] Flow walk_packet(Packet& packet);
  [[nodiscard]] Flow ensure(Packet& packet, std::uint64_t count) {
    return run_.window.needs_fill(count) ? refill(packet, count) : Flow::next;
  }
  [[nodiscard]] Flow refill(Packet& packet, std::uint64_t count);
  [[nodiscard]] Flow cut_short(const Packet& packet, std::uint64_t input_end);
  template <typename Take>
  [[nodiscard]] Flow pass_pieces(Packet& packet, std::uint64_t count, Take&& take);
  [[nodiscard]] Flow skip(Packet& packet, std::uint64_t count);
  [[nodiscard]] Flow skip_malformed(Packet& packet, std::uint64_t consumed, PacketStatus status,
                                    std::uint64_t needed);
  [[nodiscard]] Flow read_table(Packet& packet, std::uint64_t entries, std::uint64_t& sum);
  [[nodiscard]] Flow pass_in_window(Packet& packet, std::uint32_t video_size, std::uint64_t rest);
  [[nodiscard]] Flow pass_in_pieces(Packet& packet, std::uint32_t video_size,
                                    std::uint64_t audio_bytes, std::uint64_t padding);
  [[nodiscard]] Flow pass_video(Packet& packet, std::uint32_t video_size);
  [[nodiscard]] Flow pass_audio(Packet& packet, std::uint64_t audio_bytes);
  void warn_frame_too_long(const Packet& packet, std::uint32_t stream, std::uint32_t frame,
                           std::uint32_t length);
  [[nodiscard]] Flow pass_frame(Packet& packet, Output& output, std::uint32_t stream,
                                std::uint32_t frame, std::uint32_t length);
  [[nodiscard]] Flow pass_bytes(Packet& packet, Output& output, std::uint64_t count);
  [[nodiscard]] Flow output_failed(const Output& output);
  void end_skipped_run();
  void check_index_tail(std::uint32_t number);
  void note_first_problem(const std::string& problem);

  Run& run_;
  StartCodeFilter filter_;
  std::uint32_t frames_per_stream_ = 0;
  // Frame lengths of the extracted streams; the table is stream-major, so
  // they are its first entries.
  std::array<std::uint32_t, std::size_t{kAudioSlots} * 255> lengths_{};
  SkippedRun skipped_;
  // The last packet written, and whether its entry held more bytes than its
  // fields use: where skipping starts right after such a packet, the index
  // itself is the likely culprit.
  std::uint32_t last_written_ = 0;
  std::uint64_t last_written_needed_ = 0;
  std::uint32_t last_written_length_ = 0;
  bool last_written_padded_ = false;
  std::string first_problem_;
  bool listed_packets_ = false;
  // Rescue: the next packet's number, and what was recovered how.
  std::uint32_t next_number_ = 0;
  std::uint64_t from_index_ = 0;
  std::uint64_t by_structure_ = 0;
  // Skipped ranges told one by one; the rest are summed up.
  std::array<SkippedBytes, 5> shown_skips_{};
  std::uint64_t skips_ = 0;
  std::uint64_t skipped_bytes_ = 0;
};

void Walker::note_first_problem(const std::string& problem) {
  if (first_problem_.empty()) {
    first_problem_ = problem;
  }
}

Flow Walker::output_failed(const Output& output) {
  (void)report_output_failure(run_, output);
  return Flow::fail;
}

// Makes `count` bytes of the packet available in the window, first sending
// what the outputs borrowed from it.
Flow Walker::refill(Packet& packet, std::uint64_t count) {
  InputWindow& window = run_.window;
  if (!flush_borrowed(run_)) {
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

Flow Walker::cut_short(const Packet& packet, std::uint64_t input_end) {
  end_skipped_run();
  const bool written = packet.in_pieces && bytes_taken(run_) != packet.taken_before;
  run_.report.warning("packet %" PRIu32 " (%" PRIu32 " bytes at byte %" PRIu64
                      ") is cut short: the input ends at byte %" PRIu64 "%s",
                      packet.number, packet.length, packet.start, input_end,
                      written ? "; its first part was written" : "");
  note_first_problem("packet " + std::to_string(packet.number) + " is cut short");
  return Flow::end;
}

// Hands the next `count` bytes of the packet to `take` piece by piece, as the
// window holds them; `take` returns false when an output failed.
template <typename Take>
Flow Walker::pass_pieces(Packet& packet, std::uint64_t count, Take&& take) {
  while (count > 0) {
    const Flow flow = ensure(packet, 1);
    if (flow != Flow::next) {
      return flow;
    }
    const auto piece = run_.window.data().first(
        static_cast<std::size_t>(std::min<std::uint64_t>(count, run_.window.data().size())));
    if (!take(piece)) {
      return Flow::fail;
    }
    run_.window.consume(piece.size());
    count -= piece.size();
  }
  return Flow::next;
}

Flow Walker::skip(Packet& packet, std::uint64_t count) {
  return pass_pieces(packet, count, [](std::span<const std::uint8_t>) { return true; });
}

Flow Walker::skip_malformed(Packet& packet, std::uint64_t consumed, PacketStatus status,
                            std::uint64_t needed) {
  // A packet cut short is told as such, not as malformed.
  const Flow flow = skip(packet, packet.length - consumed);
  if (flow != Flow::next) {
    return flow;
  }
  if (!skipped_.active) {
    skipped_ = {packet.number, packet.number, packet.length, status, needed, true};
    note_first_problem("packet " + std::to_string(packet.number) + " " + describe(status));
  }
  skipped_.last = packet.number;
  return Flow::next;
}

void Walker::end_skipped_run() {
  if (!skipped_.active) {
    return;
  }
  skipped_.active = false;
  const SkippedRun& s = skipped_;
  std::string suspect;
  // A run of skipped packets always starts right after the last packet
  // written, since any packet between would have ended it.
  if (run_.extracted > 0 && last_written_padded_) {
    suspect = "; the index looks damaged at entry " + std::to_string(last_written_) + " (packet " +
              std::to_string(last_written_) + "'s fields add up to " +
              std::to_string(last_written_needed_) + " bytes, its entry says " +
              std::to_string(last_written_length_) + ")";
  } else if (s.last > s.first && s.first_needed > s.first_length) {
    suspect = "; the index looks damaged at entry " + std::to_string(s.first);
  }
  if (s.first == s.last) {
    run_.report.warning("packet %" PRIu32 " (%" PRIu32 " bytes) %s (its fields need %" PRIu64
                        " bytes); packet skipped%s",
                        s.first, s.first_length, describe(s.first_status), s.first_needed,
                        suspect.c_str());
    return;
  }
  run_.report.warning("packets %" PRIu32 " to %" PRIu32 " (%" PRIu32
                      " packets) skipped: packet %" PRIu32 " (%" PRIu32
                      " bytes) %s (its fields "
                      "need %" PRIu64 " bytes)%s",
                      s.first, s.last, s.last - s.first + 1, s.first, s.first_length,
                      describe(s.first_status), s.first_needed, suspect.c_str());
}

Flow Walker::read_table(Packet& packet, std::uint64_t entries, std::uint64_t& sum) {
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

Flow Walker::pass_video(Packet& packet, std::uint32_t video_size) {
  filter_.reset();
  const Flow flow = pass_pieces(packet, video_size, [&](std::span<const std::uint8_t> piece) {
    return dumpavc_piece(run_.video, filter_, piece) == DumpStatus::ok ||
           report_output_failure(run_, run_.video);
  });
  if (flow == Flow::next && dumpavc_end(run_.video, filter_) != DumpStatus::ok) {
    return output_failed(run_.video);
  }
  return flow;
}

// Passes `count` bytes of the packet to `output` as they come.
Flow Walker::pass_bytes(Packet& packet, Output& output, std::uint64_t count) {
  return pass_pieces(packet, count, [&](std::span<const std::uint8_t> piece) {
    return dump_frame_piece(output, piece) == DumpStatus::ok || report_output_failure(run_, output);
  });
}

void Walker::warn_frame_too_long(const Packet& packet, std::uint32_t stream, std::uint32_t frame,
                                 std::uint32_t length) {
  run_.report.warning("packet %" PRIu32 ", stream %" PRIu32 ", frame %" PRIu32
                      ": an AAC frame of %" PRIu32
                      " bytes is too long for an ADTS header (at most %" PRIu32 "); frame skipped",
                      packet.number, stream, frame, length, kMaxAdtsPayload);
}

Flow Walker::pass_frame(Packet& packet, Output& output, std::uint32_t stream, std::uint32_t frame,
                        std::uint32_t length) {
  if (!run_.header.is_aac()) {
    return pass_bytes(packet, output, length);
  }
  switch (dumpaac_header(output, length, run_.header.audio_rate)) {
    case DumpStatus::ok:
      return pass_bytes(packet, output, length);
    case DumpStatus::frame_too_long:
      warn_frame_too_long(packet, stream, frame, length);
      return skip(packet, length);
    case DumpStatus::output_failed:
      break;
  }
  return output_failed(output);
}

Flow Walker::pass_audio(Packet& packet, std::uint64_t audio_bytes) {
  std::uint64_t passed = 0;
  for (std::uint32_t s = 0; s < run_.header.extracted_streams(); ++s) {
    for (std::uint32_t j = 0; j < frames_per_stream_; ++j) {
      const std::uint32_t length = lengths_[std::size_t{s} * frames_per_stream_ + j];
      const Flow flow = pass_frame(packet, run_.audio[s], s, j, length);
      if (flow != Flow::next) {
        return flow;
      }
      passed += length;
    }
  }
  // The frames of streams past the tenth have no output.
  return skip(packet, audio_bytes - passed);
}

// The packet's video chunk and frames, all of them in the window: written
// straight from it, the chunk through the filter in one go. `rest` is what is
// left of the packet, padding and the frames of streams past the tenth
// included.
Flow Walker::pass_in_window(Packet& packet, std::uint32_t video_size, std::uint64_t rest) {
  const auto body = run_.window.data().first(static_cast<std::size_t>(rest));
  if (dumpavc(run_.video, body.first(video_size)) != DumpStatus::ok) {
    return output_failed(run_.video);
  }
  std::size_t at = video_size;
  for (std::uint32_t s = 0; s < run_.header.extracted_streams(); ++s) {
    Output& output = run_.audio[s];
    for (std::uint32_t j = 0; j < frames_per_stream_; ++j) {
      const std::uint32_t length = lengths_[std::size_t{s} * frames_per_stream_ + j];
      const auto frame = body.subspan(at, length);
      at += length;
      const DumpStatus status = run_.header.is_aac()
                                    ? dumpaac(output, frame, run_.header.audio_rate)
                                    : dumpmp3(output, frame);
      if (status == DumpStatus::frame_too_long) {
        warn_frame_too_long(packet, s, j, length);
      } else if (status != DumpStatus::ok) {
        return output_failed(output);
      }
    }
  }
  run_.window.consume(body.size());
  return Flow::next;
}

// The rest of a packet longer than half the window, as it passes.
Flow Walker::pass_in_pieces(Packet& packet, std::uint32_t video_size, std::uint64_t audio_bytes,
                            std::uint64_t padding) {
  packet.in_pieces = true;
  packet.taken_before = bytes_taken(run_);
  Flow flow = pass_video(packet, video_size);
  if (flow == Flow::next) {
    flow = pass_audio(packet, audio_bytes);
  }
  return flow == Flow::next ? skip(packet, padding) : flow;
}

Flow Walker::walk_packet(Packet& packet) {
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
  } else if (const auto size = window.known_size(); size && packet.start + length > *size) {
    return cut_short(packet, *size);
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
  const std::uint64_t video_end = table_end + video_size;
  const std::uint64_t needed = video_end + audio_bytes;
  if (video_end > length) {
    return skip_malformed(packet, table_end, PacketStatus::video_overrun, video_end);
  }
  if (needed > length) {
    return skip_malformed(packet, table_end, PacketStatus::audio_overrun, needed);
  }
  end_skipped_run();
  // Bytes past the packet's fields are padding.
  flow = in_window ? pass_in_window(packet, video_size, length - table_end)
                   : pass_in_pieces(packet, video_size, audio_bytes, length - needed);
  if (flow == Flow::next) {
    ++run_.extracted;
    last_written_ = packet.number;
    last_written_needed_ = needed;
    last_written_length_ = packet.length;
    last_written_padded_ = needed < length;
  }
  return flow;
}

// An entry of length 0 ends the index; entries after it matter only if some
// of them are not empty, since then packets are being left out.
void Walker::check_index_tail(std::uint32_t number) {
  std::uint32_t skipped = 0;
  const std::uint64_t entries = run_.index.size() / kIndexEntrySize;
  for (std::uint64_t later = static_cast<std::uint64_t>(number) + 1; later < entries; ++later) {
    skipped += packet_length(read_le32(run_.index, later * kIndexEntrySize)) != 0 ? 1 : 0;
  }
  if (skipped > 0) {
    listed_packets_ = true;
    run_.report.warning("packet %" PRIu32 " has length 0, which ends the index; %" PRIu32
                        " later packets are not extracted",
                        number, skipped);
    note_first_problem("packet " + std::to_string(number) + " has length 0, which ends the index");
  }
}

bool Walker::walk() {
  Flow flow = Flow::next;
  for (std::uint32_t number = 0; number < run_.header.frame_count && flow == Flow::next; ++number) {
    const std::uint64_t entry = std::uint64_t{number} * kIndexEntrySize;
    // One entry per packet is too slow a stream for the processor to fetch
    // ahead by itself while the packets' bytes pass: with a million small
    // packets, a sixth of the time went to waiting for the index.
    if (run_.index.size() - entry > kIndexLookAhead) {
      __builtin_prefetch(run_.index.data() + entry + kIndexLookAhead);
    }
    Packet packet;
    packet.number = number;
    packet.length = packet_length(read_le32(run_.index, entry));
    packet.start = run_.window.position();
    if (packet.length == 0) {
      end_skipped_run();
      check_index_tail(number);
      break;
    }
    listed_packets_ = true;
    flow = walk_packet(packet);
  }
  return finish_walk(flow);
}

bool Walker::finish_walk(Flow flow) {
  end_skipped_run();
  if (flow == Flow::fail) {
    return false;
  }
  if (listed_packets_ && run_.extracted == 0) {
    run_.report.error(run_.path,
                      "no packet could be extracted (%s); existing outputs are left as they were",
                      first_problem_.c_str());
    return false;
  }
  return true;
}

// Rescue: packets checked by their own fields, from the index while it agrees
// with them and by structure after that.

// A packet whose fields need more than an index entry can say is not one.
constexpr std::uint64_t kMaxPacketLength = 0x7FFFFFFF;
// Bytes a recorder may leave between one packet's fields and the next packet.
constexpr std::uint64_t kMaxPadding = 64;
Flow Walker::judge(Peek& peek, std::uint64_t offset, std::uint64_t limit, bool allow_empty_video,
                   std::uint64_t& needed, bool& plausible) {
  const Plausibility verdict =
      plausible_packet(peek, run_.header, offset, limit, allow_empty_video, needed);
  if (verdict == Plausibility::read_error) {
    run_.report.error(run_.path, "read error at byte %" PRIu64 ": %s", offset,
                      std::strerror(peek.error()));
    return Flow::fail;
  }
  plausible = verdict == Plausibility::yes && needed <= kMaxPacketLength;
  return Flow::next;
}

// Where the packet after one whose fields end at `after` stands: right there
// or a little later, or the file ends there.
Flow Walker::successor(Peek& peek, std::uint64_t after, std::uint64_t& next, bool& found) {
  const std::uint64_t size = peek.file_size();
  found = false;
  for (std::uint64_t at = after; at <= after + kMaxPadding && at <= size && !found; ++at) {
    std::uint64_t needed = 0;
    if (at == size) {
      found = true;
    } else if (judge(peek, at, size, true, needed, found) == Flow::fail) {
      return Flow::fail;
    }
    next = at;
  }
  return Flow::next;
}

// A packet at `offset` whose successor follows where its fields say.
Flow Walker::candidate(Peek& peek, std::uint64_t offset, bool allow_empty_video,
                       std::uint64_t& needed, std::uint64_t& next, bool& found) {
  if (judge(peek, offset, peek.file_size(), allow_empty_video, needed, found) == Flow::fail) {
    return Flow::fail;
  }
  return found ? successor(peek, offset + needed, next, found) : Flow::next;
}

Flow Walker::extract_at(std::uint64_t offset, std::uint64_t needed) {
  if (!flush_borrowed(run_)) {
    return Flow::fail;
  }
  if (run_.window.skip_to(offset) != ReadStatus::complete) {
    run_.report.error(run_.path, "read error at byte %" PRIu64 ": %s", offset,
                      std::strerror(run_.window.error()));
    return Flow::fail;
  }
  Packet packet;
  packet.number = next_number_++;
  packet.length = static_cast<std::uint32_t>(needed);
  packet.start = offset;
  return walk_packet(packet);
}

// Follows the index while each entry agrees with its packet; `resume` is
// where the fields of the last packet it gave end.
Flow Walker::follow_index(Peek& peek, std::uint64_t& resume) {
  const std::uint64_t size = peek.file_size();
  const std::uint64_t count = run_.header.frame_count;
  const std::uint64_t index_end = kHeaderSize + count * kIndexEntrySize;
  resume = kHeaderSize;
  if (index_end > size) {
    return Flow::next;  // cut inside the index: search from the header's end
  }
  if (run_.window.read_into(run_.index_buffer, index_end - kHeaderSize, run_.index) !=
      ReadStatus::complete) {
    return Flow::next;
  }
  std::uint64_t at = index_end;
  resume = index_end;
  for (std::uint64_t number = 0; number < count; ++number) {
    const std::uint64_t length = packet_length(read_le32(run_.index, number * kIndexEntrySize));
    std::uint64_t needed = 0;
    bool plausible = false;
    // The first entry that disagrees with its packet hands over to the search.
    if (length == 0 || at + length > size) {
      return Flow::next;
    }
    if (judge(peek, at, at + length, true, needed, plausible) == Flow::fail) {
      return Flow::fail;
    }
    if (!plausible) {
      return Flow::next;
    }
    const Flow flow = extract_at(at, needed);
    if (flow != Flow::next) {
      return flow;
    }
    ++from_index_;
    resume = at + needed;
    at += length;
  }
  return Flow::next;
}

// The first offset from `from` on where two packets in a row stand, or the
// file's end.
Flow Walker::resynchronise(Peek& peek, std::uint64_t from, std::uint64_t& found_at) {
  const std::uint64_t size = peek.file_size();
  for (found_at = from; found_at < size; ++found_at) {
    std::uint64_t needed = 0;
    std::uint64_t next = 0;
    bool found = false;
    // An empty packet is too easily read into zeros to start from.
    if (candidate(peek, found_at, false, needed, next, found) == Flow::fail) {
      return Flow::fail;
    }
    if (found && next < size && candidate(peek, next, true, needed, next, found) == Flow::fail) {
      return Flow::fail;
    }
    if (found) {
      return Flow::next;
    }
  }
  return Flow::next;
}

void Walker::note_skipped_bytes(std::uint64_t from, std::uint64_t to) {
  if (skips_ < shown_skips_.size()) {
    shown_skips_[static_cast<std::size_t>(skips_)] = {from, to};
  }
  ++skips_;
  skipped_bytes_ += to - from;
}

Flow Walker::follow_structure(Peek& peek, std::uint64_t offset) {
  const std::uint64_t size = peek.file_size();
  while (offset < size) {
    std::uint64_t needed = 0;
    std::uint64_t next = 0;
    bool found = false;
    if (candidate(peek, offset, true, needed, next, found) == Flow::fail) {
      return Flow::fail;
    }
    if (found) {
      const Flow flow = extract_at(offset, needed);
      if (flow != Flow::next) {
        return flow;
      }
      ++by_structure_;
      offset = next;
      continue;
    }
    std::uint64_t resumed = 0;
    if (resynchronise(peek, offset + 1, resumed) == Flow::fail) {
      return Flow::fail;
    }
    note_skipped_bytes(offset, resumed);
    offset = resumed;
  }
  return Flow::next;
}

void Walker::report_rescue() {
  if (by_structure_ == 0 && skips_ == 0) {
    return;
  }
  const auto shown = static_cast<std::size_t>(std::min<std::uint64_t>(skips_, shown_skips_.size()));
  std::uint64_t shown_bytes = 0;
  for (std::size_t i = 0; i < shown; ++i) {
    const SkippedBytes& range = shown_skips_[i];
    run_.report.warning("bytes %" PRIu64 " to %" PRIu64 " (%" PRIu64
                        " bytes) hold no packet; skipped",
                        range.from, range.to - 1, range.to - range.from);
    shown_bytes += range.to - range.from;
  }
  if (skips_ > shown) {
    run_.report.warning("%" PRIu64 " more ranges without a packet skipped, %" PRIu64 " bytes",
                        skips_ - shown, skipped_bytes_ - shown_bytes);
  }
  run_.report.warning("rescue: %" PRIu64 " packets from the index, %" PRIu64
                      " recovered by structure",
                      from_index_, by_structure_);
}

bool Walker::rescue() {
  const auto size = run_.window.known_size();
  if (!size) {
    run_.report.error(run_.path,
                      "rescue needs a regular file to search; extract it as usual, "
                      "or copy it to a file first");
    return false;
  }
  Peek peek(run_.fd, *size);
  if (!peek.allocate()) {
    run_.report.error(run_.path, "out of memory for the rescue search");
    return false;
  }
  std::uint64_t resume = 0;
  Flow flow = follow_index(peek, resume);
  if (flow == Flow::next) {
    flow = follow_structure(peek, resume);
  }
  if (flow == Flow::next) {
    report_rescue();
  }
  listed_packets_ = true;
  first_problem_ = "no packet was found in the file";
  return finish_walk(flow);
}

}  // namespace

bool walk(Run& run) {
  Walker walker(run);
  return walker.walk();
}

bool rescue(Run& run) {
  Walker walker(run);
  return walker.rescue();
}

}  // namespace orvale
