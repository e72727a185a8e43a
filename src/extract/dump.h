// One whole extraction: a kvxavc file in, its video and audio streams out.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <set>
#include <string>
#include <utility>

#include "extract/input.h"
#include "extract/report.h"

namespace orvale {

class Progress;

struct Settings {
  // Where the outputs go, named after the input's file name; empty: beside
  // the input, named after its path as given.
  std::string output_dir;
  // Recover, by their own structure, the packets a damaged or missing index
  // does not reach.
  bool rescue = false;
};

// What the inputs of one invocation share: the files their outputs went to,
// so that no input overwrites what an earlier one wrote, and the progress line.
class Session {
 public:
  explicit Session(Progress* progress = nullptr) : progress_(progress) {}
  [[nodiscard]] bool written_before(dev_t device, ino_t inode) const;
  void remember_written(dev_t device, ino_t inode);
  [[nodiscard]] Progress* progress() const { return progress_; }

 private:
  Progress* progress_;
  std::set<std::pair<dev_t, ino_t>> written_;
};

// Extracts the kvxavc file at `path`.
[[nodiscard]] ExitStatus dump(const std::string& path, const Settings& settings, Session& session);

// Extracts from `fd`, open for reading, as if it had been opened from `path`;
// diagnostics go to `diagnostics`, and the input passes through a window of
// `window_size` bytes.
[[nodiscard]] ExitStatus dump_descriptor(int fd, const std::string& path, const Settings& settings,
                                         Session& session, std::FILE* diagnostics = stderr,
                                         std::size_t window_size = InputWindow::kDefaultSize);

}  // namespace orvale
