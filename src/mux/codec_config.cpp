#include "mux/codec_config.h"

#include "streams/adts.h"
#include "streams/nal_census.h"
#include "streams/startcode.h"

namespace orvale {
namespace {

constexpr std::uint8_t kNalTypeSlice = 1;
constexpr std::uint8_t kAacLowComplexity = 2;
constexpr std::uint8_t kExplicitFrequency = 0x0F;

// The NAL units of an Annex B byte stream, each without its start code and
// the zeros that trail it.
template <typename Take>
void for_each_unit(std::span<const std::uint8_t> annex_b, Take&& take) {
  std::uint32_t start = 0;
  std::uint32_t skip = 0;
  std::uint8_t header = 0;
  find_nal(annex_b, 0, start, skip, header);
  while (skip != 0) {
    const std::uint32_t unit = start + skip - 1;
    std::uint32_t next = 0;
    std::uint32_t next_skip = 0;
    find_nal(annex_b, unit + 1, next, next_skip, header);
    std::uint32_t end = next;
    while (end > unit + 1 && annex_b[end - 1] == 0) {
      --end;
    }
    if (!take(annex_b.subspan(unit, end - unit))) {
      return;
    }
    start = next;
    skip = next_skip;
  }
}

void put_be32(std::vector<std::uint8_t>& out, std::size_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

void put_be16_sized(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> unit) {
  out.push_back(static_cast<std::uint8_t>(unit.size() >> 8));
  out.push_back(static_cast<std::uint8_t>(unit.size()));
  out.insert(out.end(), unit.begin(), unit.end());
}

}  // namespace

PictureOpening read_opening(std::span<const std::uint8_t> annex_b) {
  PictureOpening opening;
  for_each_unit(annex_b, [&](std::span<const std::uint8_t> unit) {
    const std::uint8_t type = unit[0] & kNalTypeMask;
    if (type == kNalTypeSps && opening.sps.empty()) {
      opening.sps.assign(unit.begin(), unit.end());
    } else if (type == kNalTypePps && opening.pps.empty()) {
      opening.pps.assign(unit.begin(), unit.end());
    } else if (type == kNalTypeSlice || type == kNalTypeIdr) {
      opening.has_slice = true;
      opening.idr = type == kNalTypeIdr;
      return false;
    }
    return true;
  });
  return opening;
}

std::vector<std::uint8_t> avc_decoder_config(std::span<const std::uint8_t> sps,
                                             std::span<const std::uint8_t> pps) {
  // The header byte, then profile, constraint flags and level.
  constexpr std::size_t kSpsOpening = 4;
  if (sps.size() < kSpsOpening || sps.size() > 0xFFFF || pps.size() > 0xFFFF) {
    return {};
  }
  std::vector<std::uint8_t> config = {1, sps[1], sps[2], sps[3],
                                      0xFF,  // 6 reserved bits, then lengths of 4 bytes
                                      0xE1};  // 3 reserved bits, then one SPS
  put_be16_sized(config, sps);
  config.push_back(pps.empty() ? 0 : 1);
  if (!pps.empty()) {
    put_be16_sized(config, pps);
  }
  return config;
}

bool length_prefixed(std::span<const std::uint8_t> annex_b, std::vector<std::uint8_t>& out) {
  out.clear();
  bool idr = false;
  for_each_unit(annex_b, [&](std::span<const std::uint8_t> unit) {
    idr = idr || (unit[0] & kNalTypeMask) == kNalTypeIdr;
    put_be32(out, unit.size());
    out.insert(out.end(), unit.begin(), unit.end());
    return true;
  });
  return idr;
}

std::vector<std::uint8_t> aac_audio_specific_config(std::uint32_t rate, std::uint8_t channels) {
  // 5 bits object type, 4 bits frequency index (or 15 and 24 bits of rate),
  // 4 bits channel configuration, then 3 zero bits of GASpecificConfig.
  std::uint64_t bits = kAacLowComplexity;
  int count = 5;
  const auto put = [&](std::uint64_t value, int width) {
    bits = bits << width | value;
    count += width;
  };
  if (is_adts_rate(rate)) {
    put(sampling_frequency_index(rate), 4);
  } else {
    put(kExplicitFrequency, 4);
    put(rate & 0xFFFFFF, 24);
  }
  put(channels & 0x0F, 4);
  put(0, 3);
  const int padding = (8 - count % 8) % 8;
  bits <<= padding;
  count += padding;
  std::vector<std::uint8_t> config;
  for (int shift = count - 8; shift >= 0; shift -= 8) {
    config.push_back(static_cast<std::uint8_t>(bits >> shift));
  }
  return config;
}

}  // namespace orvale
