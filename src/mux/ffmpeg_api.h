// The few FFmpeg functions the muxer and the clock call, reached through one
// table. Where FFmpeg is linked in (a static build), the table holds them
// directly; otherwise its shared libraries are loaded the first time an MP4
// or Matroska file is made, so that the raw extraction, and every run that
// makes no such file, starts without loading them.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <string>

namespace orvale {

#define ORVALE_FFMPEG_FUNCTIONS(X)            \
  X(avformat, avformat_alloc_output_context2) \
  X(avformat, avformat_new_stream)            \
  X(avformat, avformat_write_header)          \
  X(avformat, av_interleaved_write_frame)     \
  X(avformat, av_write_trailer)               \
  X(avformat, avformat_free_context)          \
  X(avformat, avio_alloc_context)             \
  X(avformat, avio_context_free)              \
  X(avformat, avio_flush)                     \
  X(avcodec, av_packet_alloc)                 \
  X(avcodec, av_packet_free)                  \
  X(avcodec, av_packet_rescale_ts)            \
  X(avcodec, av_parser_init)                  \
  X(avcodec, av_parser_parse2)                \
  X(avcodec, av_parser_close)                 \
  X(avcodec, avcodec_alloc_context3)          \
  X(avcodec, avcodec_free_context)            \
  X(avutil, av_malloc)                        \
  X(avutil, av_buffer_create)                 \
  X(avutil, av_buffer_unref)                  \
  X(avutil, av_mallocz)                       \
  X(avutil, av_free)                          \
  X(avutil, av_freep)                         \
  X(avutil, av_dict_set)                      \
  X(avutil, av_dict_free)                     \
  X(avutil, av_strerror)                      \
  X(avutil, av_log_set_callback)              \
  X(avutil, av_channel_layout_default)

struct FfmpegApi {
// NOLINTNEXTLINE(bugprone-macro-parentheses): a declaration, not an expression
#define ORVALE_FFMPEG_POINTER(library, name) decltype(&::name) name = nullptr;
  ORVALE_FFMPEG_FUNCTIONS(ORVALE_FFMPEG_POINTER)
#undef ORVALE_FFMPEG_POINTER
};

// The table, loaded on first use; null when FFmpeg's libraries cannot be
// loaded, `error` then saying which and why. Once loaded, FFmpeg prints
// nothing: its last error line is kept for the caller to tell.
[[nodiscard]] const FfmpegApi* ffmpeg(std::string& error);
[[nodiscard]] const std::string& last_ffmpeg_error();
void forget_ffmpeg_error();

}  // namespace orvale
