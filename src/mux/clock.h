// The first of two passes over a recording made into MP4 or Matroska: what
// the packets the walk accepts say of time (the audio clock, each picture's
// order of display) and of the streams (parameter sets, channels), gathered
// before anything is written.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "container/container.h"
#include "container/sink.h"
#include "mux/rate.h"
#include "streams/mp3_frames.h"

struct AVCodecParserContext;
struct AVCodecContext;

namespace orvale {

struct FfmpegApi;

// One packet the walk accepted, in the order it did.
struct PacketClock {
  std::uint32_t number = 0;
  // Samples of audio stream 0 that began in this packet.
  std::uint32_t samples = 0;
  bool picture = false;
  // The picture's order of display (its picture order count), and whether
  // it is an IDR picture, which starts the count anew.
  std::int32_t order = 0;
  bool idr = false;
};

struct AudioStreamFacts {
  // AAC: the channel configuration its ADTS headers get. MP3: from the first
  // frame's header.
  std::uint8_t channels = 0;
  std::uint32_t mp3_rate = 0;
  std::uint32_t mp3_samples = 0;
};

struct RecordingClock {
  std::vector<PacketClock> packets;
  std::vector<std::uint8_t> sps;
  std::vector<std::uint8_t> pps;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // The rate the stream's own timing information declares.
  std::optional<Rate> stream_rate;
  std::array<AudioStreamFacts, kAudioSlots> audio{};
};

struct ParserDeleter {
  const FfmpegApi* api = nullptr;
  void operator()(AVCodecParserContext* parser) const;
  void operator()(AVCodecContext* codec) const;
};

// Listens to the walk and fills a RecordingClock; writes nothing.
class ClockSink final : public PacketSink {
 public:
  // Without `api` the pictures' order and the stream's own rate are not read:
  // what a listing of a recording with audio does without.
  ClockSink(const FileHeader& header, RecordingClock& clock, const FfmpegApi* api);

  [[nodiscard]] bool video(std::span<const std::uint8_t> chunk) override;
  [[nodiscard]] bool video_piece(std::span<const std::uint8_t> piece) override;
  [[nodiscard]] bool video_end() override { return true; }
  [[nodiscard]] bool audio_frame(std::uint32_t stream, std::span<const std::uint8_t> frame,
                                 std::uint8_t channels) override;
  [[nodiscard]] bool audio_frame_begin(std::uint32_t stream, std::uint32_t length,
                                       std::uint8_t channels) override;
  [[nodiscard]] bool audio_piece(std::uint32_t stream,
                                 std::span<const std::uint8_t> piece) override;
  [[nodiscard]] bool packet_end(std::uint32_t number) override;
  [[nodiscard]] bool release() override { return true; }
  [[nodiscard]] std::uint64_t taken() const override { return 0; }

 private:
  void read_picture(PacketClock& packet);

  const FileHeader& header_;
  RecordingClock& clock_;
  const FfmpegApi* api_;
  // The opening of the packet's video chunk: parameter sets and the first
  // slice's header stand there.
  std::vector<std::uint8_t> head_;
  std::uint64_t packet_samples_ = 0;
  std::array<Mp3Frames, kAudioSlots> mp3_;
  std::unique_ptr<AVCodecParserContext, ParserDeleter> parser_;
  std::unique_ptr<AVCodecContext, ParserDeleter> codec_;
};

}  // namespace orvale
