// The kvxavc container: the file header, the frame index and the packet
// layout. This folder reads it: the walk over the packets the index lists,
// rescue by the packets' own structure, and how damage is told; every packet
// accepted goes to a sink (sink.h), which the walk does not know.
#pragma once

#include <cstdint>
#include <span>

namespace orvale {

inline constexpr std::uint64_t kHeaderSize = 56;
inline constexpr std::uint64_t kIndexEntrySize = 4;
// Frames per stream (1 byte), 8 spare bytes, video size (4 bytes).
inline constexpr std::uint64_t kPacketFixedSize = 13;
inline constexpr std::uint64_t kVideoSizeOffset = 9;
inline constexpr std::uint32_t kAudioSlots = 10;

struct FileHeader {
  std::uint32_t frame_count = 0;
  std::uint32_t audio_format = 0;  // 0: MP3, anything else: AAC
  std::uint32_t audio_stream_count = 0;
  std::uint32_t audio_rate = 0;

  [[nodiscard]] bool is_aac() const { return audio_format != 0; }
  // Streams that get an output of their own.
  [[nodiscard]] std::uint32_t extracted_streams() const {
    return audio_stream_count < kAudioSlots ? audio_stream_count : kAudioSlots;
  }
};

enum class HeaderStatus { ok, not_kvxavc };

// Parses the 56 header bytes: magic "kvxm", then two words that must be 1.
[[nodiscard]] HeaderStatus parse_header(std::span<const std::uint8_t, kHeaderSize> bytes,
                                        FileHeader& header);

// A packet's length from its index entry; bit 0 of the entry is a flag.
[[nodiscard]] inline std::uint32_t packet_length(std::uint32_t entry) { return entry >> 1; }

// Whether a packet's fields fit in it, and where they first do not.
enum class PacketStatus {
  ok,
  too_short,      // fewer than the 13 fixed bytes
  table_overrun,  // the audio size table runs past the end
  video_overrun,  // the video chunk runs past the end
  audio_overrun,  // the audio frames run past the end
};

}  // namespace orvale
