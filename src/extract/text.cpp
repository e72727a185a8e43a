#include "extract/shell_word.h"

#include <algorithm>
#include <string_view>

namespace orvale {

std::string shell_word(const std::string& word) {
  const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("_./,:+=@%-").find(c) != std::string_view::npos;
  });
  if (plain) {
    return word;
  }
  std::string quoted = "'";
  for (const char c : word) {
    if (c == '\'') {
      quoted.append("'\\''");
    } else {
      quoted.push_back(c);
    }
  }
  quoted.push_back('\'');
  return quoted;
}

}  // namespace orvale
