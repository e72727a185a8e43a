// Wildcards in the words of a command line, for systems whose shells leave
// them to the program. Pure: the folder is read through the finder given.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace orvale::platform {
namespace {

bool has_wildcard(const std::string& word) { return word.find_first_of("*?") != std::string::npos; }

// What stands before the pattern's last part: its folder, with the
// separator, or a drive ("C:*.kvx").
std::string folder_part(const std::string& pattern) {
  const std::size_t cut = pattern.find_last_of("/\\");
  if (cut != std::string::npos) {
    return pattern.substr(0, cut + 1);
  }
  return pattern.size() >= 2 && pattern[1] == ':' ? pattern.substr(0, 2) : std::string();
}

}  // namespace

std::vector<std::string> expand_wildcards(const std::vector<std::string>& words, MatchFinder find) {
  std::vector<std::string> expanded;
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::vector<std::string> names;
    if (i == 0 || !has_wildcard(words[i]) || find(words[i], names) != 0) {
      expanded.push_back(words[i]);
      continue;
    }
    std::erase_if(names, [](const std::string& name) { return name == "." || name == ".."; });
    if (names.empty()) {
      expanded.push_back(words[i]);
      continue;
    }
    std::sort(names.begin(), names.end());
    const std::string folder = folder_part(words[i]);
    for (const std::string& name : names) {
      expanded.push_back(folder + name);
    }
  }
  return expanded;
}

}  // namespace orvale::platform
