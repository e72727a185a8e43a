#include "container/input.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvale {
namespace {

constexpr std::uint64_t kFirstStep = std::uint64_t{64} * 1024;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// A refill reads this much, or what the caller needs if that is more: the
// bytes just read are still in the processor's cache while the walk looks at
// them and the outputs copy them out, where a read of the whole window would
// have pushed its first part out again before it was used (a quarter less
// time in user space on a 250 MiB file).
constexpr std::size_t kReadStep = std::size_t{1} << 20;

}  // namespace

bool ByteBuffer::grow(std::uint64_t size) {
  if (size <= capacity_) {
    return true;
  }
  if (size > SIZE_MAX) {
    return false;
  }
  void* grown = std::realloc(bytes_.get(), static_cast<std::size_t>(size));
  if (grown == nullptr) {
    return false;
  }
  (void)bytes_.release();
  bytes_.reset(static_cast<std::uint8_t*>(grown));
  capacity_ = size;
  return true;
}

// The header (56 bytes) must fit whole, and so must a packet's fixed fields.
constexpr std::size_t kSmallestWindow = 64;

InputWindow::InputWindow(platform::File file, std::size_t size)
    : file_(file), capacity_(std::max(size, kSmallestWindow)) {
  platform::FileStatus status;
  // A regular file of length 0 is often a kernel file whose length is not
  // known in advance; only a positive length is taken at its word.
  if (platform::status(file_, status) == 0 && status.kind == platform::Kind::regular &&
      status.size > 0) {
    known_size_ = status.size;
    platform::expect_sequential(file_);
  }
}

// A window of 2 MiB or more lives in 2 MiB pages where the system offers
// them: each 4 KiB page costs a fault the first time it is touched, a
// thousand of them for the window, and a fault costs as much as a read.
bool InputWindow::allocate() {
  if (in_place_) {
    return true;
  }
  const bool huge = capacity_ >= kHugePage;
  const std::size_t alignment = huge ? kHugePage : alignof(std::max_align_t);
  const std::size_t rounded = (capacity_ + alignment - 1) / alignment * alignment;
  buffer_.reset(platform::allocate_aligned(rounded, alignment));
  if (buffer_ == nullptr) {
    return false;
  }
  if (huge) {
    platform::prefer_large_pages(buffer_.get(), rounded);
  }
  base_ = buffer_.get();
  return true;
}

bool worth_looking_in_place(const platform::PagesHeld& counted) {
  const std::uint64_t missing = counted.pages - counted.held;
  return missing <= counted.let_go && missing <= counted.pages / 64;
}

bool InputWindow::look_in_place() {
  platform::PagesHeld counted;
  in_place_ = known_size_ && platform::pages_in_memory(file_, *known_size_, counted) &&
              worth_looking_in_place(counted);
  return in_place_;
}

// Maps a stretch from the page that holds `from` to twice the window's
// capacity past it, which holds [from, to), and lets the one before go, so
// that the pages looked at stay few.
bool InputWindow::map_around(std::uint64_t from, std::uint64_t to) {
  if (mapped_ && from >= mapped_from_ && to <= mapped_from_ + mapped_.get_deleter().length) {
    return true;
  }
  mapped_.reset();
  const std::uint64_t granularity = platform::mapping_granularity();
  const std::uint64_t start = from / granularity * granularity;
  const auto length = static_cast<std::size_t>(
      std::min<std::uint64_t>(*known_size_ - start, from - start + std::uint64_t{capacity_} * 2));
  const std::uint8_t* view = platform::map_to_read(file_, start, length);
  if (view == nullptr) {
    return false;
  }
  mapped_ = {view, Unmap{length}};
  mapped_from_ = start;
  return true;
}

// The window moves to what is left, as far as its capacity, without a copy.
// Where a stretch cannot be mapped, the window reads from there on.
ReadStatus InputWindow::fill_in_place(std::uint64_t count) {
  const std::uint64_t from = position();
  const std::uint64_t to = std::min(*known_size_, from + capacity_);
  if (to > from && !map_around(from, to)) {
    in_place_ = false;
    mapped_.reset();
    if (!allocate()) {
      error_ = ENOMEM;
      return ReadStatus::out_of_memory;
    }
    if (const int error = platform::seek(file_, from); error != 0) {
      error_ = error;
      return ReadStatus::read_error;
    }
    begin_ = end_ = 0;
    read_ = from;
    return fill(count);
  }
  base_ = to > from ? mapped_.get() + (from - mapped_from_) : base_;
  begin_ = 0;
  end_ = static_cast<std::size_t>(to - from);
  read_ = to;
  if (observer_ != nullptr) {
    observer_(observer_context_, read_);
  }
  return needs_fill(count) ? ReadStatus::input_ended : ReadStatus::complete;
}

