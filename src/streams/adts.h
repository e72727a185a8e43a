// ADTS headers for raw AAC frames.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace orvale {

// MPEG-2 AAC LC, no CRC, channel configuration 2, buffer fullness 0x7FF; the
// sampling frequency index and the frame length are filled in per frame, and
// the channel configuration per stream.
inline constexpr std::array<std::uint8_t, 7> AAC_ADTS = {0xFF, 0xF9, 0x40, 0x80, 0x00, 0x1F, 0xFC};

inline constexpr std::uint32_t kAdtsHeaderSize = 7;
// The 13-bit frame length counts the header too.
inline constexpr std::uint32_t kMaxAdtsPayload = 0x1FFF - kAdtsHeaderSize;

// The ADTS index of a sample rate; rates without one are labelled 48000 Hz.
[[nodiscard]] std::uint8_t sampling_frequency_index(std::uint32_t audio_rate);
// True for the 13 rates ADTS has an index for.
[[nodiscard]] bool is_adts_rate(std::uint32_t audio_rate);

// The header for a frame of `payload_size` bytes of a stream of channel
// configuration `channels` (1 mono, 2 stereo), or nothing when the frame is
// longer than kMaxAdtsPayload.
[[nodiscard]] std::optional<std::array<std::uint8_t, 7>> adts_header(std::uint32_t payload_size,
                                                                     std::uint32_t audio_rate,
                                                                     std::uint8_t channels);

}  // namespace orvale
