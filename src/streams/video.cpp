#include <array>
#include <cstddef>

#include "streams/startcode.h"
#include "streams/streams.h"

namespace orvale {

// The kept runs point into the caller's chunk, so nothing is copied unless the
// output buffers it; they are handed over in batches.
DumpStatus dumpavc(Output& video, std::span<const std::uint8_t> chunk) {
  constexpr std::size_t kBatch = 64;
  std::array<std::span<const std::uint8_t>, kBatch> runs;
  std::size_t pending = 0;
  const bool written = for_each_kept_run(chunk, [&](std::uint32_t offset, std::uint32_t length) {
    runs[pending++] = chunk.subspan(offset, length);
    if (pending < kBatch) {
      return true;
    }
    pending = 0;
    return video.write_pieces(runs);
  });
  if (!written || !video.write_pieces(std::span(runs.data(), pending))) {
    return DumpStatus::output_failed;
  }
  return DumpStatus::ok;
}

}  // namespace orvale