ReadStatus InputWindow::fill(std::uint64_t count) {
  if (!needs_fill(count)) {
    return ReadStatus::complete;
  }
  if (in_place_) {
    return fill_in_place(count);
  }
  // What is left moves to the front, so every read lands in the same first
  // MiB or so of the window, still in the processor's cache from the round
  // before; reads further on would first fetch those lines from memory.
  const std::size_t left = end_ - begin_;
  if (left > 0 && begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, left);
  }
  begin_ = 0;
  end_ = left;
  const std::size_t step = std::max(kReadStep, static_cast<std::size_t>(count) - left);
  const std::size_t target = std::min(capacity_, end_ + step);
  while (end_ < target && !ended_) {
    const std::size_t wanted = target - end_;
    std::size_t got = 0;
    if (int error = platform::read(file_, {buffer_.get() + end_, wanted}, got); error != 0) {
      error = read_past(error, {buffer_.get() + end_, wanted}, got);
      if (error != 0) {
        // The bytes before a bad spot are good: they serve, and the error
        // shows when a later fill has to read past them.
        if (!needs_fill(count)) {
          return ReadStatus::complete;
        }
        error_ = error;
        return ReadStatus::read_error;
      }
    }
    if (got == 0) {
      ended_ = true;
      break;
    }
    end_ += got;
    read_ += got;
    if (observer_ != nullptr) {
      observer_(observer_context_, read_);
    }
    // A pipe with nothing more for now ends the wait once the packet is
    // there: a live source is written out as it comes, not a MiB later.
    if (got < wanted && !known_size_ && !needs_fill(count) && platform::nothing_waiting(file_)) {
      break;
    }
  }
  return needs_fill(count) ? ReadStatus::input_ended : ReadStatus::complete;
}

// A regular file is read on past a bad spot, with zeros for what it could
// not give; a pipe has nothing to go on with after one.
int InputWindow::read_past(int error, std::span<std::uint8_t> into, std::size_t& got) {
  got = 0;
  if (!known_size_) {
    return error;
  }
  error = read_past_damage(file_, read_, *known_size_, error, into, unreadable_, got);
  if (error == 0) {
    error = platform::seek(file_, read_ + got);
  }
  return error;
}

void InputWindow::probe(std::uint64_t from, std::uint64_t length) {
  if (!known_size_ || in_place_ || !probe_buffer_.grow(kReadStep)) {
    return;
  }
  const std::uint64_t end = std::min(from + length, *known_size_);
  while (from < end) {
    const std::span<std::uint8_t> into{probe_buffer_.data(),
                                       static_cast<std::size_t>(std::min(end - from, kReadStep))};
    std::size_t got = 0;
    int error = platform::read_at(file_, from, into, got);
    if (error != 0) {
      error = read_past_damage(file_, from, *known_size_, error, into, unreadable_, got);
    }
    if (error != 0 || got == 0) {
      return;
    }
    from += got;
  }
}

ReadStatus InputWindow::skip_to(std::uint64_t offset) {
  if (offset <= read_) {
    consume(static_cast<std::size_t>(offset - position()));
    return ReadStatus::complete;
  }
  if (in_place_) {
    begin_ = end_ = 0;
    read_ = offset;
    return ReadStatus::complete;
  }
  if (const int error = platform::seek(file_, offset); error != 0) {
    error_ = error;
    return ReadStatus::read_error;
  }
  begin_ = 0;
  end_ = 0;
  read_ = offset;
  ended_ = false;
  return ReadStatus::complete;
}

// How much of `size` bytes from position() on a regular file holds: a
// buffer of that size is grown once rather than doubled and copied on the
// way, and still only as far as the file really reaches.
std::uint64_t InputWindow::held_by_file(std::uint64_t size) const {
  if (!known_size_ || *known_size_ <= position()) {
    return 0;
  }
  return std::min(size, *known_size_ - position());
}

ReadStatus InputWindow::read_into(ByteBuffer& buffer, std::uint64_t size,
                                  std::span<const std::uint8_t>& view) {
  std::uint64_t done = 0;
  view = {};
  while (done < size) {
    if (needs_fill(1)) {
      const ReadStatus status = fill(1);
      if (status != ReadStatus::complete) {
        return status;
      }
    }
    if (buffer.capacity() <= done) {
      const std::uint64_t step = std::max({buffer.capacity() * 2, kFirstStep, held_by_file(size)});
      if (!buffer.grow(std::min(size, step))) {
        return ReadStatus::out_of_memory;
      }
    }
    const std::uint64_t room = std::min(size, buffer.capacity()) - done;
    const auto piece =
        data().first(static_cast<std::size_t>(std::min<std::uint64_t>(room, data().size())));
    std::memcpy(buffer.data() + done, piece.data(), piece.size());
    consume(piece.size());
    done += piece.size();
    view = {buffer.data(), static_cast<std::size_t>(done)};
  }
  return ReadStatus::complete;
}

}  // namespace orvale
