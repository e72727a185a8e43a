#include "mux/ffmpeg_api.h"

#include "platform/platform.h"

namespace orvale {
namespace {

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
#define ORVALE_FFMPEG_LOOKUP(library, name)                                                   \
  api.name = reinterpret_cast<decltype(api.name)>(platform::library_symbol(library.handle, #name)); \
  if (api.name == nullptr) {                                                                 \
    error = std::string(library.soname) + " has no " #name;                                  \
    return false;                                                                            \
  }
  ORVALE_FFMPEG_FUNCTIONS(ORVALE_FFMPEG_LOOKUP)
#undef ORVALE_FFMPEG_LOOKUP
  return true;
}

#endif

}  // namespace

const FfmpegApi* ffmpeg(std::string& error) {
  static FfmpegApi api;
  static std::string failure;
  static const bool loaded = fill(api, failure);
  error = failure;
  return loaded ? &api : nullptr;
}

}  // namespace orvale
