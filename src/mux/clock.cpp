#include "mux/clock.h"

#include <algorithm>
#include <cstring>

#include "mux/codec_config.h"
#include "mux/ffmpeg_api.h"

namespace orvale {
namespace {

// Enough of a chunk for its parameter sets, SEI units and the first slice's
// header, which the parser reads at most 1000 bytes of.
constexpr std::size_t kHeadSize = std::size_t{64} * 1024;
constexpr std::size_t kSliceLook = 1024;
constexpr std::uint32_t kAacSamples = 1024;

}  // namespace

void ParserDeleter::operator()(AVCodecParserContext* parser) const { api->av_parser_close(parser); }
void ParserDeleter::operator()(AVCodecContext* codec) const { api->avcodec_free_context(&codec); }

ClockSink::ClockSink(const FileHeader& header, RecordingClock& clock, const FfmpegApi* api)
    : header_(header),
      clock_(clock),
      api_(api),
      parser_(api != nullptr ? api->av_parser_init(AV_CODEC_ID_H264) : nullptr, ParserDeleter{api}),
      codec_(api != nullptr ? api->avcodec_alloc_context3(nullptr) : nullptr, ParserDeleter{api}) {
  if (parser_) {
    // Each chunk is one whole picture: no need to look for where it ends.
    parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
  }
#if LIBAVCODEC_VERSION_MAJOR < 61
  if (codec_) {
    // As the decoder has it: two fields to a frame, so that the rate the
    // timing information gives is in frames.
    codec_->ticks_per_frame = 2;
  }
#endif
}

// A whole chunk is kept only up to its first slice's header: copying whole
// pictures would cost as much as the rest of the first pass.
bool ClockSink::video(std::span<const std::uint8_t> chunk) {
  std::size_t kept = std::min(chunk.size(), kHeadSize);
  if (const PictureOpening opening = read_opening(chunk); opening.has_slice) {
    kept = std::min(kept, opening.slice_at + kSliceLook);
  }
  head_.assign(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(kept));
  return true;
}

bool ClockSink::video_piece(std::span<const std::uint8_t> piece) {
  const std::size_t room = kHeadSize - std::min(kHeadSize, head_.size());
  head_.insert(head_.end(), piece.begin(),
               piece.begin() + static_cast<std::ptrdiff_t>(std::min(room, piece.size())));
  return true;
}

bool ClockSink::audio_frame(std::uint32_t stream, std::span<const std::uint8_t> frame,
                            std::uint8_t channels) {
  return audio_frame_begin(stream, static_cast<std::uint32_t>(frame.size()), channels) &&
         audio_piece(stream, frame);
}

bool ClockSink::audio_frame_begin(std::uint32_t stream, std::uint32_t length,
                                  std::uint8_t channels) {
  if (header_.is_aac() && length > 0) {
    clock_.audio[stream].channels = channels;
    if (stream == 0) {
      packet_samples_ += kAacSamples;
    }
  }
  return true;
}

bool ClockSink::audio_piece(std::uint32_t stream, std::span<const std::uint8_t> piece) {
  if (header_.is_aac()) {
    return true;
  }
  Mp3Frames& frames = mp3_[stream];
  const std::uint64_t before = frames.samples();
  frames.feed(piece);
  if (stream == 0) {
    packet_samples_ += frames.samples() - before;
  }
  AudioStreamFacts& facts = clock_.audio[stream];
  if (facts.mp3_rate == 0 && frames.frames() > 0) {
    facts = {frames.first().channels, frames.first().rate, frames.first().samples};
  }
  return true;
}

void ClockSink::read_picture(PacketClock& packet) {
  const PictureOpening opening = read_opening(head_);
  if (clock_.sps.empty() && !opening.sps.empty() && !opening.pps.empty()) {
    clock_.sps = opening.sps;
    clock_.pps = opening.pps;
  }
  packet.idr = opening.idr;
  packet.picture = opening.has_slice;
  if (!packet.picture || !parser_ || !codec_) {
    return;
  }
  // The parser reads a little past what it is given.
  head_.resize(head_.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  std::uint8_t* out = nullptr;
  int out_size = 0;
  (void)api_->av_parser_parse2(parser_.get(), codec_.get(), &out, &out_size, head_.data(),
                               static_cast<int>(head_.size() - AV_INPUT_BUFFER_PADDING_SIZE),
                               AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
  packet.order = parser_->output_picture_number;
  if (clock_.width == 0 && parser_->width > 0) {
    clock_.width = static_cast<std::uint32_t>(parser_->width);
    clock_.height = static_cast<std::uint32_t>(parser_->height);
  }
  const AVRational rate = codec_->framerate;
  if (!clock_.stream_rate && rate.num > 0 && rate.den > 0) {
    clock_.stream_rate =
        Rate{static_cast<std::uint32_t>(rate.num), static_cast<std::uint32_t>(rate.den)};
  }
}

bool ClockSink::packet_end(std::uint32_t number) {
  PacketClock packet;
  packet.number = number;
  packet.samples = static_cast<std::uint32_t>(packet_samples_);
  packet_samples_ = 0;
  if (!head_.empty()) {
    read_picture(packet);
  }
  head_.clear();
  clock_.packets.push_back(packet);
  return true;
}

}  // namespace orvale
