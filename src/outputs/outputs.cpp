#include "outputs/outputs.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "outputs/interrupt.h"
#include "outputs/output_set.h"

namespace orvale {
namespace {

using output_set::audio_name;
using output_set::audio_slot;
using output_set::extension;
using output_set::for_each_output;
using output_set::writes_audio;
using output_set::writes_video;

constexpr const char* kCannotOpenOutput = "can not open output file\n";

// Standard input has no name of its own; its outputs are called after it.
constexpr const char* kStandardInputName = "stdin";

bool is_separator(char c) { return c == '/' || c == '\\'; }

std::string without_leading_separators(const std::string& path, bool drives_and_shares) {
  std::size_t from = 0;
  while (from < path.size() && (path[from] == '/' || (drives_and_shares && path[from] == '\\'))) {
    ++from;
  }
  return path.substr(from);
}

// Under --parents the input's path is kept below the folder, as `cp
// --parents` keeps it; a file found in a folder given keeps its path below
// that folder; others keep their file name.
std::string base_name(const Run& run, const Settings& settings) {
  const bool piped = run.path == "-";
  if (settings.output_dir.empty()) {
    return piped ? kStandardInputName : run.path;
  }
  const std::filesystem::path folder = platform::path_of(settings.output_dir);
  std::filesystem::path kept = platform::path_of(run.path).filename();
  if (piped) {
    kept = kStandardInputName;
  } else if (settings.parents) {
    kept = platform::path_of(kept_path(run.path, platform::kDrivesAndShares));
  } else if (!run.below.empty()) {
    kept = platform::path_of(run.below);
  }
  return platform::utf8_of(folder / kept);
}

// A ".." in the input's path would lead a kept path out of the folder.
bool leaves_folder(const std::string& path) {
  const std::filesystem::path input = platform::path_of(path);
  return std::any_of(input.begin(), input.end(),
                     [](const std::filesystem::path& part) { return part == ".."; });
}

const char* mux_extension(const Settings& settings) {
  return settings.format == Format::mp4 ? ".mp4" : ".mkv";
}

// As `mkdir -p`: a batch into a folder not made yet is not one refusal per
// input.
[[nodiscard]] bool make_output_dir(Run& run, const std::string& directory) {
  std::error_code error;
  std::filesystem::create_directories(platform::path_of(directory), error);
  if (!error) {
    return true;
  }
  run.report.say(kCannotOpenOutput);
  run.report.error(directory, "cannot create the folder: %s", error.message().c_str());
  return false;
}

[[nodiscard]] bool look(Run& run, Destination& place, const std::string& name) {
  const int error = place.look(name);
  if (error == 0) {
    return true;
  }
  run.report.say(kCannotOpenOutput);
  run.report.error(name, "cannot %s: %s", place.existed() ? "replace" : "create",
                   std::strerror(error));
  return false;
}

// Refuses an output that is the input itself, another output of this input,
// or a file an earlier input of this invocation wrote.
[[nodiscard]] bool check_identity(Run& run, const Destination& place,
                                  const platform::FileStatus& input, const Session& session) {
  if (!place.existed()) {
    return true;
  }
  // A FIFO or device is never the input; standard output may be the file
  // itself, redirected to with >>.
  if (place.id() == input.id) {
    run.report.say(kCannotOpenOutput);
    run.report.error(place.name(), "is the input itself; nothing written");
    return false;
  }
  if (!place.writes_through() && session.written_before(place.id())) {
    const Settings& settings = run.settings;
    const bool folders_lost = !settings.output_dir.empty() && !settings.parents;
    run.report.error(place.name(),
                     "was already written by an earlier input of this run; input refused%s",
                     folders_lost ? "; --parents keeps the inputs' folders apart under -o" : "");
    return false;
  }
  return true;
}

[[nodiscard]] bool check_clashes(Run& run, const Session& session) {
  platform::FileStatus input;
  if (const int error = platform::status(run.file, input); error != 0) {
    run.report.error(run.path, "cannot examine the input: %s", std::strerror(error));
    return false;
  }
  if (input.kind == platform::Kind::regular) {
    run.input_modified = input.modified;
  }
  bool clear = true;
  for_each_output(run, [&](const Destination& place, const Output&, std::size_t slot) {
    clear = clear && check_identity(run, place, input, session);
    for_each_output(run, [&](const Destination& other, const Output&, std::size_t other_slot) {
      if (clear && other_slot < slot && place.same_file_as(other)) {
        run.report.say(kCannotOpenOutput);
        run.report.error(place.name(), "is the same file as another output of this input");
        clear = false;
      }
    });
  });
  return clear;
}

// With outputs appearing only when an input is finished, a regular file at
// an output name is a finished extraction, which stays; the input is read
// for the others. Gives whether every output was there.
[[nodiscard]] bool already_there(Run& run) {
  std::string there;
  std::string first;
  std::size_t missing = 0;
  for_each_output(run, [&](Destination& place, Output& output, std::size_t) {
    if (!place.existed() || place.writes_through()) {
      ++missing;
      return;
    }
    first = there.empty() ? place.name() : first;
    there += there.empty() ? "" : ", ";
    there += place.name();
    place.leave_alone();
    output.discard();
  });
  if (there.empty()) {
    return false;
  }
  if (missing == 0) {
    run.report.notice(run.path, "skipped: %s is already there (--no-clobber)", first.c_str());
    return true;
  }
  run.report.notice(run.path, "%s kept as %s (--no-clobber); only the missing outputs are written",
                    there.c_str(), there.find(", ") == std::string::npos ? "it is" : "they are");
  return false;
}

// Temporaries a killed run of this machine left at these names take room
// and help no one; the user hears of each. A run lists each folder once:
// the temporaries of runs that ended were all there before it began.
void remove_stale_temporaries(Run& run, Session& session) {
  std::vector<std::string> removed;
  for_each_output(run, [&](const Destination& place, const Output&, std::size_t) {
    if (place.writes_through()) {
      return;
    }
    bool fresh = false;
    std::vector<std::string>& names = session.names_in(place.folder(), fresh);
    // A folder that cannot be listed holds nothing this run can tidy.
    if (fresh && platform::list_folder(place.folder(), names) != 0) {
      names.clear();
    }
    place.remove_stale(names, removed);
  });
  for (const std::string& name : removed) {
    run.report.notice(name,
                      "removed: a temporary file left by a run on this machine that "
                      "ended before finishing");
  }
}

// A temporary is created with the signals held, so the handler knows of it
// from its first moment.
[[nodiscard]] bool open_output(Run& run, Destination& place, Output& output, std::size_t slot) {
  platform::File file = platform::kNoFile;
  int error = place.open(file);
  if (error == 0 && !place.writes_through() && !track_temporary(slot, place.temporary())) {
    error = ENAMETOOLONG;
  }
  if (error != 0) {
    if (file != platform::kNoFile) {
      (void)platform::close(file);
    }
    run.report.say(kCannotOpenOutput);
    run.report.error(place.name(), "cannot create: %s", std::strerror(error));
    return false;
  }
  if (!output.attach(file, place.name(), place.writes_standard_output())) {
    return report_output_failure(run, output);
  }
  return true;
}

// A stream the user chose that this input does not have, or a path that
// would lead out of the output folder, refuses the input.
[[nodiscard]] bool check_choice(Run& run, const Settings& settings) {
  if (settings.output_dir.empty() && !settings.to_stdout && run.path != "-") {
    if (const std::string system = system_folder_of(run.path); !system.empty()) {
      run.report.error(run.path,
                       "its outputs cannot go beside it in %s; give them a folder with -o DIR; "
                       "input refused",
                       system.c_str());
      return false;
    }
  }
  if (settings.parents && leaves_folder(run.path)) {
    run.report.error(run.path,
                     "its path goes up with \"..\", which --parents cannot keep inside %s; "
                     "input refused",
                     settings.output_dir.c_str());
    return false;
  }
  const std::uint32_t count = run.header.audio_stream_count;
  for (std::uint32_t s = count; s < kAudioSlots; ++s) {
    if (!settings.streams.everything && settings.streams.takes_audio(s)) {
      run.report.error(run.path,
                       "has no audio stream %" PRIu32 " (it holds %" PRIu32
                       "); nothing written for it",
                       s, count);
      return false;
    }
  }
  return true;
}

[[nodiscard]] bool look_all(Run& run, const Settings& settings) {
  bool looked = true;
  const auto look_at = [&](Destination& place, const std::string& name) {
    if (!looked) {
      return;
    }
    if (!settings.to_stdout) {
      looked = look(run, place, name);
    } else if (const int error = place.look_standard_output(); error != 0) {
      run.report.error(place.name(), "cannot be written: %s", std::strerror(error));
      looked = false;
    }
  };
  if (run.settings.writes() && run.settings.muxes()) {
    look_at(run.mux_place, run.output_base + mux_extension(run.settings));
  }
  if (writes_video(run)) {
    look_at(run.video_place, run.output_base + ".264");
  } else {
    run.video.discard();
  }
  for (std::uint32_t s = 0; s < run.header.extracted_streams(); ++s) {
    if (writes_audio(run, s)) {
      look_at(run.audio_places[s], audio_name(run.output_base, s, extension(run.header)));
    } else {
      run.audio[s].discard();
    }
  }
  return looked;
}

}  // namespace

std::string kept_path(const std::string& path, bool drives_and_shares) {
  if (!drives_and_shares) {
    return without_leading_separators(path, false);
  }
  std::string rest = path;
  // \\?\C:\... and \\?\UNC\server\share\... are the long forms of the others.
  if (rest.size() >= 4 && is_separator(rest[0]) && is_separator(rest[1]) &&
      (rest[2] == '?' || rest[2] == '.') && is_separator(rest[3])) {
    rest.erase(0, 4);
    if (rest.size() >= 4 && rest.compare(0, 3, "UNC") == 0 && is_separator(rest[3])) {
      rest.erase(0, 3);
    }
  }
  const bool drive =
      rest.size() >= 2 && rest[1] == ':' && std::isalpha(static_cast<unsigned char>(rest[0])) != 0;
  if (drive) {
    return rest.substr(0, 1) + '\\' + without_leading_separators(rest.substr(2), true);
  }
  return without_leading_separators(rest, true);
}

std::string system_folder_of(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute =
      std::filesystem::absolute(platform::path_of(path), error).lexically_normal();
  if (error) {
    return "";
  }
  for (const char* folder : platform::kSystemFolders) {
    const std::filesystem::path system = platform::path_of(folder);
    const auto [mismatch, unused] =
        std::mismatch(system.begin(), system.end(), absolute.begin(), absolute.end());
    if (mismatch == system.end()) {
      return folder;
    }
  }
  return "";
}

OutputsOpened open_outputs(Run& run, const Settings& settings, Session& session) {
  if (!settings.writes()) {
    (void)look_all(run, settings);
    run.outputs_open = true;
    return OutputsOpened::open;
  }
  if (!check_choice(run, settings)) {
    return OutputsOpened::refused;
  }
  run.output_base = base_name(run, settings);
  const std::string folder = platform::utf8_of(platform::path_of(run.output_base).parent_path());
  if (!settings.output_dir.empty() && !settings.to_stdout && !make_output_dir(run, folder)) {
    return OutputsOpened::refused;
  }
  if (!look_all(run, settings) || !check_clashes(run, session)) {
    return OutputsOpened::refused;
  }
  if (!settings.to_stdout) {
    remove_stale_temporaries(run, session);
  }
  if (settings.no_clobber && already_there(run)) {
    return OutputsOpened::skipped;
  }
  bool opened = true;
  {
    const InterruptsHeld held;
    name_interrupted_input(run.path);
    for_each_output(run, [&](Destination& place, Output& output, std::size_t slot) {
      opened = opened && (place.writes_through() || open_output(run, place, output, slot));
    });
  }
  // Opening a FIFO waits for its reader, which a held Ctrl-C must not outlast.
  for_each_output(run, [&](Destination& place, Output& output, std::size_t slot) {
    opened = opened && (!place.writes_through() || open_output(run, place, output, slot));
  });
  run.outputs_open = opened;
  return opened ? OutputsOpened::open : OutputsOpened::refused;
}

bool report_output_failure(Run& run, const Output& output) {
  if (output.reader_gone()) {
    run.report.reader_gone();
    return false;
  }
  run.report.error(output.name(), "write failed: %s", std::strerror(output.error()));
  return false;
}

bool flush_borrowed(Run& run) {
  bool flushed = true;
  for_each_output(run, [&](const Destination&, Output& output, std::size_t) {
    if (flushed && output.holds_borrowed() && !output.flush()) {
      flushed = report_output_failure(run, output);
    }
  });
  return flushed;
}

// Outputs that discard count too, so that a run that writes nothing tells
// what one that writes would.
std::uint64_t bytes_taken(Run& run) {
  std::uint64_t taken = run.video.taken();
  for (std::uint32_t s = 0; s < run.header.extracted_streams(); ++s) {
    taken += run.audio[s].taken();
  }
  return taken;
}

}  // namespace orvale
