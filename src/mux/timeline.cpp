#include "mux/timeline.h"

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>

namespace orvale {
namespace {

// Clock readings are clamped to this many samples (over eight months at
// 48 kHz), so that samples times ticks per second stays inside 64 bits.
constexpr std::int64_t kMaxSamples = std::int64_t{1} << 40;
constexpr std::uint32_t kMaxSampleRate = 1U << 20;
// A picture is never put more than an hour after the one before: the longest
// step a usable rate takes.
constexpr std::int64_t kMaxGap = 3600 * kTicksPerSecond;
// How far a run backs off looking for an end that leaves room (see run_at).
constexpr std::uint64_t kMaxBackOff = 64;

// The rates tried from each segment's start, after the stream's own: the
// common ones, then those recorders drop to when they fall behind.
constexpr std::array<Rate, 13> kListedRates = {
    Rate{24000, 1001}, Rate{24, 1},       Rate{25, 1}, Rate{30000, 1001}, Rate{30, 1},
    Rate{50, 1},       Rate{60000, 1001}, Rate{60, 1}, Rate{20, 1},       Rate{15, 1},
    Rate{25, 2},       Rate{10, 1},       Rate{5, 1}};

// The offsets floor(k * ticks per second * den / num) of pictures k = 1, 2,
// ... from their segment's start: walked one addition each, or taken at once.
class Stepper {
 public:
  explicit Stepper(Rate rate) : rate_(usable_rate(rate) ? rate : kFallbackRate) {
    const std::uint64_t ticks = static_cast<std::uint64_t>(kTicksPerSecond) * rate_.den;
    whole_ = static_cast<std::int64_t>(ticks / rate_.num);
    part_ = ticks % rate_.num;
    num_ = rate_.num;
  }

  [[nodiscard]] Rate rate() const { return rate_; }

  std::int64_t next() {
    offset_ += whole_;
    remainder_ += part_;
    if (remainder_ >= num_) {
      remainder_ -= num_;
      ++offset_;
    }
    return offset_;
  }

  // k * part / num without overflow: part and k % num are below num, which
  // fits 32 bits.
  [[nodiscard]] std::int64_t at(std::uint64_t k) const {
    const std::uint64_t carried = k / num_ * part_ + k % num_ * part_ / num_;
    return static_cast<std::int64_t>(k) * whole_ + static_cast<std::int64_t>(carried);
  }

  // The step between pictures, rounded down.
  [[nodiscard]] std::int64_t step() const { return whole_; }

 private:
  Rate rate_;
  std::int64_t whole_ = 0;
  std::uint64_t part_ = 0;
  std::uint64_t num_ = 1;
  std::int64_t offset_ = 0;
  std::uint64_t remainder_ = 0;
};

// The audio clock's word on each picture, compared exactly: a time t ticks is
// inside (low, high] samples when low * 120000 < t * rate <= high * 120000.
class Clock {
 public:
  Clock(std::span<const ClockInterval> intervals, std::uint32_t sample_rate)
      : intervals_(intervals),
        sample_rate_(sample_rate),
        max_ticks_(std::numeric_limits<std::int64_t>::max() / sample_rate),
        sharing_(intervals.size() + 2, 0) {
    for (std::uint64_t picture = last(); picture >= 1; --picture) {
      const bool same_as_next = picture < last() &&
                                intervals[picture - 1].low == intervals[picture].low &&
                                intervals[picture - 1].high == intervals[picture].high;
      sharing_[picture] = same_as_next ? sharing_[picture + 1] + 1 : 1;
    }
  }

  // Pictures 0 .. last() have a time; all but picture 0 an interval.
  [[nodiscard]] std::uint64_t last() const { return intervals_.size(); }

  [[nodiscard]] bool holds(std::uint64_t picture, std::int64_t ticks) const {
    if (ticks > max_ticks_) {
      return false;  // later than any clamped reading
    }
    const ClockInterval interval = clamped(picture);
    const std::int64_t scaled = ticks * sample_rate_;
    return scaled > interval.low * kTicksPerSecond && scaled <= interval.high * kTicksPerSecond;
  }

  // The first and last tick inside the picture's interval that come after 0
  // (first > last when none does).
  [[nodiscard]] ClockInterval ticks_within(std::uint64_t picture) const {
    const ClockInterval interval = clamped(picture);
    const std::int64_t low = std::max<std::int64_t>(interval.low, 0);
    const std::int64_t high = std::max<std::int64_t>(interval.high, 0);
    return {low * kTicksPerSecond / sample_rate_ + 1, high * kTicksPerSecond / sample_rate_};
  }

