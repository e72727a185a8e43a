// What the parts of this folder share about the outputs of one input: which
// are written, and their slots in the interrupt handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "extract/run.h"

namespace orvale::output_set {

// The handler's slot for each output's temporary.
inline constexpr std::size_t kVideoSlot = 0;
inline constexpr std::size_t audio_slot(std::uint32_t stream) { return 1 + std::size_t{stream}; }

inline const char* extension(const FileHeader& header) { return header.is_aac() ? ".aac" : ".mp3"; }

inline std::string audio_name(const std::string& base, std::uint32_t stream,
                              const char* extension) {
  std::string name = base;
  name += '.';
  name += std::to_string(stream);
  name += extension;
  return name;
}

inline bool writes_raw(const Run& run) { return run.settings.writes() && !run.settings.muxes(); }

inline bool writes_video(const Run& run) {
  return writes_raw(run) && run.settings.streams.takes_video();
}

inline bool writes_audio(const Run& run, std::uint32_t stream) {
  return writes_raw(run) && run.settings.streams.takes_audio(stream);
}

// The outputs this run writes; the others discard what they are given.
template <typename Action>
void for_each_output(Run& run, Action&& action) {
  if (run.settings.writes() && run.settings.muxes() && !run.mux_place.left_alone()) {
    action(run.mux_place, run.mux, kVideoSlot);
  }
  if (writes_video(run) && !run.video_place.left_alone()) {
    action(run.video_place, run.video, kVideoSlot);
  }
  for (std::uint32_t s = 0; s < run.header.extracted_streams(); ++s) {
    if (writes_audio(run, s) && !run.audio_places[s].left_alone()) {
      action(run.audio_places[s], run.audio[s], audio_slot(s));
    }
  }
}

}  // namespace orvale::output_set
