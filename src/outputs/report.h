// What a run tells its user on stderr, and the exit status it ends with.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/text.h"

namespace orvale {

class Progress;

enum class ExitStatus : int {
  ok = 0,        // everything the index lists was extracted
  warnings = 1,  // some data could not be extracted, the rest was
  error = 2,     // the run could not be done, or an output could not be written
  // The reader of standard output went away before the end, as `head` does:
  // the status a shell gives a command SIGPIPE ended, so that a script sees
  // the stream was not whole, though no signal is raised and nothing is said.
  reader_gone = 141,
};

// Stderr diagnostics, one line each: "orvale: FILE: what happened". Warnings
// past the first kMaxShown are only counted, so a badly damaged file cannot
// flood the terminal.
// A report with no sink counts and keeps what it is told, and prints nothing.
class Report {
 public:
  static constexpr std::uint32_t kMaxShown = 100;

  Report(std::string input_name, std::FILE* sink, Progress* progress = nullptr)
      : input_name_(std::move(input_name)), sink_(sink), progress_(progress) {}
  Report(const Report&) = delete;
  Report& operator=(const Report&) = delete;

  void warning(const char* format, ...) ORVALE_PRINTF(2, 3);
  void error(const std::string& file, const char* format, ...) ORVALE_PRINTF(3, 4);
  // A line that changes nothing in the exit status: what the run did beside
  // extracting, or found around its outputs.
  void notice(const std::string& file, const char* format, ...) ORVALE_PRINTF(3, 4);
  // One of the texts scripts match on stdout, with its newline; left out
  // when stdout carries a stream or a listing.
  void say(const char* text);
  void keep_stdout_quiet() { quiet_stdout_ = true; }
  // Warnings are counted and the first kept, but not printed: a listing
  // tells them.
  void hold_warnings() { hold_warnings_ = true; }
  [[nodiscard]] const std::string& first_warning() const { return first_warning_; }
  [[nodiscard]] const std::string& first_error() const { return first_error_; }
  [[nodiscard]] std::uint64_t warnings() const { return warnings_; }
  // Sums up the warnings not shown and gives the run's exit status.
  [[nodiscard]] ExitStatus finish();
  [[nodiscard]] bool failed() const { return failed_; }
  // Standard output's reader left: the run stops as if failed, says nothing
  // more, and ends with ExitStatus::reader_gone.
  void reader_gone() {
    failed_ = true;
    reader_gone_ = true;
  }

 private:
  std::string input_name_;
  std::FILE* sink_;
  Progress* progress_;
  std::uint64_t warnings_ = 0;
  bool failed_ = false;
  bool reader_gone_ = false;
  bool quiet_stdout_ = false;
  bool hold_warnings_ = false;
  bool summed_ = false;
  std::string first_warning_;
  std::string first_error_;
};

}  // namespace orvale
