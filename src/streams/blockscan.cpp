#include "streams/blockscan.h"

#include <array>
#include <cstring>

#include "streams/startcode.h"

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace orvale {
namespace {

void add_byte(BlockMasks& masks, std::uint8_t byte, std::size_t k) {
  masks.zeros |= std::uint64_t{byte == 0x00} << k;
  masks.ones |= std::uint64_t{byte == 0x01} << k;
  masks.drops |= std::uint64_t{byte == kNalHeaderSei || byte == kNalHeaderDelimiter} << k;
}

BlockMasks masks_portable(std::span<const std::uint8_t> block) {
  BlockMasks masks;
  for (std::size_t k = 0; k < block.size(); ++k) {
    add_byte(masks, block[k], k);
  }
  return masks;
}

// Each byte from base-2 on is ORed with the one after it, so a zero stands
// where both were zero. The vector variants pass over blocks four at a time,
// then one at a time up to the block that stopped the group, and the smallest
// of the ORed bytes shows whether a zero stands among them.
constexpr std::size_t kGroup = 4 * kScanBlock;

// Eight bytes at a time in a plain register; a zero byte of the ORed word
// shows as its top bit in the classic has-zero-byte test.
bool has_zero_pair(const std::uint8_t* at, std::size_t span) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kTops = 0x8080808080808080;
  for (std::size_t k = 0; k < span; k += 8) {
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    std::memcpy(&first, at + k, 8);
    std::memcpy(&second, at + k + 1, 8);
    const std::uint64_t either = first | second;
    if (((either - kOnes) & ~either & kTops) != 0) {
      return true;
    }
  }
  return false;
}

std::size_t skip_portable(const std::uint8_t* bytes, std::size_t base, std::size_t size) {
  for (; size - base >= kScanBlock; base += kScanBlock) {
    if (has_zero_pair(bytes + base - 2, kScanBlock)) {
      break;
    }
  }
  return base;
}

#if defined(__x86_64__)
// One masked load takes a short block whole without reading past its end,
// and each comparison gives its mask at once.
[[gnu::target("avx512f,avx512bw,bmi2")]] BlockMasks masks_avx512(
    std::span<const std::uint8_t> block) {
  const __mmask64 present = block.size() >= kScanBlock
                                ? ~std::uint64_t{0}
                                : _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(block.size()));
  // Bytes past the end load as zeros, which only the zero mask must leave out.
  const __m512i bytes = _mm512_maskz_loadu_epi8(present, block.data());
  BlockMasks masks;
  masks.zeros = _mm512_mask_cmpeq_epi8_mask(present, bytes, _mm512_setzero_si512());
  masks.ones = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(1));
  masks.drops = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(kNalHeaderSei)) |
                _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(kNalHeaderDelimiter));
  return masks;
}

// Adds the masks of the 16 bytes at `at`, shifted right by `drop` bits (the
// bytes a short block's last lane shares with the lane before), at bit `k`.
void add_lane(BlockMasks& masks, const std::uint8_t* at, std::size_t drop, std::size_t k) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  const auto bits = [&](__m128i equal) {
    return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(equal))) >>
           drop << k;
  };
  masks.zeros |= bits(_mm_cmpeq_epi8(bytes, _mm_setzero_si128()));
  masks.ones |= bits(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(1)));
  masks.drops |=
      bits(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(kNalHeaderSei))),
                        _mm_cmpeq_epi8(bytes, _mm_set1_epi8(kNalHeaderDelimiter))));
}

// Each byte is loaded once for all three masks. A short block is not copied
// into a padded one: a vector load right after the copy's narrower stores
// stalls the processor for longer than the whole search takes on a small
// packet's video. Its last lane is loaded ending at the block's end instead.
BlockMasks masks_sse2(std::span<const std::uint8_t> block) {
  constexpr std::size_t kLane = 16;
  const std::size_t size = block.size();
  if (size < kLane) {
    return masks_portable(block);
  }
  BlockMasks masks;
  std::size_t k = 0;
  for (; size - k >= kLane; k += kLane) {
    add_lane(masks, block.data() + k, 0, k);
  }
  if (k < size) {
    add_lane(masks, block.data() + size - kLane, kLane - (size - k), k);
  }
  return masks;
}

