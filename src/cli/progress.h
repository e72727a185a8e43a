// A self-updating status line on a terminal for runs that take a while.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace orvale {

// Draws "orvale: NAME (k/N): 42% of 300.5 MiB, 85 MiB/s" (GiB from 10 GiB
// on) on one line of the terminal once the invocation has lasted about a
// second, and redraws it a
// few times a second as reads come in. Printing anything else on the same
// terminal must clear() it first. Disabled, every call does nothing.
// `escapes`: the terminal erases to the end of a line when told; on one that
// does not, shorter text is padded over longer.
class Progress {
 public:
  Progress(std::FILE* sink, bool enabled, bool escapes = true);
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() { clear(); }

  // Input `number` of `count`, counted from 1.
  void start_input(const std::string& name, std::size_t number, std::size_t count);
  // The input's length, when it is known.
  void set_size(std::optional<std::uint64_t> size) { size_ = size; }
  // The input offset reached; looks at the clock, so call it per large read.
  void update(std::uint64_t offset);
  void clear();

 private:
  using Clock = std::chrono::steady_clock;
  void draw(std::uint64_t offset, Clock::time_point now);

  void show(const std::string& line);

  std::FILE* sink_;
  bool enabled_;
  bool escapes_;
  std::size_t width_ = 0;
  bool shown_ = false;
  Clock::time_point started_;
  Clock::time_point input_started_;
  Clock::time_point drawn_;
  std::string name_;
  std::optional<std::uint64_t> size_;
  std::size_t number_ = 0;
  std::size_t count_ = 0;
};

}  // namespace orvale
