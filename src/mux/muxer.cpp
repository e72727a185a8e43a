#include "mux/muxer.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "mux/codec_config.h"
#include "mux/ffmpeg_api.h"

namespace orvale {
namespace {

// libavformat's own buffer between it and the output.
constexpr int kIoBufferSize = 256 * 1024;

// What libavformat hands over is gone once the call returns, unless it lies
// in a block of pictures, which stays until the output has sent it: so the
// pictures of a block leave in one gathered write with what was staged
// between them. A large piece from anywhere else (libavformat's own buffers)
// is sent at once; small ones (box headers, audio frames) are copied.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
int write_to_output(void* opaque, const std::uint8_t* bytes, int size) {
#else
int write_to_output(void* opaque, std::uint8_t* bytes, int size) {
#endif
  const auto& destination = *static_cast<const MuxDestination*>(opaque);
  Output& output = *destination.output;
  const bool borrowed_elsewhere = static_cast<std::size_t>(size) >= Output::kCopyLimit &&
                                  !destination.pictures->holds(bytes, static_cast<std::size_t>(size));
  const bool sent = output.write({bytes, static_cast<std::size_t>(size)}) &&
                    (!borrowed_elsewhere || output.flush());
  return sent ? size : AVERROR(output.error() != 0 ? output.error() : EIO);
}

std::int64_t seek_output(void* opaque, std::int64_t offset, int whence) {
  Output& output = *static_cast<const MuxDestination*>(opaque)->output;
  if ((whence & ~AVSEEK_FORCE) != SEEK_SET || offset < 0) {
    return AVERROR(ENOSYS);
  }
  return output.seek(static_cast<std::uint64_t>(offset)) ? offset : AVERROR(output.error());
}

[[nodiscard]] bool copy_extradata(const FfmpegApi& api, AVCodecParameters& parameters,
                                  const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) {
    return true;
  }
  auto* copy =
      static_cast<std::uint8_t*>(api.av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (copy == nullptr) {
    return false;
  }
  std::memcpy(copy, bytes.data(), bytes.size());
  parameters.extradata = copy;
  parameters.extradata_size = static_cast<int>(bytes.size());
  return true;
}

struct PacketFree {
  const FfmpegApi* api = nullptr;
  void operator()(AVPacket* packet) const { api->av_packet_free(&packet); }
};
using PacketOwner = std::unique_ptr<AVPacket, PacketFree>;

}  // namespace

void MuxContextDeleter::operator()(AVFormatContext* context) const {
  if (context->pb != nullptr) {
    api->av_freep(static_cast<void*>(&context->pb->buffer));
    api->avio_context_free(&context->pb);
  }
  api->avformat_free_context(context);
}

bool Muxer::failed(const char* step, int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  api_->av_strerror(code, text, sizeof text);
  const std::string& said = last_ffmpeg_error();
  error_ = std::string(step) + ": " + (said.empty() ? text : said);
  return false;
}

bool Muxer::open(MuxFormat format, Output& output, bool seekable, const VideoTrackFacts& video,
                 std::span<const AudioTrackFacts> audio) {
  output_ = &output;
  std::string unavailable;
  api_ = ffmpeg(unavailable);
  if (api_ == nullptr) {
    error_ = unavailable;
    return false;
  }
  pictures_.attach(*api_, output);
  destination_ = {&output, &pictures_};
  forget_ffmpeg_error();
  AVFormatContext* raw = nullptr;
  const char* name = format == MuxFormat::mp4 ? "mp4" : "matroska";
  if (const int code = api_->avformat_alloc_output_context2(&raw, nullptr, name, nullptr);
      code < 0) {
    return failed("cannot start the muxer", code);
  }
  context_ = {raw, MuxContextDeleter{api_}};
  auto* buffer = static_cast<std::uint8_t*>(api_->av_malloc(kIoBufferSize));
  AVIOContext* io = buffer == nullptr ? nullptr
                                      : api_->avio_alloc_context(buffer, kIoBufferSize, 1, &destination_,
                                                                 nullptr, write_to_output,
                                                                 seekable ? seek_output : nullptr);
  if (io == nullptr) {
    api_->av_free(buffer);
    return failed("cannot start the muxer", AVERROR(ENOMEM));
  }
  io->seekable = seekable ? AVIO_SEEKABLE_NORMAL : 0;
  // Packets' bytes go to the output without a stop in libavformat's buffer.
  // Not to a pipe: there the muxer patches box sizes in that buffer, which a
  // direct write would have emptied.
  io->direct = seekable ? 1 : 0;
  context_->pb = io;
  context_->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_BITEXACT;
  // Times are given as the recording has them: a first picture displayed at
  // 0 is decoded before it, and that is said in the file, not shifted.
  context_->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
  // Bytes leave when libavformat's buffer is full, not after every packet.
  context_->flush_packets = 0;
  if (!video.decoder_config.empty()) {
    AVStream* stream = api_->avformat_new_stream(context_.get(), nullptr);
    if (stream == nullptr) {
      return failed("cannot add the video track", AVERROR(ENOMEM));
    }
    stream->time_base = {1, static_cast<int>(video.ticks_per_second)};
    given_.emplace_back(1, static_cast<int>(video.ticks_per_second));
    if (video.rate_num > 0) {
      stream->avg_frame_rate = {static_cast<int>(video.rate_num), static_cast<int>(video.rate_den)};
    }
    AVCodecParameters& parameters = *stream->codecpar;
    parameters.codec_type = AVMEDIA_TYPE_VIDEO;
    parameters.codec_id = AV_CODEC_ID_H264;
    parameters.width = static_cast<int>(video.width);
    parameters.height = static_cast<int>(video.height);
    if (!copy_extradata(*api_, parameters, video.decoder_config)) {
      return failed("cannot add the video track", AVERROR(ENOMEM));
    }
    video_index_ = stream->index;
  }
  first_audio_index_ = static_cast<int>(context_->nb_streams);
  for (const AudioTrackFacts& track : audio) {
    AVStream* stream = api_->avformat_new_stream(context_.get(), nullptr);
    if (stream == nullptr) {
      return failed("cannot add an audio track", AVERROR(ENOMEM));
    }
    stream->time_base = {1, static_cast<int>(track.rate)};
    given_.emplace_back(1, static_cast<int>(track.rate));
    AVCodecParameters& parameters = *stream->codecpar;
    parameters.codec_type = AVMEDIA_TYPE_AUDIO;
    parameters.codec_id = track.aac ? AV_CODEC_ID_AAC : AV_CODEC_ID_MP3;
    parameters.sample_rate = static_cast<int>(track.rate);
    parameters.frame_size = track.aac ? 1024 : 0;
    api_->av_channel_layout_default(&parameters.ch_layout, track.channels);
    if (!copy_extradata(*api_, parameters, track.config)) {
      return failed("cannot add an audio track", AVERROR(ENOMEM));
    }
  }
  AVDictionary* options = nullptr;
  if (format == MuxFormat::mkv) {
    // A CRC-32 over every element costs Matroska more than all the rest.
    api_->av_dict_set(&options, "write_crc32", "0", 0);
  }
  if (format == MuxFormat::mp4 && !seekable) {
    api_->av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
  }
  const int code = api_->avformat_write_header(context_.get(), &options);
  api_->av_dict_free(&options);
  if (code < 0) {
    return failed("cannot write the file's header", code);
  }
  header_written_ = true;
  return true;
}

bool Muxer::send(AVPacket* packet, int stream, std::int64_t pts, std::int64_t dts,
                 std::int64_t duration, bool key) {
  packet->stream_index = stream;
  packet->pts = pts;
  packet->dts = dts;
  packet->duration = duration;
  packet->flags = key ? AV_PKT_FLAG_KEY : 0;
  // Matroska counts in milliseconds whatever it was asked for.
  const auto [num, den] = given_[static_cast<std::size_t>(stream)];
  api_->av_packet_rescale_ts(packet, AVRational{num, den}, context_->streams[stream]->time_base);
  const int code = api_->av_interleaved_write_frame(context_.get(), packet);
  return code >= 0 || failed("cannot write a packet", code);
}

Muxer::~Muxer() {
  if (output_ != nullptr) {
    (void)output_->flush();  // a failure stays with the output, which tells it
  }
}

std::span<std::uint8_t> Muxer::picture_room(std::size_t size) {
  const std::span<std::uint8_t> room = pictures_.room(size);
  if (room.empty() && size > 0) {
    (void)failed("cannot write a packet", AVERROR(ENOMEM));
  }
  return room;
}

void Muxer::picture_grew(std::size_t size, bool idr) {
  pictures_.grew(size);
  picture_idr_ = picture_idr_ || idr;
}

// The picture goes to libavformat by reference, from the block it was
// rewritten into.
bool Muxer::write_picture(std::int64_t pts, std::int64_t dts, std::int64_t duration,
                          std::size_t& written) {
  written = pictures_.gathered();
  if (written == 0) {
    return true;
  }
  const bool key = picture_idr_;
  picture_idr_ = false;
  if (written > static_cast<std::size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) {
    written = 0;
    return failed("cannot write a packet", AVERROR(EFBIG));
  }
  const PacketOwner packet{api_->av_packet_alloc(), PacketFree{api_}};
  AVBufferRef* buffer = pictures_.take();
  if (!packet || buffer == nullptr) {
    written = 0;
    return failed("cannot write a packet", AVERROR(ENOMEM));
  }
  packet->buf = buffer;
  packet->data = buffer->data;
  packet->size = static_cast<int>(written);
  return send(packet.get(), video_index_, pts, dts, duration, key);
}

bool Muxer::write_audio(std::size_t track, std::span<const std::uint8_t> frame, std::int64_t pts,
                        std::int64_t samples) {
  if (frame.size() > static_cast<std::size_t>(INT_MAX)) {
    return failed("cannot write a packet", AVERROR(EFBIG));
  }
  const PacketOwner packet{api_->av_packet_alloc(), PacketFree{api_}};
  if (!packet) {
    return failed("cannot write a packet", AVERROR(ENOMEM));
  }
  // Not reference counted: libavformat copies what it keeps.
  packet->data = const_cast<std::uint8_t*>(frame.data());
  packet->size = static_cast<int>(frame.size());
  return send(packet.get(), first_audio_index_ + static_cast<int>(track), pts, pts, samples, true);
}

bool Muxer::finish() {
  if (!header_written_) {
    return false;
  }
  header_written_ = false;
  const int code = api_->av_write_trailer(context_.get());
  if (code < 0) {
    return failed("cannot end the file", code);
  }
  api_->avio_flush(context_->pb);
  return context_->pb->error >= 0 || failed("cannot end the file", context_->pb->error);
}

}  // namespace orvale
