// The outputs of one input: named, checked, written aside, and at the end
// either put in place of the output names or kept apart. This folder also
// holds the raw files' sink, the signal cleanup and what a run reports.
#pragma once

#include <cstdint>
#include <string>

#include "cli/session.h"
#include "extract/run.h"

namespace orvale {

enum class OutputsOpened {
  open,     // every output is open for writing
  refused,  // an error was reported; nothing at an output name was touched
  skipped,  // no-clobber: an output is already there, and the input is left out
};

// The path --parents keeps below -o DIR: the input's path without its root,
// where a drive becomes a folder (Z:\cards\a.kvx: Z\cards\a.kvx) and a share
// keeps its server and name (\\nas\cards\a.kvx: nas\cards\a.kvx) when
// `drives_and_shares`.
[[nodiscard]] std::string kept_path(const std::string& path, bool drives_and_shares);

// The folder of the system's own (/dev, /proc, /sys) that `path` lies in, or
// "" for none.
[[nodiscard]] std::string system_folder_of(const std::string& path);

// Looks at every output name before anything is created, refuses names that
// cannot be written or that clash with the input, another output or an
// earlier input, then opens each: a new temporary beside a regular file, or
// the FIFO or device at the name.
[[nodiscard]] OutputsOpened open_outputs(Run& run, const Settings& settings, Session& session);

// Closes the outputs. An input that ended without an error puts each one in
// place of its name at once; one that ended with an error leaves every name
// as it was and keeps what it extracted as NAME.partial, or nothing when it
// extracted nothing.
void finish_outputs(Run& run, Session& session);

// Reports a failed output (by its name) and gives false.
[[nodiscard]] bool report_output_failure(Run& run, const Output& output);

// Sends what the outputs borrowed from the window, so it can be refilled.
[[nodiscard]] bool flush_borrowed(Run& run);
// Bytes the run's outputs have taken so far, all of them together.
[[nodiscard]] std::uint64_t bytes_taken(Run& run);

}  // namespace orvale
