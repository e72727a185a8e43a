// Words of a command line shown to the user, ready to be typed back.
#pragma once

#include <string>

namespace orvale {

// `word` as the shell reads it back: as it is when it holds nothing the
// shell would take apart, else in single quotes.
[[nodiscard]] std::string shell_word(const std::string& word);

}  // namespace orvale
