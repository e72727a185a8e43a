// Counting the NAL units of H.264 video chunks by type, and the pictures
// among them, for a listing of what a file holds.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace orvale {

inline constexpr std::uint8_t kNalTypeMask = 0x1F;

// A chunk is handed over in pieces cut anywhere and ended with end_chunk().
// Every start code (00 00 01, or 00 00 00 01) whose header byte is inside the
// chunk opens a unit, counted under the type in the header's low five bits.
// A picture is a slice (type 1 or 5) that begins one: its first_mb_in_slice
// is 0, which its first bit, a 1, says. A unit whose header byte is exactly
// that of an SEI unit or a delimiter is one the video written leaves out.
class NalCensus {
 public:
  static constexpr std::size_t kTypes = 32;

  void feed(std::span<const std::uint8_t> piece);
  void end_chunk();

  [[nodiscard]] const std::array<std::uint64_t, kTypes>& units() const { return units_; }
  [[nodiscard]] std::uint64_t pictures() const { return pictures_; }
  // Units the video written leaves out: SEI units and access unit delimiters.
  [[nodiscard]] std::uint64_t dropped() const { return dropped_; }

 private:
  enum class Awaiting : std::uint8_t { nothing, header, slice_start };

  void take(std::uint8_t byte);
  [[nodiscard]] std::uint32_t zeros_before(std::span<const std::uint8_t> piece,
                                           std::size_t at) const;

  std::array<std::uint64_t, kTypes> units_{};
  std::uint64_t pictures_ = 0;
  std::uint64_t dropped_ = 0;
  // Zeros that ended the last piece (at most 2 matter), and what the byte
  // that begins the next one is awaited as.
  std::uint32_t trailing_zeros_ = 0;
  Awaiting awaiting_ = Awaiting::nothing;
};

}  // namespace orvale
