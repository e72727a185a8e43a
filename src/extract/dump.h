// One whole extraction: a kvxavc file in, its video and audio streams out.
// This folder wires one input's walk to its sinks and outputs.
#pragma once

#include <cstdio>
#include <string>

#include "cli/session.h"
#include "container/input.h"
#include "outputs/report.h"

namespace orvale {

// Extracts the kvxavc file at `input.path`, or standard input for "-".
[[nodiscard]] ExitStatus dump(const Input& input, const Settings& settings, Session& session);

// Extracts from `file`, open for reading, as if it had been opened as `input`;
// diagnostics go to `diagnostics`, and the input passes through a window of
// `window_size` bytes.
[[nodiscard]] ExitStatus dump_descriptor(platform::File file, const Input& input,
                                         const Settings& settings, Session& session,
                                         std::FILE* diagnostics = stderr,
                                         std::size_t window_size = InputWindow::kDefaultSize);

}  // namespace orvale
