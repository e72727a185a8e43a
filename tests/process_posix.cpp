// Starting orvale as a child process on POSIX systems: fork, then the
// launch's limits, descriptors and user, then exec.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "support.h"

namespace testing_support {

namespace {

// Caps `resource` at `bytes` unless that is 0; false when it cannot.
bool cap(decltype(RLIMIT_AS) resource, std::uint64_t bytes) {
  const rlimit limit{bytes, bytes};
  return bytes == 0 || ::setrlimit(resource, &limit) == 0;
}

// In the child, between fork and exec: only async-signal-safe calls.
void prepare_child(const Launch& launch, const std::string& out_path, const std::string& err_path) {
  const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  const int in = launch.input.empty() ? 0 : ::open(launch.input.c_str(), O_RDONLY);
  if (out < 0 || err < 0 || in < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
      (in != 0 && (::dup2(in, 0) < 0 || ::close(in) != 0)) ||
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

// The build tree may lie where another user cannot go (a home folder of
// mode 0700, say): runs as nobody start a copy of the binary, made once, in
// a folder of its own under the temporary folder that every user may enter.
const std::string& binary_for_everyone() {
  static const ScratchDir folder;
  static const std::string copy = [] {
    namespace fs = std::filesystem;
    const fs::perms everyone = fs::perms::owner_all | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read |
                               fs::perms::others_exec;
    fs::permissions(folder.path(""), everyone);
    std::string path = folder.path("orvale");
    fs::copy_file(ORVALE_BINARY, path);
    fs::permissions(path, everyone);
    return path;
  }();
  return copy;
}

}  // namespace

Child::Child(const std::string& program, const std::vector<std::string>& args, const Launch& launch)
    : capture_(std::make_unique<ScratchDir>()) {
  const std::string out_path = capture_->path("stdout");
  const std::string err_path = capture_->path("stderr");
  std::vector<std::string> words =
      program == ORVALE_BINARY ? orvale_command() : std::vector<std::string>{program};
  if (launch.unprivileged && program == ORVALE_BINARY) {
    words.back() = binary_for_everyone();
  }
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

std::uint64_t allocated_bytes(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    throw std::runtime_error("cannot examine " + path);
  }
  return static_cast<std::uint64_t>(status.st_blocks) * 512;
}

void fail_reads(Launch& launch, const std::string& path, std::uint64_t offset,
                std::uint64_t length, const std::string& how, std::uint64_t every) {
  preload_failing_io(launch);
  launch.environment.push_back("ORVALE_FAIL_READ=" + identity(path) + ":" + std::to_string(offset) +
                               ":" + std::to_string(length));
  if (!how.empty()) {
    launch.environment.push_back("ORVALE_FAIL_READ_HOW=" + how);
  }
  if (every != 0) {
    launch.environment.push_back("ORVALE_FAIL_READ_EVERY=" + std::to_string(every));
  }
}

void fail_renames_to(Launch& launch, const std::string& path) {
  preload_failing_io(launch);
  launch.environment.push_back("ORVALE_FAIL_RENAME_TO=" + path);
}

void pause_renames_to(Launch& launch, const std::string& path) {
  preload_failing_io(launch);
  launch.environment.push_back("ORVALE_PAUSE_RENAME_TO=" + path);
}

void no_unnamed_files(Launch& launch) {
  preload_failing_io(launch);
  launch.environment.emplace_back("ORVALE_NO_UNNAMED_FILES=1");
}

void cut_when_mapped(Launch& launch, const std::string& path) {
  preload_failing_io(launch);
  launch.environment.push_back("ORVALE_CUT_WHEN_MAPPED=" + identity(path));
}

std::string unprivileged_runs_impossible() {
  if (::geteuid() != 0) {
    return "needs root to run the program as another user";
  }
  Launch launch;
  launch.unprivileged = true;
  if (run_orvale({"--version"}, launch).status != 0) {
    return "the temporary folder is out of an unprivileged user's reach";
  }
  return "";
}

bool make_pipe(orvale::platform::File& read_end, orvale::platform::File& write_end) {
  int ends[2] = {-1, -1};
  if (::pipe(ends) != 0) {
    return false;
  }
  read_end = ends[0];
  write_end = ends[1];
  return true;
}

}  // namespace testing_support
