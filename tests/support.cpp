#include "support.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testing_support {

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvale-test-XXXXXX").string();
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

// In the child, between fork and exec: only async-signal-safe calls.
void prepare_child(const Launch& launch, const std::string& out_path,
                   const std::string& err_path) {
  const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
      (!launch.directory.empty() && ::chdir(launch.directory.c_str()) != 0)) {
    ::_exit(127);
  }
  if (launch.file_size_limit != 0) {
    const rlimit limit{launch.file_size_limit, launch.file_size_limit};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
      ::_exit(127);
    }
  }
  if (launch.unprivileged && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 ||
                              ::setuid(65534) != 0)) {
    ::_exit(127);
  }
  ::close(out);
  ::close(err);
  for (const int fd : launch.closed) {
    ::close(fd);
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
  ScratchDir capture;
  const std::string out_path = capture.path("stdout");
  const std::string err_path = capture.path("stderr");
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
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
  const pid_t child = ::fork();
  if (child < 0) {
    throw std::runtime_error("fork failed");
  }
  if (child == 0) {
    prepare_child(launch, out_path, err_path);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  int wait_status = 0;
  rusage usage{};
  if (::wait4(child, &wait_status, 0, &usage) != child) {
    throw std::runtime_error("wait failed");
  }
  RunResult result;
  result.out = slurp(out_path);
  result.err = slurp(err_path);
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  result.peak_rss_kib = usage.ru_maxrss;
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
  // The sanitizer runtime wants to come first; the shim does not mind.
  launch.environment.emplace_back("LD_PRELOAD=" ORVALE_FAILING_IO);
  launch.environment.emplace_back("ASAN_OPTIONS=verify_asan_link_order=0");
}

}  // namespace

void fail_reads(Launch& launch, const std::string& path, std::uint64_t offset) {
  preload_failing_io(launch);
  launch.environment.push_back("ORVALE_FAIL_READ=" + identity(path) + ":" +
                               std::to_string(offset));
}

void fail_truncation(Launch& launch, const std::string& path) {
  preload_failing_io(launch);
  launch.environment.push_back("ORVALE_FAIL_TRUNCATE=" + identity(path));
}

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

}  // namespace testing_support
