#include "streams/startcode.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "streams/blockscan.h"

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

constexpr std::size_t kBlock = kScanBlock;

const BlockMasker block_masks = fastest_block_scanner().masks;
const PlainBlockSkip skip_plain_blocks = fastest_block_scanner().skip;

bool is_dropped(std::uint8_t header) {
  return header == kNalHeaderSei || header == kNalHeaderDelimiter;
}

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
    // A held start code is one as soon as the piece brings its header, so a
    // run never ends inside it; only held zeros are ever handed on in part.
    const std::int64_t held_to = std::min<std::int64_t>(to, 0);
    if (!scan.sink(held_run(static_cast<std::size_t>(held_to - from), scan.held_code))) {
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
  const bool drop = is_dropped(header);
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

// The start codes of one block, as bits: bit k stands for the code whose 01
// is byte k, and `third` tells it is a 4-byte code.
struct BlockCodes {
  std::span<const std::uint8_t> block;
  std::size_t base;  // the block's offset in the piece
  std::uint64_t codes;
  BlockMasks masks;
  std::uint64_t third;
};

// Where the code whose 01 is byte `bit` of the block begins.
std::int64_t code_start(const BlockCodes& found, int bit) {
  const int zeros = ((found.third >> bit) & 1) != 0 ? 3 : 2;
  return static_cast<std::int64_t>(found.base) + bit - zeros;
}

// Only a code whose header turns dropping on or off, or passes the rest on,
// needs a look of its own; the others are skipped as bits. A header byte
// follows its code's 01, so the header masks are the byte masks shifted by
// one, with the byte after the block on top.
[[nodiscard]] Step take_codes(PieceScan& scan, BlockCodes found, PendingCode& pending) {
  const std::span<const std::uint8_t> piece = scan.piece;
  const std::size_t end = found.base + found.block.size();
  const int last = static_cast<int>(found.block.size()) - 1;
  if (end == piece.size() && ((found.codes >> last) & 1) != 0) {
    const std::int64_t start = code_start(found, last);
    pending = {start, static_cast<std::uint8_t>(static_cast<std::int64_t>(end) - 1 - start)};
    found.codes &= ~(std::uint64_t{1} << last);
  }
  const bool after_drop = end < piece.size() && is_dropped(piece[end]);
  const bool after_zero = end < piece.size() && piece[end] == 0x00;
  const std::uint64_t drop_headers = found.masks.drops >> 1 | std::uint64_t{after_drop} << 63;
  const std::uint64_t zero_headers = found.masks.zeros >> 1 | std::uint64_t{after_zero} << 63;
  for (;;) {
    const std::uint64_t turning =
        found.codes & (scan.state.dropping ? ~drop_headers : drop_headers | zero_headers);
    if (turning == 0) {
      return Step::go_on;
    }
    const int bit = std::countr_zero(turning);
    const Step step = begin_unit(scan, code_start(found, bit),
                                 piece[found.base + static_cast<std::size_t>(bit) + 1]);
    if (step != Step::go_on) {
      return step;
    }
    found.codes &= ~std::uint64_t{0} << bit << 1;
  }
}

// The zero bits of the three bytes before `at`, where the mask of the block
// before has them.
std::uint64_t zeros_before(const std::uint8_t* at) {
  return std::uint64_t{at[-1] == 0} << 63 | std::uint64_t{at[-2] == 0} << 62 |
         std::uint64_t{at[-3] == 0} << 61;
}

// Start codes are found 64 bytes at a time from masks of the 0x00 and 0x01
// bytes: a 01 with zeros in the two bytes before it is a start code (a header
// byte before the zeros is never 0x00, so no zero is shared with an earlier
// code), and the 4-byte one when the third byte back is zero too. Slice data,
// where codes are rare, is passed over many blocks at a time until two zeros
// stand side by side, and a chunk dense with codes costs more only where
// dropping turns on or off. A piece's first block is always looked at here,
// since its codes may begin with zeros held back from the piece before.
[[nodiscard]] Step scan_blocks(PieceScan& scan, std::uint64_t previous_zeros,
                               PendingCode& pending) {
  const std::span<const std::uint8_t> piece = scan.piece;
  for (std::size_t base = 0; base < piece.size(); base += kBlock) {
    if (base >= kBlock) {
      const std::size_t next = skip_plain_blocks(piece.data(), base, piece.size());
      if (next != base) {
        base = next;
        previous_zeros = zeros_before(piece.data() + base);
        if (base == piece.size()) {
          break;
        }
      }
    }
    const auto block = piece.subspan(base, std::min(kBlock, piece.size() - base));
    const BlockMasks masks = block_masks(block);
    const std::uint64_t zeros = masks.zeros;
    const std::uint64_t after_two_zeros =
        (zeros << 1 | previous_zeros >> 63) & (zeros << 2 | previous_zeros >> 62);
    const std::uint64_t third = zeros << 3 | previous_zeros >> 61;
    previous_zeros = zeros;
    const std::uint64_t codes = masks.ones & after_two_zeros;
    if (codes != 0) {
      const Step step = take_codes(scan, {block, base, codes, masks, third}, pending);
      if (step != Step::go_on) {
        return step;
      }
    }
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
    while (zeros < 3 && zeros < size &&
           scan.piece[static_cast<std::size_t>(size - 1 - zeros)] == 0) {
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
  std::uint64_t previous_zeros =
      state.held_zeros == 0 ? 0 : ~std::uint64_t{0} << (64 - state.held_zeros);
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

// A short chunk in which no start code has a dropped header (most small
// packets' video: one slice) is kept whole, and one block's masks show it.
bool is_kept_whole(std::span<const std::uint8_t> chunk) {
  const BlockMasks masks = block_masks(chunk);
  const std::uint64_t codes = masks.ones & masks.zeros << 1 & masks.zeros << 2;
  return (codes & masks.drops >> 1) == 0;
}

}  // namespace

bool filter_chunk(std::span<const std::uint8_t> chunk, RunSink sink) {
  if (chunk.size() <= kBlock && is_kept_whole(chunk)) {
    return chunk.empty() || sink(chunk);
  }
  StartCodeState state;
  PieceScan scan{state, chunk, sink, 0, false, 0};
  // A code whose 01 ends the chunk has no header: it stays with the unit
  // before, as the chunk's other last bytes do.
  PendingCode without_header;
  const Step step = scan_blocks(scan, 0, without_header);
  if (step != Step::go_on) {
    return step == Step::passing;
  }
  return state.dropping || emit(scan, scan.kept_from, static_cast<std::int64_t>(chunk.size()));
}

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
  // Field by field: the state was just written a byte at a time, and reading
  // it back as one word would stall the processor.
  const bool kept = !state_.passing && !state_.dropping;
  const bool held_code = state_.held_code;
  const std::size_t held = state_.held_zeros + (held_code ? 1 : 0);
  reset();
  return !kept || held == 0 || sink(held_run(held, held_code));
}

}  // namespace orvale
