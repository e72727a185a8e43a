#include "streams/plainblocks.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace orvale {
namespace {

// Blocks are first passed over four at a time, then one at a time up to the
// block that stopped the group. In both, each byte from base-2 on is ORed with
// the one after it, so a zero stands where both were zero, and the smallest of
// these shows whether any did.
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

std::array<PlainBlockSkipper, 4> build_skippers() {
  __builtin_cpu_init();
  return {{
      {"avx512", skip_avx512,
       __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0},
      {"avx2", skip_avx2, __builtin_cpu_supports("avx2") != 0},
      {"sse2", skip_sse2, true},
      {"portable", skip_portable, true},
  }};
}
#else
std::array<PlainBlockSkipper, 1> build_skippers() { return {{{"portable", skip_portable, true}}}; }
#endif

// Built on first use, so that the filter's own start-up may ask for it.
const auto& skippers() {
  static const auto built = build_skippers();
  return built;
}

}  // namespace

std::span<const PlainBlockSkipper> plain_block_skippers() { return skippers(); }

PlainBlockSkip fastest_plain_block_skip() {
  for (const PlainBlockSkipper& skipper : skippers()) {
    if (skipper.supported) {
      return skipper.skip;
    }
  }
  return skip_portable;
}

}  // namespace orvale
