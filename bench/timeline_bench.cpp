// How long the timeline fit takes on an hour of recording: at 60 pictures a
// second throughout, and at 30 dropping to 15 and back every ten seconds,
// which makes a segment every few hundred pictures; and the worst, a clock
// stuck at 0, which makes a segment of every picture. Prints the best of five
// runs of each, in milliseconds.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "mux/timeline.h"

namespace {

constexpr std::int64_t kSampleRate = 48000;
constexpr std::int64_t kFrame = 1024;

// The clock a recorder writes for pictures at these times (in ticks): each
// packet carries the audio frames that begin before the next picture.
std::vector<orvale::ClockInterval> record(const std::vector<std::int64_t>& ticks) {
  std::vector<orvale::ClockInterval> intervals;
  intervals.reserve(ticks.size());
  std::int64_t frames = 0;
  for (std::size_t i = 1; i < ticks.size(); ++i) {
    while (frames * kFrame * orvale::kTicksPerSecond < ticks[i] * kSampleRate) {
      ++frames;
    }
    intervals.push_back({frames * kFrame - kFrame, frames * kFrame});
  }
  return intervals;
}

std::vector<std::int64_t> hour_at(const std::vector<std::int64_t>& steps, std::int64_t every) {
  std::vector<std::int64_t> ticks{0};
  for (std::int64_t i = 0; ticks.back() < 3600 * orvale::kTicksPerSecond; ++i) {
    ticks.push_back(ticks.back() + steps[static_cast<std::size_t>(i / every) % steps.size()]);
  }
  return ticks;
}

void time_fit(const char* name, const std::vector<orvale::ClockInterval>& intervals) {
  double best = 1e9;
  std::size_t segments = 0;
  for (int run = 0; run < 5; ++run) {
    const auto begin = std::chrono::steady_clock::now();
    const orvale::Timeline fit = orvale::fit_timeline(intervals, kSampleRate, std::nullopt);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - begin;
    best = std::min(best, took.count());
    segments = fit.segments.size();
  }
  std::printf("%-28s %7zu pictures %6zu segments %8.2f ms\n", name, intervals.size() + 1, segments,
              best);
}

}  // namespace

int main() {
  time_fit("60 fps", record(hour_at({2000}, 1)));
  time_fit("30 and 15 fps, 10 s each", record(hour_at({4000, 8000}, 300)));
  // A clock that says nothing of use: every picture a segment of its own.
  time_fit("clock stuck at 0", std::vector<orvale::ClockInterval>(216000, {-kFrame, 0}));
  return 0;
}
