#include "mux/ffmpeg_api.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace orvale {
namespace {

std::string last_error_line;

// What the parser finds odd in a damaged picture is not the user's concern;
// what stops the muxer is told by its caller.
void keep_errors(void* /*context*/, int level, const char* format, va_list arguments) {
  if (level > AV_LOG_ERROR) {
    return;
  }
  char line[512];
  std::vsnprintf(line, sizeof line, format, arguments);
  last_error_line = line;
  while (!last_error_line.empty() && last_error_line.back() == '\n') {
    last_error_line.pop_back();
  }
}

#ifdef ORVALE_FFMPEG_STATIC

bool fill(FfmpegApi& api, std::string& /*error*/) {
#define ORVALE_FFMPEG_DIRECT(library, name) api.name = &::name;
  ORVALE_FFMPEG_FUNCTIONS(ORVALE_FFMPEG_DIRECT)
#undef ORVALE_FFMPEG_DIRECT
  return true;
}

#else

#define ORVALE_SONAME(library, major) ORVALE_SONAME_TEXT(library, major)
#define ORVALE_SONAME_TEXT(library, major) "lib" #library ".so." #major

// The versions the program was built against: their headers describe the
// structures it reads.
struct Library {
  const char* soname;
  void* handle = nullptr;
};

bool fill(FfmpegApi& api, std::string& error) {
  Library avutil{ORVALE_SONAME(avutil, LIBAVUTIL_VERSION_MAJOR)};
  Library avcodec{ORVALE_SONAME(avcodec, LIBAVCODEC_VERSION_MAJOR)};
  Library avformat{ORVALE_SONAME(avformat, LIBAVFORMAT_VERSION_MAJOR)};
  for (Library* library : {&avutil, &avcodec, &avformat}) {
    std::string why;
    library->handle = platform::load_library(library->soname, why);
    if (library->handle == nullptr) {
      error = "FFmpeg's " + std::string(library->soname) + " cannot be loaded (" + why + ")";
      return false;
    }
  }
// NOLINTBEGIN(bugprone-macro-parentheses): names pasted into statements
#define ORVALE_FFMPEG_LOOKUP(library, name)                                                  \
  api.name =                                                                                 \
      reinterpret_cast<decltype(api.name)>(platform::library_symbol(library.handle, #name)); \
  if (api.name == nullptr) {                                                                 \
    error = std::string(library.soname) + " has no " #name;                                  \
    return false;                                                                            \
  }
  ORVALE_FFMPEG_FUNCTIONS(ORVALE_FFMPEG_LOOKUP)
#undef ORVALE_FFMPEG_LOOKUP
  // NOLINTEND(bugprone-macro-parentheses)
  return true;
}

#endif

}  // namespace

const FfmpegApi* ffmpeg(std::string& error) {
  static FfmpegApi api;
  static std::string failure;
  static const bool loaded = fill(api, failure) && (api.av_log_set_callback(keep_errors), true);
  error = failure;
  return loaded ? &api : nullptr;
}

const std::string& last_ffmpeg_error() { return last_error_line; }

void forget_ffmpeg_error() { last_error_line.clear(); }

}  // namespace orvale
