// Every picture's and audio frame's time in a recording made into MP4 or
// Matroska, from what the first pass gathered: the timeline fitted to the
// audio clock, the pictures put in their order of display, and the time of
// packets the index says were lost left out, so that sync holds after them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "mux/clock.h"
#include "mux/timeline.h"

namespace orvale {

struct PacketTimes {
  bool picture = false;
  // The picture's presentation and decode times and how long it shows, in
  // ticks; for packets that hold one.
  std::int64_t pts = 0;
  std::int64_t dts = 0;
  std::int64_t duration = 0;
  // Samples of time before this packet's audio that no audio fills: the
  // packets lost before it.
  std::int64_t audio_gap = 0;
};

enum class TimingSource {
  audio_clock,    // fitted to the audio clock
  forced,         // --fps
  stream_rate,    // no audio: the stream's own rate
  fallback_rate,  // no audio, no rate in the stream: 25 fps
};

struct TimingPlan {
  std::vector<PacketTimes> packets;  // one for each packet the first pass saw
  Timeline timeline;
  TimingSource source = TimingSource::audio_clock;
  // Pictures in the timeline: those written and those lost.
  std::uint64_t slots = 0;
  // Packets lost between two that were written, whose time is left out.
  std::uint64_t lost = 0;
};

// `sample_rate` and `frame_samples` describe audio stream 0 (0 when there is
// none); `forced` is --fps.
[[nodiscard]] TimingPlan plan_times(const RecordingClock& clock, std::uint32_t sample_rate,
                                    std::uint32_t frame_samples, std::optional<Rate> forced);

// The same for a recording whose header says `header`: its clock is audio
// stream 0, AAC frames of 1024 samples at the header's rate, or MP3 frames
// as their own headers say.
[[nodiscard]] TimingPlan plan_recording(const RecordingClock& clock, const FileHeader& header,
                                        std::optional<Rate> forced);

// The video's length: from its first picture to the end of its last.
[[nodiscard]] double video_seconds(const TimingPlan& plan);

}  // namespace orvale
