// The sinks of an extraction into raw files: the video filtered into its
// byte stream, each audio stream behind its ADTS headers or as MP3 frames;
// and the census --list takes beside them.
#pragma once

#include "container/sink.h"
#include "extract/run.h"
#include "streams/startcode.h"
#include "streams/streams.h"

namespace orvale {

// Writes into the run's outputs; those of streams not chosen, and all of
// them under --test and --list, count what they are given and write nothing.
class RawSink final : public PacketSink {
 public:
  explicit RawSink(Run& run) : run_(run) {}

  [[nodiscard]] bool video(std::span<const std::uint8_t> chunk) override;
  [[nodiscard]] bool video_piece(std::span<const std::uint8_t> piece) override;
  [[nodiscard]] bool video_end() override;
  [[nodiscard]] bool audio_frame(std::uint32_t stream, std::span<const std::uint8_t> frame,
                                 std::uint8_t channels) override;
  [[nodiscard]] bool audio_frame_begin(std::uint32_t stream, std::uint32_t length,
                                       std::uint8_t channels) override;
  [[nodiscard]] bool audio_piece(std::uint32_t stream,
                                 std::span<const std::uint8_t> piece) override;
  [[nodiscard]] bool packet_end(std::uint32_t /*number*/) override { return true; }
  [[nodiscard]] bool release() override;
  [[nodiscard]] std::uint64_t taken() const override;

 private:
  [[nodiscard]] bool written(DumpStatus status, const Output& output);

  Run& run_;
  StartCodeFilter filter_;
};

// Counts what --list tells beside the bytes: the video's NAL units as they
// stand in the file, and each MP3 stream's frames by their headers.
class CensusSink final : public PacketSink {
 public:
  // `header` is read as the packets come, once it has been read itself.
  CensusSink(Census& census, const FileHeader& header) : census_(census), header_(header) {}

  [[nodiscard]] bool video(std::span<const std::uint8_t> chunk) override;
  [[nodiscard]] bool video_piece(std::span<const std::uint8_t> piece) override;
  [[nodiscard]] bool video_end() override;
  [[nodiscard]] bool audio_frame(std::uint32_t stream, std::span<const std::uint8_t> frame,
                                 std::uint8_t channels) override;
  [[nodiscard]] bool audio_frame_begin(std::uint32_t /*stream*/, std::uint32_t /*length*/,
                                       std::uint8_t /*channels*/) override {
    return true;
  }
  [[nodiscard]] bool audio_piece(std::uint32_t stream,
                                 std::span<const std::uint8_t> piece) override;
  [[nodiscard]] bool packet_end(std::uint32_t /*number*/) override { return true; }
  [[nodiscard]] bool release() override { return true; }
  [[nodiscard]] std::uint64_t taken() const override { return 0; }

 private:
  Census& census_;
  const FileHeader& header_;
};

// Hands everything to two sinks, the first first.
class SinkPair final : public PacketSink {
 public:
  SinkPair(PacketSink& first, PacketSink& second) : first_(first), second_(second) {}

  [[nodiscard]] bool video(std::span<const std::uint8_t> chunk) override {
    return first_.video(chunk) && second_.video(chunk);
  }
  [[nodiscard]] bool video_piece(std::span<const std::uint8_t> piece) override {
    return first_.video_piece(piece) && second_.video_piece(piece);
  }
  [[nodiscard]] bool video_end() override { return first_.video_end() && second_.video_end(); }
  [[nodiscard]] bool audio_frame(std::uint32_t stream, std::span<const std::uint8_t> frame,
                                 std::uint8_t channels) override {
    return first_.audio_frame(stream, frame, channels) &&
           second_.audio_frame(stream, frame, channels);
  }
  [[nodiscard]] bool audio_frame_begin(std::uint32_t stream, std::uint32_t length,
                                       std::uint8_t channels) override {
    return first_.audio_frame_begin(stream, length, channels) &&
           second_.audio_frame_begin(stream, length, channels);
  }
  [[nodiscard]] bool audio_piece(std::uint32_t stream,
                                 std::span<const std::uint8_t> piece) override {
    return first_.audio_piece(stream, piece) && second_.audio_piece(stream, piece);
  }
  [[nodiscard]] bool packet_end(std::uint32_t number) override {
    return first_.packet_end(number) && second_.packet_end(number);
  }
  [[nodiscard]] bool release() override { return first_.release() && second_.release(); }
  [[nodiscard]] std::uint64_t taken() const override { return first_.taken() + second_.taken(); }

 private:
  PacketSink& first_;
  PacketSink& second_;
};

}  // namespace orvale
