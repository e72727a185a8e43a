#include "streams/blockscan.h"

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

class BlockScan : public ::testing::TestWithParam<orvale::BlockScanner> {};

// Bit by bit: what every variant's masks must be.
orvale::BlockMasks reference_masks(std::span<const std::uint8_t> block) {
  orvale::BlockMasks masks;
  for (std::size_t k = 0; k < block.size(); ++k) {
    masks.zeros |= std::uint64_t{block[k] == 0} << k;
    masks.ones |= std::uint64_t{block[k] == 1} << k;
    masks.drops |= std::uint64_t{block[k] == 6 || block[k] == 9} << k;
  }
  return masks;
}

// Blocks of every length from 0 to 64 bytes, cut from a buffer rich in the
// bytes that matter, at every alignment, with the bytes around them set to
// what would show if a variant read past the block's end.
TEST_P(BlockScan, MasksEveryByteOfBlocksOfEveryLength) {
  const orvale::BlockScanner scanner = GetParam();
  if (!scanner.supported) {
    GTEST_SKIP() << scanner.name << " is not supported by this processor";
  }
  std::mt19937 rng(5);
  const std::uint8_t kinds[] = {0, 1, 6, 9, 0x41, 0xFF};
  std::uniform_int_distribution<int> kind(0, 5);
  Bytes bytes(3 * orvale::kScanBlock);
  for (int round = 0; round < 200; ++round) {
    for (std::uint8_t& b : bytes) {
      b = kinds[kind(rng)];
    }
    for (std::size_t size = 0; size <= orvale::kScanBlock; ++size) {
      const std::span<const std::uint8_t> block(bytes.data() + round % 64, size);
      const orvale::BlockMasks expected = reference_masks(block);
      const orvale::BlockMasks got = scanner.masks(block);
      ASSERT_EQ(got.zeros, expected.zeros) << "size " << size << ", round " << round;
      ASSERT_EQ(got.ones, expected.ones) << "size " << size << ", round " << round;
      ASSERT_EQ(got.drops, expected.drops) << "size " << size << ", round " << round;
    }
  }
}

// Pairs of zeros planted on and around every block and group edge, one or two
// at a time, with the search starting at different blocks and stopping short
// of the buffer's end.
TEST_P(BlockScan, SkipStopsWhereTheByteByByteSearchStops) {
  const orvale::BlockScanner scanner = GetParam();
  if (!scanner.supported) {
    GTEST_SKIP() << scanner.name << " is not supported by this processor";
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
    ASSERT_EQ(scanner.skip(bytes.data(), base, size), reference_skip(bytes, base, size))
        << "case " << i << ", from " << base << " to " << size;
  }
}

TEST_P(BlockScan, SkipPassesOverLoneZerosToTheLastWholeBlock) {
  const orvale::BlockScanner scanner = GetParam();
  if (!scanner.supported) {
    GTEST_SKIP() << scanner.name << " is not supported by this processor";
  }
  Bytes bytes(2 + 100 * orvale::kScanBlock + 63, 0x01);
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    bytes[i] = 0;
  }
  EXPECT_EQ(scanner.skip(bytes.data(), 2, bytes.size()), 2 + 100 * orvale::kScanBlock);
}

INSTANTIATE_TEST_SUITE_P(Variants, BlockScan,
                         ::testing::ValuesIn(orvale::block_scanners().begin(),
                                             orvale::block_scanners().end()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BlockScan, TheFastestIsTheFirstThisProcessorRuns) {
  const orvale::BlockScanner& fastest = orvale::fastest_block_scanner();
  EXPECT_TRUE(fastest.supported);
  for (const orvale::BlockScanner& scanner : orvale::block_scanners()) {
    if (scanner.supported) {
      EXPECT_STREQ(scanner.name, fastest.name);
      break;
    }
  }
}

}  // namespace
