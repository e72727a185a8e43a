#include "container/recognise.h"

#include <algorithm>
#include <new>

#include "container/le.h"
#include "streams/aac_elements.h"
#include "streams/adts.h"
#include "streams/startcode.h"

namespace orvale {
namespace {

// A packet whose fields need more than an index entry can say is not one.
constexpr std::uint64_t kMaxPacketLength = 0x7FFFFFFF;
// What a Peek reads at a time: a search moves on in small steps, and a
// packet's fields are a few bytes.
constexpr std::size_t kPeekStep = std::size_t{64} << 10;
// The bytes of an AAC frame looked at: enough for the fill and data stream
// elements an encoder opens a frame with.
constexpr std::size_t kAacLook = 1024;
constexpr std::uint8_t kForbiddenBit = 0x80;

Plausibility failed_read(const ByteSource& source) {
  return source.error() != 0 ? Plausibility::read_error : Plausibility::no;
}

// True when the video chunk at `offset` opens with a start code.
[[nodiscard]] Plausibility video_opens_with_start_code(ByteSource& source, std::uint64_t offset,
                                                       std::uint64_t video_size) {
  const auto bytes =
      source.at(offset, static_cast<std::size_t>(std::min<std::uint64_t>(video_size, 4)));
  if (bytes.empty()) {
    return failed_read(source);
  }
  return opens_with_start_code(bytes) ? Plausibility::yes : Plausibility::no;
}

// Sums the audio size table at `offset`, refusing a frame the stream kind
// cannot hold; stops early once the sum passes `most`.
[[nodiscard]] Plausibility sum_table(ByteSource& source, const FileHeader& header,
                                     std::uint64_t offset, std::uint64_t entries,
                                     std::uint64_t most, std::uint64_t& sum) {
  constexpr std::uint64_t kEntriesPerRead = Peek::kSize / kIndexEntrySize;
  for (std::uint64_t done = 0; done < entries && sum <= most;) {
    const std::uint64_t count = std::min(entries - done, kEntriesPerRead);
    const auto bytes = source.at(offset + done * kIndexEntrySize,
                                 static_cast<std::size_t>(count * kIndexEntrySize));
    if (bytes.size() < count * kIndexEntrySize) {
      return failed_read(source);
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

// Every start code in the video chunk [from, to) is followed by a NAL unit
// header with its forbidden bit clear. Pieces overlap by four bytes, so that
// a start code and its header byte always lie whole in one of them.
[[nodiscard]] Plausibility nal_headers_sound(ByteSource& source, std::uint64_t from,
                                             std::uint64_t to) {
  constexpr std::uint64_t kOverlap = 4;
  for (std::uint64_t at = from; at < to;) {
    const auto piece =
        source.at(at, static_cast<std::size_t>(std::min<std::uint64_t>(to - at, Peek::kSize)));
    if (piece.empty()) {
      return failed_read(source);
    }
    std::uint32_t start = 0;
    std::uint32_t skip = 0;
    std::uint8_t nal_header = 0;
    for (find_nal(piece, 0, start, skip, nal_header); skip != 0;
         find_nal(piece, start + skip, start, skip, nal_header)) {
      if ((nal_header & kForbiddenBit) != 0) {
        return Plausibility::no;
      }
    }
    if (at + piece.size() >= to || piece.size() <= kOverlap) {
      break;
    }
    at += piece.size() - kOverlap;
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
    const auto want = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::clamp(count, kPeekStep, kSize), file_size_ - offset));
    while (cached_ < want) {
      std::size_t got = 0;
      const std::span<std::uint8_t> into{cache_.get() + cached_, want - cached_};
      int error = platform::read_at(file_, base_ + cached_, into, got);
      if (error != 0) {
        error = read_past_damage(file_, base_ + cached_, file_size_, error, into, unreadable_, got);
      }
      if (error != 0 && cached_ >= count) {
        break;  // the bytes asked for arrived before the bad spot
      }
      if (error != 0) {
        error_ = error;
        return {};
      }
      if (got == 0) {
        break;  // the file shrank under the run
      }
      cached_ += got;
    }
  }
  const std::uint64_t available = base_ + cached_ > offset ? base_ + cached_ - offset : 0;
  return {cache_.get() + (offset - base_),
          static_cast<std::size_t>(std::min<std::uint64_t>(count, available))};
}

std::span<const std::uint8_t> ByteSource::at(std::uint64_t offset, std::size_t count) {
  const std::uint64_t position = window_.position();
  const auto held = window_.data();
  if (offset >= position && offset - position <= held.size()) {
    const std::uint64_t inside = held.size() - (offset - position);
    if (inside >= count || peek_ == nullptr) {
      return held.subspan(static_cast<std::size_t>(offset - position),
                          static_cast<std::size_t>(std::min<std::uint64_t>(count, inside)));
    }
  }
  return peek_ != nullptr ? peek_->at(offset, count) : std::span<const std::uint8_t>{};
}

Plausibility plausible_packet(ByteSource& source, const FileHeader& header, std::uint64_t offset,
                              std::uint64_t limit, bool allow_empty_video, std::uint64_t& needed) {
  if (offset > limit || limit - offset < kPacketFixedSize) {
    return Plausibility::no;
  }
  const auto fixed = source.at(offset, kPacketFixedSize);
  if (fixed.size() < kPacketFixedSize) {
    return failed_read(source);
  }
  const std::uint64_t entries = std::uint64_t{header.audio_stream_count} * fixed[0];
  const std::uint32_t video_size = read_le32(fixed, kVideoSizeOffset);
  const std::uint64_t video_start = offset + kPacketFixedSize + entries * kIndexEntrySize;
  if (video_start + video_size > limit) {
    return Plausibility::no;
  }
  if (video_size > 0) {
    const Plausibility video = video_opens_with_start_code(source, video_start, video_size);
    if (video != Plausibility::yes) {
      return video;
    }
  }
  std::uint64_t audio = 0;
  const std::uint64_t room = limit - video_start - video_size;
  const Plausibility table =
      sum_table(source, header, offset + kPacketFixedSize, entries, room, audio);
  if (table != Plausibility::yes || audio > room) {
    return table == Plausibility::yes ? Plausibility::no : table;
  }
  needed = video_start + video_size + audio - offset;
  if (needed > kMaxPacketLength) {
    return Plausibility::no;
  }
  if (video_size == 0 && audio == 0) {
    return Plausibility::empty;
  }
  return video_size > 0 || allow_empty_video ? Plausibility::yes : Plausibility::no;
}

Successor find_successor(ByteSource& source, const FileHeader& header, std::uint64_t after,
                         std::uint64_t& next, std::uint64_t& next_needed) {
  const std::uint64_t end = source.end();
  next_needed = 0;
  for (std::uint64_t at = after; at <= after + kMaxPadding && at <= end; ++at) {
    next = at;
    if (at == end) {
      return Successor::found;
    }
    switch (plausible_packet(source, header, at, end, true, next_needed)) {
      case Plausibility::yes:
        return Successor::found;
      case Plausibility::read_error:
        return Successor::read_error;
      case Plausibility::empty:
      case Plausibility::no:
        break;
    }
  }
  return Successor::none;
}

Plausibility packets_begin_at(ByteSource& source, const FileHeader& header, std::uint64_t offset,
                              std::uint64_t& needed) {
  const std::uint64_t end = source.end();
  // A packet without video is too easily read into stray bytes to start from.
  const Plausibility first = plausible_packet(source, header, offset, end, false, needed);
  if (first != Plausibility::yes) {
    return first == Plausibility::empty ? Plausibility::no : first;
  }
  std::uint64_t at = offset + needed;
  for (int packet = 0; packet < 2 && at < end; ++packet) {
    std::uint64_t next = 0;
    std::uint64_t next_needed = 0;
    switch (find_successor(source, header, at, next, next_needed)) {
      case Successor::none:
        return Plausibility::no;
      case Successor::read_error:
        return Plausibility::read_error;
      case Successor::found:
        break;
    }
    at = next + next_needed;
  }
  return Plausibility::yes;
}

Plausibility aac_frame_whole(ByteSource& source, std::uint64_t at, std::uint32_t length) {
  if (length == 0) {
    return Plausibility::yes;
  }
  const auto frame = source.at(at, std::min<std::size_t>(length, kAacLook));
  if (frame.size() < std::min<std::size_t>(length, kAacLook)) {
    return failed_read(source);
  }
  if (!opens_with_channel_element(frame, length)) {
    return Plausibility::no;
  }
  const std::size_t tail_size = std::min<std::size_t>(length, 2);
  const auto tail = source.at(at + length - tail_size, tail_size);
  if (tail.size() < tail_size) {
    return failed_read(source);
  }
  return closes_with_end_element(tail) ? Plausibility::yes : Plausibility::no;
}

Plausibility video_whole(ByteSource& source, const FileHeader& header, std::uint64_t offset) {
  const auto fixed = source.at(offset, kPacketFixedSize);
  if (fixed.size() < kPacketFixedSize) {
    return failed_read(source);
  }
  const std::uint64_t video_start =
      offset + kPacketFixedSize + std::uint64_t{header.audio_stream_count} * fixed[0] * 4;
  return nal_headers_sound(source, video_start, video_start + read_le32(fixed, kVideoSizeOffset));
}

Plausibility holds_whole_frames(ByteSource& source, const FileHeader& header, std::uint64_t offset,
                                std::uint64_t needed, std::string& fault) {
  const auto fixed = source.at(offset, kPacketFixedSize);
  if (fixed.size() < kPacketFixedSize) {
    return failed_read(source);
  }
  const std::uint32_t frames = fixed[0];
  const std::uint64_t video_start =
      offset + kPacketFixedSize + std::uint64_t{header.audio_stream_count} * frames * 4;
  const std::uint64_t video_end = video_start + read_le32(fixed, kVideoSizeOffset);
  const Plausibility video = nal_headers_sound(source, video_start, video_end);
  if (video != Plausibility::yes) {
    fault = "a NAL unit header of its video has the forbidden bit set";
    return video;
  }
  if (!header.is_aac()) {
    return Plausibility::yes;
  }
  std::uint64_t frame_at = video_end;
  for (std::uint32_t s = 0; s < header.extracted_streams(); ++s) {
    for (std::uint32_t j = 0; j < frames; ++j) {
      const std::uint64_t entry = offset + kPacketFixedSize + (std::uint64_t{s} * frames + j) * 4;
      const auto field = source.at(entry, 4);
      if (field.size() < 4) {
        return failed_read(source);
      }
      const std::uint32_t length = read_le32(field, 0);
      const Plausibility frame = aac_frame_whole(source, frame_at, length);
      if (frame != Plausibility::yes) {
        fault = "frame " + std::to_string(j) + " of audio stream " + std::to_string(s) +
                " is not a whole AAC frame";
        return frame;
      }
      frame_at += length;
    }
  }
  return frame_at <= offset + needed ? Plausibility::yes : Plausibility::no;
}

}  // namespace orvale
