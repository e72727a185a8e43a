// The audio frames of a packet that passes in pieces, and the decisions
// every frame written shares: its stream's channel configuration, and what
// becomes of a frame too long for an ADTS header.
#include <algorithm>
#include <cinttypes>

#include "extract/outputs.h"
#include "extract/packet_walk.h"
#include "streams/aac_elements.h"
#include "streams/adts.h"
#include "streams/streams.h"

namespace orvale {
namespace {

// How much of a stream's first frame decides its channel configuration: no
// more than the smallest window holds.
constexpr std::uint64_t kChannelLook = 64;

}  // namespace

// Passes `count` bytes of the packet to `output` as they come, and to
// `mp3_frames` when it counts them.
Flow PacketWalker::pass_bytes(Packet& packet, Output& output, std::uint64_t count,
                              Mp3Frames* mp3_frames) {
  return pass_pieces(packet, count, [&](std::span<const std::uint8_t> piece) {
    if (mp3_frames != nullptr) {
      mp3_frames->feed(piece);
    }
    return dump_frame_piece(output, piece) == DumpStatus::ok || report_output_failure(run_, output);
  });
}

Flow PacketWalker::pass_frame_bytes(Packet& packet, Output& output, std::uint32_t stream,
                                    std::uint32_t length) {
  Mp3Frames* mp3_frames =
      run_.census != nullptr && !run_.header.is_aac() ? &run_.census->mp3[stream] : nullptr;
  const Flow flow = pass_bytes(packet, output, length, mp3_frames);
  run_.audio_frames[stream] += flow == Flow::next && length > 0 ? 1 : 0;
  return flow;
}

void PacketWalker::warn_frame_too_long(const Packet& packet, std::uint32_t stream,
                                       std::uint32_t frame, std::uint32_t length) {
  run_.report.warning("packet %" PRIu32 ", stream %" PRIu32 ", frame %" PRIu32
                      ": an AAC frame of %" PRIu32
                      " bytes is too long for an ADTS header (at most %" PRIu32 "); frame skipped",
                      packet.number, stream, frame, length, kMaxAdtsPayload);
}

// A stream's channel configuration is decided once, from the opening of its
// first non-empty frame that is written, so that all its headers say the
// same; an empty frame before it, which holds no audio to label, says
// stereo. The look is the same in every window, whole frame or pieces.
void PacketWalker::decide_channels(std::uint32_t stream, std::span<const std::uint8_t> frame,
                                   std::uint32_t length) {
  if (channels_[stream] != 0 || length == 0 || length > kMaxAdtsPayload) {
    return;
  }
  channels_[stream] = channel_configuration(
      frame.first(static_cast<std::size_t>(std::min<std::uint64_t>(length, kChannelLook))), length);
}

Flow PacketWalker::pass_frame(Packet& packet, Output& output, std::uint32_t stream,
                              std::uint32_t frame, std::uint32_t length) {
  if (!run_.header.is_aac()) {
    return pass_frame_bytes(packet, output, stream, length);
  }
  if (length > 0) {
    const Flow flow = ensure(packet, std::min<std::uint64_t>(length, kChannelLook));
    if (flow != Flow::next) {
      return flow;
    }
    decide_channels(stream, run_.window.data(), length);
  }
  switch (dumpaac_header(output, length, run_.header.audio_rate, header_channels(stream))) {
    case DumpStatus::ok:
      return pass_frame_bytes(packet, output, stream, length);
    case DumpStatus::frame_too_long:
      warn_frame_too_long(packet, stream, frame, length);
      return skip(packet, length);
    case DumpStatus::output_failed:
      break;
  }
  return output_failed(output);
}

Flow PacketWalker::pass_audio(Packet& packet, std::uint64_t audio_bytes) {
  std::uint64_t passed = 0;
  for (std::uint32_t s = 0; s < run_.header.extracted_streams(); ++s) {
    for (std::uint32_t j = 0; j < frames_per_stream_; ++j) {
      const std::uint32_t length = lengths_[std::size_t{s} * frames_per_stream_ + j];
      const Flow flow = pass_frame(packet, run_.audio[s], s, j, length);
      if (flow != Flow::next) {
        return flow;
      }
      passed += length;
    }
  }
  // The frames of streams past the tenth have no output.
  return skip(packet, audio_bytes - passed);
}

}  // namespace orvale
