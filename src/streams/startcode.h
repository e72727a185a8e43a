// Scanning H.264 byte streams for start codes, and the filter that drops
// SEI units and access unit delimiters from one video chunk, which may arrive
// in pieces.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

namespace orvale {

inline constexpr std::array<std::uint8_t, 3> NAL_PRE3 = {0x00, 0x00, 0x01};
inline constexpr std::array<std::uint8_t, 4> NAL_PRE4 = {0x00, 0x00, 0x00, 0x01};

inline constexpr std::uint8_t kNalHeaderSei = 0x06;
inline constexpr std::uint8_t kNalHeaderDelimiter = 0x09;

// True when `bytes` open with a 3- or 4-byte start code.
[[nodiscard]] inline bool opens_with_start_code(std::span<const std::uint8_t> bytes) {
  const auto opens_with = [&](std::span<const std::uint8_t> code) {
    return bytes.size() >= code.size() && std::equal(code.begin(), code.end(), bytes.begin());
  };
  return opens_with(NAL_PRE3) || opens_with(NAL_PRE4);
}

// Finds the first start code at or after `from` that has its NAL header byte
// inside `chunk`. On success `start` is the offset of the start code, `skip`
// its length plus one (4 or 5) and `nal_header` the byte after it. Without a
// match `start` is the chunk length and `skip` and `nal_header` are 0.
// Where 00 00 00 01 stands, the match is the 4-byte code at its first zero; a
// 4-byte code in the last four bytes of the chunk ends the search unmatched.
void find_nal(std::span<const std::uint8_t> chunk, std::uint32_t from, std::uint32_t& start,
              std::uint32_t& skip, std::uint8_t& nal_header);

// Borrows a callable `bool(std::span<const std::uint8_t>)` that takes one kept
// run and returns false to stop the filter. It must outlive the call it is
// passed to.
class RunSink {
 public:
  template <typename Take>
  RunSink(Take& take)  // implicit, so that a lambda is passed as it is
      requires(!std::is_same_v<Take, RunSink> &&
               std::is_invocable_r_v<bool, Take&, std::span<const std::uint8_t>>)
      : callable_(std::addressof(take)),
        call_([](void* callable, std::span<const std::uint8_t> run) {
          return static_cast<bool>((*static_cast<Take*>(callable))(run));
        }) {}

  [[nodiscard]] bool operator()(std::span<const std::uint8_t> run) const {
    return call_(callable_, run);
  }

 private:
  void* callable_;
  bool (*call_)(void*, std::span<const std::uint8_t>);
};

// Filters one whole chunk as StartCodeFilter does a chunk in pieces, with
// the same bytes handed on; since nothing needs holding back, what is kept at
// the chunk's end leaves in one run. Returns false if the sink refused.
[[nodiscard]] bool filter_chunk(std::span<const std::uint8_t> chunk, RunSink sink);

// Where a StartCodeFilter stands between two pieces.
struct StartCodeState {
  // Held back at the end of the last piece: zeros that may start a start
  // code, or a whole start code (zeros and 01) still waiting for its header.
  std::uint8_t held_zeros = 0;
  bool held_code = false;
  // The unit being read is an SEI unit or a delimiter.
  bool dropping = false;
  // A unit with header byte 0x00 was seen: the rest of the chunk is kept.
  bool passing = false;
};

// Drops SEI units and access unit delimiters from one video chunk that is
// handed over in pieces cut anywhere, and passes every other byte on, in
// order, as kept runs. The result does not depend on where the cuts fall:
//  - A unit runs from its start code to the next one (or the chunk's end); it
//    is dropped, start code included, when its header byte is exactly 0x06 or
//    0x09. Bytes before the first start code are kept.
//  - A start code is 00 00 01 or 00 00 00 01; where 00 00 00 01 stands the
//    code is the 4-byte one, and zeros before it stay with the unit before.
//  - A start code counts only when its header byte is inside the chunk, so
//    one that ends the chunk belongs to the unit before it.
//  - A unit with header byte 0x00 ends the filtering: it and all after it in
//    the chunk are kept.
// A run handed to the sink points into the piece being fed or into constant
// storage, never into an earlier piece: up to four bytes at a piece's end may
// yet turn out to start a start code and are held back, and since they are
// always zeros, or zeros and a 01, they are handed on from NAL_PRE4.
// Time is linear in the input.
class StartCodeFilter {
 public:
  // Filters the next piece of the chunk. Returns false as soon as the sink
  // does; the filter then forgets the chunk and is ready for a new one.
  [[nodiscard]] bool feed(std::span<const std::uint8_t> piece, RunSink sink);
  // Ends the chunk: hands on what was held back where it is kept, and leaves
  // the filter ready for the next chunk. Returns false if the sink refused.
  [[nodiscard]] bool finish(RunSink sink);
  // Forgets a chunk that will not be finished (nothing more is handed on).
  void reset() { state_ = {}; }

 private:
  StartCodeState state_;
};

}  // namespace orvale
