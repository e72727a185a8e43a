#include "streams/startcode.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvale {
namespace {

void no_match(std::uint32_t length, std::uint32_t& start, std::uint32_t& skip,
              std::uint8_t& nal_header) {
  start = length;
  skip = 0;
  nal_header = 0;
}

}  // namespace

// Every start code ends in a 0x01 byte, so the search jumps from one 0x01 to
// the next with memchr and only then looks at the zeros before it. Taking the
// 0x01 bytes in order yields the candidate positions in order, and at each the
// 4-byte code (one zero further back) is the earlier position.
void find_nal(std::span<const std::uint8_t> chunk, std::uint32_t from, std::uint32_t& start,
              std::uint32_t& skip, std::uint8_t& nal_header) {
  const auto length = static_cast<std::uint32_t>(chunk.size());
  const std::uint8_t* bytes = chunk.data();
  if (from > length || length - from < 4) {
    no_match(length, start, skip, nal_header);
    return;
  }
  std::uint32_t one = from + 2;
  while (one < length) {
    const void* found = std::memchr(bytes + one, 0x01, length - one);
    if (found == nullptr) {
      break;
    }
    one = static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(found) - bytes);
    if (std::memcmp(bytes + one - 2, NAL_PRE3.data(), NAL_PRE3.size()) == 0) {
      if (one >= from + 3 && std::memcmp(bytes + one - 3, NAL_PRE4.data(), NAL_PRE4.size()) == 0) {
        const std::uint32_t at = one - 3;
        if (length - at == 4) {
          break;  // nothing follows the code: not a start code
        }
        start = at;
        skip = 5;
        nal_header = bytes[at + 4];
        return;
      }
      const std::uint32_t at = one - 2;
      if (length - at <= 3) {
        break;  // no header byte after the code
      }
      start = at;
      skip = 4;
      nal_header = bytes[at + 3];
      return;
    }
    ++one;
  }
  no_match(length, start, skip, nal_header);
}

namespace {

constexpr std::size_t kBlock = 64;

// Bit k of `zeros` (`ones`) is set when byte k is 0x00 (0x01).
struct ByteMasks {
  std::uint64_t zeros = 0;
  std::uint64_t ones = 0;
};

// For a piece's last, short block, and for every block where SSE2 is missing.
ByteMasks masks_of(std::span<const std::uint8_t> bytes) {
  ByteMasks masks;
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    masks.zeros |= static_cast<std::uint64_t>(bytes[k] == 0x00) << k;
    masks.ones |= static_cast<std::uint64_t>(bytes[k] == 0x01) << k;
  }
  return masks;
}

#if defined(__SSE2__)
std::uint64_t equal_mask(__m128i bytes, __m128i value) {
  return static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, value)));
}

ByteMasks masks_of_block(const std::uint8_t* block) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi8(1);
  ByteMasks masks;
  for (std::size_t lane = 0; lane < kBlock; lane += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + lane));
    masks.zeros |= equal_mask(bytes, zero) << lane;
    masks.ones |= equal_mask(bytes, one) << lane;
  }
  return masks;
}
#else
ByteMasks masks_of_block(const std::uint8_t* block) { return masks_of({block, kBlock}); }
#endif

// Held-back bytes are zeros, or zeros and the 01 of a start code: a run of
// them is the start or the end of NAL_PRE4.
std::span<const std::uint8_t> held_run(std::size_t count, bool ends_in_code) {
  const std::span<const std::uint8_t> table(NAL_PRE4);
  return ends_in_code ? table.last(count) : table.first(count);
}

enum class Step { go_on, passing, refused };

// One feed(). Positions count from the piece's first byte; the bytes held
// back from earlier pieces sit at -held .. -1.
struct PieceScan {
  StartCodeState& state;
  std::span<const std::uint8_t> piece;
  RunSink sink;
  std::int64_t held;
  bool held_code;
  std::int64_t kept_from;  // where the kept run begins while not dropping
};

[[nodiscard]] bool emit(const PieceScan& scan, std::int64_t from, std::int64_t to) {
  if (from >= to) {
    return true;
  }
  if (from < 0) {
    const std::int64_t held_to = std::min<std::int64_t>(to, 0);
    if (!scan.sink(held_run(static_cast<std::size_t>(held_to - from),
                            scan.held_code && held_to == 0))) {
      return false;
    }
    from = 0;
  }
  return from >= to || scan.sink(scan.piece.subspan(static_cast<std::size_t>(from),
                                                    static_cast<std::size_t>(to - from)));
}

