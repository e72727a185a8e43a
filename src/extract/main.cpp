// orvale: extracts the H.264 video and the audio streams of a kvxavc file.
#include <cstdio>
#include <new>
#include <string>

#include "extract/dump.h"

namespace {

void usage() { std::fputs("Usage: \nOrvale input.kvx\n", stdout); }

}  // namespace

int main(int argc, char** argv) {
  if (argc <= 1) {
    usage();
    return static_cast<int>(orvale::ExitStatus::error);
  }
  try {
    return static_cast<int>(orvale::dump(argv[1]));
  } catch (const std::bad_alloc&) {
    // Only the small strings around the core can throw; the buffers do not.
    std::fprintf(stderr, "orvale: %s: out of memory\n", argv[1]);
    return static_cast<int>(orvale::ExitStatus::error);
  }
}
