#include "container/container.h"

#include <algorithm>
#include <array>

#include "container/le.h"

namespace orvale {
namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'k', 'v', 'x', 'm'};

constexpr std::uint64_t kFrameCountOffset = 12;
constexpr std::uint64_t kAudioFormatOffset = 32;
constexpr std::uint64_t kStreamCountOffset = 36;
constexpr std::uint64_t kAudioRateOffset = 48;

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

}  // namespace orvale
