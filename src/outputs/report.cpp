#include "outputs/report.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "cli/progress.h"
#include "cli/text.h"
#include "outputs/interrupt.h"

namespace orvale {
namespace {

void print_line(std::FILE* sink, Progress* progress, const std::string& file,
                const std::string& text) {
  if (sink == nullptr) {
    return;
  }
  if (progress != nullptr) {
    progress->clear();
  }
  const StderrInUse in_use;
  std::fprintf(sink, "orvale: %s: %s\n", file.c_str(), text.c_str());
}

}  // namespace

// printf-style, so that the compiler checks each format against its arguments.
void Report::warning(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  const bool keep = first_warning_.empty();
  if (++warnings_ > kMaxShown && !keep) {
    return;
  }
  std::va_list arguments;
  va_start(arguments, format);
  const std::string text = vformatted(format, arguments);
  va_end(arguments);
  if (keep) {
    first_warning_ = text;
  }
  if (!hold_warnings_ && warnings_ <= kMaxShown) {
    print_line(sink_, progress_, input_name_, text);
  }
}

void Report::error(const std::string& file, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  failed_ = true;
  std::va_list arguments;
  va_start(arguments, format);
  const std::string text = vformatted(format, arguments);
  va_end(arguments);
  if (first_error_.empty()) {
    first_error_ = file == input_name_ ? text : file + ": " + text;
  }
  if (reader_gone_) {
    return;
  }
  print_line(sink_, progress_, file, text);
}

void Report::notice(const std::string& file, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  std::va_list arguments;
  va_start(arguments, format);
  const std::string text = vformatted(format, arguments);
  va_end(arguments);
  if (!hold_warnings_) {
    print_line(sink_, progress_, file, text);
  }
}

void Report::say(const char* text) {
  if (quiet_stdout_) {
    return;
  }
  if (progress_ != nullptr) {
    progress_->clear();
  }
  std::fputs(text, stdout);
  std::fflush(stdout);
}

ExitStatus Report::finish() {
  if (reader_gone_) {
    return ExitStatus::reader_gone;
  }
  if (warnings_ > kMaxShown && !hold_warnings_ && !summed_ && sink_ != nullptr) {
    if (progress_ != nullptr) {
      progress_->clear();
    }
    const StderrInUse in_use;
    std::fprintf(sink_, "orvale: %s: %" PRIu64 " more warnings not shown\n", input_name_.c_str(),
                 warnings_ - kMaxShown);
    summed_ = true;
  }
  if (failed_) {
    return ExitStatus::error;
  }
  return warnings_ > 0 ? ExitStatus::warnings : ExitStatus::ok;
}

}  // namespace orvale
