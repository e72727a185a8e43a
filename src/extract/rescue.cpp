#include "extract/rescue.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "extract/le.h"
#include "streams/adts.h"
#include "streams/startcode.h"

namespace orvale {
namespace {

constexpr std::uint64_t kVideoSizeOffset = 9;

// True when the bytes at `offset` open with a 3- or 4-byte start code.
[[nodiscard]] Plausibility opens_with_start_code(Peek& peek, std::uint64_t offset,
                                                 std::uint64_t video_size) {
  const auto bytes =
      peek.at(offset, static_cast<std::size_t>(std::min<std::uint64_t>(video_size, 4)));
  if (bytes.empty() && peek.error() != 0) {
    return Plausibility::read_error;
  }
  const bool three = bytes.size() >= NAL_PRE3.size() &&
                     std::equal(NAL_PRE3.begin(), NAL_PRE3.end(), bytes.begin());
  const bool four = bytes.size() >= NAL_PRE4.size() &&
                    std::equal(NAL_PRE4.begin(), NAL_PRE4.end(), bytes.begin());
  return three || four ? Plausibility::yes : Plausibility::no;
}

// Sums the audio size table at `offset`, refusing a frame the stream kind
// cannot hold; stops early once the sum passes `most`.
[[nodiscard]] Plausibility sum_table(Peek& peek, const FileHeader& header, std::uint64_t offset,
                                     std::uint64_t entries, std::uint64_t most,
                                     std::uint64_t& sum) {
  constexpr std::uint64_t kEntriesPerRead = Peek::kSize / kIndexEntrySize;
  for (std::uint64_t done = 0; done < entries && sum <= most;) {
    const std::uint64_t count = std::min(entries - done, kEntriesPerRead);
    const auto bytes =
        peek.at(offset + done * kIndexEntrySize, static_cast<std::size_t>(count * kIndexEntrySize));
    if (bytes.size() < count * kIndexEntrySize) {
      return peek.error() != 0 ? Plausibility::read_error : Plausibility::no;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint32_t length = read_le32(bytes, i * kIndexEntrySize);
      if (header.is_aac() && length > kMaxAdtsPayload) {
        return Plausibility::no;
      }
      sum += length;
    }
    done += count;
  }
  return Plausibility::yes;
}

}  // namespace

bool Peek::allocate() {
  cache_.reset(new (std::nothrow) std::uint8_t[kSize]);
  return cache_ != nullptr;
}

std::span<const std::uint8_t> Peek::at(std::uint64_t offset, std::size_t count) {
  if (offset < base_ || offset + count > base_ + cached_) {
    if (offset >= file_size_) {
      return {};
    }
    base_ = offset;
    cached_ = 0;
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kSize, file_size_ - offset));
    while (cached_ < want) {
      const ssize_t got =
          ::pread(fd_, cache_.get() + cached_, want - cached_, static_cast<off_t>(base_ + cached_));
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0 && cached_ >= count) {
        break;  // the bytes asked for arrived before the bad spot
      }
      if (got < 0) {
        error_ = errno;
        return {};
      }
      if (got == 0) {
        break;  // the file shrank under the run
      }
      cached_ += static_cast<std::size_t>(got);
    }
  }
  const std::uint64_t available = base_ + cached_ > offset ? base_ + cached_ - offset : 0;
  return {cache_.get() + (offset - base_),
          static_cast<std::size_t>(std::min<std::uint64_t>(count, available))};
}

Plausibility plausible_packet(Peek& peek, const FileHeader& header, std::uint64_t offset,
                              std::uint64_t limit, bool allow_empty_video, std::uint64_t& needed) {
  if (offset > limit || limit - offset < kPacketFixedSize) {
    return Plausibility::no;
  }
  const auto fixed = peek.at(offset, kPacketFixedSize);
  if (fixed.size() < kPacketFixedSize) {
    return peek.error() != 0 ? Plausibility::read_error : Plausibility::no;
  }
  const std::uint64_t entries = std::uint64_t{header.audio_stream_count} * fixed[0];
  const std::uint32_t video_size = read_le32(fixed, kVideoSizeOffset);
  const std::uint64_t video_start = offset + kPacketFixedSize + entries * kIndexEntrySize;
  if (video_start + video_size > limit || (video_size == 0 && !allow_empty_video)) {
    return Plausibility::no;
  }
  if (video_size > 0) {
    const Plausibility video = opens_with_start_code(peek, video_start, video_size);
    if (video != Plausibility::yes) {
      return video;
    }
  }
  std::uint64_t audio = 0;
  const std::uint64_t room = limit - video_start - video_size;
  const Plausibility table =
      sum_table(peek, header, offset + kPacketFixedSize, entries, room, audio);
  if (table != Plausibility::yes || audio > room) {
    return table == Plausibility::yes ? Plausibility::no : table;
  }
  needed = video_start + video_size + audio - offset;
  return Plausibility::yes;
}

}  // namespace orvale
