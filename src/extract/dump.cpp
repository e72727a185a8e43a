#include "extract/dump.h"

#include <cinttypes>
#include <cstring>
#include <optional>

#include "extract/container.h"
#include "extract/damage_report.h"
#include "extract/listing.h"
#include "extract/muxed.h"
#include "extract/outputs.h"
#include "extract/progress.h"
#include "extract/raw_sink.h"
#include "extract/rescue.h"
#include "extract/run.h"
#include "extract/walk.h"
#include "extract/walk_input.h"
#include "mux/clock.h"
#include "mux/ffmpeg_api.h"
#include "streams/adts.h"

namespace orvale {
namespace {

// The texts scripts may match on stdout.
constexpr const char* kErrorHeader = "error kvx header\n";
constexpr const char* kNotKvxavc = "not a kvxavc file\n";
constexpr const char* kMallocFail = "malloc fail\n";
constexpr const char* kReadIndexFail = "read index fail\n";

void observe_progress(void* progress, std::uint64_t offset) {
  static_cast<Progress*>(progress)->update(offset);
}

struct CloseInput {
  explicit CloseInput(platform::File input) : file(input) {}
  CloseInput(const CloseInput&) = delete;
  CloseInput& operator=(const CloseInput&) = delete;
  ~CloseInput() { (void)platform::close(file); }
  platform::File file;
};

}  // namespace

bool read_header(Run& run) {
  if (!run.window.allocate()) {
    run.report.say(kMallocFail);
    run.report.error(run.path, "out of memory for the input window");
    return false;
  }
  const ReadStatus status = run.window.fill(kHeaderSize);
  if (status != ReadStatus::complete) {
    run.report.say(kErrorHeader);
    if (status == ReadStatus::read_error) {
      run.report.error(run.path, "read error: %s", std::strerror(run.window.error()));
    } else {
      run.report.error(run.path, "the input holds %zu bytes, too few for a kvxavc header",
                       run.window.data().size());
    }
    return false;
  }
  if (parse_header(run.window.data().first<kHeaderSize>(), run.header) != HeaderStatus::ok) {
    run.report.say(kNotKvxavc);
    run.report.error(run.path, "not a kvxavc file");
    return false;
  }
  run.window.consume(kHeaderSize);
  run.header_read = true;
  const FileHeader& header = run.header;
  if (header.audio_stream_count > kAudioSlots) {
    run.report.warning("%" PRIu32 " audio streams declared; only streams 0 to %" PRIu32
                       " are extracted",
                       header.audio_stream_count, kAudioSlots - 1);
  }
  // MP4 and Matroska carry any rate; only an ADTS header lacks one.
  if (header.is_aac() && header.audio_stream_count > 0 && !is_adts_rate(header.audio_rate) &&
      !run.settings.muxes()) {
    run.report.warning("the audio rate of %" PRIu32
                       " Hz has no ADTS sampling frequency index; the ADTS headers say 48000 Hz",
                       header.audio_rate);
  }
  return true;
}

namespace {

[[nodiscard]] bool read_index(Run& run) {
  const std::uint32_t count = run.header.frame_count;
  if (count == 0) {
    run.report.say(kReadIndexFail);
    run.report.error(run.path, "the header lists no packets");
    // A recorder that stopped before it wrote the count leaves it 0.
    const auto size = run.window.known_size();
    if (size ? *size > kHeaderSize : !run.window.data().empty()) {
      suggest_rescue(run);
    }
    return false;
  }
  const std::uint64_t size = kIndexEntrySize * count;
  switch (run.window.read_into(run.index_buffer, size, run.index)) {
    case ReadStatus::complete:
      return true;
    case ReadStatus::out_of_memory:
      run.report.say(kMallocFail);
      run.report.error(run.path, "out of memory for a frame index of %" PRIu32 " entries", count);
      return false;
    case ReadStatus::read_error:
      run.report.say(kReadIndexFail);
      run.report.error(run.path, "read error in the frame index: %s",
                       std::strerror(run.window.error()));
      return false;
    case ReadStatus::input_ended:
      break;
  }
  run.report.say(kReadIndexFail);
  run.report.error(run.path,
                   "the frame index of %" PRIu32 " entries needs %" PRIu64
                   " bytes, but the input ends at byte %" PRIu64,
                   count, size, run.window.bytes_read());
  suggest_rescue(run);
  return false;
}

}  // namespace

bool walk_input(Run& run) {
  return run.settings.rescue ? rescue(run) : read_index(run) && walk(run);
}

ExitStatus dump_descriptor(platform::File file, const std::string& path, const Settings& settings,
                           Session& session, std::FILE* diagnostics, std::size_t window_size) {
  Progress* progress = session.progress();
  Listing* listing = session.listing();
  Run run(file, path, settings, diagnostics, progress, window_size);
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

ExitStatus dump(const std::string& path, const Settings& settings, Session& session) {
  platform::File file = platform::kNoFile;
  if (const int error = platform::open_to_read(path, file); error != 0) {
    return refuse(path, session, std::string("cannot open: ") + std::strerror(error));
  }
  const CloseInput input(file);
  platform::FileStatus status;
  if (platform::status(file, status) == 0 && status.kind == platform::Kind::directory) {
    return refuse(path, session, "is a directory, not a kvxavc file");
  }
  return dump_descriptor(file, path, settings, session);
}

}  // namespace orvale
