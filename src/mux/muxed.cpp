#include "mux/muxed.h"

#include <cinttypes>
#include <cstring>

#include "container/walk_input.h"
#include "mux/clock.h"
#include "mux/codec_config.h"
#include "mux/ffmpeg_api.h"
#include "mux/mux_sink.h"
#include "mux/muxer.h"
#include "mux/plan.h"
#include "streams/aac_elements.h"

namespace orvale {
namespace {

// The first pass: the same walk, told nothing and writing nothing, over the
// same file opened again, so that the second pass reads it from the start.
[[nodiscard]] bool gather_clock(Run& run, const FfmpegApi& api, RecordingClock& clock,
                                std::uint64_t& unknown_gaps) {
  platform::File again = platform::kNoFile;
  if (const int error = platform::open_to_read(run.path, again); error != 0) {
    run.report.error(run.path, "cannot open it again to read its clock: %s", std::strerror(error));
    return false;
  }
  const InputCloser closer(again);
  platform::FileStatus first;
  platform::FileStatus second;
  if (platform::status(run.file, first) != 0 || platform::status(again, second) != 0 ||
      first.id != second.id) {
    run.report.error(run.path, "was replaced while it was being read");
    return false;
  }
  Run clock_run(again, run.path, run.settings, nullptr, nullptr, run.window.capacity());
  clock_run.report.keep_stdout_quiet();
  (void)clock_run.window.look_in_place();
  ClockSink sink(clock_run.header, clock, &api);
  clock_run.sink = &sink;
  if (read_header(clock_run)) {
    (void)walk_input(clock_run);
  }
  unknown_gaps = clock_run.gaps_of_unknown_length;
  return true;
}

VideoTrackFacts video_facts(const Run& run, const RecordingClock& clock, const TimingPlan& plan) {
  VideoTrackFacts video;
  video.ticks_per_second = kTicksPerSecond;
  if (plan.timeline.segments.size() == 1) {
    video.rate_num = plan.timeline.segments.front().rate.num;
    video.rate_den = plan.timeline.segments.front().rate.den;
  }
  if (run.settings.streams.takes_video()) {
    video.decoder_config = avc_decoder_config(clock.sps, clock.pps);
    video.width = clock.width;
    video.height = clock.height;
  }
  return video;
}

std::vector<AudioTrackFacts> audio_facts(const Run& run, const RecordingClock& clock) {
  std::vector<AudioTrackFacts> tracks;
  const FileHeader& header = run.header;
  for (std::uint32_t s = 0; s < header.extracted_streams(); ++s) {
    if (!run.settings.streams.takes_audio(s)) {
      continue;
    }
    const AudioStreamFacts& facts = clock.audio[s];
    AudioTrackFacts track;
    track.aac = header.is_aac();
    // A stream without a frame to tell says stereo, as its ADTS headers do.
    track.channels = facts.channels != 0 ? facts.channels : kStereo;
    track.rate = header.is_aac() || facts.mp3_rate == 0 ? header.audio_rate : facts.mp3_rate;
    if (track.aac) {
      track.config = aac_audio_specific_config(track.rate, track.channels);
    }
    tracks.push_back(std::move(track));
  }
  return tracks;
}

void tell_timing(Run& run, const TimingPlan& plan, std::uint64_t unknown_gaps) {
  if (unknown_gaps > 0) {
    run.report.notice(
        run.path,
        "the rescue passed over %" PRIu64
        " damaged stretch%s that nothing says the "
        "length of in time; the pictures and audio after each follow on without a gap",
        unknown_gaps, unknown_gaps == 1 ? "" : "es");
  }
  if (plan.source == TimingSource::fallback_rate && plan.slots > 1) {
    run.report.notice(run.path,
                      "no audio to time the pictures by, and the video states no rate: "
                      "timed at 25 pictures a second (--fps RATE sets another)");
  }
}

}  // namespace

bool can_mux(Run& run) {
  if (run.window.known_size()) {
    return true;
  }
  run.report.error(run.path,
                   "-f mp4 and -f mkv need a regular file: the pictures are timed by the "
                   "whole recording's audio clock, read before anything is written; save "
                   "the input to a file first");
  return false;
}

bool mux(Run& run) {
  std::string unavailable;
  const FfmpegApi* api = ffmpeg(unavailable);
  if (api == nullptr) {
    run.report.error(run.path, "%s; nothing written", unavailable.c_str());
    return false;
  }
  RecordingClock clock;
  std::uint64_t unknown_gaps = 0;
  if (!gather_clock(run, *api, clock, unknown_gaps)) {
    return false;
  }
  const FileHeader& header = run.header;
  const TimingPlan plan = plan_recording(clock, header, run.settings.fps);
  tell_timing(run, plan, unknown_gaps);
  const VideoTrackFacts video = video_facts(run, clock, plan);
  if (run.settings.streams.takes_video() && video.decoder_config.empty() &&
      !clock.packets.empty()) {
    run.report.error(run.path,
                     "its video holds no sequence and picture parameter sets, "
                     "which an MP4 or Matroska file needs; nothing written");
    return false;
  }
  const std::vector<AudioTrackFacts> audio = audio_facts(run, clock);
  // The plan holds what the second pass needs of the packets.
  clock.packets = {};
  Muxer muxer;
  const auto format = run.settings.format == Format::mp4 ? MuxFormat::mp4 : MuxFormat::mkv;
  if (!muxer.open(format, run.mux, !run.mux_place.writes_through(), video, audio)) {
    if (muxer.reader_gone()) {
      run.report.reader_gone();
    } else {
      run.report.error(run.mux.name(), "%s", muxer.error().c_str());
    }
    return false;
  }
  MuxSink sink(header, run.settings.streams, plan, muxer, run.report, run.mux.name());
  run.sink = &sink;
  const bool walked = walk_input(run);
  return sink.finish() && walked;
}

}  // namespace orvale
