#include "streams/aac_elements.h"

#include <algorithm>
#include <bit>

namespace orvale {
namespace {

enum ElementId : std::uint32_t {
  kSingleChannel = 0,
  kChannelPair = 1,
  kDataStream = 4,
  kFill = 6,
};

// Reads bits most significant first; reading past the end sets `overrun`.
class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint32_t read(std::uint32_t count) {
    std::uint32_t value = 0;
    for (std::uint32_t i = 0; i < count; ++i, ++bit_) {
      if (bit_ >= bytes_.size() * 8) {
        overrun_ = true;
        return 0;
      }
      value = value << 1 | (bytes_[bit_ / 8] >> (7 - bit_ % 8) & 1U);
    }
    return value;
  }
  void skip_bytes(std::uint64_t count) { bit_ += count * 8; }
  void align() { bit_ = (bit_ + 7) / 8 * 8; }
  [[nodiscard]] std::uint64_t bit() const { return bit_; }
  [[nodiscard]] bool overrun() const { return overrun_ || bit_ > bytes_.size() * 8; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::uint64_t bit_ = 0;
  bool overrun_ = false;
};

// Steps over the rest of a fill element: a 4-bit count, 15 meaning that an
// 8-bit escape count adds to it, less one.
void skip_fill(BitReader& bits) {
  std::uint32_t count = bits.read(4);
  if (count == 15) {
    count += bits.read(8) - 1;
  }
  bits.skip_bytes(count);
}

// Steps over the rest of a data stream element: its instance, an alignment
// flag, an 8-bit count with an escape at 255, then the bytes, aligned when
// the flag says so.
void skip_data_stream(BitReader& bits) {
  (void)bits.read(4);
  const bool aligned = bits.read(1) != 0;
  std::uint32_t count = bits.read(8);
  if (count == 255) {
    count += bits.read(8);
  }
  if (aligned) {
    bits.align();
  }
  bits.skip_bytes(count);
}

// Steps over the fill and data stream elements a frame may open with and
// reads the id of the first other element. Where the frame ends first, or
// `prefix` before it can be told, says so.
enum class Opening { element, ends_in_frame, beyond_prefix };

Opening first_element(BitReader& bits, std::uint64_t frame_bits, bool whole_frame,
                      std::uint32_t& id) {
  while (true) {
    id = bits.read(3);
    if (bits.overrun()) {
      return bits.bit() <= frame_bits && !whole_frame ? Opening::beyond_prefix
                                                      : Opening::ends_in_frame;
    }
    if (id == kFill) {
      skip_fill(bits);
    } else if (id == kDataStream) {
      skip_data_stream(bits);
    } else {
      return Opening::element;
    }
    if (bits.bit() >= frame_bits) {
      return Opening::ends_in_frame;  // nothing but these elements, or they overrun it
    }
  }
}

}  // namespace

bool opens_with_channel_element(std::span<const std::uint8_t> prefix, std::uint32_t length) {
  BitReader bits(prefix.first(std::min<std::size_t>(prefix.size(), length)));
  std::uint32_t id = 0;
  switch (first_element(bits, std::uint64_t{length} * 8, prefix.size() >= length, id)) {
    case Opening::beyond_prefix:
      return true;
    case Opening::ends_in_frame:
      return false;
    case Opening::element:
      break;
  }
  return (id == kSingleChannel || id == kChannelPair) && bits.read(4) == 0 && !bits.overrun();
}

// A single channel element of instance 0, then its channel stream's global
// gain and the start of its ics_info: the reserved bit clear and, for long
// windows, no predictor data, which AAC LC never has.
std::uint8_t channel_configuration(std::span<const std::uint8_t> prefix, std::uint32_t length) {
  constexpr std::uint32_t kEightShortSequence = 2;
  BitReader bits(prefix.first(std::min<std::size_t>(prefix.size(), length)));
  std::uint32_t id = 0;
  if (first_element(bits, std::uint64_t{length} * 8, prefix.size() >= length, id) !=
          Opening::element ||
      id != kSingleChannel || bits.read(4) != 0) {
    return kStereo;
  }
  (void)bits.read(8);  // global gain
  const bool reserved = bits.read(1) != 0;
  const std::uint32_t window_sequence = bits.read(2);
  (void)bits.read(1);  // window shape
  bool predictor = false;
  if (window_sequence != kEightShortSequence) {
    (void)bits.read(6);  // max_sfb
    predictor = bits.read(1) != 0;
  }
  return reserved || predictor || bits.overrun() ? kStereo : kMono;
}

bool closes_with_end_element(std::span<const std::uint8_t> tail) {
  constexpr std::uint32_t kEndElement = 0b111;
  if (tail.empty() || tail.back() == 0) {
    return false;  // the alignment is at most seven bits
  }
  const std::uint32_t last = tail.back();
  const std::uint32_t bits =
      (tail.size() > 1 ? std::uint32_t{tail[tail.size() - 2]} << 8 : 0) | last;
  return (bits >> std::countr_zero(last) & kEndElement) == kEndElement;
}

}  // namespace orvale
