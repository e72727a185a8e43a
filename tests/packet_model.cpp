#include "packet_model.h"

#include "container/le.h"

namespace orvale {

PacketStatus parse_packet(std::span<const std::uint8_t> packet, std::uint32_t stream_count,
                          PacketLayout& layout, std::uint64_t& needed) {
  const std::uint64_t length = packet.size();
  needed = kPacketFixedSize;
  if (length < kPacketFixedSize) {
    return PacketStatus::too_short;
  }
  const std::uint32_t audio_frames_per_stream = packet[0];
  const std::uint64_t table_size = kIndexEntrySize * stream_count * audio_frames_per_stream;
  needed += table_size;
  if (needed > length) {
    return PacketStatus::table_overrun;
  }
  const std::uint32_t video_size = read_le32(packet, kVideoSizeOffset);
  needed += video_size;
  if (needed > length) {
    return PacketStatus::video_overrun;
  }
  layout.audio_frames_per_stream = audio_frames_per_stream;
  layout.size_table = packet.subspan(kPacketFixedSize, static_cast<std::size_t>(table_size));
  layout.video =
      packet.subspan(static_cast<std::size_t>(kPacketFixedSize + table_size), video_size);
  layout.audio_offset = needed;
  // At most 2^29 entries of at most 2^32 each: the sum fits in 64 bits.
  for (std::uint64_t at = 0; at < table_size; at += kIndexEntrySize) {
    needed += read_le32(layout.size_table, at);
  }
  return needed > length ? PacketStatus::audio_overrun : PacketStatus::ok;
}

std::uint32_t audio_frame_length(const PacketLayout& layout, std::uint32_t stream,
                                 std::uint32_t frame) {
  const std::uint64_t entry = std::uint64_t{stream} * layout.audio_frames_per_stream + frame;
  return read_le32(layout.size_table, entry * kIndexEntrySize);
}

}  // namespace orvale
