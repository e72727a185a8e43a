#include "extract/report.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace orvale {
namespace {

void print_line(const std::string& file, const char* format, std::va_list arguments) {
  std::fprintf(stderr, "orvale: %s: ", file.c_str());
  std::vfprintf(stderr, format, arguments);
  std::fputc('\n', stderr);
}

}  // namespace

void Report::warning(const char* format, ...) {
  if (++warnings_ > kMaxShown) {
    return;
  }
  std::va_list arguments;
  va_start(arguments, format);
  print_line(input_name_, format, arguments);
  va_end(arguments);
}

void Report::error(const std::string& file, const char* format, ...) {
  failed_ = true;
  std::va_list arguments;
  va_start(arguments, format);
  print_line(file, format, arguments);
  va_end(arguments);
}

ExitStatus Report::finish() {
  if (warnings_ > kMaxShown) {
    std::fprintf(stderr, "orvale: %s: %" PRIu64 " more warnings not shown\n", input_name_.c_str(),
                 warnings_ - kMaxShown);
    warnings_ = kMaxShown;
  }
  if (failed_) {
    return ExitStatus::error;
  }
  return warnings_ > 0 ? ExitStatus::warnings : ExitStatus::ok;
}

}  // namespace orvale
