#include "streams/startcode.h"

#include <cstring>

namespace orvale {
namespace {

void no_match(std::uint32_t length, std::uint32_t& start, std::uint32_t& skip,
              std::uint8_t& nal_header) {
  start = length;
  skip = 0;
  nal_header = 0;
}

}  // namespace

// Every start code ends in a 0x01 byte, so the search jumps from one 0x01 to
// the next with memchr and only then looks at the zeros before it. Taking the
// 0x01 bytes in order yields the candidate positions in order, and at each the
// 4-byte code (one zero further back) is the earlier position.
void find_nal(std::span<const std::uint8_t> chunk, std::uint32_t from, std::uint32_t& start,
              std::uint32_t& skip, std::uint8_t& nal_header) {
  const auto length = static_cast<std::uint32_t>(chunk.size());
  const std::uint8_t* bytes = chunk.data();
  if (from > length || length - from < 4) {
    no_match(length, start, skip, nal_header);
    return;
  }
  std::uint32_t one = from + 2;
  while (one < length) {
    const void* found = std::memchr(bytes + one, 0x01, length - one);
    if (found == nullptr) {
      break;
    }
    one = static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(found) - bytes);
    if (std::memcmp(bytes + one - 2, NAL_PRE3.data(), NAL_PRE3.size()) == 0) {
      if (one >= from + 3 && std::memcmp(bytes + one - 3, NAL_PRE4.data(), NAL_PRE4.size()) == 0) {
        const std::uint32_t at = one - 3;
        if (length - at == 4) {
          break;  // nothing follows the code: not a start code
        }
        start = at;
        skip = 5;
        nal_header = bytes[at + 4];
        return;
      }
      const std::uint32_t at = one - 2;
      if (length - at <= 3) {
        break;  // no header byte after the code
      }
      start = at;
      skip = 4;
      nal_header = bytes[at + 3];
      return;
    }
    ++one;
  }
  no_match(length, start, skip, nal_header);
}

}  // namespace orvale
