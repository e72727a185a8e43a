// One input made into one MP4 or Matroska file.
#pragma once

#include "extract/run.h"

namespace orvale {

// Refuses, with an error, an input the clock cannot be read from first: one
// that is not a regular file.
[[nodiscard]] bool can_mux(Run& run);

// With the header read and the output open: a first walk over the input,
// through a second descriptor, gathers the audio clock and the pictures'
// order; the timeline is fitted to it; then the walk of `run` writes the
// file. False when the run failed (told).
[[nodiscard]] bool mux(Run& run);

}  // namespace orvale