  // Whether the pictures after `picture` (at `ticks`) that share one
  // interval, the next picture's, all fit in it at least `spacing` apart. A
  // packet without sound gives its picture the interval of the one before;
  // a picture late in that interval can leave the others no room.
  [[nodiscard]] bool leaves_room(std::uint64_t picture, std::int64_t ticks,
                                 std::int64_t spacing) const {
    if (picture >= last()) {
      return true;
    }
    const ClockInterval within = ticks_within(picture + 1);
    const auto others = static_cast<std::int64_t>(sharing_[picture + 1] - 1);
    return std::max(ticks + spacing, within.low) + others * spacing <= within.high;
  }

  // The latest the next picture can come for the others sharing its interval
  // to follow it `spacing` apart; the interval's end when they cannot.
  [[nodiscard]] std::int64_t latest_for_room(std::uint64_t picture, std::int64_t spacing) const {
    const ClockInterval within = ticks_within(picture);
    const auto others = static_cast<std::int64_t>(sharing_[picture] - 1);
    return std::max(within.high - others * spacing, within.low);
  }

  // The middle of the picture's interval, in ticks.
  [[nodiscard]] std::int64_t middle(std::uint64_t picture) const {
    const ClockInterval interval = clamped(picture);
    return (interval.low + interval.high) * kTicksPerSecond / (2 * sample_rate_);
  }

 private:
  [[nodiscard]] ClockInterval clamped(std::uint64_t picture) const {
    const ClockInterval& interval = intervals_[picture - 1];
    return {std::clamp(interval.low, -kMaxSamples, kMaxSamples),
            std::clamp(interval.high, -kMaxSamples, kMaxSamples)};
  }

