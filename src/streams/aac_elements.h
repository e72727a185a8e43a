// The syntax elements an AAC frame (a raw data block) opens with, enough to
// tell a frame from bytes that only have its length.
#pragma once

#include <cstdint>
#include <span>

namespace orvale {

// True when the frame of `length` bytes, whose first bytes are `prefix`,
// opens with a single channel or channel pair element of instance 0, after
// any fill and data stream elements (an encoder may open a stream with a fill
// element carrying its name). Elements that run past the frame fail; a frame
// whose opening elements run past `prefix` passes, since it cannot be told.
[[nodiscard]] bool opens_with_channel_element(std::span<const std::uint8_t> prefix,
                                              std::uint32_t length);

inline constexpr std::uint8_t kMono = 1;
inline constexpr std::uint8_t kStereo = 2;

// The ADTS channel configuration a stream whose first non-empty frame is
// `length` bytes, starting with `prefix`, gets: kMono when, past any fill and
// data stream elements, it opens with a single channel element of instance 0
// whose channel stream begins plausibly (reserved bit clear, no predictor
// data); kStereo for everything else, as for a frame that cannot be told.
[[nodiscard]] std::uint8_t channel_configuration(std::span<const std::uint8_t> prefix,
                                                 std::uint32_t length);

// True when `tail`, the last one or two bytes of a frame, ends the way every
// raw data block does: with the end element's three 1 bits, then the zero
// bits that align it to a byte.
[[nodiscard]] bool closes_with_end_element(std::span<const std::uint8_t> tail);

}  // namespace orvale
