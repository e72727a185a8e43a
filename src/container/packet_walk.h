// One packet at a time, through the input window to the run's sink: the walk
// the index drives, and the rescue too, so that a packet gives the same bytes
// whichever found it.
#pragma once

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <string>

#include "container/damage_report.h"
#include "extract/run.h"
#include "streams/aac_elements.h"
#include "streams/startcode.h"

namespace orvale {

// How a step ended: go on, the walk is over (a warning said why), or the run
// failed (an error said why).
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
  // The next packet's length by its entry, when the index goes on.
  std::uint32_t next_length = 0;
};

// The bytes of a video chunk looked at for its opening: zeros, a start code
// and the NAL unit header after it.
inline constexpr std::uint64_t kOpeningLook = 16;
inline constexpr std::uint8_t kForbiddenNalBit = 0x80;
// What the walk reads past a packet to see its successor's opening: the
// fields, a small audio size table and the chunk's first bytes.
inline constexpr std::uint64_t kSuccessorPeek = 256;

// A start code and a NAL unit header.
inline constexpr std::uint64_t kShortestOpening = 4;
// Fields that fill less than this share of their entry fill a sliver of it.
inline constexpr std::uint64_t kSliver = 8;

// Zeros may stand before a chunk's first start code, but a NAL unit header
// with its forbidden bit clear must follow it inside the chunk; anything
// else means the chunk was not read from where it begins. `opening` is what
// is held of the chunk's first kOpeningLook bytes.
[[nodiscard]] bool chunk_opens_a_nal_unit(std::span<const std::uint8_t> opening,
                                          std::uint64_t video_size);
// Fields that fill only a sliver of their entry: fewer bytes than a recorder
// pads with, in an entry that holds more than the padding and is many times
// their length. A picture takes more.
[[nodiscard]] bool fills_a_sliver(std::uint64_t needed, std::uint64_t length);

class PacketWalker {
 public:
  explicit PacketWalker(Run& run) : run_(run) {}

  // Walks the packet of `packet.length` bytes at the window's position,
  // writing it when its fields fit, skipping it (and telling so) when not.
  [[nodiscard]] Flow walk_packet(Packet& packet);
  // Has the window hold `count` bytes (at most its capacity) from its
  // position on, or all there are; Flow::fail after a read error before
  // `at_least` of them.
  [[nodiscard]] Flow hold(std::uint64_t count, std::uint64_t at_least);
  // Tells what is still untold; false when the run failed or wrote nothing of
  // packets there were (`problem` then says why, unless a problem met on the
  // way does).
  [[nodiscard]] bool finish(Flow flow, bool packets_listed, const std::string& problem = {});

  // Frame `frame` of stream `stream` of the next packet walked is left out:
  // a rescue found it damaged in a packet whose video is whole.
  void leave_out_frame(std::uint32_t stream, std::uint32_t frame, std::uint32_t frames) {
    left_out_.set(std::size_t{stream} * frames + frame);
  }
  void keep_all_frames() { left_out_.reset(); }
  // Something was lost on the way: packets skipped, or the walk cut short.
  [[nodiscard]] bool lost() const { return lost_; }
  // A message pointed at a damaged index.
  [[nodiscard]] bool index_damage_told() const { return index_damage_told_; }
  void tell_index_damage() { index_damage_told_ = lost_ = true; }
  void note_problem(const std::string& problem);
  // Counts the packet, listed at `packet.start`, as lost to unreadable bytes
  // without reading it.
  void lose_unreadable(const Packet& packet);
  // Tells what packets read out of line mean, once no later one can show
  // the index to be whole.
  void settle();
  // Bytes of the input the written packets came from.
  [[nodiscard]] std::uint64_t bytes_written_from() const { return written_bytes_; }
  // Packets written since the walk was found out of line.
  [[nodiscard]] std::uint64_t written_out_of_line() const { return out_of_line_; }
  // Packets read out of line that failed the closer look, not written.
  [[nodiscard]] std::uint64_t dropped_out_of_line() const { return dropped_out_of_line_; }

