// orvale: extracts the H.264 video and the audio streams of kvxavc files.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>

#include "extract/dump.h"
#include "extract/interrupt.h"
#include "extract/listing.h"
#include "extract/options.h"
#include "extract/progress.h"

namespace {

constexpr int kExitError = static_cast<int>(orvale::ExitStatus::error);

// A descriptor among 0, 1 and 2 that a launcher left closed would be taken by
// the first file opened, and diagnostics would land in an output.
// Gives whether standard output was one of them.
bool open_standard_descriptors() {
  bool stdout_closed = false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1) {
      stdout_closed = stdout_closed || fd == STDOUT_FILENO;
      if (::open("/dev/null", O_RDWR) == -1) {
        ::_exit(kExitError);
      }
    }
  }
  return stdout_closed;
}

// A reader that goes away or a file-size limit must end in the checked-write
// path (a message, status 2, the other outputs flushed), not in a signal.
void ignore_write_signals() {
  (void)std::signal(SIGPIPE, SIG_IGN);
  (void)std::signal(SIGXFSZ, SIG_IGN);
}

// A listing, or a stream under --stdout, that did not reach standard output
// is a failed run.
int check_stdout(int status) {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
    return status;
  }
  std::fprintf(stderr, "orvale: standard output: write failed: %s\n", std::strerror(errno));
  return kExitError;
}

int extract_all(const orvale::Options& options, bool terminal) {
  orvale::Progress progress(stderr, !options.quiet && terminal);
  orvale::Listing listing(stdout, options.json, &progress);
  const bool listing_wanted = options.settings.mode == orvale::Mode::list;
  orvale::Session session(&progress, listing_wanted ? &listing : nullptr);
  int worst = 0;
  for (std::size_t i = 0; i < options.inputs.size(); ++i) {
    progress.start_input(options.inputs[i], i + 1, options.inputs.size());
    const auto status =
        static_cast<int>(orvale::dump(options.inputs[i], options.settings, session));
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
  const bool stdout_closed = open_standard_descriptors();
  ignore_write_signals();
  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  orvale::install_interrupt_cleanup(terminal);
  try {
    orvale::Options options;
    switch (orvale::parse_options(argc, argv, options)) {
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
    if (options.settings.to_stdout && ::isatty(STDOUT_FILENO) == 1) {
      std::fputs("orvale: standard output is a terminal; --stdout writes to a file or a pipe\n",
                 stderr);
      return kExitError;
    }
    return extract_all(options, terminal);
  } catch (const std::bad_alloc&) {
    // Only the small strings around the core can throw; the buffers do not.
    std::fputs("orvale: out of memory\n", stderr);
    return kExitError;
  }
}
