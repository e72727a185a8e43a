#include "container/walk_input.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "container/damage_report.h"
#include "container/rescue.h"
#include "container/walk.h"
#include "streams/adts.h"

namespace orvale {
namespace {

// The texts scripts may match on stdout.
constexpr const char* kErrorHeader = "error kvx header\n";
constexpr const char* kNotKvxavc = "not a kvxavc file\n";
constexpr const char* kMallocFail = "malloc fail\n";
constexpr const char* kReadIndexFail = "read index fail\n";

}  // namespace

bool read_header(Run& run) {
  if (!run.window.allocate()) {
    run.report.say(kMallocFail);
    run.report.error(run.path, "out of memory for the input window");
    return false;
  }
  const ReadStatus status = run.window.fill(kHeaderSize);
  // Without the header nothing else can be made sense of.
  const bool unreadable = run.window.unreadable().touches(0, kHeaderSize);
  if (status != ReadStatus::complete || unreadable) {
    run.report.say(kErrorHeader);
    if (status == ReadStatus::read_error || unreadable) {
      run.report.error(run.path, "read error: %s",
                       std::strerror(unreadable ? EIO : run.window.error()));
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

}  // namespace orvale
