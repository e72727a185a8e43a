#include "support.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace testing_support {

ScratchDir::ScratchDir(const std::filesystem::path& parent) {
  std::string pattern = (parent / "orvale-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  root_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::string ScratchDir::path(const std::string& name) const { return (root_ / name).string(); }

void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

bool open_output(orvale::Output& output, const std::string& path) {
  return output.attach(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666), path);
}

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) { return std::filesystem::exists(path); }

namespace {

std::string slurp(const std::string& path) {
  const Bytes bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

// Caps `resource` at `bytes` unless that is 0; false when it cannot.
bool cap(decltype(RLIMIT_AS) resource, std::uint64_t bytes) {
  const rlimit limit{bytes, bytes};
  return bytes == 0 || ::setrlimit(resource, &limit) == 0;
}

// In the child, between fork and exec: only async-signal-safe calls.
void prepare_child(const Launch& launch, const std::string& out_path, const std::string& err_path) {
  const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
      (!launch.directory.empty() && ::chdir(launch.directory.c_str()) != 0)) {
    ::_exit(127);
  }
  // A child ended by SIGQUIT leaves no core file in the build tree.
  const rlimit no_core{0, 0};
  if (!cap(RLIMIT_FSIZE, launch.file_size_limit) || !cap(RLIMIT_AS, launch.address_space_limit) ||
      ::setrlimit(RLIMIT_CORE, &no_core) != 0) {
    ::_exit(127);
  }
  if (launch.unprivileged &&
      (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
    ::_exit(127);
  }
  ::close(out);
  ::close(err);
  for (const int fd : launch.closed) {
    ::close(fd);
  }
  for (const int signal_number : launch.ignored_signals) {
    (void)::signal(signal_number, SIG_IGN);
  }
}

}  // namespace

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

Child::Child(const std::string& program, const std::vector<std::string>& args, const Launch& launch)
    : capture_(std::make_unique<ScratchDir>()) {
  const std::string out_path = capture_->path("stdout");
  const std::string err_path = capture_->path("stderr");
  const std::vector<std::string> words =
      program == ORVALE_BINARY ? orvale_command() : std::vector<std::string>{program};
  std::vector<char*> argv;
  for (const auto& word : words) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  for (const auto& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    envp.push_back(*variable);
  }
  for (const auto& variable : launch.environment) {
    envp.push_back(const_cast<char*>(variable.c_str()));
  }
  envp.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) {
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    prepare_child(launch, out_path, err_path);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    (void)::waitpid(pid_, nullptr, 0);
  }
}

RunResult Child::finish() {
  int wait_status = 0;
  rusage usage{};
  if (::wait4(std::exchange(pid_, -1), &wait_status, 0, &usage) < 0) {
    throw std::runtime_error("wait failed");
  }
  RunResult result;
  result.out = slurp(capture_->path("stdout"));
  result.err = slurp(capture_->path("stderr"));
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  result.signal = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0;
  result.peak_rss_kib = usage.ru_maxrss;
  // qemu-user tells of a target killed by a signal that dumps core, in a line
  // of its own that the program did not write.
  if (const auto at = result.err.find("qemu: uncaught target signal");
      emulated() && at != std::string::npos) {
    result.err.erase(at, result.err.find('\n', at) + 1 - at);
  }
  return result;
}

namespace {

std::string identity(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    throw std::runtime_error("cannot examine " + path);
  }
  return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

void preload_failing_io(Launch& launch) {
  // Under qemu-user the shim is for the target's loader alone: the host's,
  // loading qemu, would refuse it aloud.
  launch.environment.emplace_back(emulated() ? "QEMU_SET_ENV=LD_PRELOAD=" ORVALE_FAILING_IO
                                             : "LD_PRELOAD=" ORVALE_FAILING_IO);
  // The sanitizer runtime wants to come first; the shim does not mind.
  launch.environment.emplace_back("ASAN_OPTIONS=verify_asan_link_order=0");
}

}  // namespace

void fail_reads(Launch& launch, const std::string& path, std::uint64_t offset) {
  preload_failing_io(launch);
  launch.environment.push_back("ORVALE_FAIL_READ=" + identity(path) + ":" + std::to_string(offset));
}

void fail_renames_to(Launch& launch, const std::string& path) {
  preload_failing_io(launch);
  launch.environment.push_back("ORVALE_FAIL_RENAME_TO=" + path);
}

RunResult run_orvale(const std::vector<std::string>& args, const std::string& directory) {
  return run(ORVALE_BINARY, args, directory);
}

RunResult run_orvale(const std::vector<std::string>& args, const Launch& launch) {
  return run(ORVALE_BINARY, args, launch);
}

std::string unprivileged_runs_impossible() {
  if (::geteuid() != 0) {
    return "needs root to run the program as another user";
  }
  Launch launch;
  launch.unprivileged = true;
  if (run_orvale({"--version"}, launch).status != 0) {
    return "the build tree is out of an unprivileged user's reach";
  }
  return "";
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
