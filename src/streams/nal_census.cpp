#include "streams/nal_census.h"

#include <algorithm>
#include <cstring>

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

// Every start code ends in 0x01, so the scan jumps from one 0x01 to the next
// and only then looks at the zeros before it.
void NalCensus::feed(std::span<const std::uint8_t> piece) {
  const std::size_t size = piece.size();
  std::size_t at = 0;
  while (at < size && awaiting_ != Awaiting::nothing) {
    take(piece[at++]);
  }
  std::size_t search = 0;
  while (search < size) {
    const void* found = std::memchr(piece.data() + search, 0x01, size - search);
    if (found == nullptr) {
      break;
    }
    const auto one =
        static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - piece.data());
    search = one + 1;
    if (one < at || zeros_before(piece, one) < 2) {
      continue;
    }
    awaiting_ = Awaiting::header;
    for (at = one + 1; at < size && awaiting_ != Awaiting::nothing; ++at) {
      take(piece[at]);
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
