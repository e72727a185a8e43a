#include "streams/nal_census.h"

#include <algorithm>

#include "streams/blockscan.h"
#include "streams/startcode.h"

namespace orvale {
namespace {

constexpr std::uint8_t kSlice = 1;
constexpr std::uint8_t kIdrSlice = 5;
// first_mb_in_slice is the slice header's first field, ue(v): 0 is the one
// value written as a single 1 bit.
constexpr std::uint8_t kFirstMbZero = 0x80;

}  // namespace

void NalCensus::take(std::uint8_t byte) {
  if (awaiting_ == Awaiting::header) {
    const std::uint8_t type = byte & kNalTypeMask;
    ++units_[type];
    dropped_ += byte == kNalHeaderSei || byte == kNalHeaderDelimiter ? 1 : 0;
    awaiting_ = type == kSlice || type == kIdrSlice ? Awaiting::slice_start : Awaiting::nothing;
  } else if (awaiting_ == Awaiting::slice_start) {
    pictures_ += (byte & kFirstMbZero) != 0 ? 1 : 0;
    awaiting_ = Awaiting::nothing;
  }
}

std::uint32_t NalCensus::zeros_before(std::span<const std::uint8_t> piece, std::size_t at) const {
  std::uint32_t zeros = 0;
  while (zeros < 2 && at > 0 && piece[at - 1] == 0) {
    ++zeros;
    --at;
  }
  return at == 0 ? zeros + trailing_zeros_ : zeros;
}

// Slice data, where start codes are rare, is passed over many bytes at a
// time by the filter's block skip, until two zeros stand side by side.
void NalCensus::feed(std::span<const std::uint8_t> piece) {
  static const PlainBlockSkip skip_plain_blocks = fastest_block_scanner().skip;
  const std::size_t size = piece.size();
  std::size_t at = 0;
  while (at < size && awaiting_ != Awaiting::nothing) {
    take(piece[at++]);
  }
  std::size_t next = at;
  while (next < size) {
    if (next >= 2) {
      next = skip_plain_blocks(piece.data(), next, size);
    }
    const std::size_t block_end = std::min(next + kScanBlock, size);
    for (; next < block_end; ++next) {
      if (piece[next] != 0x01 || zeros_before(piece, next) < 2) {
        continue;
      }
      awaiting_ = Awaiting::header;
      for (at = next + 1; at < size && awaiting_ != Awaiting::nothing; ++at) {
        take(piece[at]);
      }
      next = at - 1;
    }
  }
  std::uint32_t zeros = 0;
  while (zeros < 2 && zeros < size && piece[size - 1 - zeros] == 0) {
    ++zeros;
  }
  trailing_zeros_ = zeros == size ? std::min<std::uint32_t>(2, trailing_zeros_ + zeros) : zeros;
}

void NalCensus::end_chunk() {
  trailing_zeros_ = 0;
  awaiting_ = Awaiting::nothing;
}

}  // namespace orvale
