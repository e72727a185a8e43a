// The packet layout as a plain model, for checking the program's walk,
// which meets a packet in pieces, against a whole packet's fields.
#pragma once

#include <cstdint>
#include <span>

#include "container/container.h"

namespace orvale {

// Where the pieces of one packet lie, all inside the packet.
struct PacketLayout {
  std::uint32_t audio_frames_per_stream = 0;
  std::span<const std::uint8_t> size_table;  // stream-major frame lengths
  std::span<const std::uint8_t> video;
  std::uint64_t audio_offset = 0;  // first audio frame, from the packet start
};

// Lays out `packet` for `stream_count` declared streams, checking in 64-bit
// arithmetic that every piece it names lies inside the packet. On failure
// `needed` is the packet length the fields would require.
[[nodiscard]] PacketStatus parse_packet(std::span<const std::uint8_t> packet,
                                        std::uint32_t stream_count, PacketLayout& layout,
                                        std::uint64_t& needed);

// The length of frame `frame` of stream `stream` from the size table.
[[nodiscard]] std::uint32_t audio_frame_length(const PacketLayout& layout, std::uint32_t stream,
                                               std::uint32_t frame);

}  // namespace orvale
