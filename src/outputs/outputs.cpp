#include "outputs/outputs.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "outputs/interrupt.h"

namespace orvale {
namespace {

constexpr const char* kCannotOpenOutput = "can not open output file\n";

// The handler's slot for each output's temporary.
constexpr std::size_t kVideoSlot = 0;
constexpr std::size_t audio_slot(std::uint32_t stream) { return 1 + std::size_t{stream}; }

const char* extension(const FileHeader& header) { return header.is_aac() ? ".aac" : ".mp3"; }

std::string audio_name(const std::string& base, std::uint32_t stream, const char* extension) {
  std::string name = base;
  name += '.';
  name += std::to_string(stream);
  name += extension;
  return name;
}

// Under --parents the input's path is kept below the folder, as `cp
// --parents` keeps it: an absolute one without its leading '/'.
std::string base_name(const std::string& path, const Settings& settings) {
  if (settings.output_dir.empty()) {
    return path;
  }
  const std::filesystem::path input = platform::path_of(path);
  const std::filesystem::path kept = settings.parents ? input.relative_path() : input.filename();
  return platform::utf8_of(platform::path_of(settings.output_dir) / kept);
}

// A ".." in the input's path would lead a kept path out of the folder.
bool leaves_folder(const std::string& path) {
  const std::filesystem::path input = platform::path_of(path);
  return std::any_of(input.begin(), input.end(),
                     [](const std::filesystem::path& part) { return part == ".."; });
}

bool writes_raw(const Run& run) { return run.settings.writes() && !run.settings.muxes(); }

bool writes_video(const Run& run) { return writes_raw(run) && run.settings.streams.takes_video(); }

bool writes_audio(const Run& run, std::uint32_t stream) {
  return writes_raw(run) && run.settings.streams.takes_audio(stream);
}

const char* mux_extension(const Settings& settings) {
  return settings.format == Format::mp4 ? ".mp4" : ".mkv";
}

// The outputs this run writes; the others discard what they are given.
template <typename Action>
void for_each_output(Run& run, Action&& action) {
  if (run.settings.writes() && run.settings.muxes() && !run.mux_place.left_alone()) {
    action(run.mux_place, run.mux, kVideoSlot);
  }
  if (writes_video(run) && !run.video_place.left_alone()) {
    action(run.video_place, run.video, kVideoSlot);
  }
  for (std::uint32_t s = 0; s < run.header.extracted_streams(); ++s) {
    if (writes_audio(run, s) && !run.audio_places[s].left_alone()) {
      action(run.audio_places[s], run.audio[s], audio_slot(s));
    }
  }
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
    run.report.error(place.name(),
                     "was already written by an earlier input of this run; input refused");
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
  run.report.notice(run.path,
                    "%s kept as %s (--no-clobber); only the missing outputs are written",
                    there.c_str(), there.find(", ") == std::string::npos ? "it is" : "they are");
  return false;
}

// Temporaries a killed run of this machine left at these names take room
// and help no one; the user hears of each.
void remove_stale_temporaries(Run& run) {
  std::vector<std::string> removed;
  for_each_output(run, [&](const Destination& place, const Output&, std::size_t) {
    (void)place.remove_stale(removed);
  });
  for (const std::string& name : removed) {
    run.report.notice(name, "removed: a temporary file left by a run on this machine that "
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

void close_outputs(Run& run) {
  const platform::Time* modified =
      run.report.failed() || !run.input_modified ? nullptr : &*run.input_modified;
  for_each_output(run, [&](const Destination& place, Output& output, std::size_t) {
    // A failure met during the walk was told there.
    const bool told = output.error() != 0;
    if (!output.close(place.writes_through() ? nullptr : modified) && !told) {
      (void)report_output_failure(run, output);
    }
  });
}

// Files at output names of streams this input does not have, and partial
// files of its outputs: an earlier run's, which nothing here replaces. Told
// before the outputs are put in place, so a partial file this run keeps is
// not taken for one.
void report_left_overs(Run& run) {
  std::string names;
  const auto note = [&](const std::string& name) {
    platform::FileStatus status;
    if (platform::status(name, false, status) == 0) {
      names += names.empty() ? "" : ", ";
      names += name;
    }
  };
  for (std::uint32_t s = 0; s < kAudioSlots && !run.settings.muxes(); ++s) {
    for (const char* kind : {".aac", ".mp3"}) {
      if (s >= run.header.extracted_streams() || std::strcmp(kind, extension(run.header)) != 0) {
        note(audio_name(run.output_base, s, kind));
      }
    }
  }
  for_each_output(run, [&](const Destination& place, const Output&, std::size_t) {
    if (!place.writes_through()) {
      note(place.partial());
    }
  });
  if (!names.empty()) {
    run.report.notice(names, "not written by this run; left from an earlier one");
  }
}

// Moves the temporary to the partial name beside the output, or, where that
// fails (a name too long, say), leaves it under its hidden name; gives where
// it is.
std::string keep_apart(Destination& place) {
  if (place.keep_partial() == 0) {
    return place.partial();
  }
  std::string hidden = place.temporary();
  place.leave();
  return hidden;
}

// Another run, or another program, finished an output while this one worked:
// it stays, and this run's is kept beside it. A name free when the run began
// is taken only while still free, so a file made there at the last moment
// stays too (EEXIST).
void keep_beside(Run& run, Destination& place) {
  run.report.error(place.name(),
                   "changed after this run began (another run finished it meanwhile); it "
                   "stays, and this run's output is kept in %s",
                   keep_apart(place).c_str());
}

void put_in_place(Run& run, Session& session) {
  if (!run.settings.to_stdout) {
    report_left_overs(run);
  }
  // Looked at before any is renamed, so that the names do not end as a mix
  // of two runs' outputs.
  bool changed = false;
  for_each_output(run, [&](const Destination& place, const Output&, std::size_t) {
    changed = changed || place.replaced_meanwhile();
  });
  for_each_output(run, [&](Destination& place, const Output& output, std::size_t) {
    if (place.writes_through()) {
      return;
    }
    if (changed && place.replaced_meanwhile()) {
      keep_beside(run, place);
      return;
    }
    if (changed) {
      run.report.error(place.name(),
                       "left as it was, as another output of this input changed after this run "
                       "began; this run's output is kept in %s",
                       keep_apart(place).c_str());
      return;
    }
    if (const int error = place.replace(); error == EEXIST && !place.existed()) {
      keep_beside(run, place);
      return;
    } else if (error != 0) {
      run.report.error(place.name(), "cannot be replaced: %s; this run's output is kept in %s",
                       std::strerror(error), keep_apart(place).c_str());
      return;
    }
    session.remember_written(output.id());
  });
}

// Out of room on the disk, or under the user's quota or file-size limit.
bool out_of_room(int error) {
#if defined(EDQUOT)
  if (error == EDQUOT) {
    return true;
  }
#endif
  return error == ENOSPC || error == EFBIG;
}

void keep_what_was_extracted(Run& run) {
  std::uint64_t written = 0;
  bool full = false;
  for_each_output(run, [&](const Destination& place, const Output& output, std::size_t) {
    written += place.writes_through() ? 0 : output.written();
    full = full || out_of_room(output.error());
  });
  if (full && written > 0) {
    for_each_output(run, [&](Destination& place, const Output&, std::size_t) { place.remove(); });
    run.report.notice(run.path,
                      "its outputs are left as they were; what was extracted before the error "
                      "is removed, not kept in .partial files, which would take the room the "
                      "next input needs");
    return;
  }
  std::string kept;
  for_each_output(run, [&](Destination& place, const Output&, std::size_t) {
    if (written == 0 || (place.temporary().empty() && !place.unnamed())) {
      place.remove();
      return;
    }
    kept += kept.empty() ? "" : ", ";
    kept += keep_apart(place);
  });
  if (!kept.empty()) {
    run.report.notice(run.path,
                      "its outputs are left as they were; what was extracted before the error "
                      "is kept in %s",
                      kept.c_str());
  }
}

// A stream the user chose that this input does not have, or a path that
// would lead out of the output folder, refuses the input.
[[nodiscard]] bool check_choice(Run& run, const Settings& settings) {
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

OutputsOpened open_outputs(Run& run, const Settings& settings, Session& session) {
  if (!settings.writes()) {
    (void)look_all(run, settings);
    run.outputs_open = true;
    return OutputsOpened::open;
  }
  if (!check_choice(run, settings)) {
    return OutputsOpened::refused;
  }
  run.output_base = base_name(run.path, settings);
  const std::string folder = platform::utf8_of(platform::path_of(run.output_base).parent_path());
  if (!settings.output_dir.empty() && !settings.to_stdout && !make_output_dir(run, folder)) {
    return OutputsOpened::refused;
  }
  if (!look_all(run, settings) || !check_clashes(run, session)) {
    return OutputsOpened::refused;
  }
  if (!settings.to_stdout) {
    remove_stale_temporaries(run);
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

void finish_outputs(Run& run, Session& session) {
  close_outputs(run);
  // Every output changes at once, and the handler then finds nothing left
  // to remove.
  const InterruptsHeld held;
  if (run.outputs_open && !run.report.failed()) {
    put_in_place(run, session);
  } else {
    keep_what_was_extracted(run);
  }
  forget_temporaries();
  if (run.outputs_open && !run.report.failed() && run.settings.writes() &&
      !run.settings.to_stdout) {
    name_completed_input(run.path);
  } else {
    name_interrupted_input("");
  }
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
