#include "mux/rate.h"

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>

namespace orvale {
namespace {

constexpr std::uint64_t kSecondsPerHour = 3600;
constexpr std::uint64_t kMaxDecimals = 9;
// Longer digit strings than this could overflow 64 bits; no sound rate needs them.
constexpr std::size_t kMaxDigits = 18;
constexpr std::array<std::uint64_t, 3> kNtscWholeRates = {24, 30, 60};
constexpr std::uint64_t kNtscDen = 1001;

bool is_digits(std::string_view text) {
  return !text.empty() && text.size() <= kMaxDigits &&
         std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

std::uint64_t digits_value(std::string_view text) {
  std::uint64_t value = 0;
  for (const char c : text) {
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

std::uint64_t power_of_ten(std::size_t exponent) {
  std::uint64_t value = 1;
  for (std::size_t i = 0; i < exponent; ++i) {
    value *= 10;
  }
  return value;
}

// num/den reduced, when both then fit a Rate.
bool to_rate(std::uint64_t num, std::uint64_t den, Rate& rate) {
  if (num == 0 || den == 0) {
    return false;
  }
  const std::uint64_t common = std::gcd(num, den);
  num /= common;
  den /= common;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  if (num > kMax || den > kMax) {
    return false;
  }
  rate = Rate{static_cast<std::uint32_t>(num), static_cast<std::uint32_t>(den)};
  return true;
}

// A decimal of two or more places that is an NTSC rate rounded to them.
bool ntsc_spelling(std::uint64_t scaled, std::size_t decimals, Rate& rate) {
  if (decimals < 2) {
    return false;
  }
  const std::uint64_t scale = power_of_ten(decimals);
  for (const std::uint64_t whole : kNtscWholeRates) {
    const std::uint64_t rounded = (2 * whole * 1000 * scale + kNtscDen) / (2 * kNtscDen);
    if (scaled == rounded) {
      return to_rate(whole * 1000, kNtscDen, rate);
    }
  }
  return false;
}

bool parse_decimal(std::string_view text, Rate& rate) {
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view decimals =
      point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
  if (!is_digits(whole) || (point != std::string_view::npos && !is_digits(decimals)) ||
      decimals.size() > kMaxDecimals || whole.size() + decimals.size() > kMaxDigits) {
    return false;
  }
  const std::uint64_t scale = power_of_ten(decimals.size());
  const std::uint64_t scaled = digits_value(whole) * scale + digits_value(decimals);
  return ntsc_spelling(scaled, decimals.size(), rate) || to_rate(scaled, scale, rate);
}

bool parse_fraction(std::string_view text, std::size_t slash, Rate& rate) {
  const std::string_view num = text.substr(0, slash);
  const std::string_view den = text.substr(slash + 1);
  return is_digits(num) && is_digits(den) && to_rate(digits_value(num), digits_value(den), rate);
}

}  // namespace

bool usable_rate(Rate rate) {
  const std::uint64_t num = rate.num;
  const std::uint64_t den = rate.den;
  return num > 0 && den > 0 && num <= kTicksPerSecond * den && den <= kSecondsPerHour * num;
}

Rate reduced(Rate rate) {
  const std::uint32_t common = std::gcd(rate.num, rate.den);
  return common == 0 ? rate : Rate{rate.num / common, rate.den / common};
}

bool parse_rate(std::string_view text, Rate& rate) {
  const std::size_t slash = text.find('/');
  Rate parsed;
  const bool read = slash == std::string_view::npos ? parse_decimal(text, parsed)
                                                    : parse_fraction(text, slash, parsed);
  if (!read || !usable_rate(parsed)) {
    return false;
  }
  rate = parsed;
  return true;
}

std::string spell_rate(Rate rate) {
  const Rate r = reduced(rate);
  if (r.den == 1) {
    return std::to_string(r.num);
  }
  if (r.den != 0 && 10 % r.den == 0) {
    const std::uint64_t tenths = std::uint64_t{r.num} * (10 / r.den);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
  }
  return std::to_string(r.num) + "/" + std::to_string(r.den);
}

}  // namespace orvale
