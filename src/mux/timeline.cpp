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

// The rates tried from each segment's start, after the stream's own: the
// common ones, then those recorders drop to when they fall behind.
constexpr std::array<Rate, 13> kListedRates = {
    Rate{24000, 1001}, Rate{24, 1}, Rate{25, 1}, Rate{30000, 1001}, Rate{30, 1},
    Rate{50, 1},       Rate{60000, 1001},        Rate{60, 1},       Rate{20, 1},
    Rate{15, 1},       Rate{25, 2},              Rate{10, 1},       Rate{5, 1}};

// The offsets floor(k * ticks per second * den / num) of pictures k = 1, 2,
// ... from their segment's start, one addition each.
class Stepper {
 public:
  explicit Stepper(Rate rate) {
    const Rate r = usable_rate(rate) ? rate : kFallbackRate;
    const std::uint64_t ticks = static_cast<std::uint64_t>(kTicksPerSecond) * r.den;
    whole_ = static_cast<std::int64_t>(ticks / r.num);
    part_ = ticks % r.num;
    num_ = r.num;
  }

  std::int64_t next() {
    offset_ += whole_;
    remainder_ += part_;
    if (remainder_ >= num_) {
      remainder_ -= num_;
      ++offset_;
    }
    return offset_;
  }

 private:
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
        max_ticks_(std::numeric_limits<std::int64_t>::max() / sample_rate) {}

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
  const Rate rate =
      reduced(Rate{static_cast<std::uint32_t>(num), static_cast<std::uint32_t>(den)});
  return usable_rate(rate) ? std::optional<Rate>(rate) : std::nullopt;
}

struct Run {
  std::uint64_t steps = 0;
  std::int64_t end = 0;  // the time of the run's last picture
};

// How many pictures after `first` (at `start`) land inside their intervals at
// `rate`, counting until the first that does not. A run does not end on a
// picture that leaves the next no room in its own interval (one at the top of
// an interval the next shares): the next segment could not go on from there.
// Of a run's pictures only the last can be such a one, for each of the others
// has the next inside the run after it.
Run run_at(const Clock& clock, std::uint64_t first, std::int64_t start, Rate rate) {
  Stepper stepper(rate);
  Run run{0, start};
  std::int64_t before_end = start;
  for (std::uint64_t picture = first + 1; picture <= clock.last(); ++picture) {
    const std::int64_t ticks = start + stepper.next();
    if (!clock.holds(picture, ticks)) {
      break;
    }
    before_end = run.end;
    run = Run{run.steps + 1, ticks};
  }
  const std::uint64_t next = first + run.steps + 1;
  if (run.steps > 0 && next <= clock.last() && clock.ticks_within(next).high <= run.end) {
    run = Run{run.steps - 1, before_end};
  }
  return run;
}

// The candidates from one segment's start, in the order that settles ties:
// the stream's own rate, the listed ones, then the clock's own figure: the
// rate it measures from this start to the middle of the last picture's
// interval. Over a long stretch at one rate outside the list that figure is
// the rate itself, off by far less than the clock's grain.
std::vector<Rate> candidates(const Clock& clock, std::uint64_t first, std::int64_t start,
                             std::optional<Rate> declared) {
  std::vector<Rate> rates;
  rates.reserve(kListedRates.size() + 2);
  if (declared) {
    rates.push_back(*declared);
  }
  rates.insert(rates.end(), kListedRates.begin(), kListedRates.end());
  if (const auto figure = measured_rate(clock.last() - first, clock.middle(clock.last()) - start)) {
    rates.push_back(*figure);
  }
  return rates;
}

// When no rate puts the next picture inside its interval, it gets a segment
// of its own. If some of its interval lies after the picture before, the
// clock jumped ahead (the recorder lost pictures but kept the sound): the
// picture goes in the middle of that part, as near its true time as the clock
// can say, with room left for pictures that share the interval. An hour is the
// most it moves. Otherwise the clock is behind the times already given (sound
// that started late, or a guess at the very top of an interval the next
// picture shares): the picture comes one tick after the one before, so that
// the pictures meet the clock again as soon as they can and sound and picture
// agree from then on.
Segment bridge(const Clock& clock, std::uint64_t first, std::int64_t start) {
  const ClockInterval within = clock.ticks_within(first + 1);
  const std::int64_t from = std::max(within.low, start + 1);
  const std::int64_t ticks =
      from > within.high ? start + 1 : std::min(from + (within.high - from) / 2, start + kMaxGap);
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
  const Clock clock(intervals, sample_rate);
  Timeline timeline;
  std::uint64_t first = 0;
  std::int64_t start = 0;
  while (first < clock.last()) {
    Segment best{first, 0, start, Rate{}};
    Run longest;
    for (const Rate rate : candidates(clock, first, start, declared)) {
      const Run run = run_at(clock, first, start, rate);
      if (run.steps > longest.steps) {
        longest = run;
        best.rate = rate;
      }
    }
    best.steps = longest.steps;
    if (best.steps == 0) {
      best = bridge(clock, first, start);
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
