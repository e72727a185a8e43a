# FFmpeg's libavformat, libavcodec and libavutil, which write MP4 and
# Matroska: found through pkg-config, as the target's .pc files describe
# them, and given to the rest of the build as one target, orvale::ffmpeg.
find_package(PkgConfig REQUIRED)
pkg_check_modules(ORVALE_FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil)
add_library(orvale::ffmpeg ALIAS PkgConfig::ORVALE_FFMPEG)
