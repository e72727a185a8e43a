// Text for the user: printf-style formatting into strings, and command-line
// words shown ready to be typed back.
#pragma once

#include <cstdarg>
#include <string>

namespace orvale {

// What printf would print, as a string; the compiler checks the format
// against the arguments.
[[nodiscard]] std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same for a list of arguments the caller started.
[[nodiscard]] std::string vformatted(const char* format, std::va_list arguments)
    __attribute__((format(printf, 1, 0)));

// `word` as the shell reads it back: as it is when it holds nothing the
// shell would take apart, else in single quotes.
[[nodiscard]] std::string shell_word(const std::string& word);

}  // namespace orvale
