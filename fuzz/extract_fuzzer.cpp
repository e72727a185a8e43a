// Drives a whole extraction (walk, filter, both audio writers) on arbitrary
// bytes, in process: the input is a memory stream, the outputs land in one
// scratch directory that every run truncates again.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "extract/dump.h"

namespace {

struct Scratch {
  Scratch() {
    char pattern[] = "/tmp/orvale-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    directory = pattern;
    diagnostics = std::fopen("/dev/null", "w");
    // The messages scripts read go to stdout; the fuzzer has no use for them.
    if (diagnostics == nullptr || std::freopen("/dev/null", "w", stdout) == nullptr) {
      std::abort();
    }
  }
  std::string directory;
  std::FILE* diagnostics;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Scratch scratch;
  // fmemopen refuses a zero-length buffer; a one-byte view of nothing stands in.
  static std::uint8_t nothing = 0;
  std::FILE* input = size == 0 ? fmemopen(&nothing, 1, "rb")
                               : fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
  if (input == nullptr) {
    std::abort();
  }
  if (size == 0) {
    (void)std::fgetc(input);
  }
  (void)orvale::dump_stream(input, scratch.directory + "/in", scratch.diagnostics);
  std::fclose(input);
  return 0;
}
