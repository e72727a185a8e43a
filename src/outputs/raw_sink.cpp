#include "outputs/raw_sink.h"

#include "outputs/outputs.h"
#include "streams/streams.h"

namespace orvale {

bool RawSink::written(DumpStatus status, const Output& output) {
  return status == DumpStatus::ok || report_output_failure(run_, output);
}

bool RawSink::video(std::span<const std::uint8_t> chunk) {
  return written(dumpavc(run_.video, chunk), run_.video);
}

bool RawSink::video_piece(std::span<const std::uint8_t> piece) {
  if (dumpavc_piece(run_.video, filter_, piece) == DumpStatus::ok) {
    return true;
  }
  filter_.reset();
  return report_output_failure(run_, run_.video);
}

bool RawSink::video_end() { return written(dumpavc_end(run_.video, filter_), run_.video); }

bool RawSink::audio_frame(std::uint32_t stream, std::span<const std::uint8_t> frame,
                          std::uint8_t channels) {
  Output& output = run_.audio[stream];
  return written(run_.header.is_aac() ? dumpaac(output, frame, run_.header.audio_rate, channels)
                                      : dumpmp3(output, frame),
                 output);
}

bool RawSink::audio_frame_begin(std::uint32_t stream, std::uint32_t length, std::uint8_t channels) {
  if (!run_.header.is_aac()) {
    return true;
  }
  Output& output = run_.audio[stream];
  return written(dumpaac_header(output, length, run_.header.audio_rate, channels), output);
}

bool RawSink::audio_piece(std::uint32_t stream, std::span<const std::uint8_t> piece) {
  Output& output = run_.audio[stream];
  return written(dump_frame_piece(output, piece), output);
}

bool RawSink::release() { return flush_borrowed(run_); }

std::uint64_t RawSink::taken() const { return bytes_taken(run_); }

bool CensusSink::video(std::span<const std::uint8_t> chunk) {
  census_.video.feed(chunk);
  census_.video.end_chunk();
  return true;
}

bool CensusSink::video_piece(std::span<const std::uint8_t> piece) {
  census_.video.feed(piece);
  return true;
}

bool CensusSink::video_end() {
  census_.video.end_chunk();
  return true;
}

bool CensusSink::audio_frame(std::uint32_t stream, std::span<const std::uint8_t> frame,
                             std::uint8_t /*channels*/) {
  return audio_piece(stream, frame);
}

bool CensusSink::audio_piece(std::uint32_t stream, std::span<const std::uint8_t> piece) {
  if (!header_.is_aac()) {
    census_.mp3[stream].feed(piece);
  }
  return true;
}

}  // namespace orvale
