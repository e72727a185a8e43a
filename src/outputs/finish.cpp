// The end of an input's outputs: each put in place of its name, or kept
// apart, or removed.
#include <cerrno>
#include <cstring>
#include <string>

#include "outputs/interrupt.h"
#include "outputs/output_set.h"
#include "outputs/outputs.h"

namespace orvale {
namespace {

using output_set::audio_name;
using output_set::extension;
using output_set::for_each_output;

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
    const int error = place.replace();
    if (error == EEXIST && !place.existed()) {
      keep_beside(run, place);
      return;
    }
    if (error != 0) {
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

}  // namespace

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

}  // namespace orvale
