#include "extract/container.h"

#include <algorithm>
#include <array>

#include "extract/le.h"

namespace orvale {
namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'k', 'v', 'x', 'm'};

constexpr std::uint64_t kFrameCountOffset = 12;
constexpr std::uint64_t kAudioFormatOffset = 32;
constexpr std::uint64_t kStreamCountOffset = 36;
constexpr std::uint64_t kAudioRateOffset = 48;
constexpr std::uint64_t kVideoSizeOffset = 9;

}  // namespace

HeaderStatus parse_header(std::span<const std::uint8_t, kHeaderSize> bytes, FileHeader& header) {
  const auto magic = bytes.first<kMagic.size()>();
  if (!std::equal(magic.begin(), magic.end(), kMagic.begin()) || read_le32(bytes, 4) != 1 ||
      read_le32(bytes, 8) != 1) {
    return HeaderStatus::not_kvxavc;
  }
  header.frame_count = read_le32(bytes, kFrameCountOffset);
  header.audio_format = read_le32(bytes, kAudioFormatOffset);
  header.audio_stream_count = read_le32(bytes, kStreamCountOffset);
  header.audio_rate = read_le32(bytes, kAudioRateOffset);
  return HeaderStatus::ok;
}

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