  std::span<const ClockInterval> intervals_;
  std::int64_t sample_rate_;
  std::int64_t max_ticks_;
  // For each picture, how many from it on share its interval.
  std::vector<std::uint64_t> sharing_;
};

// The rate that `pictures` pictures over `ticks` make, brought within 32 bits
// each side by halving both when it has to be: the error that leaves is a
// part in two billion.
std::optional<Rate> measured_rate(std::uint64_t pictures, std::int64_t ticks) {
  if (pictures == 0 || ticks <= 0) {
    return std::nullopt;
  }
  std::uint64_t num = pictures * static_cast<std::uint64_t>(kTicksPerSecond);
  std::uint64_t den = static_cast<std::uint64_t>(ticks);
  const std::uint64_t common = std::gcd(num, den);
  num /= common;
  den /= common;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  while (num > kMax || den > kMax) {
    num = std::max<std::uint64_t>(num >> 1, 1);
    den = std::max<std::uint64_t>(den >> 1, 1);
  }
  const Rate rate = reduced(Rate{static_cast<std::uint32_t>(num), static_cast<std::uint32_t>(den)});
  return usable_rate(rate) ? std::optional<Rate>(rate) : std::nullopt;
}

struct Run {
  std::uint64_t steps = 0;
  std::int64_t end = 0;  // the time of the run's last picture
};

// How many pictures after `first` (at `start`) land inside their intervals at
// the stepper's rate, counting until the first that does not, then backing
// off to a picture that leaves the ones after it room (see
// Clock::leaves_room): the next segment could not go on from one that does
// not. Only the pictures of the run that share an interval with one past it
// can be such, so the search is short, unless more than kMaxBackOff share
// one: the clock says too little there to be worth a longer search, and the
// run is taken whole.
Run run_at(const Clock& clock, std::uint64_t first, std::int64_t start, Stepper stepper,
           std::int64_t spacing) {
  Run run{0, start};
  for (std::uint64_t picture = first + 1; picture <= clock.last(); ++picture) {
    const std::int64_t ticks = start + stepper.next();
    if (!clock.holds(picture, ticks)) {
      break;
    }
    run = Run{run.steps + 1, ticks};
  }
  Run backed = run;
  for (std::uint64_t tries = 0; tries < kMaxBackOff && backed.steps > 0; ++tries) {
    if (clock.leaves_room(first + backed.steps, backed.end, spacing)) {
      return backed;
    }
    --backed.steps;
    backed.end = start + stepper.at(backed.steps);
  }
  return backed.steps == 0 ? backed : run;
}

// The candidates from one segment's start, in the order that settles ties:
// the stream's own rate, the listed ones, then the clock's own figure: the
// rate it measures from this start to the middle of the last picture's
// interval. Over a long stretch at one rate outside the list that figure is
// the rate itself, off by far less than the clock's grain.
void candidates(const Clock& clock, std::uint64_t first, std::int64_t start,
                const std::vector<Stepper>& fixed, std::vector<Stepper>& steppers) {
  steppers = fixed;
  if (const auto figure = measured_rate(clock.last() - first, clock.middle(clock.last()) - start)) {
    steppers.emplace_back(*figure);
  }
}

// When no rate puts the next picture inside its interval, it gets a segment
// of its own. If some of its interval lies after the picture before, the
// clock jumped ahead (the recorder lost pictures but kept the sound): the
// picture goes in the middle of that part, as near its true time as the clock
// can say, short of where it would crowd out pictures that share the
// interval. An hour is the most it moves. Otherwise the clock is behind the
// times already given (sound that started late): the picture comes one tick
// after the one before, so that the pictures meet the clock again as soon as
// they can and sound and picture agree from then on.
Segment bridge(const Clock& clock, std::uint64_t first, std::int64_t start, std::int64_t spacing) {
  const std::uint64_t picture = first + 1;
  const ClockInterval within = clock.ticks_within(picture);
  const std::int64_t from = std::max(within.low, start + 1);
  const std::int64_t latest = clock.latest_for_room(picture, spacing);
  const std::int64_t ticks =
      from > within.high
          ? start + 1
          : std::min(from + std::max<std::int64_t>(latest - from, 0) / 2, start + kMaxGap);
  return Segment{first, 1, start,
                 reduced(Rate{static_cast<std::uint32_t>(kTicksPerSecond),
                              static_cast<std::uint32_t>(ticks - start)})};
}

}  // namespace

// Greedy: from each segment's start, the rate whose run reaches furthest,
// ties to the earlier candidate; the next segment starts at the run's last
// picture. Each candidate's scan stops one picture past its run and the
// chosen run is the longest, so the work is the pictures times the
// candidates.
Timeline fit_timeline(std::span<const ClockInterval> intervals, std::uint32_t sample_rate,
                      std::optional<Rate> stream_rate) {
  std::optional<Rate> declared;
  if (stream_rate && usable_rate(*stream_rate)) {
    declared = reduced(*stream_rate);
  }
  if (sample_rate == 0 || sample_rate > kMaxSampleRate || intervals.empty()) {
    return constant_timeline(intervals.size() + 1, declared.value_or(kFallbackRate));
  }
  // The stream's own rate and the listed ones, worked out once.
  std::vector<Stepper> fixed;
  if (declared) {
    fixed.emplace_back(*declared);
  }
  for (const Rate rate : kListedRates) {
    fixed.emplace_back(rate);
  }
  // Pictures that share an interval are taken to come at least this far
  // apart: the step of the quickest rate expected of the recording.
  const std::int64_t spacing =
      std::ranges::min_element(fixed, {}, [](const Stepper& s) { return s.step(); })->step();
  const Clock clock(intervals, sample_rate);
  Timeline timeline;
  std::uint64_t first = 0;
  std::int64_t start = 0;
  std::vector<Stepper> steppers;
  while (first < clock.last()) {
    Segment best{first, 0, start, Rate{}};
    Run longest{0, start};
    candidates(clock, first, start, fixed, steppers);
    for (const Stepper& stepper : steppers) {
      const Run run = run_at(clock, first, start, stepper, spacing);
      if (run.steps > longest.steps) {
        longest = run;
        best.rate = stepper.rate();
      }
    }
    best.steps = longest.steps;
    if (best.steps == 0) {
      best = bridge(clock, first, start, spacing);
      longest.end = start + Stepper(best.rate).next();
    }
    timeline.segments.push_back(best);
    first += best.steps;
    start = longest.end;
  }
  return timeline;
}

Timeline constant_timeline(std::uint64_t pictures, Rate rate) {
  const Rate r = usable_rate(rate) ? reduced(rate) : kFallbackRate;
  return Timeline{{Segment{0, pictures > 0 ? pictures - 1 : 0, 0, r}}};
}

std::vector<std::int64_t> picture_ticks(const Timeline& timeline, std::uint64_t pictures) {
  std::vector<std::int64_t> ticks(pictures, 0);
  const Segment only{0, 0, 0, kFallbackRate};
  const std::span<const Segment> segments =
      timeline.segments.empty() ? std::span<const Segment>(&only, 1) : timeline.segments;
  for (std::size_t s = 0; s < segments.size(); ++s) {
    const Segment& segment = segments[s];
    const bool last = s + 1 == segments.size();
    Stepper stepper(segment.rate);
    for (std::uint64_t k = 1, picture = segment.first + 1;
         picture < pictures && (last || k <= segment.steps); ++k, ++picture) {
      ticks[picture] = segment.start + stepper.next();
    }
  }
  return ticks;
}

}  // namespace orvale
