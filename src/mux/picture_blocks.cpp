#include "mux/picture_blocks.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "mux/ffmpeg_api.h"

namespace orvale {
namespace {

// A block holds several pictures of a 1080p recording: the writes that send
// them are as large as a raw run's.
constexpr std::size_t kBlockSize = std::size_t{1} << 20;

}  // namespace

void PictureBlocks::let_go(void* block, std::uint8_t* /*bytes*/) {
  --static_cast<Block*>(block)->held;
}

std::size_t PictureBlocks::gathered() const {
  return current_ == nullptr ? 0 : current_->end - current_->start;
}

bool PictureBlocks::holds(const std::uint8_t* bytes, std::size_t size) const {
  const auto address = reinterpret_cast<std::uintptr_t>(bytes);
  return std::any_of(blocks_.begin(), blocks_.end(), [&](const std::unique_ptr<Block>& block) {
    const auto first = reinterpret_cast<std::uintptr_t>(block->bytes.get());
    return address >= first && address - first <= block->capacity &&
           size <= block->capacity - (address - first);
  });
}

// Another block, once the output has sent what it borrowed of them all:
// one libavformat holds nothing of, kept at its size when that fits `size`
// (and was not made for one much larger picture), or a new one.
PictureBlocks::Block* PictureBlocks::free_block(std::size_t size) {
  (void)output_->flush();  // a failure stays with the output, which tells it
  const std::size_t fitting = std::max(kBlockSize, size);
  Block* chosen = nullptr;
  for (const std::unique_ptr<Block>& block : blocks_) {
    if (block.get() != current_ && block->held == 0) {
      chosen = block.get();
      if (block->capacity >= size && block->capacity <= 2 * fitting) {
        break;
      }
    }
  }
  if (chosen == nullptr) {
    blocks_.push_back(std::make_unique<Block>());
    chosen = blocks_.back().get();
  }
  const bool fits = chosen->capacity >= size && chosen->capacity <= 2 * fitting;
  const std::size_t capacity = fits ? chosen->capacity : fitting;
  // Given back and taken anew each time, as each picture's own buffer was:
  // glibc then keeps allocations of a block's size in its heap rather than
  // mapping each, and libavformat's index, which grows all run long, stays
  // there too; mapped, it cost an hour's recording 4 MiB more (medians of
  // five runs: 63.1 MiB against 67.6).
  chosen->bytes.reset();
  chosen->bytes.reset(new (std::nothrow) std::uint8_t[capacity]);
  chosen->capacity = chosen->bytes ? capacity : 0;
  return chosen->bytes ? chosen : nullptr;
}

// libavformat may read a little past a picture, so padding of zeros follows
// each one.
std::span<std::uint8_t> PictureBlocks::room(std::size_t size) {
  const std::size_t wanted = gathered() + size + AV_INPUT_BUFFER_PADDING_SIZE;
  if (current_ == nullptr || current_->capacity - current_->start < wanted) {
    Block* next = free_block(wanted);
    if (next == nullptr) {
      return {};
    }
    const std::size_t carried = gathered();
    if (carried > 0) {
      std::memcpy(next->bytes.get(), current_->bytes.get() + current_->start, carried);
      current_->end = current_->start;
    }
    next->start = 0;
    next->end = carried;
    current_ = next;
  }
  return {current_->bytes.get() + current_->end, size};
}

void PictureBlocks::grew(std::size_t size) { current_->end += size; }

AVBufferRef* PictureBlocks::take() {
  std::uint8_t* picture = current_->bytes.get() + current_->start;
  const std::size_t size = gathered();
  std::memset(picture + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
  AVBufferRef* buffer = api_->av_buffer_create(picture, size + AV_INPUT_BUFFER_PADDING_SIZE,
                                               let_go, current_, 0);
  if (buffer == nullptr) {
    return nullptr;
  }
  ++current_->held;
  current_->start = current_->end = current_->end + AV_INPUT_BUFFER_PADDING_SIZE;
  return buffer;
}

}  // namespace orvale
