#include "mux/mux_sink.h"

#include <cinttypes>

#include "mux/codec_config.h"

namespace orvale {
namespace {

constexpr std::uint32_t kAacSamples = 1024;

}  // namespace

MuxSink::MuxSink(const FileHeader& header, const StreamChoice& choice, const TimingPlan& plan,
                 Muxer& muxer, Report& report, std::string output_name)
    : header_(header),
      plan_(plan),
      muxer_(muxer),
      report_(report),
      output_name_(std::move(output_name)) {
  std::int32_t track = 0;
  for (std::uint32_t s = 0; s < kAudioSlots; ++s) {
    track_[s] = s < header.extracted_streams() && choice.takes_audio(s) ? track++ : -1;
  }
}

bool MuxSink::muxer_failed() {
  if (muxer_.reader_gone()) {
    report_.reader_gone();
    return false;
  }
  report_.error(output_name_, "%s", muxer_.error().c_str());
  return false;
}

// A whole chunk is filtered and rewritten behind its lengths in one go,
// straight into the picture the muxer gathers.
bool MuxSink::video(std::span<const std::uint8_t> chunk) {
  if (!muxer_.has_video()) {
    return true;
  }
  const std::span<std::uint8_t> room = muxer_.picture_room(length_prefixed_bound(chunk.size()));
  if (room.empty()) {
    return muxer_failed();
  }
  const LengthPrefixed units = length_prefixed_kept(chunk, room);
  muxer_.picture_grew(units.size, units.idr);
  return true;
}

bool MuxSink::video_piece(std::span<const std::uint8_t> piece) {
  return !muxer_.has_video() || filter_.feed(piece, append_kept_);
}

// A chunk that came in pieces is gathered as the filter keeps it first.
bool MuxSink::video_end() {
  if (!muxer_.has_video()) {
    return true;
  }
  if (!filter_.finish(append_kept_)) {
    return false;
  }
  const std::size_t size = length_prefixed_size(annex_b_);
  const std::span<std::uint8_t> room = muxer_.picture_room(size);
  if (room.empty() && size > 0) {
    return muxer_failed();
  }
  const LengthPrefixed units = length_prefixed(annex_b_, room);
  muxer_.picture_grew(units.size, units.idr);
  annex_b_.clear();
  return true;
}

bool MuxSink::audio_frame(std::uint32_t stream, std::span<const std::uint8_t> frame,
                          std::uint8_t channels) {
  return audio_frame_begin(stream, static_cast<std::uint32_t>(frame.size()), channels) &&
         audio_piece(stream, frame);
}

bool MuxSink::audio_frame_begin(std::uint32_t stream, std::uint32_t length,
                                std::uint8_t /*channels*/) {
  if (header_.is_aac() && length > 0 && track_[stream] >= 0) {
    frames_.push_back({stream, audio_.size(), 0, kAacSamples});
  }
  return true;
}

bool MuxSink::audio_piece(std::uint32_t stream, std::span<const std::uint8_t> piece) {
  if (track_[stream] < 0) {
    return true;
  }
  if (header_.is_aac()) {
    if (!frames_.empty()) {
      audio_.insert(audio_.end(), piece.begin(), piece.end());
      frames_.back().size += piece.size();
    }
    return true;
  }
  // MP3 goes to the muxer as whole frames, cut at their headers, whatever
  // the packets' entries cut.
  mp3_[stream].feed(piece, [&](std::span<const std::uint8_t> frame, const Mp3Header& mp3) {
    frames_.push_back({stream, audio_.size(), frame.size(), mp3.samples});
    audio_.insert(audio_.end(), frame.begin(), frame.end());
  });
  return true;
}

// A packet the first pass did not see (the file grew between the passes)
// carries on from the last one.
PacketTimes MuxSink::times_of(std::uint32_t number) {
  if (next_packet_ < plan_.packets.size()) {
    return plan_.packets[next_packet_++];
  }
  if (!beyond_plan_told_) {
    beyond_plan_told_ = true;
    report_.warning("packet %" PRIu32
                    " was not there when the timeline was fitted; it and "
                    "those after it are timed by the last picture's rate",
                    number);
  }
  PacketTimes times = plan_.packets.empty() ? PacketTimes{} : plan_.packets.back();
  const std::int64_t step = times.duration > 0 ? times.duration : 1;
  times.picture = true;
  times.pts = last_pts_ + step;
  times.dts = times.pts;
  return times;
}

// A chunk without a slice (parameter sets alone) joins the next picture.
bool MuxSink::write_picture(const PacketTimes& times) {
  if (!times.picture) {
    return true;
  }
  std::size_t written = 0;
  const bool sent = !muxer_.has_video() ||
                    muxer_.write_picture(times.pts, times.dts, times.duration, written);
  if (written > 0) {
    last_pts_ = std::max(last_pts_, times.pts);
    taken_ += written;
  }
  return sent || muxer_failed();
}

bool MuxSink::write_frames(const PacketTimes& times) {
  for (const Frame& frame : frames_) {
    std::int64_t& samples = samples_[frame.stream];
    const auto bytes = std::span<const std::uint8_t>(audio_).subspan(frame.begin, frame.size);
    taken_ += bytes.size();
    if (!muxer_.write_audio(static_cast<std::size_t>(track_[frame.stream]), bytes,
                            samples + times.audio_gap, frame.samples)) {
      return muxer_failed();
    }
    samples += frame.samples;
  }
  frames_.clear();
  audio_.clear();
  return true;
}

bool MuxSink::packet_end(std::uint32_t number) {
  const PacketTimes times = times_of(number);
  return write_picture(times) && write_frames(times);
}

bool MuxSink::finish() { return muxer_.finish() || muxer_failed(); }

}  // namespace orvale
