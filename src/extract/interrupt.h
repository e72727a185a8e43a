// What SIGINT, SIGTERM, SIGHUP and SIGQUIT leave behind: every output name as it was,
// and none of the run's temporary files.
#pragma once

#include <signal.h>

#include <cstddef>
#include <string>

namespace orvale {

// One temporary for the video and one for each of the ten audio outputs.
inline constexpr std::size_t kTrackedTemporaries = 11;

// Installs the handler for each of the four signals that was not ignored
// when the program started (a background job of a script keeps SIGINT
// ignored). The handler removes the temporaries tracked, prints one line
// unless stderr is busy, and ends the process by the same signal, so the
// parent sees its true cause. `terminal`: stderr is a terminal, where the
// line first clears a progress line.
void install_interrupt_cleanup(bool terminal);

// Blocks the four signals while it lives: the handler never sees the
// temporaries half changed, and the files they concern change as one.
class InterruptsHeld {
 public:
  InterruptsHeld();
  ~InterruptsHeld();
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

 private:
  sigset_t previous_{};
};

// The temporaries the handler removes, by slot; change them only while held.
// False when `path` is too long to be kept (no such file can be opened).
[[nodiscard]] bool track_temporary(std::size_t slot, const std::string& path);
void forget_temporaries();
// The input being extracted, named in the handler's line; "" for none.
void name_interrupted_input(const std::string& input);

// Marks stderr as being written, so that the handler leaves its line out
// rather than cut into another.
class StderrInUse {
 public:
  StderrInUse();
  ~StderrInUse();
  StderrInUse(const StderrInUse&) = delete;
  StderrInUse& operator=(const StderrInUse&) = delete;
};

}  // namespace orvale
