// Text for the user: printf-style formatting into strings, and command-line
// words shown ready to be typed back.
#pragma once

#include <cstdarg>
#include <string>

// The compiler checks printf formats against their arguments. MinGW's C
// library is told to print as C99 does (%zu, %lld), which its checker names
// gnu_printf.
#if defined(__MINGW32__)
#define ORVALE_PRINTF(format_at, first_argument) \
  __attribute__((format(gnu_printf, format_at, first_argument)))
#else
#define ORVALE_PRINTF(format_at, first_argument) \
  __attribute__((format(printf, format_at, first_argument)))
#endif

namespace orvale {

// What printf would print, as a string; the compiler checks the format
// against the arguments.
[[nodiscard]] std::string formatted(const char* format, ...) ORVALE_PRINTF(1, 2);
// The same for a list of arguments the caller started.
[[nodiscard]] std::string vformatted(const char* format, std::va_list arguments)
    ORVALE_PRINTF(1, 0);

// `word` as the shell reads it back: as it is when it holds nothing the
// shell would take apart, else in single quotes.
[[nodiscard]] std::string shell_word(const std::string& word);

}  // namespace orvale
