#include "support.h"

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace testing_support {

ScratchDir::ScratchDir(const std::filesystem::path& parent) {
  static std::mt19937_64 names{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto candidate = parent / ("orvale-test-" + std::to_string(names() % 1000000000));
    if (std::filesystem::create_directory(candidate)) {
      // Private, as mkdtemp makes it: tests that run as another user open
      // the way themselves.
      std::filesystem::permissions(candidate, std::filesystem::perms::owner_all);
      root_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot make a scratch directory in " + parent.string());
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::string ScratchDir::path(const std::string& name) const {
  return orvale::platform::utf8_of(root_ / orvale::platform::path_of(name));
}

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(orvale::platform::path_of(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

bool open_output(orvale::Output& output, const std::string& path) {
  // A device such as /dev/full is opened as it is; a file is made anew.
  namespace platform = orvale::platform;
  platform::File file = platform::kNoFile;
  platform::FileStatus status;
  const bool device = platform::status(path, true, status) == 0 &&
                      status.kind != platform::Kind::regular;
  if (!device) {
    (void)platform::remove(path);
  }
  const int error = device ? platform::open_to_write(path, file)
                           : platform::create_new(path, nullptr, file);
  return error == 0 && output.attach(file, path);
}

Bytes read_file(const std::string& path) {
  std::ifstream in(orvale::platform::path_of(path), std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) {
  return std::filesystem::exists(orvale::platform::path_of(path));
}

std::string quoted(const std::string& word) {
#if defined(_WIN32)
  return '"' + word + '"';
#else
  return "'" + word + "'";
#endif
}

std::string slurp(const std::string& path) {
  const Bytes bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const std::string& directory) {
  Launch launch;
  launch.directory = directory;
  return run(program, args, launch);
}

RunResult run(const std::string& program, const std::vector<std::string>& args,
              const Launch& launch) {
  Child child(program, args, launch);
  return child.finish();
}

const std::vector<std::string>& orvale_command() {
#ifdef ORVALE_EMULATOR
  static const std::vector<std::string> words = {ORVALE_EMULATOR, ORVALE_BINARY};
#else
  static const std::vector<std::string> words = {ORVALE_BINARY};
#endif
  return words;
}

std::string orvale_shell_command() {
  std::string command;
  for (const auto& word : orvale_command()) {
    command += (command.empty() ? "'" : " '") + word + "'";
  }
  return command;
}

bool emulated() { return orvale_command().size() > 1; }

RunResult run_orvale(const std::vector<std::string>& args, const std::string& directory) {
  return run(ORVALE_BINARY, args, directory);
}

RunResult run_orvale(const std::vector<std::string>& args, const Launch& launch) {
  return run(ORVALE_BINARY, args, launch);
}

Bytes encode(const kvx::File& file) {
  Bytes bytes;
  std::string problem;
  if (!kvx::encode_file(file, bytes, problem)) {
    throw std::runtime_error("test file does not encode: " + problem);
  }
  return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

namespace {

const Bytes kIdr = {0, 0, 0, 1, 0x65, 0x88, 0x84};
const Bytes kDelimiter = {0, 0, 0, 1, 0x09, 0xF0};
const Bytes kSei = {0, 0, 1, 0x06, 0x05, 0x01, 0x80};

kvx::Packet av_packet(std::uint8_t seed, std::uint32_t streams, std::size_t frames) {
  kvx::Packet packet;
  packet.video = concat({kDelimiter, kSei, kIdr, Bytes{seed}});
  for (std::uint32_t s = 0; s < streams; ++s) {
    packet.audio.emplace_back();
    for (std::size_t j = 0; j < frames; ++j) {
      packet.audio.back().push_back(Bytes(3 + j, static_cast<std::uint8_t>(seed + s)));
    }
  }
  return packet;
}

}  // namespace

kvx::File av_file(std::uint32_t streams, std::size_t packets, std::uint32_t format) {
  kvx::File file;
  file.audio_format = format;
  file.audio_stream_count = streams;
  for (std::size_t i = 0; i < packets; ++i) {
    file.packets.push_back(av_packet(static_cast<std::uint8_t>(0x10 * (i + 1)), streams, 2));
  }
  return file;
}

Bytes av_videos(std::initializer_list<std::uint8_t> seeds) {
  Bytes out;
  for (const auto seed : seeds) {
    const Bytes piece = concat({kIdr, Bytes{seed}});
    out.insert(out.end(), piece.begin(), piece.end());
  }
  return out;
}

Bytes av_audio(const kvx::File& file, std::uint32_t s, std::initializer_list<std::size_t> packets) {
  Bytes out;
  for (const auto i : packets) {
    for (const auto& frame : file.packets[i].audio[s]) {
      const Bytes piece =
          file.audio_format == kvx::kFormatMp3 ? frame : adts(frame, file.audio_rate);
      out.insert(out.end(), piece.begin(), piece.end());
    }
  }
  return out;
}

Bytes adts(const Bytes& frame, std::uint32_t rate, std::uint8_t channels) {
  const std::uint32_t length = static_cast<std::uint32_t>(frame.size()) + 7;
  kvx::Bytes out = {0xFF, 0xF9, static_cast<std::uint8_t>(rate == 44100 ? 0x50 : 0x4C),
                    static_cast<std::uint8_t>(channels << 6 | length >> 11)};
  out.push_back(static_cast<std::uint8_t>(length >> 3));
  out.push_back(static_cast<std::uint8_t>((length & 7) << 5 | 0x1F));
  out.push_back(0xFC);
  out.insert(out.end(), frame.begin(), frame.end());
  return out;
}

std::map<std::string, Bytes> outputs_of(const std::string& input, const std::string& kept) {
  std::map<std::string, Bytes> found;
  for (const char* suffix : {".264", ".0.aac", ".1.aac"}) {
    if (exists(input + suffix + kept)) {
      found[suffix] = read_file(input + suffix + kept);
    }
  }
  return found;
}

std::string without_kept_line(std::string diagnostics) {
  const auto at = diagnostics.find(": its outputs are left as they were; what was extracted");
  if (at != std::string::npos) {
    const auto start = diagnostics.rfind('\n', at);
    const auto from = start == std::string::npos ? 0 : start + 1;
    diagnostics.erase(from, diagnostics.find('\n', at) + 1 - from);
  }
  return diagnostics;
}

// Built by appending, which also keeps g++ 12 from a false -Wrestrict.
std::string stream_suffix(std::uint32_t s, const std::string& extension) {
  std::string suffix = ".";
  suffix += std::to_string(s);
  suffix += extension;
  return suffix;
}

}  // namespace testing_support
