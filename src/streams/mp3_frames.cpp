#include "streams/mp3_frames.h"

#include <algorithm>
#include <cstring>

namespace orvale {
namespace {

constexpr std::uint32_t kHeaderSize = 4;

// Layer III bitrates in kbit/s by index; 0 (free format) and 15 are not
// taken, since no length follows from them.
constexpr std::array<std::uint32_t, 16> kMpeg1Bitrates = {0,   32,  40,  48,  56,  64,  80,  96,
                                                          112, 128, 160, 192, 224, 256, 320, 0};
constexpr std::array<std::uint32_t, 16> kMpeg2Bitrates = {0,  8,  16, 24,  32,  40,  48,  56,
                                                          64, 80, 96, 112, 128, 144, 160, 0};
constexpr std::array<std::uint32_t, 3> kMpeg1Rates = {44100, 48000, 32000};

}  // namespace

Mp3Header mp3_header(std::span<const std::uint8_t, 4> bytes) {
  const auto& h = bytes;
  const std::uint32_t version = h[1] >> 3 & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
  const std::uint32_t layer = h[1] >> 1 & 3;    // 1: layer III
  const std::uint32_t bitrate_index = h[2] >> 4;
  const std::uint32_t rate_index = h[2] >> 2 & 3;
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0 || version == 1 || layer != 1 || rate_index == 3) {
    return {};
  }
  const bool mpeg1 = version == 3;
  const std::uint32_t kbits = (mpeg1 ? kMpeg1Bitrates : kMpeg2Bitrates)[bitrate_index];
  if (kbits == 0) {
    return {};
  }
  const std::uint32_t rate = kMpeg1Rates[rate_index] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  const std::uint32_t padding = h[2] >> 1 & 1;
  // A layer III frame holds 1152 samples, 576 in MPEG-2 and 2.5: its length
  // is samples / 8 bytes for each bit per second of the bitrate, per sample.
  const std::uint32_t samples = mpeg1 ? 1152 : 576;
  // Channel mode 3 is a single channel; the others carry two.
  const std::uint8_t channels = (h[3] >> 6) == 3 ? 1 : 2;
  return {samples / 8 * kbits * 1000 / rate + padding, samples, rate, channels};
}

void Mp3Frames::take_header() {
  const Mp3Header frame = mp3_header(header_);
  if (frame.length < kHeaderSize) {
    std::memmove(header_.data(), header_.data() + 1, kHeaderSize - 1);
    gathered_ = kHeaderSize - 1;
    return;
  }
  if (frames_++ == 0) {
    first_ = frame;
  }
  seconds_ += static_cast<double>(frame.samples) / frame.rate;
  samples_ += frame.samples;
  inside_ = frame.length - kHeaderSize;
  gathered_ = 0;
}

void Mp3Frames::feed(std::span<const std::uint8_t> piece) {
  while (!piece.empty()) {
    if (inside_ > 0) {
      const auto passed = static_cast<std::size_t>(std::min<std::uint64_t>(inside_, piece.size()));
      inside_ -= passed;
      piece = piece.subspan(passed);
      continue;
    }
    header_[gathered_++] = piece.front();
    piece = piece.subspan(1);
    if (gathered_ == kHeaderSize) {
      take_header();
    }
  }
}

}  // namespace orvale
