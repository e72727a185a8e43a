// Whether the walk reads the packets where they stand: the opening of each
// video chunk, the packet after each, and the closer look that decides
// which packets read out of line are written. Where packets are read out of
// line, whether the index or bad bytes put them there shows at the packets
// that follow.
#include <algorithm>
#include <cinttypes>

#include "container/le.h"
#include "container/packet_walk.h"
#include "container/recognise.h"

namespace orvale {

bool chunk_opens_a_nal_unit(std::span<const std::uint8_t> opening, std::uint64_t video_size) {
  if (video_size < kShortestOpening) {
    return false;
  }
  const auto zeros = static_cast<std::size_t>(
      std::find_if(opening.begin(), opening.end(), [](std::uint8_t b) { return b != 0; }) -
      opening.begin());
  // Zeros throughout, or an opening that runs past what is held of a longer
  // chunk, cannot be told from zeros before a start code; a chunk that ends
  // with its start code is a recorder's, not a misreading's.
  if (zeros + 2 > opening.size()) {
    return zeros == opening.size() || opening.size() < video_size ||
           (zeros >= 2 && opening[zeros] == 1);
  }
  return zeros >= 2 && opening[zeros] == 1 && (opening[zeros + 1] & kForbiddenNalBit) == 0;
}

bool PacketWalker::fields_in_line(std::span<const std::uint8_t> bytes, std::uint64_t length,
                                  bool opens_video) const {
  if (bytes.size() < kPacketFixedSize) {
    return !opens_video;
  }
  const std::uint64_t table_end =
      kPacketFixedSize + std::uint64_t{run_.header.audio_stream_count} * bytes[0] * kIndexEntrySize;
  const std::uint64_t video_size = read_le32(bytes, kVideoSizeOffset);
  if (table_end + video_size > length) {
    return false;
  }
  const std::uint64_t look = std::min(video_size, kOpeningLook);
  if (video_size == 0 || table_end + look > bytes.size()) {
    return !opens_video;
  }
  if (opens_video && bytes[static_cast<std::size_t>(table_end)] != 0) {
    return false;
  }
  return chunk_opens_a_nal_unit(
      bytes.subspan(static_cast<std::size_t>(table_end), static_cast<std::size_t>(look)),
      video_size);
}

bool fills_a_sliver(std::uint64_t needed, std::uint64_t length) {
  return needed <= kMaxPadding && length - needed > kMaxPadding && needed * kSliver < length;
}

bool PacketWalker::whole_at_a_closer_look(const Packet& packet) const {
  const std::uint64_t end = packet.start + packet.length;
  ByteSource source(run_.window, nullptr, end);
  std::uint64_t needed = 0;
  std::string fault;
  return plausible_packet(source, run_.header, packet.start, end, true, needed) ==
             Plausibility::yes &&
         !fills_a_sliver(needed, packet.length) &&
         holds_whole_frames(source, run_.header, packet.start, needed, fault) == Plausibility::yes;
}

// The packet after this one, where its entry ends, has fields that fit its
// own entry and a chunk that opens a NAL unit. Looked at only where the
// window holds it already or a read gets it: the input's end or a bad spot
// is told where the walk meets it.
bool PacketWalker::successor_in_line(const Packet& packet) {
  InputWindow& window = run_.window;
  // A packet that does not itself open a NAL unit, or one among packets
  // being skipped, is told as such.
  if (packet.next_length == 0 || aligned_chunks_ == 0 || skipped_.active ||
      !fields_in_line(window.data().first(static_cast<std::size_t>(packet.length)), packet.length,
                      true)) {
    return true;
  }
  // From a pipe, only what has arrived: a live recording's last packet is
  // written without waiting for the next.
  const std::uint64_t want =
      packet.length + std::min(kSuccessorPeek, window.capacity() - packet.length);
  if (window.known_size() && window.needs_fill(want) && run_.sink->release()) {
    (void)window.fill(want);
  }
  const auto bytes = window.data();
  return bytes.size() < packet.length + kPacketFixedSize ||
         fields_in_line(bytes.subspan(static_cast<std::size_t>(packet.length)), packet.next_length,
                        false);
}

void PacketWalker::suspect(std::uint32_t entry, std::uint32_t first) {
  if (!suspect_) {
    suspect_ = true;
    suspect_entry_ = entry;
    suspect_first_ = first;
    suspect_dropped_ = 0;
  }
}

// A packet whole at a closer look after packets that were not: bad bytes
// hit those, and the index still leads to the packets.
void PacketWalker::back_in_line(std::uint32_t number) {
  suspect_ = false;
  if (suspect_dropped_ == 0) {
    return;
  }
  run_.report.warning("packets %" PRIu32 " to %" PRIu32 " (%" PRIu64
                      " packets) are damaged: where the index puts them they do not hold whole "
                      "frames, and packet %" PRIu32 " after them does; dropped",
                      suspect_first_, number - 1, suspect_dropped_, number);
  note_problem("packets " + std::to_string(suspect_first_) + " to " + std::to_string(number - 1) +
               " are damaged");
}

void PacketWalker::settle() {
  if (!suspect_) {
    return;
  }
  suspect_ = false;
  dropped_out_of_line_ += suspect_dropped_;
  last_aligned_ = suspect_entry_;
  tell_misalignment();
}

Flow PacketWalker::drop_before_misalignment(Packet& packet) {
  const Flow flow = skip(packet, packet.length);
  if (flow == Flow::next) {
    lost_ = true;
    // Its entry does not lead to the next packet, which is read out of line.
    suspect(packet.number, packet.number + 1);
    run_.report.warning("packet %" PRIu32
                        " fails a closer look, and the packet after it is not where its entry "
                        "ends; dropped",
                        packet.number);
    note_problem("packet " + std::to_string(packet.number) + " fails a closer look");
  }
  return flow;
}

Flow PacketWalker::drop_out_of_line(Packet& packet, std::uint64_t rest) {
  const Flow flow = skip(packet, rest);
  if (flow == Flow::next) {
    lost_ = true;
    ++(misalignment_told_ ? dropped_out_of_line_ : suspect_dropped_);
  }
  return flow;
}

// A video chunk that does not open with a start code, in a file whose
// chunks did, was read from the wrong place: an entry at or after the last
// one that led to a start code has the wrong length. Told once; the walk
// goes on as the index says.
void PacketWalker::tell_misalignment() {
  if (aligned_chunks_ == 0 || misalignment_told_) {
    return;
  }
  misalignment_told_ = true;
  run_.report.warning("the index looks damaged at entry %" PRIu32 ": from packet %" PRIu32
                      " on the packets are read out of line",
                      last_aligned_, last_aligned_ + 1);
  tell_index_damage();
}

}  // namespace orvale
