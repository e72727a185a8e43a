#include "cli/options.h"

#include <getopt.h>

#include <charconv>
#include <cstdio>
#include <cstring>

#include "cli/text.h"
#include "container/container.h"

namespace orvale {
namespace {

// What a run without input prints on stdout, as it always has.
constexpr const char* kUsage = "Usage: \nOrvale input.kvx\n";

constexpr const char* kHelp =
    "Usage: orvale [OPTIONS] INPUT.kvx...\n"
    "Extracts the streams of each kvxavc file given, in turn:\n"
    "  INPUT.264      the H.264 video, without SEI units and access unit delimiters\n"
    "  INPUT.N.aac    audio stream N (from 0) of a file holding AAC, behind ADTS headers\n"
    "  INPUT.N.mp3    audio stream N of a file holding MP3\n"
    "Each output is written beside its name and put in its place when the input is\n"
    "finished; after an error the names keep what they held, and what was extracted\n"
    "is kept as NAME.partial.\n"
    "A folder as INPUT means every .kvx file under it (any case, in name order),\n"
    "and INPUT \"-\" standard input, whose outputs are stdin.264, stdin.0.aac, ...\n"
    "\n"
    "Options:\n"
    "  -o, --output-dir=DIR  write the outputs in DIR (created when missing), named\n"
    "                        after the input's file name, or its path below a\n"
    "                        folder given\n"
    "      --parents         with -o, keep the input's path under DIR\n"
    "                        (-o out --parents ch01/0001.kvx: out/ch01/0001.kvx.264)\n"
    "  -s, --streams=LIST    write only these streams: v for the video, N for audio\n"
    "                        stream N (-s v, -s 0,2, -s v -s 1)\n"
    "  -f, --format=FORMAT   raw (the default: each stream in a file of its own), or\n"
    "                        mp4 or mkv: one file, INPUT.mp4 or INPUT.mkv, holding\n"
    "                        the streams, each picture timed by the audio clock\n"
    "      --fps=RATE        with mp4 or mkv, time every picture at RATE instead\n"
    "                        (25, 30000/1001, 12.5)\n"
    "  -c, --stdout          write the one stream chosen with -s to standard output;\n"
    "                        with mp4 or mkv, the one file (MP4 fragmented)\n"
    "  -n, --no-clobber      never overwrite a file: write only the missing outputs\n"
    "  -r, --rescue          also recover the packets a damaged or missing index hides\n"
    "  -t, --test            read each input as an extraction would, writing nothing\n"
    "  -l, --list            tell what each input holds, writing nothing\n"
    "      --json            with --list, one JSON document for scripts\n"
    "  -q, --quiet           no progress line on a terminal\n"
    "  -h, --help            show this help and exit\n"
    "      --version         show the version and exit\n"
    "\n"
    "Exit status: 0 all extracted; 1 finished, but some data could not be extracted;\n"
    "2 error (no input, an input refused, a failed write). With several inputs, the\n"
    "highest of their statuses. --test and --list end as the extraction would.\n";

enum LongOnly { kVersion = 256, kJson, kParents, kFps };

const option kLong[] = {{"output-dir", required_argument, nullptr, 'o'},
                        {"parents", no_argument, nullptr, kParents},
                        {"streams", required_argument, nullptr, 's'},
                        {"stdout", no_argument, nullptr, 'c'},
                        {"format", required_argument, nullptr, 'f'},
                        {"fps", required_argument, nullptr, kFps},
                        {"no-clobber", no_argument, nullptr, 'n'},
                        {"rescue", no_argument, nullptr, 'r'},
                        {"test", no_argument, nullptr, 't'},
                        {"list", no_argument, nullptr, 'l'},
                        {"json", no_argument, nullptr, kJson},
                        {"quiet", no_argument, nullptr, 'q'},
                        {"help", no_argument, nullptr, 'h'},
                        {"version", no_argument, nullptr, kVersion},
                        {nullptr, 0, nullptr, 0}};

// An option given a value it does not take ("--json=1") leaves its code in
// optopt; only long options are spelled with a value.
const option* option_without_value(int code) {
  for (const option& known : kLong) {
    if (known.name != nullptr && known.val == code && known.has_arg == no_argument) {
      return &known;
    }
  }
  return nullptr;
}

bool looks_like_a_file(const char* word) {
  return std::strchr(word, '.') != nullptr || std::strchr(word, '/') != nullptr;
}

// The word getopt refused: for a short option, the word it is still inside,
// or the one it has just left when the option ended it.
const char* refused_word(int argc, char** argv) {
  const char* left = optind > 1 && optind - 1 < argc ? argv[optind - 1] : nullptr;
  if (optopt == 0 || optind >= argc) {
    return left;
  }
  const std::size_t length = left != nullptr ? std::strlen(left) : 0;
  if (length > 1 && left[0] == '-' && left[length - 1] == optopt) {
    return left;
  }
  return argv[optind];
}

void tell_unknown_option(int argc, char** argv) {
  if (const option* known = option_without_value(optopt); known != nullptr) {
    std::fprintf(stderr, "orvale: option --%s takes no value\n", known->name);
    std::fputs(kUsage, stderr);
    return;
  }
  if (optopt != 0) {
    std::fprintf(stderr, "orvale: unknown option -%c\n", optopt);
  } else {
    std::fprintf(stderr, "orvale: unknown option %s\n", argv[optind - 1]);
  }
  const char* word = refused_word(argc, argv);
  if (word != nullptr && word[0] == '-' && looks_like_a_file(word)) {
    const std::string name = shell_word(word);
    std::fprintf(stderr, "orvale: a file named %s is given as: orvale -- %s, or orvale %s\n",
                 name.c_str(), name.c_str(), shell_word(std::string("./") + word).c_str());
  }
  std::fputs(kUsage, stderr);
}

[[nodiscard]] bool refuse(const char* message) {
  std::fprintf(stderr, "orvale: %s\n", message);
  return false;
}

// Options that only make sense together, or not at all together.
[[nodiscard]] bool check_combinations(const Options& options) {
  const Settings& settings = options.settings;
  if (options.json && settings.mode != Mode::list) {
    return refuse("--json goes with --list");
  }
  if (settings.fps && !settings.muxes()) {
    return refuse("--fps times the pictures of -f mp4 or -f mkv; raw outputs have no times");
  }
  if (settings.mode != Mode::extract) {
    if (settings.muxes()) {
      return refuse("--list and --test write nothing; -f mp4 and -f mkv do not go with them");
    }
    if (!settings.output_dir.empty() || settings.no_clobber || !settings.streams.everything ||
        settings.to_stdout || settings.parents) {
      return refuse(
          "--list and --test write nothing; -o, -n, -s, -c and --parents do not go with them");
    }
    return true;
  }
  if (settings.parents && settings.output_dir.empty()) {
    return refuse("--parents needs -o DIR");
  }
  if (!settings.to_stdout) {
    return true;
  }
  if (settings.streams.named() != 1 && !settings.muxes()) {
    return refuse("--stdout needs exactly one stream, chosen with -s (-s v, -s 0, ...)");
  }
  // No input at all gets the usage.
  if (options.inputs.size() > 1) {
    return refuse("--stdout takes exactly one input");
  }
  if (!settings.output_dir.empty() || settings.no_clobber || settings.parents) {
    return refuse("--stdout writes no file; -o, -n and --parents do not go with it");
  }
  return true;
}

}  // namespace

bool parse_format(const std::string& word, Format& format) {
  if (word == "raw") {
    format = Format::raw;
  } else if (word == "mp4") {
    format = Format::mp4;
  } else if (word == "mkv") {
    format = Format::mkv;
  } else {
    return false;
  }
  return true;
}

bool parse_stream_list(const std::string& list, StreamChoice& choice) {
  choice.everything = false;
  std::size_t from = 0;
  while (from <= list.size()) {
    const std::size_t comma = std::min(list.find(',', from), list.size());
    const std::string word = list.substr(from, comma - from);
    std::uint32_t stream = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), stream);
    if (word == "v") {
      choice.video = true;
    } else if (!word.empty() && error == std::errc{} && end == word.data() + word.size() &&
               stream < kAudioSlots) {
      choice.audio |= 1U << stream;
    } else {
      return false;
    }
    from = comma + 1;
  }
  return true;
}