 private:
  [[nodiscard]] Flow ensure(Packet& packet, std::uint64_t count) {
    return run_.window.needs_fill(count) ? refill(packet, count) : Flow::next;
  }
  [[nodiscard]] Flow refill(Packet& packet, std::uint64_t count);
  [[nodiscard]] Flow cut_short(const Packet& packet, std::uint64_t input_end);
  [[nodiscard]] bool fields_fit_input(const Packet& packet, std::uint64_t input_end);
  template <typename Take>
  [[nodiscard]] Flow pass_pieces(Packet& packet, std::uint64_t count, Take&& take);
  [[nodiscard]] Flow skip(Packet& packet, std::uint64_t count);
  [[nodiscard]] Flow skip_unreadable(Packet& packet);
  [[nodiscard]] bool whole_at_a_closer_look(const Packet& packet) const;
  // Whether the packet in `bytes`, of `length` by its entry, has fields that
  // fit it and a chunk opening as a NAL unit; with `opens_video`, only a
  // chunk whose opening is held and shows a start code passes.
  [[nodiscard]] bool fields_in_line(std::span<const std::uint8_t> bytes, std::uint64_t length,
                                    bool opens_video) const;
  [[nodiscard]] bool successor_in_line(const Packet& packet);
  [[nodiscard]] bool out_of_line() const { return misalignment_told_ || suspect_; }
  void suspect(std::uint32_t entry, std::uint32_t first);
  void back_in_line(std::uint32_t number);
  [[nodiscard]] Flow drop_before_misalignment(Packet& packet);
  [[nodiscard]] Flow drop_out_of_line(Packet& packet, std::uint64_t rest);
  [[nodiscard]] Flow skip_malformed(Packet& packet, std::uint64_t consumed, PacketStatus status,
                                    std::uint64_t needed);
  [[nodiscard]] Flow read_table(Packet& packet, std::uint64_t entries, std::uint64_t& sum);
  [[nodiscard]] Flow pass_in_window(Packet& packet, std::uint32_t video_size, std::uint64_t rest);
  [[nodiscard]] Flow pass_in_pieces(Packet& packet, std::uint32_t video_size,
                                    std::uint64_t audio_bytes, std::uint64_t padding);
  [[nodiscard]] Flow pass_video(Packet& packet, std::uint32_t video_size);
  [[nodiscard]] Flow pass_audio(Packet& packet, std::uint64_t audio_bytes);
  void decide_channels(std::uint32_t stream, std::span<const std::uint8_t> frame,
                       std::uint32_t length);
  [[nodiscard]] std::uint8_t header_channels(std::uint32_t stream) const {
    return channels_[stream] != 0 ? channels_[stream] : kStereo;
  }
  void warn_frame_too_long(const Packet& packet, std::uint32_t stream, std::uint32_t frame,
                           std::uint32_t length);
  [[nodiscard]] Flow pass_frame(Packet& packet, std::uint32_t stream, std::uint32_t frame,
                                std::uint32_t length);
  [[nodiscard]] Flow pass_frame_bytes(Packet& packet, std::uint32_t stream, std::uint32_t length);
  void tell_misalignment();
  void end_skipped_run();
  void end_unreadable_run();
  void end_malformed_run();

  Run& run_;
  std::uint32_t frames_per_stream_ = 0;
  // Frame lengths of the extracted streams; the table is stream-major, so
  // they are its first entries.
  std::array<std::uint32_t, std::size_t{kAudioSlots} * 255> lengths_{};
  // Each stream's ADTS channel configuration; 0 until its first frame.
  std::array<std::uint8_t, kAudioSlots> channels_{};
  // Frames of the packet being walked that are left out, as the lengths.
  std::bitset<std::size_t{kAudioSlots} * 255> left_out_;
  SkippedPackets skipped_;
  UnreadablePackets unreadable_;
  // The last packet written, and whether its entry held more bytes than its
  // fields use: where skipping starts right after such a packet, the index
  // itself is the likely culprit.
  LastWritten last_written_;
  // Packets whose video chunk opened with a start code, the last of them,
  // and whether one that did not has been told.
  std::uint64_t aligned_chunks_ = 0;
  std::uint32_t last_aligned_ = 0;
  bool misalignment_told_ = false;
  // Packets from suspect_first_ on were read out of line, the index or bad
  // bytes to blame: the index at entry suspect_entry_, unless a packet whole
  // where it puts it follows. suspect_dropped_ of them were not written.
  bool suspect_ = false;
  std::uint32_t suspect_first_ = 0;
  std::uint32_t suspect_entry_ = 0;
  std::uint64_t suspect_dropped_ = 0;
  std::string first_problem_;
  std::uint64_t written_bytes_ = 0;
  std::uint64_t out_of_line_ = 0;
  std::uint64_t dropped_out_of_line_ = 0;
  bool lost_ = false;
  bool index_damage_told_ = false;
};

// Hands the next `count` bytes of the packet to `take` piece by piece, as the
// window holds them; `take` returns false when an output failed. Here, since
// both files of the walk pass bytes this way.
template <typename Take>
Flow PacketWalker::pass_pieces(Packet& packet, std::uint64_t count, Take&& take) {
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

}  // namespace orvale
