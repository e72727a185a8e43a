// A buffered output file that reports every failure to its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace orvale {

// Owns one output file descriptor and a small write-behind buffer, so that
// many tiny frames cost one system call between them while large chunks go
// straight from the caller's memory to the file. The first failure is
// remembered (errno value) and every later call fails at once.
class Output {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{256} * 1024;
  // Writes of at least this many bytes are never copied into the buffer.
  static constexpr std::size_t kCopyLimit = std::size_t{32} * 1024;

  Output() = default;
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Creates (or truncates) the file at `path` for writing.
  [[nodiscard]] bool open(const std::string& path);

  [[nodiscard]] bool write(std::span<const std::uint8_t> bytes);
  // Writes several pieces as one logical write, without copying large ones.
  [[nodiscard]] bool write_pieces(std::span<const std::span<const std::uint8_t>> pieces);
  // Flushes and closes; a failure of either is reported.
  [[nodiscard]] bool close();

  [[nodiscard]] bool is_open() const { return fd_ >= 0; }
  [[nodiscard]] const std::string& name() const { return name_; }
  // The errno value of the first failure, 0 when none happened.
  [[nodiscard]] int error() const { return error_; }

 private:
  [[nodiscard]] bool flush();
  [[nodiscard]] bool write_through(std::span<const std::span<const std::uint8_t>> pieces);
  bool fail(int error_number);
  void release();

  int fd_ = -1;
  std::string name_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t used_ = 0;
  int error_ = 0;
};

}  // namespace orvale
