// orvale: extracts the H.264 video and the audio streams of kvxavc files.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cli/inputs.h"
#include "cli/listing.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "extract/dump.h"
#include "outputs/interrupt.h"
#include "platform/platform.h"

namespace {

constexpr int kExitError = static_cast<int>(orvale::ExitStatus::error);

// A listing, or a stream under --stdout, that did not reach standard output
// is a failed run.
int check_stdout(int status) {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
    return status;
  }
  std::fprintf(stderr, "orvale: standard output: write failed: %s\n", std::strerror(errno));
  return kExitError;
}

int extract_all(const orvale::Options& options, bool terminal, bool escapes) {
  orvale::Progress progress(stderr, !options.quiet && terminal, escapes);
  orvale::Listing listing(stdout, options.json, &progress);
  const bool listing_wanted = options.settings.mode == orvale::Mode::list;
  orvale::Session session(&progress, listing_wanted ? &listing : nullptr);
  int worst = 0;
  const std::vector<orvale::Input> inputs = orvale::find_inputs(options.inputs);
  // A folder given may hold several recordings, which one stream cannot.
  if (options.settings.to_stdout && inputs.size() > 1) {
    std::fprintf(stderr, "orvale: %s holds %zu recordings; --stdout takes exactly one input\n",
                 options.inputs.front().c_str(), inputs.size());
    return kExitError;
  }
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    progress.start_input(inputs[i].path, i + 1, inputs.size());
    const auto status = static_cast<int>(orvale::dump(inputs[i], options.settings, session));
    worst = status > worst ? status : worst;
  }
  progress.clear();
  if (listing_wanted) {
    listing.finish();
    return check_stdout(worst);
  }
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  namespace platform = orvale::platform;
  // A standard file that a launcher left closed would be taken by the first
  // file opened, and diagnostics would land in an output.
  bool standard_files_open = false;
  const bool stdout_closed = platform::open_standard_files(standard_files_open);
  if (!standard_files_open) {
    return kExitError;
  }
  platform::prepare_standard_files();
  const bool terminal = platform::is_terminal(platform::Standard::error);
  const bool escapes = terminal && platform::terminal_takes_escapes();
  orvale::install_interrupt_cleanup(escapes);
  try {
    // The words as UTF-8, behind pointers that getopt may reorder.
    std::vector<std::string> words = platform::arguments(argc, argv);
    std::vector<char*> word_pointers;
    word_pointers.reserve(words.size() + 1);
    for (std::string& word : words) {
      word_pointers.push_back(word.data());
    }
    word_pointers.push_back(nullptr);
    orvale::Options options;
    switch (orvale::parse_options(static_cast<int>(words.size()), word_pointers.data(), options)) {
      using enum orvale::Parsed;
      case done:
        return check_stdout(0);
      case failed:
        return kExitError;
      case run:
        break;
    }
    if (options.inputs.empty()) {
      std::fputs(orvale::usage_lines(), stdout);
      std::fputs("orvale: no input file; see orvale --help\n", stderr);
      return kExitError;
    }
    // What --stdout and --list write would be lost without a word.
    const bool writes_stdout =
        options.settings.to_stdout || options.settings.mode == orvale::Mode::list;
    if (writes_stdout && stdout_closed) {
      std::fputs("orvale: standard output is closed; --stdout and --list write there\n", stderr);
      return kExitError;
    }
    if (options.settings.to_stdout && platform::is_terminal(platform::Standard::output)) {
      std::fputs("orvale: standard output is a terminal; --stdout writes to a file or a pipe\n",
                 stderr);
      return kExitError;
    }
    return extract_all(options, terminal, escapes);
  } catch (const std::bad_alloc&) {
    // Only the small strings around the core can throw; the buffers do not.
    std::fputs("orvale: out of memory\n", stderr);
    return kExitError;
  }
}
