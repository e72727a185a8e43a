// Starting orvale as a child process on Windows: CreateProcessW, with its
// standard output and error going to files. The launch settings that only
// POSIX has are refused, so a test cannot pass without what it asked for.
#include "platform/windows_api.h"
// The Windows API first: the headers below build on it.
#include <psapi.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "support.h"

namespace testing_support {
namespace {

std::wstring wide(const std::string& text) { return orvale::platform::path_of(text).wstring(); }

// As the C runtime splits a command line: quotes around a word with a space,
// and the backslashes before a quote doubled.
std::wstring quoted(const std::wstring& word) {
  if (!word.empty() && word.find_first_of(L" \t\"") == std::wstring::npos) {
    return word;
  }
  std::wstring result = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : word) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    result.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    result += c;
  }
  result.append(backslashes * 2, L'\\');
  return result + L"\"";
}

// The parent's environment with the launch's variables added.
std::wstring environment_block(const std::vector<std::string>& added) {
  std::wstring block;
  wchar_t* inherited = ::GetEnvironmentStringsW();
  for (const wchar_t* at = inherited; *at != L'\0'; at += std::wcslen(at) + 1) {
    block += at;
    block += L'\0';
  }
  ::FreeEnvironmentStringsW(inherited);
  for (const std::string& variable : added) {
    block += wide(variable);
    block += L'\0';
  }
  return block + L'\0';
}

// A handle the child inherits: a file made for writing, or one read.
class InheritedFile {
 public:
  InheritedFile(const std::string& path, bool writes) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    file_ = ::CreateFileW(wide(path).c_str(), writes ? GENERIC_WRITE : GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                          writes ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) {
      throw std::runtime_error("cannot " + std::string(writes ? "create " : "open ") + path +
                               ": Windows error " + std::to_string(::GetLastError()));
    }
  }
  InheritedFile(const InheritedFile&) = delete;
  InheritedFile& operator=(const InheritedFile&) = delete;
  ~InheritedFile() { ::CloseHandle(file_); }
  [[nodiscard]] HANDLE handle() const { return file_; }

 private:
  HANDLE file_;
};

}  // namespace

Child::Child(const std::string& program, const std::vector<std::string>& args, const Launch& launch)
    : capture_(std::make_unique<ScratchDir>()) {
  if (!launch.closed.empty() || launch.file_size_limit != 0 || launch.address_space_limit != 0 ||
      launch.unprivileged || !launch.ignored_signals.empty()) {
    throw std::runtime_error("this launch needs POSIX; the test should be POSIX-only");
  }
  std::wstring command = quoted(wide(program));
  for (const std::string& arg : args) {
    command += L' ';
    command += quoted(wide(arg));
  }
  // Closed on every way out, a failure to make one among them.
  const InheritedFile out(capture_->path("stdout"), true);
  const InheritedFile err(capture_->path("stderr"), true);
  std::optional<InheritedFile> in;
  if (!launch.input.empty()) {
    in.emplace(launch.input, false);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in ? in->handle() : ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = out.handle();
  startup.hStdError = err.handle();
  std::wstring environment = environment_block(launch.environment);
  const std::wstring directory = wide(launch.directory);
  PROCESS_INFORMATION started{};
  // Wine now and then fails to start a process (its loader cannot place
  // itself in the new address space, say) and succeeds when asked again; a
  // failure that lasts is still one.
  DWORD error = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                         CREATE_UNICODE_ENVIRONMENT, environment.data(),
                         directory.empty() ? nullptr : directory.c_str(), &startup,
                         &started) != 0) {
      error = 0;
      break;
    }
    error = ::GetLastError();
    // What the failed start may have said goes with it.
    for (const HANDLE capture : {out.handle(), err.handle()}) {
      ::SetFilePointerEx(capture, LARGE_INTEGER{}, nullptr, FILE_BEGIN);
      ::SetEndOfFile(capture);
    }
    ::Sleep(100);
  }
  if (error != 0) {
    throw std::runtime_error("cannot start " + program + ": Windows error " +
                             std::to_string(error));
  }
  ::CloseHandle(started.hThread);
  process_ = started.hProcess;
  pid_ = static_cast<pid_t>(started.dwProcessId);
}

Child::~Child() {
  if (process_ != nullptr) {
    ::TerminateProcess(static_cast<HANDLE>(process_), 1);
    ::WaitForSingleObject(static_cast<HANDLE>(process_), INFINITE);
    ::CloseHandle(static_cast<HANDLE>(process_));
  }
}

RunResult Child::finish() {
  const auto process = static_cast<HANDLE>(std::exchange(process_, nullptr));
  ::WaitForSingleObject(process, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process, &code);
  PROCESS_MEMORY_COUNTERS memory{};
  ::GetProcessMemoryInfo(process, &memory, sizeof memory);
  ::CloseHandle(process);
  pid_ = -1;
  RunResult result;
  result.out = slurp(capture_->path("stdout"));
  result.err = slurp(capture_->path("stderr"));
  result.status = static_cast<int>(code);
  result.peak_rss_kib = static_cast<long>(memory.PeakWorkingSetSize / 1024);
  return result;
}

void fail_reads(Launch&, const std::string&, std::uint64_t, std::uint64_t, const std::string&,
                std::uint64_t) {
  throw std::runtime_error("the failing-I/O shim is POSIX-only");
}

void fail_renames_to(Launch&, const std::string&) {
  throw std::runtime_error("the failing-I/O shim is POSIX-only");
}

void pause_renames_to(Launch&, const std::string&) {
  throw std::runtime_error("the failing-I/O shim is POSIX-only");
}

// Windows makes no unnamed files: its temporaries are always named.
void no_unnamed_files(Launch&) {}

// Nothing is reserved ahead on Windows: a file takes what it holds.
std::uint64_t allocated_bytes(const std::string& path) {
  return std::filesystem::file_size(orvale::platform::path_of(path));
}

std::string unprivileged_runs_impossible() { return "running as another user is POSIX-only"; }

bool make_pipe(orvale::platform::File& read_end, orvale::platform::File& write_end) {
  HANDLE ends[2] = {nullptr, nullptr};
  if (::CreatePipe(&ends[0], &ends[1], nullptr, 0) == 0) {
    return false;
  }
  read_end = reinterpret_cast<orvale::platform::File>(ends[0]);
  write_end = reinterpret_cast<orvale::platform::File>(ends[1]);
  return true;
}

}  // namespace testing_support
