// Reading the input front to back through one fixed window, refilled with
// large reads, so memory stays the same whatever the packets' sizes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>

#include "container/unreadable.h"
#include "platform/platform.h"

namespace orvale {

// Releases memory from malloc() and its kin.
struct FreeBytes {
  void operator()(std::uint8_t* bytes) const { std::free(bytes); }
};

struct FreeAligned {
  void operator()(std::uint8_t* bytes) const { platform::free_aligned(bytes); }
};

struct Unmap {
  std::size_t length = 0;
  void operator()(const std::uint8_t* bytes) const { platform::unmap(bytes, length); }
};

// A heap buffer that grows only as far as bytes really arrive, so a header
// that lies about sizes costs no memory.
class ByteBuffer {
 public:
  [[nodiscard]] std::uint8_t* data() { return bytes_.get(); }
  [[nodiscard]] std::uint64_t capacity() const { return capacity_; }
  // Grows to `size` bytes, keeping the contents; false when memory runs out.
  [[nodiscard]] bool grow(std::uint64_t size);

 private:
  std::unique_ptr<std::uint8_t, FreeBytes> bytes_;
  std::uint64_t capacity_ = 0;
};

// Closes an input file on every path out of the scope that opened it.
struct InputCloser {
  explicit InputCloser(platform::File input) : file(input) {}
  InputCloser(const InputCloser&) = delete;
  InputCloser& operator=(const InputCloser&) = delete;
  ~InputCloser() { (void)platform::close(file); }
  platform::File file;
};

enum class ReadStatus { complete, input_ended, read_error, out_of_memory };

// Called with the input offset reached after each read, for progress display.
using ReadObserver = void (*)(void* context, std::uint64_t offset);

// Whether a file is best looked at in place: every page of it in memory, or
// all but at most one in 64 that the system held and let go of (proactive
// reclaim does that to pages left alone for seconds). Those were read whole
// once; they are read again where the walk touches them, and one that now
// fails ends the run, as a file cut shorter does. A page never held may be
// one whose read failed, which the reading walk steps over and tells; a
// file mostly on disk is read too, which brings it in for the second pass.
[[nodiscard]] bool worth_looking_in_place(const platform::PagesHeld& counted);

class InputWindow {
 public:
  static constexpr std::size_t kDefaultSize = std::size_t{4} * 1024 * 1024;

  // Reads from `file`, which the caller keeps open. `size` is the window's
  // capacity, at least 64 bytes (tests use small ones).
  explicit InputWindow(platform::File file, std::size_t size = kDefaultSize);

  // Allocates the window; false when memory runs out.
  [[nodiscard]] bool allocate();
  // Where the system holds a regular file in memory already (see
  // worth_looking_in_place), the window looks at its pages in place rather
  // than reading them, and a walk that looks at only some of each packet's
  // bytes costs only those: the first of the two passes of -f mp4|mkv.
  // Called before allocate(); false when the window reads as usual.
  [[nodiscard]] bool look_in_place();

  // The bytes read and not yet consumed; valid until the next fill().
  [[nodiscard]] std::span<const std::uint8_t> data() const {
    return {base_ + begin_, end_ - begin_};
  }
  void consume(std::size_t count) { begin_ += count; }
  // True when data() holds fewer than `count` bytes, so fill() must read.
  [[nodiscard]] bool needs_fill(std::uint64_t count) const { return end_ - begin_ < count; }
  // Moves what is left to the front and reads about 1 MiB behind it, or more
  // when `count` needs it; complete when data() then holds at least `count`
  // bytes (`count` at most capacity()), input_ended when the input ended
  // before. Invalidates every earlier view of data().
  [[nodiscard]] ReadStatus fill(std::uint64_t count);

  // Moves on to input offset `offset`, at or after position(), dropping what
  // lies before it; past the bytes read, a regular file is read from there
  // on. Invalidates every earlier view of data().
  [[nodiscard]] ReadStatus skip_to(std::uint64_t offset);

  // Copies `size` bytes into `buffer`, growing it only as bytes arrive. The
  // view covers what was copied, all of it or, on failure, a prefix.
  [[nodiscard]] ReadStatus read_into(ByteBuffer& buffer, std::uint64_t size,
                                     std::span<const std::uint8_t>& view);

  [[nodiscard]] std::size_t capacity() const { return capacity_; }
  // Input offset of data()'s first byte.
  [[nodiscard]] std::uint64_t position() const { return read_ - (end_ - begin_); }
  // Bytes read from the input so far: after it ended, its length.
  [[nodiscard]] std::uint64_t bytes_read() const { return read_; }
  // The input's length when it is a regular file that says it.
  [[nodiscard]] std::optional<std::uint64_t> known_size() const { return known_size_; }
  // The errno value behind a read_error.
  [[nodiscard]] int error() const { return error_; }
  // What a regular file could not give, read as zeros; a read error elsewhere
  // ends the input's reading.
  [[nodiscard]] const UnreadableRanges& unreadable() const { return unreadable_; }
  // Reads [from, from + length) of a regular file ahead of the window, only
  // to learn which of its bytes cannot be read: a packet too long to be
  // held whole is then known to be whole before any of it is written. A
  // read error that ends the reading is left for the window to meet.
  void probe(std::uint64_t from, std::uint64_t length);
  [[nodiscard]] UnreadableRanges& unreadable() { return unreadable_; }

  void observe(ReadObserver observer, void* context) {
    observer_ = observer;
    observer_context_ = context;
  }

 private:
  [[nodiscard]] std::uint64_t held_by_file(std::uint64_t size) const;
  [[nodiscard]] int read_past(int error, std::span<std::uint8_t> into, std::size_t& got);
  [[nodiscard]] ReadStatus fill_in_place(std::uint64_t count);
  [[nodiscard]] bool map_around(std::uint64_t from, std::uint64_t to);

  platform::File file_;
  std::size_t capacity_;
  std::unique_ptr<std::uint8_t, FreeAligned> buffer_;
  // data() starts here: the buffer, or the file's pages looked at in place,
  // mapped a stretch at a time from mapped_from_ on.
  const std::uint8_t* base_ = nullptr;
  bool in_place_ = false;
  std::unique_ptr<const std::uint8_t, Unmap> mapped_;
  std::uint64_t mapped_from_ = 0;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::uint64_t read_ = 0;
  bool ended_ = false;
  std::optional<std::uint64_t> known_size_;
  int error_ = 0;
  UnreadableRanges unreadable_;
  ByteBuffer probe_buffer_;
  ReadObserver observer_ = nullptr;
  void* observer_context_ = nullptr;
};

}  // namespace orvale
