#include "extract/report.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "extract/interrupt.h"
#include "extract/progress.h"

namespace orvale {
namespace {

std::string format_text(const char* format, std::va_list arguments) {
  std::va_list counting;
  va_copy(counting, arguments);
  // The va_list is started by the caller; the analyzer cannot see that.
  const int length =
      std::vsnprintf(nullptr, 0, format, counting);  // NOLINT(clang-analyzer-valist.Uninitialized)
  va_end(counting);
  if (length <= 0) {
    return {};
  }
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, arguments);
  text.pop_back();
  return text;
}

void print_line(std::FILE* sink, Progress* progress, const std::string& file,
                const std::string& text) {
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
  const std::string text = format_text(format, arguments);
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
  const std::string text = format_text(format, arguments);
  va_end(arguments);
  if (first_error_.empty()) {
    first_error_ = file == input_name_ ? text : file + ": " + text;
  }
  print_line(sink_, progress_, file, text);
}

void Report::notice(const std::string& file, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  std::va_list arguments;
  va_start(arguments, format);
  const std::string text = format_text(format, arguments);
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
  if (warnings_ > kMaxShown && !hold_warnings_ && !summed_) {
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
