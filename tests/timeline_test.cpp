#include "mux/timeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using orvale::ClockInterval;
using orvale::Rate;
using orvale::Timeline;
using Ticks = std::vector<std::int64_t>;

constexpr std::int64_t kTicks = orvale::kTicksPerSecond;
constexpr std::array<Rate, 13> kListed = {
    Rate{24000, 1001}, {24, 1}, {25, 1}, {30000, 1001}, {30, 1}, {50, 1}, {60000, 1001},
    {60, 1},           {20, 1}, {15, 1}, {25, 2},       {10, 1}, {5, 1}};

struct Stretch {
  Rate rate;
  std::int64_t pictures;
};

// The true times of a recording made of stretches at listed rates, each a
// whole number of ticks per picture.
Ticks true_ticks(const std::vector<Stretch>& stretches) {
  Ticks ticks{0};
  for (const Stretch& s : stretches) {
    for (std::int64_t k = 0; k < s.pictures; ++k) {
      ticks.push_back(ticks.back() + kTicks * s.rate.den / s.rate.num);
    }
  }
  return ticks;
}

// The recorder: packet i takes every audio frame whose first sample comes
// before picture i+1's time; stream 0's samples so far bound that picture.
std::vector<ClockInterval> record(const Ticks& ticks, std::int64_t sample_rate,
                                  std::int64_t frame) {
  std::vector<ClockInterval> intervals;
  std::int64_t frames = 0;
  for (std::size_t i = 1; i < ticks.size(); ++i) {
    while (frames * frame * kTicks < ticks[i] * sample_rate) {
      ++frames;
    }
    intervals.push_back({frames * frame - frame, frames * frame});
  }
  return intervals;
}

bool inside(std::int64_t ticks, ClockInterval interval, std::int64_t sample_rate) {
  return ticks * sample_rate > interval.low * kTicks &&
         ticks * sample_rate <= interval.high * kTicks;
}

// The first rate in the order that settles ties under which every picture of
// the recording lands in its interval.
Rate first_fitting_all(const std::vector<ClockInterval>& intervals, std::int64_t sample_rate,
                       std::optional<Rate> declared) {
  std::vector<Rate> order(kListed.begin(), kListed.end());
  if (declared) {
    order.insert(order.begin(), *declared);
  }
  for (const Rate rate : order) {
    bool all = true;
    for (std::size_t i = 1; all && i <= intervals.size(); ++i) {
      const auto ticks = static_cast<std::int64_t>(i) * kTicks * rate.den / rate.num;
      all = inside(ticks, intervals[i - 1], sample_rate);
    }
    if (all) {
      return rate;
    }
  }
  return Rate{};
}

// Checks what holds of every fit of a recorded clock, and returns its
// picture times.
Ticks check_fit(const Timeline& fit, const std::vector<ClockInterval>& intervals,
                std::int64_t sample_rate) {
  Ticks ticks = orvale::picture_ticks(fit, intervals.size() + 1);
  std::uint64_t next = 0;
  for (const orvale::Segment& s : fit.segments) {
    EXPECT_EQ(s.first, next);
    EXPECT_EQ(s.start, ticks[s.first]);
    EXPECT_GE(s.steps, 1U);
    next = s.first + s.steps;
  }
  EXPECT_EQ(next, intervals.size());
  for (std::size_t i = 1; i < ticks.size(); ++i) {
    EXPECT_GT(ticks[i], ticks[i - 1]) << "picture " << i;
    EXPECT_TRUE(inside(ticks[i], intervals[i - 1], sample_rate)) << "picture " << i;
  }
  return ticks;
}

