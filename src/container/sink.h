// Where the walk sends the packets it accepts: raw files, the listing's
// census, a muxer. The walk decides what is a packet; a sink only takes.
#pragma once

#include <cstdint>
#include <span>

namespace orvale {

// A packet arrives as its video chunk (whole, or in pieces when it is longer
// than the window holds at once), then its audio frames, stream by stream and
// in order within a stream (each whole, or announced by its length and then
// in pieces), then packet_end(). A packet cut short, or given up, ends
// without packet_end(): what a sink held of it is the sink's to drop or keep.
// The bytes handed over point into the input window; a sink may hold on to
// them until release(), which comes before the window moves.
// Each call returns false when the sink failed; it has told why.
class PacketSink {
 public:
  PacketSink() = default;
  PacketSink(const PacketSink&) = delete;
  PacketSink& operator=(const PacketSink&) = delete;
  virtual ~PacketSink() = default;

  [[nodiscard]] virtual bool video(std::span<const std::uint8_t> chunk) = 0;
  [[nodiscard]] virtual bool video_piece(std::span<const std::uint8_t> piece) = 0;
  [[nodiscard]] virtual bool video_end() = 0;
  // An AAC frame comes with its stream's channel configuration, decided once
  // from the stream's first frame; an MP3 frame with 0.
  [[nodiscard]] virtual bool audio_frame(std::uint32_t stream, std::span<const std::uint8_t> frame,
                                         std::uint8_t channels) = 0;
  [[nodiscard]] virtual bool audio_frame_begin(std::uint32_t stream, std::uint32_t length,
                                               std::uint8_t channels) = 0;
  [[nodiscard]] virtual bool audio_piece(std::uint32_t stream,
                                         std::span<const std::uint8_t> piece) = 0;
  // The packet numbered `number` (its index entry, or its place in a rescue)
  // is whole.
  [[nodiscard]] virtual bool packet_end(std::uint32_t number) = 0;
  // Nothing handed over may be referenced after this.
  [[nodiscard]] virtual bool release() = 0;
  // Bytes taken so far, so that the walk can tell whether a packet cut short
  // left its first part behind.
  [[nodiscard]] virtual std::uint64_t taken() const = 0;
};

}  // namespace orvale
