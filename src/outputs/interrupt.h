// What an interruption (Ctrl-C, kill, a closed terminal or console) leaves
// behind: every output name as it was, and none of the run's temporary files.
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

namespace orvale {

// One temporary for the video and one for each of the ten audio outputs.
inline constexpr std::size_t kTrackedTemporaries = 11;

// Installs the handler. It removes the temporaries tracked, prints one line
// unless stderr is busy, and ends the process as the interruption would
// have, so the parent sees its true cause. `clear_line`: the line first
// clears a progress line on a terminal.
void install_interrupt_cleanup(bool clear_line);

// Holds interruptions off while it lives: the handler never sees the
// temporaries half changed, and the files they concern change as one.
class InterruptsHeld {
 public:
  InterruptsHeld() { platform::hold_interrupts(); }
  ~InterruptsHeld() { platform::release_interrupts(); }
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;
};

// The temporaries the handler removes, by slot; change them only while held.
// False when `path` is too long to be kept (no such file can be opened).
[[nodiscard]] bool track_temporary(std::size_t slot, const std::string& path);
void forget_temporaries();
// The input being extracted, named in the handler's line; "" for none.
void name_interrupted_input(const std::string& input);
// The input whose outputs are all in place, named in the handler's line
// until the next input begins. The process still ends by the signal, as
// the user asked: a script or `xargs` around it must learn that it was
// stopped, and stop too; the line tells that nothing of this input was lost.
void name_completed_input(const std::string& input);

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
