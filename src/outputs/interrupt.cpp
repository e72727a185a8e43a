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
std::array<char, kMaxPath + 128> fault_message{};
std::size_t fault_message_length = 0;
bool clears_line = false;
volatile sig_atomic_t stderr_in_use = 0;

template <std::size_t Size>
void keep_line(std::string text, std::array<char, Size>& line, std::size_t& length) {
  // A name too long to show whole still leaves a whole line.
  if (text.size() > line.size()) {
    text.erase(line.size() - 1);
    text.back() = '\n';
  }
  std::memcpy(line.data(), text.data(), text.size());
  length = text.size();
}

void set_message(const std::string& input, bool complete) {
  const std::string opening = std::string(clears_line ? "\r\033[K" : "") + "orvale: ";
  std::string text = opening;
  if (input.empty()) {
    text += "interrupted\n";
  } else {
    text += input;
    text += complete ? ": interrupted after its outputs were complete\n"
                     : ": interrupted; its outputs are left as they were\n";
  }
  keep_line(text, message, message_length);
  keep_line(opening + (input.empty() ? "an input" : input) +
                ": could no longer be read while it was read in place (cut shorter meanwhile, "
                "or a bad spot); its outputs are left as they were\n",
            fault_message, fault_message_length);
}

// Says why the run ends unless a message is half written: the line would
// then run into it.
template <std::size_t Size>
void remove_temporaries_and_tell(const std::array<char, Size>& line, std::size_t length) {
  for (const auto& name : temporaries) {
    if (name[0] != '\0') {
      platform::remove_now(name.data());
    }
  }
  if (stderr_in_use == 0) {
    platform::write_now(platform::Standard::error, line.data(), length);
  }
}

void remove_temporaries() { remove_temporaries_and_tell(message, message_length); }

void remove_temporaries_after_fault() {
  remove_temporaries_and_tell(fault_message, fault_message_length);
}

}  // namespace

void install_interrupt_cleanup(bool clear_line) {
  clears_line = clear_line;
  set_message("", false);
  platform::on_interrupt(remove_temporaries);
  platform::on_input_fault(remove_temporaries_after_fault);
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
