// The audio frames of a packet that passes in pieces, and the decisions
// every frame written shares: its stream's channel configuration, and what
// becomes of a frame too long for an ADTS header.
#include <algorithm>
#include <cinttypes>

#include "container/packet_walk.h"
#include "streams/aac_elements.h"
#include "streams/adts.h"

namespace orvale {
namespace {

// How much of a stream's first frame decides its channel configuration: no
// more than the smallest window holds.
constexpr std::uint64_t kChannelLook = 64;

}  // namespace

Flow PacketWalker::pass_frame_bytes(Packet& packet, std::uint32_t stream, std::uint32_t length) {
  PacketSink& sink = *run_.sink;
  const Flow flow = pass_pieces(packet, length, [&](std::span<const std::uint8_t> piece) {
    return sink.audio_piece(stream, piece);
  });
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

Flow PacketWalker::pass_frame(Packet& packet, std::uint32_t stream, std::uint32_t frame,
                              std::uint32_t length) {
  std::uint8_t channels = 0;
  if (run_.header.is_aac()) {
    if (length > kMaxAdtsPayload) {
      warn_frame_too_long(packet, stream, frame, length);
      return skip(packet, length);
    }
    if (length > 0) {
      const Flow flow = ensure(packet, std::min<std::uint64_t>(length, kChannelLook));
      if (flow != Flow::next) {
        return flow;
      }
      decide_channels(stream, run_.window.data(), length);
    }
    channels = header_channels(stream);
  }
  if (!run_.sink->audio_frame_begin(stream, length, channels)) {
    return Flow::fail;
  }
  return pass_frame_bytes(packet, stream, length);
}

Flow PacketWalker::pass_audio(Packet& packet, std::uint64_t audio_bytes) {
  std::uint64_t passed = 0;
  for (std::uint32_t s = 0; s < run_.header.extracted_streams(); ++s) {
    for (std::uint32_t j = 0; j < frames_per_stream_; ++j) {
      const std::uint32_t length = lengths_[std::size_t{s} * frames_per_stream_ + j];
      const Flow flow = left_out_.test(std::size_t{s} * frames_per_stream_ + j)
                            ? skip(packet, length)
                            : pass_frame(packet, s, j, length);
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
