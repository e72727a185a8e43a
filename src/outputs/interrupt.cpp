#include "outputs/interrupt.h"

#include <array>
#include <csignal>
#include <cstring>

namespace orvale {
namespace {

// Longer paths are not tracked, and no temporary is made under them.
constexpr std::size_t kMaxPath = 4096;

// Read by the handler, so plain arrays filled before it may run: nothing in
// it allocates or formats.
std::array<std::array<char, kMaxPath>, kTrackedTemporaries> temporaries{};
std::array<char, kMaxPath + 128> message{};
std::size_t message_length = 0;
bool clears_line = false;
volatile sig_atomic_t stderr_in_use = 0;

void set_message(const std::string& input, bool complete) {
  std::string text = clears_line ? "\r\033[K" : "";
  text += "orvale: ";
  if (input.empty()) {
    text += "interrupted\n";
  } else {
    text += input;
    text += complete ? ": interrupted after its outputs were complete\n"
                     : ": interrupted; its outputs are left as they were\n";
  }
  // A name too long to show whole still leaves a whole line.
  if (text.size() > message.size()) {
    text.erase(message.size() - 1);
    text.back() = '\n';
  }
  std::memcpy(message.data(), text.data(), text.size());
  message_length = text.size();
}

void remove_temporaries() {
  for (const auto& name : temporaries) {
    if (name[0] != '\0') {
      platform::remove_now(name.data());
    }
  }
  if (stderr_in_use == 0) {
    platform::write_now(platform::Standard::error, message.data(), message_length);
  }
}

}  // namespace

void install_interrupt_cleanup(bool clear_line) {
  clears_line = clear_line;
  set_message("", false);
  platform::on_interrupt(remove_temporaries);
}

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

void name_interrupted_input(const std::string& input) { set_message(input, false); }

void name_completed_input(const std::string& input) { set_message(input, true); }

StderrInUse::StderrInUse() { stderr_in_use = stderr_in_use + 1; }

StderrInUse::~StderrInUse() { stderr_in_use = stderr_in_use - 1; }

}  // namespace orvale
