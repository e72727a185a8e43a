// The inputs the words of the command line name: a file as it is, a folder
// as the recordings under it, and "-" as standard input.
#pragma once

#include <string>
#include <vector>

#include "cli/session.h"

namespace orvale {

// Every word in turn; a folder gives every file under it whose name ends in
// ".kvx" in any case, in name order at each level, and one that holds none
// is an input refused.
[[nodiscard]] std::vector<Input> find_inputs(const std::vector<std::string>& words);

// Whether a name ends in ".kvx", ".KVX", ".Kvx" ...
[[nodiscard]] bool is_recording_name(const std::string& name);

}  // namespace orvale
