#include "kvxwrite.h"

#include <limits>

#include "container/le.h"

namespace kvx {
namespace {

constexpr std::size_t kHeaderSize = 56;
constexpr std::uint32_t kMaxPacketLength = std::numeric_limits<std::uint32_t>::max() >> 1;

}  // namespace

void put_le32(Bytes& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

void set_le32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

Bytes header_bytes(std::uint32_t frame_count, std::uint32_t audio_format,
                   std::uint32_t audio_stream_count, std::uint32_t audio_rate) {
  Bytes header = {'k', 'v', 'x', 'm'};
  put_le32(header, 1);
  put_le32(header, 1);
  put_le32(header, frame_count);
  for (int word = 4; word < 8; ++word) {
    put_le32(header, 0);
  }
  put_le32(header, audio_format);
  put_le32(header, audio_stream_count);
  put_le32(header, 0);
  put_le32(header, 0);
  put_le32(header, audio_rate);
  put_le32(header, 0);
  return header;
}

bool encode_packet(const Packet& packet, std::uint32_t stream_count, Bytes& out,
                   std::string& problem) {
  if (packet.audio.size() != stream_count) {
    problem = "packet has " + std::to_string(packet.audio.size()) + " audio streams, the file " +
              std::to_string(stream_count);
    return false;
  }
  const std::size_t frames = packet.audio.empty() ? 0 : packet.audio.front().size();
  for (const auto& stream : packet.audio) {
    if (stream.size() != frames) {
      problem = "the audio streams of a packet must have the same number of frames";
      return false;
    }
  }
  if (frames > 255) {
    problem = "a packet holds at most 255 audio frames per stream";
    return false;
  }
  Bytes bytes;
  bytes.push_back(static_cast<std::uint8_t>(frames));
  bytes.resize(9, 0);
  put_le32(bytes, static_cast<std::uint32_t>(packet.video.size()));
  for (const auto& stream : packet.audio) {
    for (const auto& frame : stream) {
      put_le32(bytes, static_cast<std::uint32_t>(frame.size()));
    }
  }
  bytes.insert(bytes.end(), packet.video.begin(), packet.video.end());
  for (const auto& stream : packet.audio) {
    for (const auto& frame : stream) {
      bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
  }
  if (bytes.size() > kMaxPacketLength) {
    problem = "a packet holds at most " + std::to_string(kMaxPacketLength) + " bytes";
    return false;
  }
  out.insert(out.end(), bytes.begin(), bytes.end());
  return true;
}

bool encode_file(const File& file, Bytes& out, std::string& problem) {
  Bytes body;
  Bytes index;
  for (const auto& packet : file.packets) {
    const std::size_t before = body.size();
    if (!encode_packet(packet, file.audio_stream_count, body, problem)) {
      return false;
    }
    const auto length = static_cast<std::uint32_t>(body.size() - before);
    put_le32(index, length << 1 | (packet.key ? 1U : 0U));
  }
  out = header_bytes(static_cast<std::uint32_t>(file.packets.size()), file.audio_format,
                     file.audio_stream_count, file.audio_rate);
  out.insert(out.end(), index.begin(), index.end());
  out.insert(out.end(), body.begin(), body.end());
  return true;
}

std::size_t packet_offset(const Bytes& file, std::size_t number) {
  const std::size_t count = orvale::read_le32(file, 12);
  std::size_t offset = kHeaderSize + 4 * count;
  for (std::size_t i = 0; i < number; ++i) {
    offset += orvale::read_le32(file, kHeaderSize + 4 * i) >> 1;
  }
  return offset;
}

}  // namespace kvx
