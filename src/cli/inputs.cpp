#include "cli/inputs.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "platform/platform.h"

namespace orvale {
namespace {

std::string joined(const std::string& folder, const std::string& name) {
  if (folder.empty()) {
    return name;
  }
  return platform::utf8_of(platform::path_of(folder) / platform::path_of(name));
}

// A link to a folder is not followed: it could lead back up the tree, and
// `find` does not follow one either.
void add_folder(const std::string& folder, const std::string& below, std::vector<Input>& inputs) {
  std::vector<std::string> names;
  if (const int error = platform::list_folder(folder, names); error != 0) {
    inputs.push_back(
        {folder, below, std::string("cannot read the folder: ") + std::strerror(error)});
    return;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = joined(folder, name);
    platform::FileStatus status;
    if (platform::status(path, false, status) != 0) {
      continue;
    }
    if (status.kind == platform::Kind::directory) {
      add_folder(path, joined(below, name), inputs);
      continue;
    }
    if (status.kind == platform::Kind::link && platform::status(path, true, status) != 0) {
      continue;
    }
    if (status.kind == platform::Kind::regular && is_recording_name(name)) {
      inputs.push_back({path, joined(below, name), ""});
    }
  }
}

}  // namespace

bool is_recording_name(const std::string& name) {
  constexpr std::string_view kEnding = ".kvx";
  if (name.size() <= kEnding.size()) {
    return false;
  }
  const std::string_view ending = std::string_view(name).substr(name.size() - kEnding.size());
  return std::equal(ending.begin(), ending.end(), kEnding.begin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == b;
  });
}

std::vector<Input> find_inputs(const std::vector<std::string>& words) {
  std::vector<Input> inputs;
  for (const std::string& word : words) {
    platform::FileStatus status;
    if (word == "-" || platform::status(word, true, status) != 0 ||
        status.kind != platform::Kind::directory) {
      inputs.push_back({word, "", ""});
      continue;
    }
    const std::size_t before = inputs.size();
    add_folder(word, "", inputs);
    if (inputs.size() == before) {
      inputs.push_back({word, "", "a folder holding no .kvx file; nothing to extract"});
    }
  }
  return inputs;
}

}  // namespace orvale
