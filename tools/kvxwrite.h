// Writing kvxavc files: used by kvxmux and by the tests that build good and
// damaged inputs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvx {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint32_t kFormatMp3 = 0;
inline constexpr std::uint32_t kFormatAac = 1;

struct Packet {
  Bytes video;
  std::vector<std::vector<Bytes>> audio;  // [stream][frame]; every stream has the same count
  bool key = false;                       // bit 0 of the index entry
};

struct File {
  std::uint32_t audio_format = kFormatAac;
  std::uint32_t audio_rate = 44100;
  std::uint32_t audio_stream_count = 0;
  std::vector<Packet> packets;
};

void put_le32(Bytes& out, std::uint32_t value);
void set_le32(Bytes& bytes, std::size_t offset, std::uint32_t value);

// The 56-byte header with the given fields and every other word as a writer
// sets it.
[[nodiscard]] Bytes header_bytes(std::uint32_t frame_count, std::uint32_t audio_format,
                                 std::uint32_t audio_stream_count, std::uint32_t audio_rate);

// One packet laid out for `stream_count` streams. Returns false (and leaves
// `out` alone) when the streams differ in frame count or hold more than 255.
[[nodiscard]] bool encode_packet(const Packet& packet, std::uint32_t stream_count, Bytes& out,
                                 std::string& problem);

// The whole file: header, index, packets.
[[nodiscard]] bool encode_file(const File& file, Bytes& out, std::string& problem);

// Where packet `number` starts in a file made by encode_file.
[[nodiscard]] std::size_t packet_offset(const Bytes& file, std::size_t number);

}  // namespace kvx
