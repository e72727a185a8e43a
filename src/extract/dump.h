// One whole extraction: a kvxavc file in, its video and audio streams out.
#pragma once

#include <cstdio>
#include <string>

#include "extract/report.h"

namespace orvale {

// Extracts the kvxavc file at `path` into files named after it.
[[nodiscard]] ExitStatus dump(const std::string& path);

// Extracts from an input already open for reading; the outputs are named after
// `path` as if the input had been opened from there. Diagnostics go to
// `diagnostics`.
[[nodiscard]] ExitStatus dump_stream(std::FILE* input, const std::string& path,
                                     std::FILE* diagnostics = stderr);

}  // namespace orvale
