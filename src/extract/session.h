// What the user asked for, and what the inputs of one invocation share.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <utility>

namespace orvale {

class Progress;

struct Settings {
  // Where the outputs go, named after the input's file name; empty: beside
  // the input, named after its path as given. Created when missing.
  std::string output_dir;
  // Recover, by their own structure, the packets a damaged or missing index
  // does not reach.
  bool rescue = false;
  // Skip an input one of whose outputs is already there.
  bool no_clobber = false;
};

// The files the outputs of earlier inputs became, so that no input replaces
// what an earlier one wrote, and the progress line.
class Session {
 public:
  explicit Session(Progress* progress = nullptr) : progress_(progress) {}
  [[nodiscard]] bool written_before(dev_t device, ino_t inode) const {
    return written_.contains({device, inode});
  }
  void remember_written(dev_t device, ino_t inode) { written_.emplace(device, inode); }
  [[nodiscard]] Progress* progress() const { return progress_; }

 private:
  Progress* progress_;
  std::set<std::pair<dev_t, ino_t>> written_;
};

}  // namespace orvale
