#include "streams/plainblocks.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Block by block, byte pair by byte pair: what every variant must return.
std::size_t reference_skip(const Bytes& bytes, std::size_t base, std::size_t size) {
  for (; size - base >= orvale::kScanBlock; base += orvale::kScanBlock) {
    for (std::size_t first = base - 2; first <= base + orvale::kScanBlock - 3; ++first) {
      if (bytes[first] == 0 && bytes[first + 1] == 0) {
        return base;
      }
    }
  }
  return base;
}

// Slice-like bytes: never two zeros in a row, but lone zeros often, so that
// pairs planted later are the only ones.
Bytes plain_bytes(std::mt19937& rng, std::size_t size) {
  Bytes bytes(size);
  std::uniform_int_distribution<int> byte(0, 255);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(byte(rng));
    if (i > 0 && bytes[i] == 0 && bytes[i - 1] == 0) {
      bytes[i] = 0x80;
    }
  }
  return bytes;
}

class PlainBlockSkip : public ::testing::TestWithParam<orvale::PlainBlockSkipper> {};

// Pairs of zeros planted on and around every block and group edge, one or two
// at a time, with the search starting at different blocks and stopping short
// of the buffer's end.
TEST_P(PlainBlockSkip, StopsWhereTheByteByByteSearchStops) {
  const orvale::PlainBlockSkipper skipper = GetParam();
  if (!skipper.supported) {
    GTEST_SKIP() << skipper.name << " is not supported by this processor";
  }
  std::mt19937 rng(11);
  constexpr std::size_t kSize = 2 + 24 * orvale::kScanBlock + 40;
  std::uniform_int_distribution<std::size_t> where(0, kSize - 2);
  std::uniform_int_distribution<std::size_t> block(0, 23);
  std::uniform_int_distribution<std::size_t> end(0, kSize);
  for (int i = 0; i < 20000; ++i) {
    Bytes bytes = plain_bytes(rng, kSize);
    for (int pairs = i % 3; pairs > 0; --pairs) {
      const std::size_t at =
          i % 2 == 0 ? where(rng)
                     : 2 + block(rng) * orvale::kScanBlock + (where(rng) % 5) - 2 + (i % 4) * 61;
      if (at + 1 < kSize) {
        bytes[at] = 0;
        bytes[at + 1] = 0;
      }
    }
    const std::size_t base = 2 + block(rng) * orvale::kScanBlock;
    const std::size_t size = std::max(base, end(rng));
    ASSERT_EQ(skipper.skip(bytes.data(), base, size), reference_skip(bytes, base, size))
        << "case " << i << ", from " << base << " to " << size;
  }
}

TEST_P(PlainBlockSkip, PassesOverLoneZerosToTheLastWholeBlock) {
  const orvale::PlainBlockSkipper skipper = GetParam();
  if (!skipper.supported) {
    GTEST_SKIP() << skipper.name << " is not supported by this processor";
  }
  Bytes bytes(2 + 100 * orvale::kScanBlock + 63, 0x01);
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    bytes[i] = 0;
  }
  EXPECT_EQ(skipper.skip(bytes.data(), 2, bytes.size()), 2 + 100 * orvale::kScanBlock);
}

INSTANTIATE_TEST_SUITE_P(Variants, PlainBlockSkip,
                         ::testing::ValuesIn(orvale::plain_block_skippers().begin(),
                                             orvale::plain_block_skippers().end()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PlainBlockSkip, TheFastestIsOneThisProcessorRuns) {
  const orvale::PlainBlockSkip fastest = orvale::fastest_plain_block_skip();
  bool found = false;
  for (const orvale::PlainBlockSkipper& skipper : orvale::plain_block_skippers()) {
    if (skipper.supported) {
      EXPECT_EQ(skipper.skip, fastest) << skipper.name << " is supported and listed first";
      found = true;
      break;
    }
  }
  EXPECT_TRUE(found);
}

}  // namespace
