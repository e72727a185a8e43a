// The stream writers: each turns one video chunk or one audio frame into bytes
// of its output file.
#pragma once

#include <cstdint>
#include <span>

#include "streams/output.h"

namespace orvale {

enum class DumpStatus {
  ok,
  output_failed,   // the output reported an error; see Output::error()
  frame_too_long,  // an AAC frame an ADTS header cannot describe; nothing written
};

// Appends the chunk without its SEI units and access unit delimiters.
[[nodiscard]] DumpStatus dumpavc(Output& video, std::span<const std::uint8_t> chunk);

// Appends an ADTS header built for this frame and `audio_rate`, then the frame.
[[nodiscard]] DumpStatus dumpaac(Output& audio, std::span<const std::uint8_t> frame,
                                 std::uint32_t audio_rate);

// Appends the MP3 frame as it is.
[[nodiscard]] DumpStatus dumpmp3(Output& audio, std::span<const std::uint8_t> frame);

}  // namespace orvale
