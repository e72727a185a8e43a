// orvale: extracts the H.264 video and the audio streams of kvxavc files.
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "extract/dump.h"
#include "extract/interrupt.h"
#include "extract/progress.h"

namespace {

constexpr const char* kUsage = "Usage: \nOrvale input.kvx\n";

constexpr const char* kHelp =
    "\n"
    "orvale [OPTIONS] INPUT.kvx...\n"
    "Extracts the streams of each kvxavc file given, in turn:\n"
    "  INPUT.264      the H.264 video, without SEI units and access unit delimiters\n"
    "  INPUT.N.aac    audio stream N (from 0) of a file holding AAC, behind ADTS headers\n"
    "  INPUT.N.mp3    audio stream N of a file holding MP3\n"
    "Each output is written beside its name and put in its place when the input is\n"
    "finished; after an error the names keep what they held, and what was extracted\n"
    "is kept as NAME.partial.\n"
    "\n"
    "Options:\n"
    "  -o, --output-dir=DIR  write the outputs in DIR (created when missing), named\n"
    "                        after the input's file name\n"
    "  -n, --no-clobber      skip an input whose outputs are already there\n"
    "  -r, --rescue          also recover the packets a damaged or missing index hides\n"
    "  -q, --quiet           no progress line on a terminal\n"
    "  -h, --help            show this help and exit\n"
    "      --version         show the version and exit\n"
    "\n"
    "Exit status: 0 all extracted; 1 finished, but some data could not be extracted;\n"
    "2 error (no input, an input refused, a failed write). With several inputs, the\n"
    "highest of their statuses.\n";

constexpr int kExitError = static_cast<int>(orvale::ExitStatus::error);

// A descriptor among 0, 1 and 2 that a launcher left closed would be taken by
// the first file opened, and diagnostics would land in an output.
void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && ::open("/dev/null", O_RDWR) == -1) {
      ::_exit(kExitError);
    }
  }
}

// A reader that goes away or a file-size limit must end in the checked-write
// path (a message, status 2, the other outputs flushed), not in a signal.
void ignore_write_signals() {
  (void)std::signal(SIGPIPE, SIG_IGN);
  (void)std::signal(SIGXFSZ, SIG_IGN);
}

struct Options {
  orvale::Settings settings;
  bool quiet = false;
  std::vector<std::string> inputs;
};

enum class Parsed { run, done, failed };

Parsed parse_options(int argc, char** argv, Options& options) {
  enum { kVersion = 256 };
  static const option kLong[] = {{"output-dir", required_argument, nullptr, 'o'},
                                 {"quiet", no_argument, nullptr, 'q'},
                                 {"rescue", no_argument, nullptr, 'r'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"no-clobber", no_argument, nullptr, 'n'},
                                 {"version", no_argument, nullptr, kVersion},
                                 {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int option_char = 0;
  // Options may stand before or after the inputs; an input whose name starts
  // with '-' follows "--".
  while ((option_char = ::getopt_long(argc, argv, "o:nqrh", kLong, nullptr)) != -1) {
    switch (option_char) {
      case 'o':
        options.settings.output_dir = optarg;
        break;
      case 'n':
        options.settings.no_clobber = true;
        break;
      case 'q':
        options.quiet = true;
        break;
      case 'r':
        options.settings.rescue = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return Parsed::done;
      case kVersion:
        std::puts("orvale " ORVALE_VERSION);
        return Parsed::done;
      default:
        if (optopt == 'o') {
          std::fputs("orvale: option -o needs a directory\n", stderr);
        } else if (optopt != 0) {
          std::fprintf(stderr, "orvale: unknown option -%c\n", optopt);
        } else {
          std::fprintf(stderr, "orvale: unknown option %s\n", argv[optind - 1]);
        }
        std::fputs(kUsage, stderr);
        return Parsed::failed;
    }
  }
  options.inputs.assign(argv + optind, argv + argc);
  return Parsed::run;
}

int extract_all(const Options& options, bool terminal) {
  orvale::Progress progress(stderr, !options.quiet && terminal);
  orvale::Session session(&progress);
  int worst = 0;
  for (std::size_t i = 0; i < options.inputs.size(); ++i) {
    progress.start_input(options.inputs[i], i + 1, options.inputs.size());
    const auto status =
        static_cast<int>(orvale::dump(options.inputs[i], options.settings, session));
    worst = status > worst ? status : worst;
  }
  progress.clear();
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  open_standard_descriptors();
  ignore_write_signals();
  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  orvale::install_interrupt_cleanup(terminal);
  try {
    Options options;
    switch (parse_options(argc, argv, options)) {
      case Parsed::done:
        return std::fflush(stdout) == 0 ? 0 : kExitError;
      case Parsed::failed:
        return kExitError;
      case Parsed::run:
        break;
    }
    if (options.inputs.empty()) {
      std::fputs(kUsage, stdout);
      return kExitError;
    }
    return extract_all(options, terminal);
  } catch (const std::bad_alloc&) {
    // Only the small strings around the core can throw; the buffers do not.
    std::fputs("orvale: out of memory\n", stderr);
    return kExitError;
  }
}
