// libavformat writing MP4 or Matroska into one of Orvale's outputs, through
// its own write and seek calls: no FFmpeg protocol ever opens a file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "mux/picture_blocks.h"
#include "streams/output.h"

struct AVFormatContext;
struct AVPacket;

namespace orvale {

struct FfmpegApi;

enum class MuxFormat { mp4, mkv };

struct VideoTrackFacts {
  std::vector<std::uint8_t> decoder_config;  // avcC
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // Ticks per second of the times given with each picture.
  std::int64_t ticks_per_second = 0;
  // The pictures' rate where it is one throughout; 0 where it changes.
  std::uint32_t rate_num = 0;
  std::uint32_t rate_den = 1;
};

struct AudioTrackFacts {
  bool aac = true;
  std::uint32_t rate = 0;
  std::uint8_t channels = 0;
  std::vector<std::uint8_t> config;  // AudioSpecificConfig, AAC only
};

// Frees what libavformat allocated, on every path.
struct MuxContextDeleter {
  const FfmpegApi* api = nullptr;
  void operator()(AVFormatContext* context) const;
};

// Where libavformat's writes go: the output, and the blocks whose pictures
// the output may borrow until it sends them.
struct MuxDestination {
  Output* output = nullptr;
  const PictureBlocks* pictures = nullptr;
};

class Muxer {
 public:
  Muxer() = default;
  Muxer(const Muxer&) = delete;
  Muxer& operator=(const Muxer&) = delete;
  // The output sends what it still borrows of the pictures, which go with
  // the muxer.
  ~Muxer();

  // Starts the file: its header goes to `output`. `seekable` lets the muxer
  // go back (a regular file); without it MP4 is written fragmented and
  // Matroska without an index. A track of video is there when `video` has a
  // decoder configuration. False, with error() set, when libavformat refuses.
  [[nodiscard]] bool open(MuxFormat format, Output& output, bool seekable,
                          const VideoTrackFacts& video, std::span<const AudioTrackFacts> audio);
  // Room for `size` more bytes of NAL units behind their lengths, onto the
  // picture being gathered; empty, with error() set, when memory runs out.
  [[nodiscard]] std::span<std::uint8_t> picture_room(std::size_t size);
  // The picture being gathered took `size` bytes of the room; `idr`: one of
  // them is an IDR slice.
  void picture_grew(std::size_t size, bool idr);
  // Writes the picture gathered; times in the video's ticks. `written` is its
  // size in the file, 0 where it held no unit (and nothing was written).
  [[nodiscard]] bool write_picture(std::int64_t pts, std::int64_t dts, std::int64_t duration,
                                   std::size_t& written);
  // An audio frame of track `track` (counted among the audio tracks), its
  // time and length in samples.
  [[nodiscard]] bool write_audio(std::size_t track, std::span<const std::uint8_t> frame,
                                 std::int64_t pts, std::int64_t samples);
  // Ends the file (its index, the sizes left open).
  [[nodiscard]] bool finish();

  // What went wrong, for the user; empty while nothing did.
  [[nodiscard]] const std::string& error() const { return error_; }
  // The output is standard output, and its reader went away.
  [[nodiscard]] bool reader_gone() const { return output_ != nullptr && output_->reader_gone(); }
  [[nodiscard]] bool has_video() const { return video_index_ >= 0; }

 private:
  [[nodiscard]] bool failed(const char* step, int code);
  [[nodiscard]] bool send(AVPacket* packet, int stream, std::int64_t pts, std::int64_t dts,
                          std::int64_t duration, bool key);

  const FfmpegApi* api_ = nullptr;
  // Before the context: packets it still holds let go of their pictures as
  // it goes.
  PictureBlocks pictures_;
  bool picture_idr_ = false;
  std::unique_ptr<AVFormatContext, MuxContextDeleter> context_;
  // The time base of each stream's times as given, before the muxer chose
  // its own.
  std::vector<std::pair<int, int>> given_;
  int video_index_ = -1;
  int first_audio_index_ = 0;
  bool header_written_ = false;
  Output* output_ = nullptr;
  MuxDestination destination_;
  std::string error_;
};

}  // namespace orvale
