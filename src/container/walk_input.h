// The steps every walk over an input takes, for the passes that walk it
// more than once.
#pragma once

#include "extract/run.h"

namespace orvale {

// Reads and checks the file header; false when the input is not one.
[[nodiscard]] bool read_header(Run& run);
// Walks the packets into the run's sink, as the index says or, under
// --rescue, as the rescue finds them; false when the run failed.
[[nodiscard]] bool walk_input(Run& run);

}  // namespace orvale
