#include "container/container.h"
#include "packet_model.h"

#include <gtest/gtest.h>

#include "kvxwrite.h"

namespace {

using kvx::Bytes;
using orvale::PacketStatus;

Bytes packet(std::uint8_t frames, std::uint32_t video_size,
             std::initializer_list<std::uint32_t> table, std::size_t payload) {
  Bytes bytes(9, 0);
  bytes[0] = frames;
  kvx::put_le32(bytes, video_size);
  for (const auto length : table) {
    kvx::put_le32(bytes, length);
  }
  bytes.resize(bytes.size() + payload, 0xEE);
  return bytes;
}

struct LayoutCase {
  const char* name;
  Bytes packet;
  std::uint32_t streams;
  PacketStatus status;
  std::uint64_t needed;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class PacketLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(PacketLayout, ChecksEveryFieldAgainstThePacket) {
  const LayoutCase& c = GetParam();
  orvale::PacketLayout layout;
  std::uint64_t needed = 0;
  EXPECT_EQ(orvale::parse_packet(c.packet, c.streams, layout, needed), c.status);
  EXPECT_EQ(needed, c.needed);
}

INSTANTIATE_TEST_SUITE_P(
    Packets, PacketLayout,
    ::testing::Values(
        LayoutCase{"exact", packet(1, 4, {2, 3}, 9), 2, PacketStatus::ok, 30},
        LayoutCase{"trailing_bytes_ignored", packet(1, 4, {2, 3}, 20), 2, PacketStatus::ok, 30},
        LayoutCase{"no_streams_ignore_frame_count", packet(200, 2, {}, 2), 0, PacketStatus::ok, 15},
        LayoutCase{"shorter_than_fixed_part", Bytes(12, 0), 0, PacketStatus::too_short, 13},
        LayoutCase{"table_past_end", packet(3, 0, {1, 1}, 0), 1, PacketStatus::table_overrun, 25},
        LayoutCase{"huge_declared_stream_count", packet(255, 0, {}, 0), 0xFFFFFFFF,
                   PacketStatus::table_overrun, 13 + 4ULL * 0xFFFFFFFF * 255},
        LayoutCase{"video_past_end", packet(0, 0xFFFFFFFF, {}, 10), 2, PacketStatus::video_overrun,
                   13 + 0xFFFFFFFFULL},
        LayoutCase{"audio_past_end", packet(1, 0, {0xFFFFFFFF, 0xFFFFFFFF}, 5), 2,
                   PacketStatus::audio_overrun, 21 + 2 * 0xFFFFFFFFULL},
        LayoutCase{"audio_one_byte_short", packet(1, 4, {2, 3}, 8), 2, PacketStatus::audio_overrun,
                   30}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PacketLayoutPieces, PointAtTheRightBytes) {
  Bytes bytes = packet(2, 3, {1, 2, 3, 4}, 0);
  const Bytes tail = {0xA1, 0xA2, 0xA3, 1, 2, 2, 3, 3, 3, 4, 4, 4, 4};
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  orvale::PacketLayout layout;
  std::uint64_t needed = 0;
  ASSERT_EQ(orvale::parse_packet(bytes, 2, layout, needed), PacketStatus::ok);
  EXPECT_EQ(Bytes(layout.video.begin(), layout.video.end()), (Bytes{0xA1, 0xA2, 0xA3}));
  EXPECT_EQ(layout.audio_offset, 13U + 16U + 3U);
  EXPECT_EQ(orvale::audio_frame_length(layout, 0, 0), 1U);
  EXPECT_EQ(orvale::audio_frame_length(layout, 0, 1), 2U);
  EXPECT_EQ(orvale::audio_frame_length(layout, 1, 0), 3U);
  EXPECT_EQ(orvale::audio_frame_length(layout, 1, 1), 4U);
}

TEST(FileHeaderParse, AcceptsOnlyTheKvxavcSignature) {
  const Bytes good = kvx::header_bytes(7, 0, 3, 32000);
  orvale::FileHeader header;
  ASSERT_EQ(orvale::parse_header(std::span<const std::uint8_t, 56>(good.data(), 56), header),
            orvale::HeaderStatus::ok);
  EXPECT_EQ(header.frame_count, 7U);
  EXPECT_FALSE(header.is_aac());
  EXPECT_EQ(header.audio_stream_count, 3U);
  EXPECT_EQ(header.audio_rate, 32000U);
  for (const std::size_t broken : {0, 3, 4, 8}) {
    Bytes bad = good;
    bad[broken] ^= (broken >= 4 ? 0x01 : 0x20);
    EXPECT_EQ(orvale::parse_header(std::span<const std::uint8_t, 56>(bad.data(), 56), header),
              orvale::HeaderStatus::not_kvxavc)
        << "byte " << broken;
  }
}

}  // namespace