[[gnu::target("avx512f,avx512bw")]] __m512i pairs_512(const std::uint8_t* at) {
  return _mm512_or_si512(_mm512_loadu_si512(at), _mm512_loadu_si512(at + 1));
}

[[gnu::target("avx512f,avx512bw")]] std::size_t skip_avx512(const std::uint8_t* bytes,
                                                            std::size_t base, std::size_t size) {
  for (; size - base >= kGroup; base += kGroup) {
    const std::uint8_t* at = bytes + base - 2;
    __m512i least = pairs_512(at);
    for (std::size_t k = 64; k < kGroup; k += 64) {
      least = _mm512_min_epu8(least, pairs_512(at + k));
    }
    if (_mm512_testn_epi8_mask(least, least) != 0) {
      break;
    }
  }
  for (; size - base >= kScanBlock; base += kScanBlock) {
    const __m512i least = pairs_512(bytes + base - 2);
    if (_mm512_testn_epi8_mask(least, least) != 0) {
      break;
    }
  }
  return base;
}

[[gnu::target("avx2")]] __m256i pairs_256(const std::uint8_t* at) {
  return _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)),
                         _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1)));
}

[[gnu::target("avx2")]] bool has_zero_256(__m256i least) {
  return _mm256_movemask_epi8(_mm256_cmpeq_epi8(least, _mm256_setzero_si256())) != 0;
}

[[gnu::target("avx2")]] std::size_t skip_avx2(const std::uint8_t* bytes, std::size_t base,
                                              std::size_t size) {
  for (; size - base >= kGroup; base += kGroup) {
    const std::uint8_t* at = bytes + base - 2;
    __m256i least = pairs_256(at);
    for (std::size_t k = 32; k < kGroup; k += 32) {
      least = _mm256_min_epu8(least, pairs_256(at + k));
    }
    if (has_zero_256(least)) {
      break;
    }
  }
  for (; size - base >= kScanBlock; base += kScanBlock) {
    const std::uint8_t* at = bytes + base - 2;
    if (has_zero_256(_mm256_min_epu8(pairs_256(at), pairs_256(at + 32)))) {
      break;
    }
  }
  return base;
}

__m128i pairs_128(const std::uint8_t* at) {
  return _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)),
                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 1)));
}

// The smallest pair value of `span` bytes from `at`, in 16 lanes.
__m128i least_128(const std::uint8_t* at, std::size_t span) {
  __m128i least = pairs_128(at);
  for (std::size_t k = 16; k < span; k += 16) {
    least = _mm_min_epu8(least, pairs_128(at + k));
  }
  return least;
}

bool has_zero_128(__m128i least) {
  return _mm_movemask_epi8(_mm_cmpeq_epi8(least, _mm_setzero_si128())) != 0;
}

std::size_t skip_sse2(const std::uint8_t* bytes, std::size_t base, std::size_t size) {
  for (; size - base >= kGroup; base += kGroup) {
    if (has_zero_128(least_128(bytes + base - 2, kGroup))) {
      break;
    }
  }
  for (; size - base >= kScanBlock; base += kScanBlock) {
    if (has_zero_128(least_128(bytes + base - 2, kScanBlock))) {
      break;
    }
  }
  return base;
}

std::array<BlockScanner, 4> build_scanners() {
  __builtin_cpu_init();
  const bool avx512 = __builtin_cpu_supports("avx512f") != 0 &&
                      __builtin_cpu_supports("avx512bw") != 0 &&
                      __builtin_cpu_supports("bmi2") != 0;
  return {{
      {"avx512", masks_avx512, skip_avx512, avx512},
      {"avx2", masks_sse2, skip_avx2, __builtin_cpu_supports("avx2") != 0},
      {"sse2", masks_sse2, skip_sse2, true},
      {"portable", masks_portable, skip_portable, true},
  }};
}
#elif defined(__aarch64__)
// NEON has no byte movemask. Loaded de-interleaved (lane i of register j
// holds byte 4i+j), the four comparison results fold into one bit a byte with
// three inserting shifts and one narrowing shift, fewer steps than gathering
// each 16-byte register's bits on its own.
std::uint64_t bits_of(const uint8x16x4_t& equal) {
  const uint8x16_t low = vsriq_n_u8(equal.val[1], equal.val[0], 1);
  const uint8x16_t high = vsriq_n_u8(equal.val[3], equal.val[2], 1);
  const uint8x16_t four = vsriq_n_u8(high, low, 2);
  const uint8x16_t doubled = vsriq_n_u8(four, four, 4);
  return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(doubled), 4)), 0);
}

