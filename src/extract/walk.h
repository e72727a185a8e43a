// The walk over the packets, in index order, through the input window.
#pragma once

#include "extract/run.h"

namespace orvale {

// Walks every packet the index lists, passing each well-formed one to the
// stream writers. False when the run failed (an error was reported).
[[nodiscard]] bool walk(Run& run);

// The same where the index agrees with the packets, and past that by the
// packets' own structure: each packet is recognised by its fields, and bytes
// where none stands are skipped and told. Reads the index itself; needs a
// regular file.
[[nodiscard]] bool rescue(Run& run);

}  // namespace orvale
