#include <array>
#include <cstddef>
#include <utility>

#include "streams/startcode.h"
#include "streams/streams.h"

namespace orvale {
namespace {

// Kept runs point into the caller's memory (or at constant start-code bytes),
// so nothing is copied unless the output buffers it; they are handed over in
// batches, and at the latest before the memory they point into is reused.
class RunBatch {
 public:
  explicit RunBatch(Output& video) : video_(video) {}

  // Takes one kept run; a StartCodeFilter's sink.
  [[nodiscard]] bool operator()(std::span<const std::uint8_t> run) {
    runs_[pending_++] = run;
    return pending_ < kBatch || flush();
  }

  [[nodiscard]] bool flush() {
    const std::size_t count = std::exchange(pending_, 0);
    return video_.write_pieces(std::span(runs_.data(), count));
  }

 private:
  static constexpr std::size_t kBatch = 64;
  Output& video_;
  std::array<std::span<const std::uint8_t>, kBatch> runs_;
  std::size_t pending_ = 0;
};

DumpStatus status_of(bool written) { return written ? DumpStatus::ok : DumpStatus::output_failed; }

}  // namespace

DumpStatus dumpavc(Output& video, std::span<const std::uint8_t> chunk) {
  StartCodeFilter filter;
  RunBatch batch(video);
  return status_of(filter.feed(chunk, batch) && filter.finish(batch) && batch.flush());
}

DumpStatus dumpavc_piece(Output& video, StartCodeFilter& filter,
                         std::span<const std::uint8_t> piece) {
  RunBatch batch(video);
  // The caller refills the piece's memory once this returns.
  return status_of(filter.feed(piece, batch) && batch.flush());
}

DumpStatus dumpavc_end(Output& video, StartCodeFilter& filter) {
  RunBatch batch(video);
  return status_of(filter.finish(batch) && batch.flush());
}

}  // namespace orvale
