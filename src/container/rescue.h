// Recovering what a damaged index hides: the index followed where it agrees
// with the packets, the packets found by their own structure elsewhere.
#pragma once

#include "extract/run.h"

namespace orvale {

// Where the index's entries agree with the packets they lead to, they are
// followed; past that, each packet is recognised by its fields, and bytes
// where none stands are skipped and told. Reads the index itself; needs a
// regular file. False when the run failed (an error was reported).
[[nodiscard]] bool rescue(Run& run);

}  // namespace orvale
