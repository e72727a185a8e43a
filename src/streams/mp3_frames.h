// Counting the frames of an MP3 stream, for a listing of what a file holds:
// a container's audio entries need not be one frame each.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace orvale {

// The stream is handed over in pieces cut anywhere. A frame is a layer III
// header (sync, a bitrate and a sample rate that are not reserved or free)
// and the bytes its length covers; bytes that do not begin one are passed
// over one at a time until one does.
class Mp3Frames {
 public:
  void feed(std::span<const std::uint8_t> piece);

  [[nodiscard]] std::uint64_t frames() const { return frames_; }
  // The frames' playing time: each frame's samples at its own rate.
  [[nodiscard]] double seconds() const { return seconds_; }

 private:
  // Takes the gathered header when it opens a frame; otherwise drops its
  // first byte.
  void take_header();

  std::array<std::uint8_t, 4> header_{};
  std::uint32_t gathered_ = 0;
  // Bytes of the current frame still to pass.
  std::uint64_t inside_ = 0;
  std::uint64_t frames_ = 0;
  double seconds_ = 0;
};

}  // namespace orvale
