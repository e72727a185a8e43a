// What MP4 and Matroska need of the streams beside their frames: the H.264
// decoder configuration (avcC) and NAL units behind their lengths, and the
// AAC AudioSpecificConfig, all built from facts the extraction already has.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace orvale {

inline constexpr std::uint8_t kNalTypeIdr = 5;
inline constexpr std::uint8_t kNalTypeSps = 7;
inline constexpr std::uint8_t kNalTypePps = 8;

// What the opening of an Annex B picture says: its first sequence and
// picture parameter sets (empty when it has none), and whether its first
// slice is an IDR slice, and where that slice's header byte stands. The
// search stops at the first slice.
struct PictureOpening {
  std::vector<std::uint8_t> sps;
  std::vector<std::uint8_t> pps;
  bool idr = false;
  bool has_slice = false;
  std::size_t slice_at = 0;
};
[[nodiscard]] PictureOpening read_opening(std::span<const std::uint8_t> annex_b);

// The avcC record for one SPS and one PPS (each a NAL unit without its start
// code), with 4-byte lengths; empty when the SPS is too short to carry a
// profile and level.
[[nodiscard]] std::vector<std::uint8_t> avc_decoder_config(std::span<const std::uint8_t> sps,
                                                           std::span<const std::uint8_t> pps);

// The bytes length_prefixed() writes for `annex_b`, found without copying
// any: the buffer that keeps a picture is then no larger than the picture.
[[nodiscard]] std::size_t length_prefixed_size(std::span<const std::uint8_t> annex_b);

struct LengthPrefixed {
  std::size_t size = 0;  // bytes written
  bool idr = false;      // a unit is an IDR slice
};

// Rewrites an Annex B picture as NAL units each behind its 4-byte big-endian
// length, into `out`, which holds at least length_prefixed_size() bytes, so
// that the picture can be written straight into the buffer that keeps it.
// Zeros that trail a unit, before the next start code, are not part of it.
// Bytes before the first start code are dropped.
[[nodiscard]] LengthPrefixed length_prefixed(std::span<const std::uint8_t> annex_b,
                                             std::span<std::uint8_t> out);

// What length_prefixed_kept() may write for a chunk of `size` bytes at most:
// a unit takes at least four bytes with its start code, and one more behind
// its length.
[[nodiscard]] constexpr std::size_t length_prefixed_bound(std::size_t size) {
  return size + size / 4 + 8;
}

// A whole video chunk as the start-code filter would keep it (no SEI units,
// no access unit delimiters, all kept from a unit with header byte 0x00 on),
// rewritten as length_prefixed() would rewrite what the filter kept, in one
// look at each byte. `out` holds at least length_prefixed_bound() bytes.
[[nodiscard]] LengthPrefixed length_prefixed_kept(std::span<const std::uint8_t> chunk,
                                                  std::span<std::uint8_t> out);

// AAC LC at `rate` with channel configuration `channels`; a rate without a
// sampling frequency index is written out in full.
[[nodiscard]] std::vector<std::uint8_t> aac_audio_specific_config(std::uint32_t rate,
                                                                  std::uint8_t channels);

}  // namespace orvale