Parsed parse_options(int argc, char** argv, Options& options) {
  Settings& settings = options.settings;
  bool listing = false;
  bool testing = false;
  opterr = 0;
  int option_char = 0;
  while ((option_char = ::getopt_long(argc, argv, "o:s:f:cnrtlqh", kLong, nullptr)) != -1) {
    switch (option_char) {
      case 'o':
        // An empty name, from a variable not set, is no folder at all.
        if (*optarg == '\0') {
          std::fputs("orvale: -o needs a folder name, not an empty one\n", stderr);
          return Parsed::failed;
        }
        settings.output_dir = optarg;
        break;
      case kParents:
        settings.parents = true;
        break;
      case 's':
        if (!parse_stream_list(optarg, settings.streams)) {
          std::fprintf(stderr,
                       "orvale: -s %s: a stream is v for the video or an audio stream number "
                       "from 0 to %u, separated by commas\n",
                       shell_word(optarg).c_str(), kAudioSlots - 1);
          return Parsed::failed;
        }
        break;
      case 'c':
        settings.to_stdout = true;
        break;
      case 'f':
        if (!parse_format(optarg, settings.format)) {
          std::fprintf(stderr, "orvale: -f %s: the format is raw, mp4 or mkv\n",
                       shell_word(optarg).c_str());
          return Parsed::failed;
        }
        break;
      case kFps: {
        Rate rate;
        if (!parse_rate(optarg, rate)) {
          std::fprintf(stderr,
                       "orvale: --fps %s: a rate is pictures per second, as 25, 12.5 or "
                       "30000/1001\n",
                       shell_word(optarg).c_str());
          return Parsed::failed;
        }
        settings.fps = rate;
        break;
      }
      case 'n':
        settings.no_clobber = true;
        break;
      case 'r':
        settings.rescue = true;
        break;
      case 't':
        testing = true;
        break;
      case 'l':
        listing = true;
        break;
      case kJson:
        options.json = true;
        break;
      case 'q':
        options.quiet = true;
        break;
      case 'h':
        std::fputs(kHelp, stdout);
        return Parsed::done;
      case kVersion:
        std::puts("orvale " ORVALE_VERSION);
        return Parsed::done;
      default:
        if (optopt == kFps) {
          std::fputs("orvale: option --fps needs a rate (25, 12.5, 30000/1001)\n", stderr);
          std::fputs(kUsage, stderr);
        } else if (optopt == 'o' || optopt == 's' || optopt == 'f') {
          std::fprintf(stderr, "orvale: option -%c needs %s\n", optopt,
                       optopt == 'o'   ? "a directory"
                       : optopt == 's' ? "a stream list"
                                       : "a format (raw, mp4 or mkv)");
          std::fputs(kUsage, stderr);
        } else {
          tell_unknown_option(argc, argv);
        }
        return Parsed::failed;
    }
  }
  if (listing && testing) {
    std::fputs("orvale: --list and --test do not go together\n", stderr);
    return Parsed::failed;
  }
  settings.mode = listing ? Mode::list : testing ? Mode::test : Mode::extract;
  options.inputs.assign(argv + optind, argv + argc);
  return check_combinations(options) ? Parsed::run : Parsed::failed;
}

const char* usage_lines() { return kUsage; }

}  // namespace orvale
