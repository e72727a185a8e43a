#include "streams/output.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace orvale {

Output::~Output() { (void)close(); }

bool Output::fail(int error_number) {
  if (error_ == 0) {
    error_ = error_number;
  }
  return false;
}

bool Output::attach(platform::File file, std::string name, bool standard_output) {
  (void)close();
  discarding_ = false;
  standard_output_ = standard_output;
  file_ = file;
  name_ = std::move(name);
  error_ = 0;
  taken_ = 0;
  written_ = 0;
  used_ = 0;
  pending_count_ = 0;
  borrowed_ = false;
  position_ = 0;
  end_ = 0;
  reserved_ = 0;
  reserving_ = false;
  if (!buffer_) {
    buffer_.reset(new (std::nothrow) std::uint8_t[kBufferSize]);
    if (!buffer_) {
      return fail(ENOMEM);
    }
  }
  platform::FileStatus status;
  if (const int error = platform::status(file_, status); error != 0) {
    return fail(error);
  }
  regular_ = status.kind == platform::Kind::regular;
  id_ = status.id;
  // Only a file of this run's making, which starts empty: standard output
  // may be a file others write to as well.
  reserving_ = regular_ && !standard_output_ && status.size == 0;
  return true;
}

void Output::discard() {
  (void)close();
  discarding_ = true;
  taken_ = 0;
}

bool Output::write(std::span<const std::uint8_t> bytes) {
  if (discarding_) {
    taken_ += bytes.size();
    return true;
  }
  if (error_ != 0 || !is_open()) {
    return fail(error_ != 0 ? error_ : EBADF);
  }
  return bytes.empty() || append(bytes);
}

bool Output::append(std::span<const std::uint8_t> piece) {
  taken_ += piece.size();
  const bool copy = piece.size() < kCopyLimit;
  if (copy && piece.size() > kBufferSize - used_ && !write_pending()) {
    return false;
  }
  // A copy right behind the staged piece before it joins that piece.
  const bool joins = copy && pending_count_ > 0 &&
                     pending_[pending_count_ - 1].bytes + pending_[pending_count_ - 1].size ==
                         buffer_.get() + used_;
  if (!joins && pending_count_ == kMaxPending && !write_pending()) {
    return false;
  }
  if (!copy) {
    pending_[pending_count_++] = {piece.data(), piece.size()};
    borrowed_ = true;
    return true;
  }
  std::uint8_t* at = buffer_.get() + used_;
  std::memcpy(at, piece.data(), piece.size());
  used_ += piece.size();
  if (joins) {
    pending_[pending_count_ - 1].size += piece.size();
  } else {
    pending_[pending_count_++] = {at, piece.size()};
  }
  return true;
}

std::optional<Room> room_ahead(std::uint64_t end, std::uint64_t file_end, std::uint64_t reserved) {
  if (end < Output::kReserveFrom || end <= reserved) {
    return std::nullopt;
  }
  const Room room{std::max(reserved, file_end), end + std::min(end, Output::kReserveMost)};
  return room.to > room.from ? std::optional<Room>(room) : std::nullopt;
}

bool leaves_free(const Room& room, std::uint64_t free) {
  return free >= Output::kKeepFree && free - Output::kKeepFree >= room.to - room.from;
}

void Output::reserve_ahead(std::uint64_t end) {
  const std::optional<Room> room = reserving_ ? room_ahead(end, end_, reserved_) : std::nullopt;
  if (!room) {
    return;
  }
  reserving_ = leaves_free(*room, platform::room_worth_reserving(file_));
  if (!reserving_) {
    return;
  }
  // A refusal may leave part of the room taken all the same: close() lets
  // it go with the rest.
  reserved_ = room->to;
  reserving_ = platform::reserve(file_, room->from, room->to - room->from) == 0;
}

bool Output::write_pending() {
  std::uint64_t end = position_;
  for (std::size_t i = 0; i < pending_count_; ++i) {
    end += pending_[i].size;
  }
  reserve_ahead(end);
  std::size_t done = 0;
  while (done < pending_count_) {
    std::size_t left = 0;
    const auto pieces = std::span(pending_).subspan(done, pending_count_ - done);
    if (const int error = platform::write(file_, pieces, left); error != 0) {
      return fail(error);
    }
    written_ += left;
    position_ += left;
    end_ = std::max(end_, position_);
    while (done < pending_count_ && left >= pending_[done].size) {
      left -= pending_[done].size;
      ++done;
    }
    if (done < pending_count_) {
      pending_[done].bytes += left;
      pending_[done].size -= left;
    }
  }
  pending_count_ = 0;
  used_ = 0;
  borrowed_ = false;
  return true;
}

bool Output::flush() {
  if (error_ != 0) {
    return false;
  }
  return pending_count_ == 0 || write_pending();
}

bool Output::seek(std::uint64_t offset) {
  if (!flush()) {
    return false;
  }
  if (discarding_) {
    return true;
  }
  const int error = platform::seek(file_, offset);
  if (error != 0) {
    return fail(error);
  }
  position_ = offset;
  return true;
}

bool Output::close(const platform::Time* modified) {
  if (!is_open()) {
    return error_ == 0;
  }
  bool flushed = flush();
  pending_count_ = 0;
  borrowed_ = false;
  // Blocks reserved past the end would stay the file's, unused; a failure
  // costs only that room, never a byte of the file.
  if (reserved_ > end_) {
    (void)platform::release_reserved(file_);
  }
  if (flushed && modified != nullptr) {
    const int error = platform::set_modified(file_, *modified);
    flushed = error == 0 || fail(error);
  }
  const int error = platform::close(std::exchange(file_, platform::kNoFile));
  if (error != 0 && flushed) {
    return fail(error);
  }
  return flushed;
}

}  // namespace orvale
