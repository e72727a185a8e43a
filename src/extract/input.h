// Reading the input front to back into a buffer that grows only as far as the
// bytes really arrive, so a header that lies about sizes costs no memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>

namespace orvale {

class ByteBuffer {
 public:
  [[nodiscard]] std::uint8_t* data() { return bytes_.get(); }
  [[nodiscard]] std::uint64_t capacity() const { return capacity_; }
  // Grows to `size` bytes, keeping the contents; false when memory runs out.
  [[nodiscard]] bool grow(std::uint64_t size);

 private:
  struct Free {
    void operator()(std::uint8_t* bytes) const { std::free(bytes); }
  };
  std::unique_ptr<std::uint8_t, Free> bytes_;
  std::uint64_t capacity_ = 0;
};

enum class ReadStatus { complete, input_ended, read_error, out_of_memory };

class Input {
 public:
  explicit Input(std::FILE* file) : file_(file) {}

  // Reads exactly `size` bytes into `buffer`, growing it in steps that never
  // run far ahead of the bytes read. `view` is set to what was read.
  [[nodiscard]] ReadStatus read(ByteBuffer& buffer, std::uint64_t size,
                                std::span<const std::uint8_t>& view);
  // Bytes consumed so far: after a short read, where the input ended.
  [[nodiscard]] std::uint64_t offset() const { return offset_; }
  // The errno value behind a read_error.
  [[nodiscard]] int error() const { return error_; }

 private:
  std::FILE* file_;
  std::uint64_t offset_ = 0;
  int error_ = 0;
};

}  // namespace orvale
