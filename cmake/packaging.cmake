# Installation: the program, its manual (gzipped, as Debian keeps manuals) and
# its documents. kvxmux and the tests stay in the build tree.
include(GNUInstallDirs)
configure_file(doc/orvale.1.in ${CMAKE_BINARY_DIR}/orvale.1 @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/orvale.1.gz
                   COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/orvale.1 > ${CMAKE_BINARY_DIR}/orvale.1.gz
                   DEPENDS ${CMAKE_BINARY_DIR}/orvale.1)
add_custom_target(manpage ALL DEPENDS ${CMAKE_BINARY_DIR}/orvale.1.gz)
install(TARGETS orvale RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/orvale.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvale)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Orvale maintainers <maintainers@users.noreply.c-seed-b7c4d5b1.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "extract H.264 video and AAC/MP3 audio from kvxavc files")
set(CPACK_PACKAGE_DESCRIPTION "orvale takes one kvxavc recording and writes, beside it, its H.264
video as an Annex B byte stream (SEI units and access unit delimiters
removed) and each of its AAC or MP3 audio streams as a file of its own,
AAC behind ADTS headers. Damaged files are extracted as far as they go,
with a diagnostic and a distinct exit status.")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
