// The Windows platform room's console and process side: the command line
// in UTF-16 with its wildcards expanded, standard files, the console's code
// page and escapes, and Ctrl-C.
#include "platform/windows_api.h"
// The Windows API first: the headers below build on it.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"
#include "platform/windows_common.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace orvale::platform {

using namespace win;

namespace {

DWORD standard_id(Standard which) {
  switch (which) {
    case Standard::input:
      return STD_INPUT_HANDLE;
    case Standard::output:
      return STD_OUTPUT_HANDLE;
    case Standard::error:
      break;
  }
  return STD_ERROR_HANDLE;
}

// The console's code page, given back at exit: the console outlives the run.
UINT console_code_page = 0;
void give_back_code_page() { ::SetConsoleOutputCP(console_code_page); }

// Held while the temporaries change, and by the handler until the end.
struct HoldLock {
  HoldLock() { ::InitializeCriticalSection(&section); }
  CRITICAL_SECTION section{};
} hold_lock;
void (*interrupt_cleanup)() = nullptr;

// The console runs this on a thread of its own; the main thread waits at
// the lock if it holds it, and ends with the process.
BOOL WINAPI clean_up_and_exit(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      ::EnterCriticalSection(&hold_lock.section);
      interrupt_cleanup();
      // What a console program ended by Ctrl-C reports.
      ::ExitProcess(STATUS_CONTROL_C_EXIT);
    default:
      return FALSE;
  }
}

int find_matching(const std::string& pattern, std::vector<std::string>& names) {
  return find_names(system_path(pattern), names);
}

}  // namespace

std::vector<std::string> arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (words == nullptr) {
    return {argv, argv + argc};
  }
  std::vector<std::string> converted;
  for (int i = 0; i < count; ++i) {
    converted.push_back(narrow(words[i]));
  }
  ::LocalFree(static_cast<HLOCAL>(words));
  return expand_wildcards(converted, &find_matching);
}

bool open_standard_files(bool& ok) {
  ok = true;
  bool output_closed = false;
  std::FILE* streams[] = {stdin, stdout, stderr};
  for (int fd = 0; fd <= 2; ++fd) {
    if (::_get_osfhandle(fd) < 0) {
      output_closed = output_closed || fd == 1;
      ok = ok && std::freopen("NUL", fd == 0 ? "rb" : "wb", streams[fd]) != nullptr;
    }
  }
  return output_closed;
}

void prepare_standard_files() {
  for (int fd = 0; fd <= 2; ++fd) {
    (void)::_setmode(fd, _O_BINARY);
  }
  console_code_page = ::GetConsoleOutputCP();
  if (console_code_page != 0 && console_code_page != CP_UTF8 &&
      ::SetConsoleOutputCP(CP_UTF8) != 0) {
    (void)std::atexit(give_back_code_page);
  }
}

File standard(Standard which) { return file_of(::GetStdHandle(standard_id(which))); }

bool is_terminal(Standard which) {
  DWORD mode = 0;
  return ::GetConsoleMode(handle(standard(which)), &mode) != 0;
}

bool terminal_takes_escapes() {
  const HANDLE console = handle(standard(Standard::error));
  DWORD mode = 0;
  if (::GetConsoleMode(console, &mode) == 0) {
    return false;
  }
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void on_interrupt(void (*cleanup)()) {
  interrupt_cleanup = cleanup;
  (void)::SetConsoleCtrlHandler(clean_up_and_exit, TRUE);
}

// An input is never read in place here (map_to_read), so nothing faults.
void on_input_fault(void (*cleanup)()) { (void)cleanup; }

void hold_interrupts() { ::EnterCriticalSection(&hold_lock.section); }

void release_interrupts() { ::LeaveCriticalSection(&hold_lock.section); }

void remove_now(const char* path) { (void)::DeleteFileW(system_path(path).c_str()); }

void write_now(Standard which, const char* text, std::size_t length) {
  DWORD written = 0;
  (void)::WriteFile(handle(standard(which)), text, static_cast<DWORD>(length), &written, nullptr);
}

}  // namespace orvale::platform
