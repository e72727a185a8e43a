// The second pass of a recording made into MP4 or Matroska: each packet the
// walk accepts goes to the muxer at the times the first pass planned.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/session.h"
#include "container/container.h"
#include "container/sink.h"
#include "mux/muxer.h"
#include "mux/plan.h"
#include "outputs/report.h"
#include "streams/mp3_frames.h"
#include "streams/startcode.h"

namespace orvale {

class MuxSink final : public PacketSink {
 public:
  // `muxer` is open, with a video track when the choice takes the video and
  // one audio track for each audio stream it takes, in order.
  MuxSink(const FileHeader& header, const StreamChoice& choice, const TimingPlan& plan,
          Muxer& muxer, Report& report, std::string output_name);

  [[nodiscard]] bool video(std::span<const std::uint8_t> chunk) override;
  [[nodiscard]] bool video_piece(std::span<const std::uint8_t> piece) override;
  [[nodiscard]] bool video_end() override;
  [[nodiscard]] bool audio_frame(std::uint32_t stream, std::span<const std::uint8_t> frame,
                                 std::uint8_t channels) override;
  [[nodiscard]] bool audio_frame_begin(std::uint32_t stream, std::uint32_t length,
                                       std::uint8_t channels) override;
  [[nodiscard]] bool audio_piece(std::uint32_t stream,
                                 std::span<const std::uint8_t> piece) override;
  [[nodiscard]] bool packet_end(std::uint32_t number) override;
  [[nodiscard]] bool release() override { return true; }
  [[nodiscard]] std::uint64_t taken() const override { return taken_; }

  // Ends the file; false when the muxer failed (told).
  [[nodiscard]] bool finish();

 private:
  // Gathers what the start-code filter keeps of a chunk.
  struct AppendKept {
    std::vector<std::uint8_t>& bytes;
    bool operator()(std::span<const std::uint8_t> run) const {
      bytes.insert(bytes.end(), run.begin(), run.end());
      return true;
    }
  };
  struct Frame {
    std::uint32_t stream;
    std::size_t begin;
    std::size_t size;
    std::uint32_t samples;
  };
  [[nodiscard]] bool muxer_failed();
  [[nodiscard]] bool write_picture(const PacketTimes& times);
  [[nodiscard]] bool write_frames(const PacketTimes& times);
  [[nodiscard]] PacketTimes times_of(std::uint32_t number);

  const FileHeader& header_;
  const TimingPlan& plan_;
  Muxer& muxer_;
  Report& report_;
  std::string output_name_;
  std::array<std::int32_t, kAudioSlots> track_{};
  StartCodeFilter filter_;
  // A chunk that came in pieces, as the filter keeps it.
  std::vector<std::uint8_t> annex_b_;
  AppendKept append_kept_{annex_b_};
  // The audio frames of the packet being read, whole, and where each lies.
  std::vector<std::uint8_t> audio_;
  std::vector<Frame> frames_;
  std::array<Mp3Cutter, kAudioSlots> mp3_;
  std::array<std::int64_t, kAudioSlots> samples_{};
  std::size_t next_packet_ = 0;
  std::int64_t last_pts_ = -1;
  bool beyond_plan_told_ = false;
  std::uint64_t taken_ = 0;
};

}  // namespace orvale
