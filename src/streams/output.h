// A buffered output file that reports every failure to its caller.
#pragma once

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/platform.h"

namespace orvale {

// Room reserved ahead of a file's end, from `from` up to `to`.
struct Room {
  std::uint64_t from = 0;
  std::uint64_t to = 0;
  friend bool operator==(const Room&, const Room&) = default;
};

// The room an output reserves before it writes up to `end`, where the file
// ends at `file_end` and room is reserved up to `reserved`: none while the
// file is small or the room reserved reaches far enough.
[[nodiscard]] std::optional<Room> room_ahead(std::uint64_t end, std::uint64_t file_end,
                                             std::uint64_t reserved);
// Whether reserving `room` leaves enough of `free` bytes free for others.
[[nodiscard]] bool leaves_free(const Room& room, std::uint64_t free);

// Owns one open output file, a small staging buffer and a list of
// pending pieces. Small pieces are copied into the staging buffer; larger ones
// are borrowed, not copied, and leave with the staged bytes in one gathered
// write at the next flush(). The caller keeps borrowed memory unchanged until
// then. The first failure is remembered (errno value) and every later call
// fails at once. Where the descriptor comes from, and what becomes of the
// file afterwards, is the caller's (see Destination).
class Output {
 public:
  static constexpr std::size_t kBufferSize = std::size_t{256} * 1024;
  // Pieces of at least this many bytes are borrowed rather than copied.
  static constexpr std::size_t kCopyLimit = std::size_t{2} * 1024;
  // Pending pieces per flush: as many as one gathered write takes.
  static constexpr std::size_t kMaxPending = platform::kMaxPieces;
  // A file of its own that grows past kReserveFrom gets its blocks reserved
  // ahead of what it holds, as much again as it holds up to kReserveMost,
  // where the file system writes faster so (see room_worth_reserving), and
  // only while kKeepFree bytes stay free beside the reservation.
  static constexpr std::uint64_t kReserveFrom = std::uint64_t{8} << 20;
  static constexpr std::uint64_t kReserveMost = std::uint64_t{64} << 20;
  static constexpr std::uint64_t kKeepFree = std::uint64_t{1} << 30;

  Output() = default;
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Takes over `file`, open for writing, under `name` (for messages);
  // `standard_output`: it is the process's standard output.
  [[nodiscard]] bool attach(platform::File file, std::string name, bool standard_output = false);
  // Counts what it is given and writes it nowhere: the output of a stream
  // not chosen, or of a run that writes nothing.
  void discard();

  // Appends `bytes`; kCopyLimit bytes or more are borrowed until the next
  // flush().
  [[nodiscard]] bool write(std::span<const std::uint8_t> bytes);
  // Sends everything pending; afterwards no borrowed memory is referenced.
  [[nodiscard]] bool flush();
  // Sends everything pending, then moves the file's write position to
  // `offset`: a muxer goes back to fill in sizes it learns at the end.
  [[nodiscard]] bool seek(std::uint64_t offset);
  // Flushes and closes; a failure of either is reported. `modified`, when
  // given, becomes the file's modification time.
  [[nodiscard]] bool close(const platform::Time* modified = nullptr);

  [[nodiscard]] bool is_open() const { return file_ != platform::kNoFile; }
  // True while borrowed memory is referenced.
  [[nodiscard]] bool holds_borrowed() const { return borrowed_; }
  // The file's identity, for telling whether two names are one file; only a
  // regular file has one worth comparing.
  [[nodiscard]] bool is_regular() const { return regular_; }
  [[nodiscard]] const platform::FileId& id() const { return id_; }
  [[nodiscard]] const std::string& name() const { return name_; }
  // Bytes handed to write() since open(), sent or still pending.
  [[nodiscard]] std::uint64_t taken() const { return taken_; }
  // Bytes the file has received.
  [[nodiscard]] std::uint64_t written() const { return written_; }
  // The errno value of the first failure, 0 when none happened.
  [[nodiscard]] int error() const { return error_; }
  // Standard output's reader stopped reading (a pipe into `head`): no
  // failure of the file, but the end of what anyone wants from it.
  [[nodiscard]] bool reader_gone() const { return error_ == EPIPE && standard_output_; }

 private:
  [[nodiscard]] bool append(std::span<const std::uint8_t> piece);
  [[nodiscard]] bool write_pending();
  void reserve_ahead(std::uint64_t end);
  bool fail(int error_number);

  platform::File file_ = platform::kNoFile;
  bool discarding_ = false;
  std::string name_;
  bool regular_ = false;
  bool standard_output_ = false;
  platform::FileId id_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t used_ = 0;
  std::array<platform::Piece, kMaxPending> pending_{};
  std::size_t pending_count_ = 0;
  bool borrowed_ = false;
  std::uint64_t taken_ = 0;
  std::uint64_t written_ = 0;
  // Where the next write lands, and the file's end.
  std::uint64_t position_ = 0;
  std::uint64_t end_ = 0;
  // Blocks reserved up to here; reserving stops at the first refusal.
  std::uint64_t reserved_ = 0;
  bool reserving_ = false;
  int error_ = 0;
};

}  // namespace orvale
