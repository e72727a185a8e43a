#include "mux/codec_config.h"

#include <algorithm>

#include "streams/adts.h"
#include "streams/blockscan.h"
#include "streams/nal_census.h"
#include "streams/startcode.h"

namespace orvale {
namespace {

constexpr std::uint8_t kNalTypeSlice = 1;
constexpr std::uint8_t kAacLowComplexity = 2;
constexpr std::uint8_t kExplicitFrequency = 0x0F;

// The offset of the 01 of the first 00 00 01 whose 01 stands at or after
// `from` (at least 2), or the size: blocks without two zeros side by side
// are passed over as the filter passes them.
std::size_t next_code_end(std::span<const std::uint8_t> bytes, std::size_t from) {
  const std::size_t size = bytes.size();
  const PlainBlockSkip skip_plain = fastest_block_scanner().skip;
  std::size_t at = from;
  while (at < size) {
    at = skip_plain(bytes.data(), at, size);
    const std::size_t block_end = std::min(size, at + kScanBlock);
    for (; at < block_end; ++at) {
      if (bytes[at] == 1 && bytes[at - 1] == 0 && bytes[at - 2] == 0) {
        return at;
      }
    }
  }
  return size;
}

// The NAL units of an Annex B byte stream, each without its start code and
// the zeros that trail it; `take(unit)` returns false to stop. With
// `header_only`, a unit for which `header_only(header byte)` is true is handed
// over as its header byte alone, its end not looked for.
template <typename Take, typename HeaderOnly>
void for_each_unit(std::span<const std::uint8_t> annex_b, Take&& take, HeaderOnly&& header_only) {
  std::size_t code = next_code_end(annex_b, 2);
  while (code + 1 < annex_b.size()) {
    const std::size_t unit = code + 1;
    if (header_only(annex_b[unit])) {
      (void)take(annex_b.subspan(unit, 1));
      return;
    }
    const std::size_t next = next_code_end(annex_b, unit + 2);
    std::size_t end = next < annex_b.size() ? next - 2 : next;
    while (end > unit && annex_b[end - 1] == 0) {
      --end;
    }
    if (end > unit && !take(annex_b.subspan(unit, end - unit))) {
      return;
    }
    code = next;
  }
}

void put_length_prefixed(std::span<const std::uint8_t> unit, std::span<std::uint8_t> out,
                         LengthPrefixed& written) {
  written.idr = written.idr || (unit[0] & kNalTypeMask) == kNalTypeIdr;
  std::uint8_t* at = out.data() + written.size;
  for (int shift = 24; shift >= 0; shift -= 8) {
    *at++ = static_cast<std::uint8_t>(unit.size() >> shift);
  }
  std::copy(unit.begin(), unit.end(), at);
  written.size += 4 + unit.size();
}

void put_be16_sized(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> unit) {
  out.push_back(static_cast<std::uint8_t>(unit.size() >> 8));
  out.push_back(static_cast<std::uint8_t>(unit.size()));
  out.insert(out.end(), unit.begin(), unit.end());
}

bool is_slice(std::uint8_t header) {
  const std::uint8_t type = header & kNalTypeMask;
  return type == kNalTypeSlice || type == kNalTypeIdr;
}

}  // namespace

PictureOpening read_opening(std::span<const std::uint8_t> annex_b) {
  PictureOpening opening;
  // The first slice ends the look before its end is searched for: that
  // would read the whole picture.
  for_each_unit(
      annex_b,
      [&](std::span<const std::uint8_t> unit) {
        const std::uint8_t type = unit[0] & kNalTypeMask;
        if (type == kNalTypeSps && opening.sps.empty()) {
          opening.sps.assign(unit.begin(), unit.end());
        } else if (type == kNalTypePps && opening.pps.empty()) {
          opening.pps.assign(unit.begin(), unit.end());
        } else if (type == kNalTypeSlice || type == kNalTypeIdr) {
          opening.has_slice = true;
          opening.idr = type == kNalTypeIdr;
          opening.slice_at = static_cast<std::size_t>(unit.data() - annex_b.data());
          return false;
        }
        return true;
      },
      is_slice);
  return opening;
}

std::vector<std::uint8_t> avc_decoder_config(std::span<const std::uint8_t> sps,
                                             std::span<const std::uint8_t> pps) {
  // The header byte, then profile, constraint flags and level.
  constexpr std::size_t kSpsOpening = 4;
  if (sps.size() < kSpsOpening || sps.size() > 0xFFFF || pps.size() > 0xFFFF) {
    return {};
  }
  std::vector<std::uint8_t> config = {1,    sps[1], sps[2], sps[3],
                                      0xFF,   // 6 reserved bits, then lengths of 4 bytes
                                      0xE1};  // 3 reserved bits, then one SPS
  put_be16_sized(config, sps);
  config.push_back(pps.empty() ? 0 : 1);
  if (!pps.empty()) {
    put_be16_sized(config, pps);
  }
  return config;
}

std::size_t length_prefixed_size(std::span<const std::uint8_t> annex_b) {
  std::size_t size = 0;
  for_each_unit(
      annex_b,
      [&](std::span<const std::uint8_t> unit) {
        size += 4 + unit.size();
        return true;
      },
      [](std::uint8_t) { return false; });
  return size;
}

LengthPrefixed length_prefixed(std::span<const std::uint8_t> annex_b,
                              std::span<std::uint8_t> out) {
  LengthPrefixed written;
  for_each_unit(
      annex_b,
      [&](std::span<const std::uint8_t> unit) {
        put_length_prefixed(unit, out, written);
        return true;
      },
      [](std::uint8_t) { return false; });
  return written;
}

// for_each_unit()'s units, less those the filter drops; a unit of its header
// byte alone, which that hands over as nothing, still ends the dropping.
LengthPrefixed length_prefixed_kept(std::span<const std::uint8_t> chunk,
                                    std::span<std::uint8_t> out) {
  LengthPrefixed written;
  bool keeping_all = false;
  std::size_t code = next_code_end(chunk, 2);
  while (code + 1 < chunk.size()) {
    const std::size_t unit = code + 1;
    const std::uint8_t header = chunk[unit];
    const std::size_t next = next_code_end(chunk, unit + 2);
    keeping_all = keeping_all || header == 0;
    if (keeping_all || (header != kNalHeaderSei && header != kNalHeaderDelimiter)) {
      std::size_t end = next < chunk.size() ? next - 2 : next;
      while (end > unit && chunk[end - 1] == 0) {
        --end;
      }
      if (end > unit) {
        put_length_prefixed(chunk.subspan(unit, end - unit), out, written);
      }
    }
    code = next;
  }
  return written;
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
