// Frame rates as exact fractions, and their spelling on the command line and
// in listings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvale {

// A frame rate as an exact fraction: num/den pictures per second.
struct Rate {
  std::uint32_t num = 0;
  std::uint32_t den = 1;
  friend bool operator==(const Rate&, const Rate&) = default;
};

// Video times are counted in ticks of 1/120000 s: every common and recorder
// rate (24000/1001, 24, 25, 30000/1001, 30, 50, 60000/1001, 60, 20, 15, 12.5,
// 10, 5) has a whole number of ticks per picture, so times stay exact.
inline constexpr std::int64_t kTicksPerSecond = 120000;

// What a raw H.264 stream without timing is taken to run at when nothing
// else tells: the rate FFmpeg assumes for one, so files agree with it.
inline constexpr Rate kFallbackRate{25, 1};

// A rate pictures can be timed at: at least one tick per picture and at most
// an hour. Everything the timeline hands out is one of these, reduced.
[[nodiscard]] bool usable_rate(Rate rate);

// The same rate with num and den sharing no factor.
[[nodiscard]] Rate reduced(Rate rate);

// --fps: "25", "30000/1001" or a decimal, "12.5". A decimal means exactly what
// it says, except that one with two or more decimals which is 24000/1001,
// 30000/1001 or 60000/1001 rounded to that many (23.976, 23.98, 29.97, 59.94)
// means that rate: that is what people who write 29.97 have in hand. False,
// and `rate` untouched, for anything else or a rate that is not usable.
[[nodiscard]] bool parse_rate(std::string_view text, Rate& rate);

// For listings: "25", "12.5" (a rate with one decimal), else "30000/1001";
// always reduced. parse_rate reads each back as the same rate.
[[nodiscard]] std::string spell_rate(Rate rate);

}  // namespace orvale
