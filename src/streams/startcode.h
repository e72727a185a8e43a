// Scanning H.264 byte streams for start codes, and the filter that drops
// SEI units and access unit delimiters from one video chunk.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace orvale {

inline constexpr std::array<std::uint8_t, 3> NAL_PRE3 = {0x00, 0x00, 0x01};
inline constexpr std::array<std::uint8_t, 4> NAL_PRE4 = {0x00, 0x00, 0x00, 0x01};

inline constexpr std::uint8_t kNalHeaderSei = 0x06;
inline constexpr std::uint8_t kNalHeaderDelimiter = 0x09;

// Finds the first start code at or after `from` that has its NAL header byte
// inside `chunk`. On success `start` is the offset of the start code, `skip`
// its length plus one (4 or 5) and `nal_header` the byte after it. Without a
// match `start` is the chunk length and `skip` and `nal_header` are 0.
// Where 00 00 00 01 stands, the match is the 4-byte code at its first zero; a
// 4-byte code in the last four bytes of the chunk ends the search unmatched.
void find_nal(std::span<const std::uint8_t> chunk, std::uint32_t from, std::uint32_t& start,
              std::uint32_t& skip, std::uint8_t& nal_header);

// Calls `keep(offset, length)` for each run of the chunk that survives the
// filter, in order; the runs together are the filtered chunk. A unit is
// dropped from its start code up to the next start code (or the chunk's end)
// when its header byte is exactly 0x06 or 0x09. A unit with header byte 0x00
// ends the filtering: it and all after it are kept. Returns false as soon as
// `keep` does. Runs in time linear in the chunk length.
template <typename Keep>
bool for_each_kept_run(std::span<const std::uint8_t> chunk, Keep&& keep) {
  const auto length = static_cast<std::uint32_t>(chunk.size());
  std::uint32_t start = 0;
  std::uint32_t skip = 0;
  std::uint8_t nal_header = 0;
  std::uint32_t kept_from = 0;
  find_nal(chunk, 0, start, skip, nal_header);
  while (nal_header != 0) {
    if (nal_header == kNalHeaderSei || nal_header == kNalHeaderDelimiter) {
      if (start > kept_from && !keep(kept_from, start - kept_from)) {
        return false;
      }
      // The unit runs up to the next start code; that unit is tested in turn.
      find_nal(chunk, start + skip, start, skip, nal_header);
      kept_from = start;
    } else {
      find_nal(chunk, start + skip, start, skip, nal_header);
    }
  }
  return length == kept_from || keep(kept_from, length - kept_from);
}

}  // namespace orvale
