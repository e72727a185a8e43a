# nlohmann/json is header-only, so the host's copy serves any target. Its
# package is looked for as usual (under a cross toolchain, only in the
# target's root, where it seldom is); failing that, the headers are taken from
# the host by a folder of the build tree that holds nothing but a link to
# them, since naming /usr/include itself would put the host's C library
# headers before the target's.
find_package(nlohmann_json 3.10 QUIET)
if(NOT nlohmann_json_FOUND)
  find_path(ORVALE_JSON_INCLUDE_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ORVALE_JSON_INCLUDE_DIR)
    message(FATAL_ERROR "nlohmann/json.hpp not found (Debian: nlohmann-json3-dev); "
                        "set ORVALE_JSON_INCLUDE_DIR to the folder that holds nlohmann/")
  endif()
  set(json_include ${CMAKE_BINARY_DIR}/nlohmann_json/include)
  file(MAKE_DIRECTORY ${json_include})
  file(CREATE_LINK ${ORVALE_JSON_INCLUDE_DIR}/nlohmann ${json_include}/nlohmann SYMBOLIC)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
                        INTERFACE_INCLUDE_DIRECTORIES ${json_include})
endif()
