// Where an output's bytes go, and how they take the output name's place.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace orvale {

// One output name. A regular file there, or nothing yet, is written aside: to
// a file with no name in its folder where the system can make one, so that a
// killed run leaves nothing, else to a new hidden file beside it named after
// this machine and process; replace() names it in the target's place once
// the input is finished, so that until then the name holds the earlier file,
// whole. A
// link is followed and what it points to is replaced; the link stays. A FIFO
// or a device is written through.
//
// Every function gives 0 or the errno value that stopped it. A temporary
// still there when the object goes is removed.
class Destination {
 public:
  Destination() = default;
  ~Destination() { remove(); }
  Destination(const Destination&) = delete;
  Destination& operator=(const Destination&) = delete;

  // Looks at what stands at `name` and decides how it will be written;
  // nothing is created or changed. A regular file the user may not write
  // (EACCES), or may not replace in a sticky folder (EPERM), is refused, as
  // is a directory (EISDIR) and a name in a folder that is not there.
  [[nodiscard]] int look(const std::string& name);
  // Writes through to the process's standard output, named "standard output"
  // in messages.
  [[nodiscard]] int look_standard_output();
  // Opens for writing: the FIFO or device at the name, or a new temporary
  // beside the target, created exclusively with the mode a new file gets,
  // or the permission bits of the file it is to replace.
  [[nodiscard]] int open(platform::File& file);
  // The temporary takes the target's place.
  [[nodiscard]] int replace();
  // The temporary is kept as the target's name followed by ".partial".
  [[nodiscard]] int keep_partial();
  // Removes the temporary, if there is one.
  void remove();
  // The folder the output goes to.
  [[nodiscard]] std::string folder() const;
  // Removes the temporaries for this target, among the names in its folder,
  // that a run of this machine left when it was killed (its process is
  // gone), and adds their paths to `removed`.
  void remove_stale(std::span<const std::string> names_in_folder,
                    std::vector<std::string>& removed) const;
  // Whether the output is being written to a file with no name yet.
  [[nodiscard]] bool unnamed() const { return unnamed_ != platform::kNoFile; }
  // Under --no-clobber: the file at the name stays as it is, and nothing is
  // written for it.
  void leave_alone() { left_alone_ = true; }
  [[nodiscard]] bool left_alone() const { return left_alone_; }
  // Leaves the temporary where it is, under its hidden name: for bytes worth
  // more than a tidy folder when no other name would take them.
  void leave() { temporary_.clear(); }

  // A file stands at the target that is not the one look() found there.
  [[nodiscard]] bool replaced_meanwhile() const;
  // Both write aside to the same file: one that is there, or one name in one
  // folder however the two were spelled.
  [[nodiscard]] bool same_file_as(const Destination& other) const;

  [[nodiscard]] const std::string& name() const { return name_; }
  // The name with its links followed: the file that is replaced.
  [[nodiscard]] const std::string& target() const { return target_; }
  [[nodiscard]] const std::string& temporary() const { return temporary_; }
  [[nodiscard]] std::string partial() const { return target_ + ".partial"; }
  [[nodiscard]] bool writes_through() const { return through_; }
  [[nodiscard]] bool writes_standard_output() const { return standard_output_; }
  // What look() found at the target: whether a file stood there, and which.
  [[nodiscard]] bool existed() const { return existed_; }
  [[nodiscard]] const platform::FileId& id() const { return found_.id; }

 private:
  // With `only_if_free`, a file standing at `to` stays (EEXIST).
  [[nodiscard]] int move_temporary(const std::string& to, bool only_if_free);
  [[nodiscard]] int create_named(const platform::FileStatus* like, platform::File& file);
  // Names the unnamed file with a temporary name; nothing when there is none.
  [[nodiscard]] int name_unnamed();
  void close_unnamed();

  std::string name_;
  std::string target_;
  std::string temporary_;
  // A handle on the unnamed file the output writes, or kNoFile.
  platform::File unnamed_ = platform::kNoFile;
  bool through_ = false;
  bool standard_output_ = false;
  bool left_alone_ = false;
  bool existed_ = false;
  // What stood at the target; its change time tells it apart from a later
  // file that got the same number.
  platform::FileStatus found_;
  platform::FileId folder_;
  std::string base_;
};

// The hidden name a temporary for `target` takes, before its random part:
// ".NAME.orvale-", NAME shortened where the whole would not fit a directory
// entry.
[[nodiscard]] std::string temporary_prefix(const std::string& target);

}  // namespace orvale
