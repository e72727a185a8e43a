#include <algorithm>
#include <array>

#include "streams/adts.h"
#include "streams/streams.h"

namespace orvale {
namespace {

constexpr std::uint8_t kDefaultFrequencyIndex = 3;  // 48000 Hz

struct RateIndex {
  std::uint32_t rate;
  std::uint8_t index;
};

constexpr std::array<RateIndex, 13> kFrequencyIndices = {{
    {96000, 0},
    {88200, 1},
    {64000, 2},
    {48000, 3},
    {44100, 4},
    {32000, 5},
    {24000, 6},
    {22050, 7},
    {16000, 8},
    {12000, 9},
    {11025, 10},
    {8000, 11},
    {7350, 12},
}};

}  // namespace

std::uint8_t sampling_frequency_index(std::uint32_t audio_rate) {
  const auto* found =
      std::find_if(kFrequencyIndices.begin(), kFrequencyIndices.end(),
                   [&](const RateIndex& entry) { return entry.rate == audio_rate; });
  return found != kFrequencyIndices.end() ? found->index : kDefaultFrequencyIndex;
}

bool is_adts_rate(std::uint32_t audio_rate) {
  return std::any_of(kFrequencyIndices.begin(), kFrequencyIndices.end(),
                     [&](const RateIndex& entry) { return entry.rate == audio_rate; });
}

std::optional<std::array<std::uint8_t, 7>> adts_header(std::uint32_t payload_size,
                                                       std::uint32_t audio_rate,
                                                       std::uint8_t channels) {
  if (payload_size > kMaxAdtsPayload) {
    return std::nullopt;
  }
  std::array<std::uint8_t, 7> header = AAC_ADTS;
  header[2] |= static_cast<std::uint8_t>(sampling_frequency_index(audio_rate) << 2);
  // The 3-bit channel configuration straddles bytes 2 and 3.
  header[2] = static_cast<std::uint8_t>((header[2] & 0xFE) | (channels >> 2 & 1));
  header[3] = static_cast<std::uint8_t>((header[3] & 0x3F) | (channels & 3) << 6);
  const std::uint32_t frame_length = payload_size + kAdtsHeaderSize;
  header[3] |= static_cast<std::uint8_t>(frame_length >> 11);
  header[4] |= static_cast<std::uint8_t>(frame_length >> 3);
  header[5] |= static_cast<std::uint8_t>(frame_length << 5);
  return header;
}

DumpStatus dumpaac_header(Output& audio, std::uint64_t frame_length, std::uint32_t audio_rate,
                          std::uint8_t channels) {
  if (frame_length > kMaxAdtsPayload) {
    return DumpStatus::frame_too_long;
  }
  const auto header = adts_header(static_cast<std::uint32_t>(frame_length), audio_rate, channels);
  return audio.write(*header) ? DumpStatus::ok : DumpStatus::output_failed;
}

DumpStatus dump_frame_piece(Output& audio, std::span<const std::uint8_t> piece) {
  return audio.write(piece) ? DumpStatus::ok : DumpStatus::output_failed;
}

DumpStatus dumpaac(Output& audio, std::span<const std::uint8_t> frame, std::uint32_t audio_rate,
                   std::uint8_t channels) {
  const DumpStatus status = dumpaac_header(audio, frame.size(), audio_rate, channels);
  return status == DumpStatus::ok ? dump_frame_piece(audio, frame) : status;
}

DumpStatus dumpmp3(Output& audio, std::span<const std::uint8_t> frame) {
  return dump_frame_piece(audio, frame);
}

}  // namespace orvale
