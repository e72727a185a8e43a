// The walk over the packets, in index order, through the input window.
#pragma once

#include "extract/run.h"

namespace orvale {

// Walks every packet the index lists, passing each well-formed one to the
// stream writers, and tells what the index hides or gets wrong. False when
// the run failed (an error was reported).
[[nodiscard]] bool walk(Run& run);

}  // namespace orvale
