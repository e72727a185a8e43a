// The command line: options, the inputs, and what may not go together. This
// folder holds what the user meets: the entry point, the options, the
// listing, the progress line and the wording of what is told.
#pragma once

#include <string>
#include <vector>

#include "cli/session.h"

namespace orvale {

struct Options {
  Settings settings;
  bool quiet = false;
  // --list prints one JSON document rather than a table.
  bool json = false;
  std::vector<std::string> inputs;
};

enum class Parsed {
  run,     // go on with the inputs
  done,    // --help or --version was answered
  failed,  // a message on stderr said what was wrong
};

// Reads argv into `options`; options may stand before or after the inputs,
// and "--" ends them.
[[nodiscard]] Parsed parse_options(int argc, char** argv, Options& options);

// The two lines a run without input prints on stdout.
[[nodiscard]] const char* usage_lines();

// "raw", "mp4" or "mkv"; false for anything else.
[[nodiscard]] bool parse_format(const std::string& word, Format& format);

// Adds the streams of a list such as "v,0,2" to `choice`; false when a word
// in it is neither "v" nor an audio stream number that can be written.
[[nodiscard]] bool parse_stream_list(const std::string& list, StreamChoice& choice);

}  // namespace orvale
