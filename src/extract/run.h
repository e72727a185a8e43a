// Everything one extraction owns, shared by the steps that make it up.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "cli/session.h"
#include "container/container.h"
#include "container/input.h"
#include "container/sink.h"
#include "mux/clock.h"
#include "outputs/report.h"
#include "streams/destination.h"
#include "streams/mp3_frames.h"
#include "streams/nal_census.h"
#include "streams/output.h"

namespace orvale {

// What --list counts beside the bytes: the video's NAL units, and the frames
// of each MP3 stream, found by their headers.
struct Census {
  NalCensus video;
  std::array<Mp3Frames, kAudioSlots> mp3;
};

// Leaving scope releases all of it on every path. The window is declared
// before the outputs so that it outlives the pieces they borrow from it, and
// the destinations before the outputs so that a temporary left is removed
// after its file is closed.
struct Run {
  Run(platform::File input_file, std::string input_path, const Settings& run_settings,
      std::FILE* diagnostics, Progress* progress, std::size_t window_size)
      : path(std::move(input_path)),
        settings(run_settings),
        file(input_file),
        window(input_file, window_size),
        report(path, diagnostics, progress) {}

  std::string path;
  // Its path below the folder it was found in, when it was (Input::below).
  std::string below;
  const Settings& settings;
  platform::File file;
  InputWindow window;
  Report report;
  FileHeader header;
  bool header_read = false;
  ByteBuffer index_buffer;
  std::span<const std::uint8_t> index;
  // The output names without their ".264" or ".N.aac".
  std::string output_base;
  Destination video_place;
  std::array<Destination, kAudioSlots> audio_places;
  Output video;
  std::array<Output, kAudioSlots> audio;
  // The one MP4 or Matroska file, under -f mp4|mkv; the raw outputs then
  // write nothing.
  Destination mux_place;
  Output mux;
  // Set once every output is open.
  bool outputs_open = false;
  // What finished outputs take as their modification time: the input's,
  // when it is a regular file.
  std::optional<platform::Time> input_modified;
  std::uint64_t extracted = 0;
  // Entries holding audio written to each stream's output.
  std::array<std::uint64_t, kAudioSlots> audio_frames{};
  // Set under --list only.
  Census* census = nullptr;
  // Stretches a rescue passed over without knowing how many packets, and so
  // how much time, they held.
  std::uint64_t gaps_of_unknown_length = 0;
  // Set under --list only: what the listing tells of time.
  RecordingClock* clock = nullptr;
  // Where the walk sends the packets it accepts.
  PacketSink* sink = nullptr;
};

}  // namespace orvale
