// The start-code search's inner loops, in variants for the vector
// instructions a processor has; the filter takes the fastest it runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvale {

// The filter looks for start codes 64 bytes at a time.
inline constexpr std::size_t kScanBlock = 64;

// Where the bytes of one block (kScanBlock bytes, or fewer at a piece's end)
// matter to the filter: bit k of each mask stands for byte k, and bits past
// the block's end are clear.
struct BlockMasks {
  std::uint64_t zeros = 0;
  std::uint64_t ones = 0;
  std::uint64_t drops = 0;  // the header bytes of an SEI unit or a delimiter
};

using BlockMasker = BlockMasks (*)(std::span<const std::uint8_t> block);

// Returns the first block from `base` on (counting in kScanBlock steps, every
// block lying whole before `size`) whose bytes might hold part of a start
// code, or the first block that is not whole. The 01 of a code at byte k of
// the block at `base` has zeros at k-2 and k-1, so a block is passed over
// only when no two zeros stand side by side with the first of them in
// base-2 .. base+61; bytes from base-2 on are read, so `base` is at least 2.
using PlainBlockSkip = std::size_t (*)(const std::uint8_t* bytes, std::size_t base,
                                       std::size_t size);

struct BlockScanner {
  const char* name;
  BlockMasker masks;
  PlainBlockSkip skip;
  bool supported;  // this processor runs it
};

// Every variant built in, the portable one included, for comparing them.
[[nodiscard]] std::span<const BlockScanner> block_scanners() noexcept;
// The fastest variant this processor runs.
[[nodiscard]] const BlockScanner& fastest_block_scanner() noexcept;

}  // namespace orvale
