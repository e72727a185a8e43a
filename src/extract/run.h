// Everything one extraction owns, shared by the steps that make it up.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "extract/container.h"
#include "extract/input.h"
#include "extract/report.h"
#include "streams/output.h"

namespace orvale {

// Leaving scope releases all of it on every path. The window is declared
// before the outputs so that it outlives the pieces they borrow from it.
struct Run {
  Run(int input_fd, std::string input_path, std::FILE* diagnostics, Progress* progress,
      std::size_t window_size)
      : path(std::move(input_path)),
        fd(input_fd),
        window(input_fd, window_size),
        report(path, diagnostics, progress) {}

  std::string path;
  int fd;
  InputWindow window;
  Report report;
  FileHeader header;
  ByteBuffer index_buffer;
  std::span<const std::uint8_t> index;
  Output video;
  std::array<Output, kAudioSlots> audio;
  // Set once the first packet is accepted and the outputs are this run's.
  bool begun = false;
  std::uint64_t extracted = 0;
};

// Reports a failed output (by its name) and gives false.
[[nodiscard]] bool report_output_failure(Run& run, const Output& output);

// Makes the outputs this run's: existing files are emptied. Done once, when
// the first packet has been checked whole and is about to be written.
[[nodiscard]] bool begin_outputs(Run& run);

// Sends what the outputs borrowed from the window, so it can be refilled.
[[nodiscard]] bool flush_borrowed(Run& run);
// Bytes the run's outputs have taken so far, all of them together.
[[nodiscard]] std::uint64_t bytes_taken(Run& run);

}  // namespace orvale
