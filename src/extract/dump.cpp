#include "extract/dump.h"

#include <cinttypes>
#include <cstring>
#include <optional>

#include "cli/listing.h"
#include "cli/progress.h"
#include "container/container.h"
#include "container/damage_report.h"
#include "container/rescue.h"
#include "container/walk.h"
#include "container/walk_input.h"
#include "extract/run.h"
#include "mux/clock.h"
#include "mux/ffmpeg_api.h"
#include "mux/muxed.h"
#include "outputs/interrupt.h"
#include "outputs/outputs.h"
#include "outputs/raw_sink.h"
#include "streams/adts.h"

namespace orvale {
namespace {

void observe_progress(void* progress, std::uint64_t offset) {
  static_cast<Progress*>(progress)->update(offset);
}

}  // namespace

ExitStatus dump_descriptor(platform::File file, const Input& input, const Settings& settings,
                           Session& session, std::FILE* diagnostics, std::size_t window_size) {
  Progress* progress = session.progress();
  Listing* listing = session.listing();
  Run run(file, input.path, settings, diagnostics, progress, window_size);
  run.below = input.below;
  Census census;
  if (listing != nullptr) {
    run.census = &census;
    run.report.hold_warnings();
  }
  if (listing != nullptr || settings.to_stdout) {
    run.report.keep_stdout_quiet();
  }
  if (progress != nullptr) {
    progress->set_size(run.window.known_size());
    run.window.observe(&observe_progress, progress);
  }
  RawSink raw(run);
  CensusSink counting(census, run.header);
  SinkPair counted(raw, counting);
  run.sink = listing != nullptr ? static_cast<PacketSink*>(&counted) : &raw;
  RecordingClock clock;
  std::optional<ClockSink> clocked;
  std::optional<SinkPair> listed;
  // Whether the walk succeeded shows in the report, which finish_outputs reads.
  const bool muxes = settings.muxes() && settings.writes();
  if (read_header(run) && (!muxes || can_mux(run)) &&
      open_outputs(run, settings, session) == OutputsOpened::open) {
    if (listing != nullptr) {
      // The listing tells the pictures' rates too; without audio to time
      // them, that needs the stream's own rate, which FFmpeg's parser reads.
      std::string unavailable;
      clocked.emplace(run.header, clock,
                      run.header.audio_stream_count == 0 ? ffmpeg(unavailable) : nullptr);
      listed.emplace(counted, *clocked);
      run.sink = &*listed;
      run.clock = &clock;
    }
    (void)(muxes ? mux(run) : walk_input(run));
  }
  finish_outputs(run, session);
  const ExitStatus status = run.report.finish();
  if (listing != nullptr) {
    listing->add(facts_of(run, status));
  }
  return status;
}

namespace {

// An input refused before it was read: told on stderr, and under --list in
// the listing too.
ExitStatus refuse(const std::string& path, Session& session, const std::string& why) {
  Report report(path, stderr, session.progress());
  report.error(path, "%s", why.c_str());
  const ExitStatus status = report.finish();
  if (session.listing() != nullptr) {
    InputFacts facts;
    facts.path = path;
    facts.status = status;
    facts.error = report.first_error();
    session.listing()->add(std::move(facts));
  }
  return status;
}

}  // namespace

ExitStatus dump(const Input& input, const Settings& settings, Session& session) {
  const std::string& path = input.path;
  // The input before this one is no longer the whole of what was asked.
  name_interrupted_input("");
  if (!input.refusal.empty()) {
    return refuse(path, session, input.refusal);
  }
  if (path == "-") {
    // Standard input stays open for whatever the caller does after.
    if (platform::is_terminal(platform::Standard::input)) {
      return refuse(path, session,
                    "standard input is a terminal; \"-\" reads a recording piped or redirected in");
    }
    return dump_descriptor(platform::standard(platform::Standard::input), input, settings, session);
  }
  platform::File file = platform::kNoFile;
  if (const int error = platform::open_to_read(path, file); error != 0) {
    return refuse(path, session, std::string("cannot open: ") + std::strerror(error));
  }
  const InputCloser closer(file);
  platform::FileStatus status;
  if (platform::status(file, status) == 0 && status.kind == platform::Kind::directory) {
    return refuse(path, session, "is a directory, not a kvxavc file");
  }
  return dump_descriptor(file, input, settings, session);
}

}  // namespace orvale
