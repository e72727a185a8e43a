#include "streams/startcode.h"
#include "streams/streams.h"

namespace orvale {
namespace {

// Hands each kept run to the output as it is found: the output copies small
// runs and borrows large ones (pointing into the caller's memory or at
// constant start-code bytes) until its next flush, so no batching is needed
// here.
struct RunWriter {
  Output& video;
  [[nodiscard]] bool operator()(std::span<const std::uint8_t> run) const {
    return video.write(run);
  }
};

// An output that failed earlier is reported even when this call had nothing
// to hand it.
DumpStatus status_of(bool written, const Output& video) {
  return written && video.error() == 0 ? DumpStatus::ok : DumpStatus::output_failed;
}

}  // namespace

DumpStatus dumpavc(Output& video, std::span<const std::uint8_t> chunk) {
  RunWriter writer{video};
  return status_of(filter_chunk(chunk, writer), video);
}

DumpStatus dumpavc_piece(Output& video, StartCodeFilter& filter,
                         std::span<const std::uint8_t> piece) {
  RunWriter writer{video};
  return status_of(filter.feed(piece, writer), video);
}

DumpStatus dumpavc_end(Output& video, StartCodeFilter& filter) {
  RunWriter writer{video};
  return status_of(filter.finish(writer), video);
}

}  // namespace orvale
