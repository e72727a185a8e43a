// The MP4 and Matroska output: the timeline fitted to the audio clock, and the
// muxer. This folder holds both passes (muxed.h), the clock, the timeline and
// plan, the codec configurations and libavformat behind Orvale's outputs.
//
// A raw H.264 stream carries no times, but a recording carries a clock: each
// packet holds one picture and the audio frames captured up to it. The audio
// says of every picture after the first only that its time lies in an
// interval one frame wide; the timeline is the run of constant frame rates
// that puts each picture inside its interval.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "mux/rate.h"

namespace orvale {

// What the audio clock says of one picture after the first: its time lies in
// (low, high] samples at the clock's sample rate.
struct ClockInterval {
  std::int64_t low;
  std::int64_t high;
};

struct Segment {
  std::uint64_t first;  // picture index where the segment starts (its time is `start`)
  std::uint64_t steps;  // pictures first+1 .. first+steps are at start + k/rate
  std::int64_t start;   // ticks
  Rate rate;
};

// Segments in picture order, each starting at the last picture of the one
// before: picture first+k of a segment is at start + floor(k * 120000 / rate)
// ticks, so a rate without a whole number of ticks per picture never drifts.
struct Timeline {
  std::vector<Segment> segments;
};

// The fit: from picture 0, the candidate rate (the stream's own, the common
// and recorder rates, then the rate the clock itself measures) that keeps the
// most pictures in a row inside their intervals, ties to the earlier; then
// the same again from that run's last picture. A picture no rate can reach
// gets a segment of its own (see timeline.cpp). Times strictly increase.
//
// `intervals[j]` is the interval of picture j+1 (picture 0 is at 0);
// `sample_rate` the clock's rate in Hz; `stream_rate` the rate the H.264
// stream declares in its timing information, when it has one. A sample rate
// of 0 or above 1 MHz is no clock: the pictures then run at the stream's rate,
// or at kFallbackRate.
[[nodiscard]] Timeline fit_timeline(std::span<const ClockInterval> intervals,
                                    std::uint32_t sample_rate, std::optional<Rate> stream_rate);

// A recording without a clock (no audio, or --fps): every picture at one rate
// (kFallbackRate when `rate` is not usable).
[[nodiscard]] Timeline constant_timeline(std::uint64_t pictures, Rate rate);

// The time in ticks of pictures 0 .. pictures-1. Pictures past the timeline's
// last segment carry on at its rate.
[[nodiscard]] std::vector<std::int64_t> picture_ticks(const Timeline& timeline,
                                                      std::uint64_t pictures);

}  // namespace orvale
