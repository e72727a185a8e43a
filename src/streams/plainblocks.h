// Passing over stretches of video data that cannot hold a start code, with
// the widest vector instructions the processor has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvale {

// The filter looks for start codes 64 bytes at a time.
inline constexpr std::size_t kScanBlock = 64;

// Returns the first block from `base` on (counting in kScanBlock steps, every
// block lying whole before `size`) whose bytes might hold part of a start
// code, or the first block that is not whole. The 01 of a code at byte k of
// the block at `base` has zeros at k-2 and k-1, so a block is passed over
// only when no two zeros stand side by side with the first of them in
// base-2 .. base+61; bytes from base-2 on are read, so `base` is at least 2.
using PlainBlockSkip = std::size_t (*)(const std::uint8_t* bytes, std::size_t base,
                                       std::size_t size);

struct PlainBlockSkipper {
  const char* name;
  PlainBlockSkip skip;
  bool supported;  // this processor runs it
};

// Every variant built in, the portable one included, for comparing them.
[[nodiscard]] std::span<const PlainBlockSkipper> plain_block_skippers();
// The fastest variant this processor runs.
[[nodiscard]] PlainBlockSkip fastest_plain_block_skip();

}  // namespace orvale
