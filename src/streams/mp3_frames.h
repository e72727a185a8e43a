// Counting the frames of an MP3 stream, for a listing of what a file holds:
// a container's audio entries need not be one frame each.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace orvale {

// What one frame header says.
struct Mp3Header {
  std::uint32_t length = 0;  // 0: not a frame header
  std::uint32_t samples = 0;
  std::uint32_t rate = 0;
  std::uint8_t channels = 0;
};
[[nodiscard]] Mp3Header mp3_header(std::span<const std::uint8_t, 4> bytes);

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
  // Samples of the frames begun so far, and the first frame's header.
  [[nodiscard]] std::uint64_t samples() const { return samples_; }
  [[nodiscard]] const Mp3Header& first() const { return first_; }

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
  std::uint64_t samples_ = 0;
  Mp3Header first_;
};

// Cuts an MP3 stream handed over in pieces into whole frames, found as
// Mp3Frames finds them; bytes between frames are dropped, and so is a frame
// the stream ends inside. `take(frame, header)` gets each frame.
class Mp3Cutter {
 public:
  template <typename Take>
  void feed(std::span<const std::uint8_t> piece, Take&& take) {
    pending_.insert(pending_.end(), piece.begin(), piece.end());
    std::size_t at = 0;
    while (pending_.size() - at >= 4) {
      const Mp3Header header =
          mp3_header(std::span<const std::uint8_t>(pending_).subspan(at).template first<4>());
      if (header.length < 4) {
        ++at;
        continue;
      }
      if (pending_.size() - at < header.length) {
        break;
      }
      take(std::span<const std::uint8_t>(pending_).subspan(at, header.length), header);
      at += header.length;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
  }

 private:
  std::vector<std::uint8_t> pending_;
};

}  // namespace orvale