uint8x16x4_t equal_to(const uint8x16x4_t& bytes, std::uint8_t value) {
  const uint8x16_t wanted = vdupq_n_u8(value);
  return {{vceqq_u8(bytes.val[0], wanted), vceqq_u8(bytes.val[1], wanted),
           vceqq_u8(bytes.val[2], wanted), vceqq_u8(bytes.val[3], wanted)}};
}

BlockMasks masks_of_whole(const std::uint8_t* at) {
  const uint8x16x4_t bytes = vld4q_u8(at);
  const uint8x16x4_t seis = equal_to(bytes, kNalHeaderSei);
  const uint8x16x4_t delimiters = equal_to(bytes, kNalHeaderDelimiter);
  uint8x16x4_t drops;
  for (int j = 0; j < 4; ++j) {
    drops.val[j] = vorrq_u8(seis.val[j], delimiters.val[j]);
  }
  return {bits_of(equal_to(bytes, 0x00)), bits_of(equal_to(bytes, 0x01)), bits_of(drops)};
}

// A short block is copied into a zeroed one rather than read past its end,
// which may lie at the end of a mapping; the padding shows only as zeros.
BlockMasks masks_neon(std::span<const std::uint8_t> block) {
  if (block.size() >= kScanBlock) {
    return masks_of_whole(block.data());
  }
  std::array<std::uint8_t, kScanBlock> padded{};
  if (!block.empty()) {
    std::memcpy(padded.data(), block.data(), block.size());
  }
  BlockMasks masks = masks_of_whole(padded.data());
  masks.zeros &= (std::uint64_t{1} << block.size()) - 1;
  return masks;
}

uint8x16_t pairs_neon(const std::uint8_t* at) { return vorrq_u8(vld1q_u8(at), vld1q_u8(at + 1)); }

// Whether a pair of zeros starts among the `span` bytes from `at`: one
// across-lanes minimum at the end, as it costs several plain ones.
bool has_zero_pair_neon(const std::uint8_t* at, std::size_t span) {
  uint8x16_t least = pairs_neon(at);
  for (std::size_t k = 16; k < span; k += 16) {
    least = vminq_u8(least, pairs_neon(at + k));
  }
  return vminvq_u8(least) == 0;
}

std::size_t skip_neon(const std::uint8_t* bytes, std::size_t base, std::size_t size) {
  for (; size - base >= kGroup; base += kGroup) {
    if (has_zero_pair_neon(bytes + base - 2, kGroup)) {
      break;
    }
  }
  for (; size - base >= kScanBlock; base += kScanBlock) {
    if (has_zero_pair_neon(bytes + base - 2, kScanBlock)) {
      break;
    }
  }
  return base;
}

// Every aarch64 processor has NEON.
std::array<BlockScanner, 2> build_scanners() {
  return {{
      {"neon", masks_neon, skip_neon, true},
      {"portable", masks_portable, skip_portable, true},
  }};
}
#else
std::array<BlockScanner, 1> build_scanners() {
  return {{{"portable", masks_portable, skip_portable, true}}};
}
#endif

// Built on first use, so that the filter's own start-up may ask for it.
const auto& scanners() {
  static const auto built = build_scanners();
  return built;
}

}  // namespace

std::span<const BlockScanner> block_scanners() noexcept { return scanners(); }

const BlockScanner& fastest_block_scanner() noexcept {
  for (const BlockScanner& scanner : scanners()) {
    if (scanner.supported) {
      return scanner;
    }
  }
  return scanners().back();
}

}  // namespace orvale
