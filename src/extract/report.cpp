#include "extract/report.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "extract/interrupt.h"
#include "extract/progress.h"

namespace orvale {
namespace {

void print_line(std::FILE* sink, Progress* progress, const std::string& file, const char* format,
                std::va_list arguments) {
  if (progress != nullptr) {
    progress->clear();
  }
  const StderrInUse in_use;
  std::fprintf(sink, "orvale: %s: ", file.c_str());
  // The va_list is started by the caller; the analyzer cannot see that.
  std::vfprintf(sink, format, arguments);  // NOLINT(clang-analyzer-valist.Uninitialized)
  std::fputc('\n', sink);
}

}  // namespace

// printf-style, so that the compiler checks each format against its arguments.
void Report::warning(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  if (++warnings_ > kMaxShown) {
    return;
  }
  std::va_list arguments;
  va_start(arguments, format);
  print_line(sink_, progress_, input_name_, format, arguments);
  va_end(arguments);
}

void Report::error(const std::string& file, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  failed_ = true;
  std::va_list arguments;
  va_start(arguments, format);
  print_line(sink_, progress_, file, format, arguments);
  va_end(arguments);
}

void Report::notice(const std::string& file, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  std::va_list arguments;
  va_start(arguments, format);
  print_line(sink_, progress_, file, format, arguments);
  va_end(arguments);
}

void Report::say(const char* text) {
  if (progress_ != nullptr) {
    progress_->clear();
  }
  std::fputs(text, stdout);
  std::fflush(stdout);
}

ExitStatus Report::finish() {
  if (warnings_ > kMaxShown) {
    if (progress_ != nullptr) {
      progress_->clear();
    }
    const StderrInUse in_use;
    std::fprintf(sink_, "orvale: %s: %" PRIu64 " more warnings not shown\n", input_name_.c_str(),
                 warnings_ - kMaxShown);
    warnings_ = kMaxShown;
  }
  if (failed_) {
    return ExitStatus::error;
  }
  return warnings_ > 0 ? ExitStatus::warnings : ExitStatus::ok;
}

}  // namespace orvale
