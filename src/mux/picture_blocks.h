// Pictures on their way into libavformat, rewritten behind their lengths one
// after another in large blocks that it takes by reference: the output then
// sends a block's pictures in one gathered write rather than one write each,
// and no picture is copied again on its way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "streams/output.h"

struct AVBufferRef;

namespace orvale {

struct FfmpegApi;

class PictureBlocks {
 public:
  PictureBlocks() = default;
  PictureBlocks(const PictureBlocks&) = delete;
  PictureBlocks& operator=(const PictureBlocks&) = delete;

  // `output` takes what libavformat writes, pictures included: it sends
  // what it holds of a block before the block is filled again.
  void attach(const FfmpegApi& api, Output& output) {
    api_ = &api;
    output_ = &output;
  }
  // Room for `size` more bytes of the picture being gathered, behind what it
  // holds already; empty when memory runs out.
  [[nodiscard]] std::span<std::uint8_t> room(std::size_t size);
  // The picture being gathered took `size` bytes of the room.
  void grew(std::size_t size);
  [[nodiscard]] std::size_t gathered() const;
  // The gathered picture, as a buffer libavformat counts its references to,
  // of gathered() bytes; the next picture starts empty. Null when memory
  // runs out.
  [[nodiscard]] AVBufferRef* take();
  // Whether the `size` bytes at `bytes` lie in a block, where they stay
  // until the output has sent them.
  [[nodiscard]] bool holds(const std::uint8_t* bytes, std::size_t size) const;

 private:
  struct Block {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t capacity = 0;
    // The picture being gathered.
    std::size_t start = 0;
    std::size_t end = 0;
    // Pictures of the block libavformat still holds.
    std::size_t held = 0;
  };
  [[nodiscard]] Block* free_block(std::size_t size);
  static void let_go(void* block, std::uint8_t* bytes);

  const FfmpegApi* api_ = nullptr;
  Output* output_ = nullptr;
  std::vector<std::unique_ptr<Block>> blocks_;
  Block* current_ = nullptr;
};

}  // namespace orvale
