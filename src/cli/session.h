// What the user asked for, and what the inputs of one invocation share.
#pragma once

#include <bit>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mux/rate.h"
#include "platform/platform.h"

namespace orvale {

class Listing;
class Progress;

enum class Mode {
  extract,  // write the outputs
  test,     // walk each input as an extraction would, writing nothing
  list,     // walk each input writing nothing, and tell what it holds
};

// What the outputs of an input are: the streams each in a raw file of its
// own, or one MP4 or Matroska file holding them all, timed.
enum class Format { raw, mp4, mkv };

// The streams to write. Audio streams are numbered from 0, as in the output
// names; only the first ten can be written.
struct StreamChoice {
  bool everything = true;
  bool video = false;
  std::uint32_t audio = 0;  // bit S: audio stream S

  [[nodiscard]] bool takes_video() const { return everything || video; }
  [[nodiscard]] bool takes_audio(std::uint32_t stream) const {
    return everything || (stream < 32 && (audio >> stream & 1U) != 0);
  }
  // How many streams the choice names; 0 for everything.
  [[nodiscard]] int named() const {
    return everything ? 0 : (video ? 1 : 0) + std::popcount(audio);
  }
  // As -s takes it: "v,0,2".
  [[nodiscard]] std::string spelled() const {
    std::string list = video ? "v" : "";
    for (std::uint32_t s = 0; s < 32; ++s) {
      if ((audio >> s & 1U) != 0) {
        if (!list.empty()) {
          list += ',';
        }
        list += std::to_string(s);
      }
    }
    return list;
  }
};

struct Settings {
  // Where the outputs go, named after the input's file name; empty: beside
  // the input, named after its path as given. Created when missing.
  std::string output_dir;
  // Recover, by their own structure, the packets a damaged or missing index
  // does not reach.
  bool rescue = false;
  // Skip an input one of whose outputs is already there.
  bool no_clobber = false;
  // Under output_dir, the outputs keep the input's path, not only its name.
  bool parents = false;
  // The one stream chosen goes to standard output, not to a file.
  bool to_stdout = false;
  StreamChoice streams;
  Format format = Format::raw;
  // --fps: the rate every picture is timed at, whatever the audio says.
  std::optional<Rate> fps;
  Mode mode = Mode::extract;
  // Outputs are written (to files or standard output).
  [[nodiscard]] bool writes() const { return mode == Mode::extract; }
  [[nodiscard]] bool muxes() const { return format != Format::raw; }
};

// One input of the run, as the words given name it.
struct Input {
  // What is read: a file given or found in a folder given; "-" is standard
  // input.
  std::string path;
  // Under -o DIR without --parents, the outputs are named after this path
  // below DIR: for a file found in a folder given, its path below that
  // folder; empty for the file's own name.
  std::string below;
  // Why the input cannot be read, found when it was looked for.
  std::string refusal;
};

// The files the outputs of earlier inputs became, so that no input replaces
// what an earlier one wrote, and the progress line.
class Session {
 public:
  explicit Session(Progress* progress = nullptr, Listing* listing = nullptr)
      : progress_(progress), listing_(listing) {}
  [[nodiscard]] bool written_before(const platform::FileId& file) const {
    return written_.contains(file);
  }
  void remember_written(const platform::FileId& file) { written_.insert(file); }
  // The names in `folder` as this run first listed it; `fresh` when the
  // caller is the first to ask and must fill them in. A batch of many inputs
  // in one folder then lists it once, not once an input.
  [[nodiscard]] std::vector<std::string>& names_in(const std::string& folder, bool& fresh) {
    const auto [at, inserted] = folders_.try_emplace(folder);
    fresh = inserted;
    return at->second;
  }
  [[nodiscard]] Progress* progress() const { return progress_; }
  // Where each input's facts go; given only under --list.
  [[nodiscard]] Listing* listing() const { return listing_; }

 private:
  Progress* progress_;
  Listing* listing_;
  std::set<platform::FileId> written_;
  std::map<std::string, std::vector<std::string>> folders_;
};

}  // namespace orvale
