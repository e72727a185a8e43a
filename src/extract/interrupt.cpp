#include "extract/interrupt.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

namespace orvale {
namespace {

// Ctrl-C, kill, a closed terminal, and Ctrl-\ when Ctrl-C seemed not to work.
constexpr std::array<int, 4> kSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Read by the handler, so plain arrays filled before it may run: nothing in
// it allocates or formats.
std::array<std::array<char, PATH_MAX>, kTrackedTemporaries> temporaries{};
std::array<char, PATH_MAX + 128> message{};
std::size_t message_length = 0;
bool clears_line = false;
volatile sig_atomic_t stderr_in_use = 0;

void set_message(const std::string& input) {
  std::string text = clears_line ? "\r\033[K" : "";
  text += "orvale: ";
  if (input.empty()) {
    text += "interrupted\n";
  } else {
    text += input;
    text += ": interrupted; its outputs are left as they were\n";
  }
  // A name too long to show whole still leaves a whole line.
  if (text.size() > message.size()) {
    text.erase(message.size() - 1);
    text.back() = '\n';
  }
  std::memcpy(message.data(), text.data(), text.size());
  message_length = text.size();
}

extern "C" void remove_temporaries_and_die(int signal_number) {
  for (const auto& name : temporaries) {
    if (name[0] != '\0') {
      (void)::unlink(name.data());
    }
  }
  if (stderr_in_use == 0) {
    (void)!::write(STDERR_FILENO, message.data(), message_length);
  }
  // Blocked while the handler runs, the signal arrives again once it
  // returns, now with its default action.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  (void)::sigaction(signal_number, &default_action, nullptr);
  (void)::raise(signal_number);
}

sigset_t handled_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : kSignals) {
    sigaddset(&set, signal_number);
  }
  return set;
}

}  // namespace

void install_interrupt_cleanup(bool terminal) {
  clears_line = terminal;
  set_message("");
  struct sigaction action {};
  action.sa_handler = remove_temporaries_and_die;
  action.sa_mask = handled_signals();
  action.sa_flags = SA_RESTART;
  for (const int signal_number : kSignals) {
    struct sigaction previous {};
    if (::sigaction(signal_number, &action, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      (void)::sigaction(signal_number, &previous, nullptr);
    }
  }
}

InterruptsHeld::InterruptsHeld() {
  const sigset_t set = handled_signals();
  (void)::sigprocmask(SIG_BLOCK, &set, &previous_);
}

InterruptsHeld::~InterruptsHeld() { (void)::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

bool track_temporary(std::size_t slot, const std::string& path) {
  if (slot >= temporaries.size()) {
    return false;
  }
  auto& name = temporaries[slot];
  if (path.size() >= name.size()) {
    name[0] = '\0';
    return false;
  }
  std::memcpy(name.data(), path.c_str(), path.size() + 1);
  return true;
}

void forget_temporaries() {
  for (auto& name : temporaries) {
    name[0] = '\0';
  }
}

void name_interrupted_input(const std::string& input) { set_message(input); }

StderrInUse::StderrInUse() { stderr_in_use = stderr_in_use + 1; }

StderrInUse::~StderrInUse() { stderr_in_use = stderr_in_use - 1; }

}  // namespace orvale
