// The stream writers: each turns one video chunk or one audio frame into bytes
// of its output file. What they hand to the output may be borrowed rather than
// copied (see Output): the memory they were given must stay unchanged until
// the output's next flush().
#pragma once

#include <cstdint>
#include <span>

#include "streams/output.h"

namespace orvale {

class StartCodeFilter;

enum class DumpStatus {
  ok,
  output_failed,   // the output reported an error; see Output::error()
  frame_too_long,  // an AAC frame an ADTS header cannot describe; nothing written
};

// Appends the chunk without its SEI units and access unit delimiters.
[[nodiscard]] DumpStatus dumpavc(Output& video, std::span<const std::uint8_t> chunk);

// The same for a chunk that arrives in pieces: each piece goes through
// dumpavc_piece, cut anywhere, and dumpavc_end ends the chunk; `filter`
// carries what one piece leaves open to the next and is ready for a new chunk
// after dumpavc_end. After output_failed the filter has forgotten the
// chunk; a chunk given up early needs filter.reset().
[[nodiscard]] DumpStatus dumpavc_piece(Output& video, StartCodeFilter& filter,
                                       std::span<const std::uint8_t> piece);
[[nodiscard]] DumpStatus dumpavc_end(Output& video, StartCodeFilter& filter);

// Appends an ADTS header built for this frame, `audio_rate` and the stream's
// channel configuration `channels` (see channel_configuration()), then the
// frame.
[[nodiscard]] DumpStatus dumpaac(Output& audio, std::span<const std::uint8_t> frame,
                                 std::uint32_t audio_rate, std::uint8_t channels);

// Appends the MP3 frame as it is.
[[nodiscard]] DumpStatus dumpmp3(Output& audio, std::span<const std::uint8_t> frame);

// A frame that arrives in pieces: the ADTS header for a frame of
// `frame_length` bytes (AAC only), then each piece of the frame in order.
[[nodiscard]] DumpStatus dumpaac_header(Output& audio, std::uint64_t frame_length,
                                        std::uint32_t audio_rate, std::uint8_t channels);
[[nodiscard]] DumpStatus dump_frame_piece(Output& audio, std::span<const std::uint8_t> piece);

}  // namespace orvale