TEST(Timeline, FitsRecordingsOfRandomStretches) {
  std::mt19937_64 random(20261208);
  const std::vector<std::int64_t> common_rates = {16000, 44100, 48000};
  const std::vector<std::int64_t> frames = {1024, 1152, 576};
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  for (int c = 0; c < 300; ++c) {
    const std::int64_t sample_rate =
        pick(2) == 0 ? common_rates[pick(3)]
                     : std::uniform_int_distribution<std::int64_t>(8000, 48000)(random);
    const std::int64_t frame = frames[pick(3)];
    std::vector<Stretch> stretches;
    if (pick(5) == 0) {
      stretches = {{{30, 1}, 1 + static_cast<std::int64_t>(pick(600))}, {{15, 1}, 300}};
    } else {
      for (std::size_t s = 0, n = 1 + pick(3); s < n; ++s) {
        stretches.push_back(
            {kListed[pick(kListed.size())], 1 + static_cast<std::int64_t>(pick(500))});
      }
    }
    std::optional<Rate> declared;
    if (pick(3) == 1) {
      declared = stretches[0].rate;
    } else if (pick(2) == 1) {
      declared = kListed[pick(kListed.size())];
    }
    SCOPED_TRACE(::testing::Message()
                 << "case " << c << ": " << sample_rate << " Hz, frames of " << frame << ", first "
                 << orvale::spell_rate(stretches[0].rate));
    const auto intervals = record(true_ticks(stretches), sample_rate, frame);
    const Timeline fit =
        orvale::fit_timeline(intervals, static_cast<std::uint32_t>(sample_rate), declared);
    check_fit(fit, intervals, sample_rate);
    // The first stretch fits its own rate from the start, so the first
    // segment reaches at least as far.
    ASSERT_FALSE(fit.segments.empty());
    EXPECT_GE(fit.segments[0].steps, static_cast<std::uint64_t>(stretches[0].pictures));
    if (stretches.size() == 1) {
      // So a recording at one rate is one segment: at that rate unless one
      // before it in the order fits as well, as 30000/1001 fits a short one
      // at 30.
      ASSERT_EQ(fit.segments.size(), 1U);
      EXPECT_EQ(fit.segments[0].rate, first_fitting_all(intervals, sample_rate, declared));
    }
  }
}

struct Recording {
  const char* name;
  std::vector<Stretch> stretches;
  std::int64_t sample_rate;
  std::optional<Rate> declared;
  Rate expected;
};

class FitsOneRate : public ::testing::TestWithParam<Recording> {};

TEST_P(FitsOneRate, AtTheTrueRate) {
  const Recording& r = GetParam();
  const auto intervals = record(true_ticks(r.stretches), r.sample_rate, 1024);
  const Timeline fit =
      orvale::fit_timeline(intervals, static_cast<std::uint32_t>(r.sample_rate), r.declared);
  check_fit(fit, intervals, r.sample_rate);
  ASSERT_EQ(fit.segments.size(), 1U);
  EXPECT_EQ(orvale::spell_rate(fit.segments[0].rate), orvale::spell_rate(r.expected));
}

// A hundred seconds tell 30 from 30000/1001 apart; a third of a second does
// not, and the order takes 30000/1001.
INSTANTIATE_TEST_SUITE_P(
    Recordings, FitsOneRate,
    ::testing::Values(
        Recording{"ntsc_44100", {{{30000, 1001}, 3000}}, 44100, std::nullopt, {30000, 1001}},
        Recording{"ntsc_48000", {{{30000, 1001}, 3000}}, 48000, std::nullopt, {30000, 1001}},
        Recording{"thirty_44100", {{{30, 1}, 3000}}, 44100, std::nullopt, {30, 1}},
        Recording{"thirty_48000", {{{30, 1}, 3000}}, 48000, std::nullopt, {30, 1}},
        Recording{"short_thirty", {{{30, 1}, 10}}, 48000, std::nullopt, {30000, 1001}},
        Recording{"short_thirty_said_so", {{{30, 1}, 10}}, 48000, Rate{30, 1}, {30, 1}},
        Recording{"pal_44100", {{{25, 1}, 3000}}, 44100, std::nullopt, {25, 1}},
        Recording{"pal_48000", {{{25, 1}, 3000}}, 48000, Rate{25, 1}, {25, 1}},
        Recording{"said_25_was_15", {{{15, 1}, 300}}, 48000, Rate{25, 1}, {15, 1}},
        Recording{"odd_sps_rate", {{{50, 1}, 300}}, 44100, Rate{7, 3}, {50, 1}}),
    [](const auto& info) { return std::string(info.param.name); });

