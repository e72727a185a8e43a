#include "cli/text.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "platform/platform.h"

namespace orvale {

std::string vformatted(const char* format, std::va_list arguments) {
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

// printf-style, so that the compiler checks each format against its arguments.
std::string formatted(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  std::va_list arguments;
  va_start(arguments, format);
  std::string text = vformatted(format, arguments);
  va_end(arguments);
  return text;
}

std::string shell_word(const std::string& word) {
  const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view(platform::kShellPlain).find(c) != std::string_view::npos;
  });
  if (plain) {
    return word;
  }
  // A quote inside ends the quoted part, stands escaped, and starts another.
  constexpr char kQuote = platform::kShellQuote;
  const std::string escaped_quote = kQuote == '"' ? "\"\\\"\"" : "'\\''";
  std::string quoted(1, kQuote);
  for (const char c : word) {
    if (c == kQuote) {
      quoted.append(escaped_quote);
    } else {
      quoted.push_back(c);
    }
  }
  quoted.push_back(kQuote);
  return quoted;
}

}  // namespace orvale
