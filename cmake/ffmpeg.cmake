# FFmpeg's libavformat, libavcodec and libavutil, which write MP4 and
# Matroska: found through pkg-config, as the target's .pc files describe
# them, and given to the rest of the build as one target, orvale::ffmpeg.
#
# Linux takes Debian's shared libraries: the build machine's own, or under a
# cross toolchain the target's multiarch packages (libavformat-dev:arm64 and
# so on), whose .pc files the toolchain file points pkg-config at. Windows
# takes a small static FFmpeg that scripts/ffmpeg-mingw builds from Debian's
# source into a cache folder (ORVALE_FFMPEG_MINGW), linked in with the system
# libraries it calls, so orvale.exe still needs no DLL beside it.
find_package(PkgConfig REQUIRED)

if(WIN32)
  if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(cache_home $ENV{XDG_CACHE_HOME})
  else()
    set(cache_home $ENV{HOME}/.cache)
  endif()
  set(ORVALE_FFMPEG_MINGW ${cache_home}/orvale/ffmpeg-mingw CACHE PATH
      "Prefix of the static mingw-w64 FFmpeg (scripts/ffmpeg-mingw builds it)")
  if(NOT EXISTS ${ORVALE_FFMPEG_MINGW}/lib/pkgconfig/libavformat.pc)
    message(FATAL_ERROR "no static FFmpeg for Windows in ${ORVALE_FFMPEG_MINGW}; "
                        "scripts/install-deps windows builds it")
  endif()
  set(ENV{PKG_CONFIG_LIBDIR} ${ORVALE_FFMPEG_MINGW}/lib/pkgconfig)
  unset(ENV{PKG_CONFIG_PATH})
  # Libs.private too: the Windows libraries FFmpeg calls (bcrypt for its
  # random seed, ...), which a static link must name.
  set(PKG_CONFIG_ARGN --static)
endif()

# The libraries of a cross target lie where its .pc files say, outside the
# toolchain's root, so that search is widened to the host's paths for this
# one look-up; the .pc files name only the target's folders.
# pkg-config is asked anew at each configure (it takes milliseconds), so an
# upgraded FFmpeg or a rebuilt cache is not hidden behind the last answer.
set(find_mode ${CMAKE_FIND_ROOT_PATH_MODE_LIBRARY})
unset(__pkg_config_checked_ORVALE_FFMPEG CACHE)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
pkg_check_modules(ORVALE_FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ${find_mode})
unset(PKG_CONFIG_ARGN)

# A multiarch target's headers are in the host's /usr/include/TRIPLET, a
# folder the target's C library headers may share (libc6-dev:arm64): named
# whole, it could put them before the cross compiler's own. The build takes
# instead a folder of its own that holds nothing but links to FFmpeg's three.
if(CMAKE_CROSSCOMPILING AND NOT WIN32)
  set(ffmpeg_include ${CMAKE_BINARY_DIR}/ffmpeg/include)
  file(MAKE_DIRECTORY ${ffmpeg_include})
  foreach(library IN ITEMS libavformat libavcodec libavutil)
    find_path(ORVALE_${library}_INCLUDE_DIR ${library}/version.h
              PATHS ${ORVALE_FFMPEG_INCLUDE_DIRS} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    if(NOT ORVALE_${library}_INCLUDE_DIR)
      message(FATAL_ERROR "${library}/version.h is not in ${ORVALE_FFMPEG_INCLUDE_DIRS}")
    endif()
    file(CREATE_LINK ${ORVALE_${library}_INCLUDE_DIR}/${library} ${ffmpeg_include}/${library} SYMBOLIC)
  endforeach()
  set_target_properties(PkgConfig::ORVALE_FFMPEG PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${ffmpeg_include})
endif()

add_library(orvale::ffmpeg ALIAS PkgConfig::ORVALE_FFMPEG)
