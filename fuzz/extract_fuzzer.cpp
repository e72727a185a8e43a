// Drives a whole extraction (walk, filter, both audio writers) on arbitrary
// bytes, in process: the input is a memory file, the outputs land in one
// scratch directory that every run replaces again.
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "extract/dump.h"
#include "cli/listing.h"

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
  // The input is a memory file, so the walk reads it as it reads any file.
  const int fd = memfd_create("orvale-fuzz-input", MFD_CLOEXEC);
  if (fd < 0 || (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size))) {
    std::abort();
  }
  // A small window makes packets longer than it common, so the piecewise path
  // is driven as often as the whole-packet one. Each input is extracted as
  // usual, then rescued, then listed (counting its NAL units) as JSON.
  const std::size_t window = size % 2 == 0 ? 64 : orvale::InputWindow::kDefaultSize;
  for (const int pass : {0, 1, 2}) {
    if (lseek(fd, 0, SEEK_SET) != 0) {
      std::abort();
    }
    orvale::Listing listing(scratch.diagnostics, true);
    orvale::Session session(nullptr, pass == 2 ? &listing : nullptr);
    orvale::Settings settings;
    settings.rescue = pass == 1;
    settings.mode = pass == 2 ? orvale::Mode::list : orvale::Mode::extract;
    const orvale::Input input{scratch.directory + "/in", "", ""};
    (void)orvale::dump_descriptor(fd, input, settings, session, scratch.diagnostics, window);
    listing.finish();
  }
  close(fd);
  return 0;
}
