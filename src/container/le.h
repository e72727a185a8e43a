#pragma once

#include <cstdint>
#include <span>

namespace orvale {

// Reads the little-endian 32-bit field at `offset`; the caller has checked that
// four bytes stand there. Byte by byte, since fields need not be aligned.
[[nodiscard]] inline std::uint32_t read_le32(std::span<const std::uint8_t> bytes,
                                             std::uint64_t offset) {
  const auto at = static_cast<std::size_t>(offset);
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

}  // namespace orvale
