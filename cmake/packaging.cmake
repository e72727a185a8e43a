# Installation: the program, its manual (gzipped, as Debian keeps manuals) and
# its documents. kvxmux and the tests stay in the build tree.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME orvale)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)

# Windows: a zip of the program, which needs no DLL beside it, with the
# README and the licence. The program carries FFmpeg's libraries (LGPL 2.1),
# so the zip holds FFmpeg's licence and how it was built, and the source it
# was built from goes beside the zip: cpack copies it there.
if(WIN32)
  install(TARGETS orvale RUNTIME DESTINATION .)
  # README.txt, with Windows line ends, for users of cmd and PowerShell;
  # README.md stays the whole manual.
  configure_file(packaging/windows/README.txt ${CMAKE_BINARY_DIR}/packaging/README.txt @ONLY
                 NEWLINE_STYLE CRLF)
  install(FILES README.md LICENSE ${CMAKE_BINARY_DIR}/packaging/README.txt DESTINATION .)
  file(GLOB ffmpeg_build_notes ${ORVALE_FFMPEG_MINGW}/source/*.configure.txt)
  install(FILES ${ORVALE_FFMPEG_MINGW}/licence/COPYING.LGPLv2.1 ${ORVALE_FFMPEG_MINGW}/licence/LICENSE.md
          ${ffmpeg_build_notes} DESTINATION ffmpeg)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME orvale-${PROJECT_VERSION}-windows-x86_64)
  set(ffmpeg_source_copy ${CMAKE_BINARY_DIR}/packaging/ffmpeg-source.cmake)
  file(CONFIGURE OUTPUT ${ffmpeg_source_copy} @ONLY CONTENT [[
# The zip is still in cpack's staging folder here; it lands in this one.
file(GLOB source "@ORVALE_FFMPEG_MINGW@/source/*")
file(COPY ${source} DESTINATION "${CPACK_PACKAGE_DIRECTORY}")
message(STATUS "FFmpeg's source, which the LGPL asks to offer with the zip, copied beside it")
]])
  set(CPACK_POST_BUILD_SCRIPTS ${ffmpeg_source_copy})
  include(CPack)
  return()
endif()

set(CPACK_PACKAGE_CONTACT "Orvale maintainers <maintainers@users.noreply.c-seed-b7c4d5b1.example>")

# gzip -9n: smallest, and without the name and time stamp that would make two
# builds of the same file differ.
function(orvale_gzip file target)
  add_custom_command(OUTPUT ${file}.gz
                     COMMAND gzip -9nc ${file} > ${file}.gz
                     DEPENDS ${file})
  add_custom_target(${target} ALL DEPENDS ${file}.gz)
endfunction()

configure_file(doc/orvale.1.in ${CMAKE_BINARY_DIR}/orvale.1 @ONLY)
orvale_gzip(${CMAKE_BINARY_DIR}/orvale.1 manpage)

# Debian's copyright file, machine-readable, with the holder and the terms
# taken from LICENSE so that the two never disagree.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
if(NOT license MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.+)")
  message(FATAL_ERROR "LICENSE: no 'Copyright (c) ...' line followed by the terms")
endif()
set(ORVALE_COPYRIGHT ${CMAKE_MATCH_1})
string(STRIP "${CMAKE_MATCH_2}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " ORVALE_LICENSE_TEXT " ${terms}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
set(debian_docs ${CMAKE_BINARY_DIR}/packaging/debian)
configure_file(packaging/debian/copyright.in ${debian_docs}/copyright @ONLY)

# The package is native (no Debian revision), so its changelog is changelog.gz.
# Its one entry carries project()'s version; the date is the configure time,
# or SOURCE_DATE_EPOCH for a reproducible build.
string(TIMESTAMP ORVALE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(packaging/debian/changelog.in ${debian_docs}/changelog @ONLY)
orvale_gzip(${debian_docs}/changelog debian_changelog)

install(TARGETS orvale RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/orvale.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md LICENSE ${debian_docs}/copyright ${debian_docs}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "extract H.264 video and AAC/MP3 audio from kvxavc files")
set(CPACK_PACKAGE_DESCRIPTION "orvale takes one kvxavc recording and writes, beside it, its H.264
video as an Annex B byte stream (SEI units and access unit delimiters
removed) and each of its AAC or MP3 audio streams as a file of its own,
AAC behind ADTS headers. Damaged files are extracted as far as they go,
with a diagnostic and a distinct exit status.")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# FFmpeg's libraries are loaded only when an MP4 or Matroska file is made, so
# the linker does not name them and dpkg-shlibdeps cannot see them: each is
# named here after its soname, at least at the version built against.
if(NOT ORVALE_FFMPEG_STATIC)
  set(ffmpeg_depends "")
  # Named with the architecture: a machine that cross-builds has both.
  if(CMAKE_CROSSCOMPILING)
    execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE target_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  else()
    execute_process(COMMAND dpkg --print-architecture
                    OUTPUT_VARIABLE target_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  set(architecture_suffix ":${target_arch}")
  foreach(library IN ITEMS libavformat libavcodec libavutil)
    string(REGEX MATCH "^[0-9]+" major "${ORVALE_FFMPEG_${library}_VERSION}")
    execute_process(COMMAND dpkg-query -W -f=\${Version} ${library}${major}${architecture_suffix}
                    OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    string(REGEX REPLACE "-[^-]*$" "" version "${version}")
    if(version STREQUAL "")
      list(APPEND ffmpeg_depends "${library}${major}")
    else()
      list(APPEND ffmpeg_depends "${library}${major} (>= ${version})")
    endif()
  endforeach()
  list(JOIN ffmpeg_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
if(CMAKE_CROSSCOMPILING)
  # The package is for the target, which dpkg on the build machine does not
  # name by itself.
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
  # dpkg-shlibdeps then reads the dependencies from the target's multiarch
  # packages that the build links (libavformat59:arm64 ...) and the C library
  # they bring along (libc6:arm64), as it would on the target itself.
endif()
include(CPack)