struct Change {
  const char* name;
  std::vector<Stretch> stretches;
  std::int64_t sample_rate;
  std::int64_t frame;
  Rate declared;
  std::size_t at;  // the last picture before the last change
};

class RateChange : public ::testing::TestWithParam<Change> {};

// The picture before a change stays near its true time, and the fit settles
// on the new rate. Near the change pictures share intervals (sixty pictures
// a second against MP3 frames of 111 ms): where one is put leaves the others
// room, or not.
TEST_P(RateChange, KeepsThePictureAtTheChange) {
  const Change& c = GetParam();
  const Ticks truth = true_ticks(c.stretches);
  const auto intervals = record(truth, c.sample_rate, c.frame);
  const Timeline fit =
      orvale::fit_timeline(intervals, static_cast<std::uint32_t>(c.sample_rate), c.declared);
  const Ticks ticks = check_fit(fit, intervals, c.sample_rate);
  EXPECT_LE(std::abs(ticks[c.at] - truth[c.at]), kTicks * 60 / 1000);
  EXPECT_EQ(fit.segments.back().rate, c.stretches.back().rate);
}

INSTANTIATE_TEST_SUITE_P(Recordings, RateChange,
                         ::testing::Values(Change{"thirty_then_fifteen",
                                                  {{{30, 1}, 120}, {{15, 1}, 300}},
                                                  48000,
                                                  1024,
                                                  Rate{30, 1},
                                                  120},
                                           Change{"sixty_ten_fifty_mp3",
                                                  {{{60, 1}, 338}, {{10, 1}, 313}, {{50, 1}, 366}},
                                                  10354,
                                                  1152,
                                                  Rate{20, 1},
                                                  651}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Timeline, ClockThatJumpsAheadOrLags) {
  // Two seconds of pictures lost with the sound kept: the picture after the
  // gap goes in the middle of its interval, and the fit carries on at 30.
  auto intervals = record(true_ticks({{{30, 1}, 3000}}), 48000, 1024);
  for (std::size_t i = 1500; i < intervals.size(); ++i) {
    intervals[i] = {intervals[i].low + 96000, intervals[i].high + 96000};
  }
  Timeline fit = orvale::fit_timeline(intervals, 48000, std::nullopt);
  const Ticks after_gap = check_fit(fit, intervals, 48000);
  const ClockInterval gap = intervals[1500];
  EXPECT_LE(std::abs(after_gap[1501] - (gap.low + gap.high) * kTicks / 48000 / 2), 1);
  EXPECT_EQ(fit.segments.back().rate, (Rate{30, 1}));
  // Sound that starts late: the pictures it has passed by come a tick apart,
  // and the next is on the clock again.
  const std::vector<ClockInterval> behind = {{-1024, 0}, {-1024, 0}, {-1024, 0}, {0, 1024}};
  fit = orvale::fit_timeline(behind, 48000, Rate{25, 1});
  EXPECT_EQ(orvale::picture_ticks(fit, 5), (Ticks{0, 1, 2, 3, 2403}));
  // A clock that hardly moves, ten seconds for a thousand pictures, which no
  // listed rate fits: the clock's own figure, to the middle of the last
  // interval, does.
  const std::vector<ClockInterval> still(999, ClockInterval{0, 480000});
  fit = orvale::fit_timeline(still, 48000, std::nullopt);
  check_fit(fit, still, 48000);
  ASSERT_EQ(fit.segments.size(), 1U);
  EXPECT_EQ(fit.segments[0].rate, (Rate{999, 5}));
  // Readings no recording could make still give times that increase.
  constexpr std::int64_t kHuge = std::numeric_limits<std::int64_t>::max();
  const std::vector<ClockInterval> absurd = {{kHuge - 1, kHuge}, {-kHuge, kHuge}, {0, 1024}};
  const Ticks ticks = orvale::picture_ticks(orvale::fit_timeline(absurd, 48000, std::nullopt), 4);
  EXPECT_TRUE(std::is_sorted(ticks.begin(), ticks.end(), std::less_equal<>())) << ticks[3];
}

TEST(Timeline, WithoutAClock) {
  EXPECT_EQ(orvale::picture_ticks(orvale::constant_timeline(4, {30000, 1001}), 4),
            (Ticks{0, 4004, 8008, 12012}));
  // Past its one segment, at a rate without whole ticks: no drift.
  EXPECT_EQ(orvale::picture_ticks(orvale::constant_timeline(2, {7, 1}), 8),
            (Ticks{0, 17142, 34285, 51428, 68571, 85714, 102857, 120000}));
  const Timeline four = orvale::constant_timeline(4, {50, 2});
  ASSERT_EQ(four.segments.size(), 1U);
  EXPECT_EQ(four.segments[0].steps, 3U);
  EXPECT_EQ(four.segments[0].rate, (Rate{25, 1}));
  EXPECT_EQ(orvale::picture_ticks(orvale::constant_timeline(3, {0, 1}), 3), (Ticks{0, 4800, 9600}));
  const std::vector<ClockInterval> some(3, ClockInterval{0, 1024});
  EXPECT_EQ(orvale::picture_ticks(orvale::fit_timeline(some, 0, Rate{50, 1}), 4),
            (Ticks{0, 2400, 4800, 7200}));
  EXPECT_EQ(orvale::picture_ticks(orvale::fit_timeline({}, 48000, std::nullopt), 1), (Ticks{0}));
}

TEST(Rate, ParsesAndSpells) {
  const std::vector<std::pair<const char*, Rate>> good = {
      {"25", {25, 1}},          {"30000/1001", {30000, 1001}}, {"12.5", {25, 2}},
      {"29.97", {30000, 1001}}, {"23.976", {24000, 1001}},     {"59.94", {60000, 1001}},
      {"30.0", {30, 1}},        {"2997/100", {2997, 100}},     {"50/2", {25, 1}},
      {"0.5", {1, 2}},          {"120000", {120000, 1}},       {"1/3600", {1, 3600}}};
  for (const auto& [text, expected] : good) {
    Rate rate;
    EXPECT_TRUE(orvale::parse_rate(text, rate)) << text;
    EXPECT_EQ(rate, expected) << text;
    Rate again;
    EXPECT_TRUE(orvale::parse_rate(orvale::spell_rate(rate), again)) << text;
    EXPECT_EQ(again, expected) << text;
  }
  for (const char* bad : {"",       "0",      "0/1",          "25/0",   "-25",
                          "+25",    "abc",    "25fps",        "25/",    "/25",
                          "12.",    ".5",     " 25",          "1e3",    "99999999999999999999",
                          "120001", "1/3601", "4294967296/1", "25/1/1", "0.0000000001"}) {
    Rate rate{7, 1};
    EXPECT_FALSE(orvale::parse_rate(bad, rate)) << bad;
    EXPECT_EQ(rate, (Rate{7, 1})) << bad;
  }
  EXPECT_EQ(orvale::spell_rate({50, 2}), "25");
  EXPECT_EQ(orvale::spell_rate({60000, 2002}), "30000/1001");
  EXPECT_EQ(orvale::spell_rate({1, 5}), "0.2");
  EXPECT_EQ(orvale::spell_rate({2997, 100}), "2997/100");
}

}  // namespace