// A start code at `start` with header byte `header` ends the unit before it.
[[nodiscard]] Step begin_unit(PieceScan& scan, std::int64_t start, std::uint8_t header) {
  StartCodeState& state = scan.state;
  if (header == 0x00) {
    state.passing = true;
    const std::int64_t from = state.dropping ? start : scan.kept_from;
    return emit(scan, from, static_cast<std::int64_t>(scan.piece.size())) ? Step::passing
                                                                          : Step::refused;
  }
  const bool drop = header == kNalHeaderSei || header == kNalHeaderDelimiter;
  if (drop != state.dropping) {
    if (drop && !emit(scan, scan.kept_from, start)) {
      return Step::refused;
    }
    scan.kept_from = start;
    state.dropping = drop;
  }
  return Step::go_on;
}

// The start code whose 01 is the piece's last byte waits for its header.
struct PendingCode {
  std::int64_t start = 0;
  std::uint8_t zeros = 0;
};

// Start codes are found 64 bytes at a time from masks of the 0x00 and 0x01
// bytes: a 01 with zeros in the two bytes before it is a start code (a header
// byte before the zeros is never 0x00, so no zero is shared with an earlier
// code), and the 4-byte one when the third byte back is zero too. Plain slice
// data costs a few instructions per block; a chunk dense with start codes
// costs a few more per code, never a call per code.
[[nodiscard]] Step scan_blocks(PieceScan& scan, std::uint64_t previous_zeros,
                               PendingCode& pending) {
  const std::span<const std::uint8_t> piece = scan.piece;
  for (std::size_t base = 0; base < piece.size(); base += kBlock) {
    const ByteMasks masks = piece.size() - base >= kBlock ? masks_of_block(piece.data() + base)
                                                          : masks_of(piece.subspan(base));
    std::uint64_t codes = masks.ones & (masks.zeros << 1 | previous_zeros >> 63) &
                          (masks.zeros << 2 | previous_zeros >> 62);
    const std::uint64_t third = masks.zeros << 3 | previous_zeros >> 61;
    while (codes != 0) {
      const int bit = std::countr_zero(codes);
      codes &= codes - 1;
      const std::size_t one = base + static_cast<std::size_t>(bit);
      const auto zeros = static_cast<std::uint8_t>(2 + ((third >> bit) & 1));
      const auto start = static_cast<std::int64_t>(one) - zeros;
      if (one + 1 == piece.size()) {
        pending = {start, zeros};
        return Step::go_on;
      }
      const Step step = begin_unit(scan, start, piece[one + 1]);
      if (step != Step::go_on) {
        return step;
      }
    }
    previous_zeros = masks.zeros;
  }
  return Step::go_on;
}

// Holds back what the next piece decides: the start code waiting for its
// header, or else up to three zeros at the end (a fourth could only stay with
// the unit before), and hands on the kept bytes before them.
[[nodiscard]] bool hold_tail(PieceScan& scan, const PendingCode& pending) {
  StartCodeState& state = scan.state;
  const auto size = static_cast<std::int64_t>(scan.piece.size());
  std::int64_t zeros = pending.zeros;
  std::int64_t tail = pending.start;
  if (zeros == 0) {
    while (zeros < 3 && zeros < size && scan.piece[static_cast<std::size_t>(size - 1 - zeros)] == 0) {
      ++zeros;
    }
    if (zeros == size) {
      zeros = std::min<std::int64_t>(3, zeros + scan.held);
    }
    tail = size - zeros;
  }
  if (!state.dropping && !emit(scan, scan.kept_from, tail)) {
    return false;
  }
  state.held_zeros = static_cast<std::uint8_t>(zeros);
  state.held_code = pending.zeros != 0;
  return true;
}

[[nodiscard]] bool filter_piece(StartCodeState& state, std::span<const std::uint8_t> piece,
                                RunSink sink) {
  const std::int64_t held = state.held_zeros + (state.held_code ? 1 : 0);
  PieceScan scan{state, piece, sink, held, state.held_code, -held};
  // Zero bits for the held zeros, as the top of a block before the piece.
  std::uint64_t previous_zeros = state.held_zeros == 0 ? 0 : ~std::uint64_t{0} << (64 - state.held_zeros);
  if (state.held_code) {
    const Step step = begin_unit(scan, -held, piece[0]);
    if (step != Step::go_on) {
      return step == Step::passing;
    }
    previous_zeros = 0;
  }
  PendingCode pending;
  const Step step = scan_blocks(scan, previous_zeros, pending);
  if (step != Step::go_on) {
    return step == Step::passing;
  }
  return hold_tail(scan, pending);
}

}  // namespace

bool StartCodeFilter::feed(std::span<const std::uint8_t> piece, RunSink sink) {
  if (piece.empty()) {
    return true;
  }
  const bool taken = state_.passing ? sink(piece) : filter_piece(state_, piece, sink);
  if (!taken) {
    reset();
  }
  return taken;
}

bool StartCodeFilter::finish(RunSink sink) {
  const StartCodeState state = std::exchange(state_, {});
  const std::size_t held = state.held_zeros + (state.held_code ? 1 : 0);
  return state.passing || state.dropping || held == 0 || sink(held_run(held, state.held_code));
}

}  // namespace orvale
