// kvxmux: builds a kvxavc file from an H.264 Annex B stream and up to ten
// audio streams (ADTS AAC, or MP3). For tests and samples; not installed.
//
//   kvxmux [--rate HZ] OUTPUT.kvx VIDEO.264 [AUDIO ...]
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "kvxwrite.h"

namespace {

using kvx::Bytes;

constexpr std::size_t kMaxAudio = 10;
constexpr std::size_t kMp3PieceSize = 418;
constexpr std::size_t kMaxFramesPerPacket = 255;

struct Span {
  std::size_t begin;
  std::size_t end;
};

std::optional<Bytes> read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// NAL units as [start of start code, start of next start code); a zero before
// 00 00 01 belongs to the 4-byte code.
std::vector<Span> nal_units(const Bytes& stream) {
  std::vector<Span> units;
  for (std::size_t i = 0; i + 3 <= stream.size(); ++i) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      const std::size_t begin = (i > 0 && stream[i - 1] == 0) ? i - 1 : i;
      if (!units.empty()) {
        units.back().end = begin;
      }
      units.push_back({begin, stream.size()});
      i += 2;
    }
  }
  return units;
}

std::size_t header_offset(const Bytes& stream, Span unit) {
  return unit.begin + (stream[unit.begin + 2] == 1 ? 3 : 4);
}

// Access units, split where H.264 says a new one begins: at a delimiter, or
// at the first non-VCL unit or first slice of a picture after the last slice.
struct AccessUnit {
  Span bytes;
  bool key;
};

std::vector<AccessUnit> access_units(const Bytes& stream, std::string& problem) {
  std::vector<AccessUnit> units;
  bool seen_slice = false;
  for (const Span nal : nal_units(stream)) {
    const std::size_t at = header_offset(stream, nal);
    if (at >= nal.end) {
      continue;  // a start code with nothing behind it
    }
    const int type = stream[at] & 0x1F;
    const bool slice = type == 1 || type == 5;
    const bool first_slice = slice && at + 1 < nal.end && (stream[at + 1] & 0x80) != 0;
    const bool opens_unit = type == 6 || type == 7 || type == 8 || (type >= 14 && type <= 18);
    if (units.empty() || type == 9 || (seen_slice && (opens_unit || first_slice))) {
      units.push_back({nal, false});
      seen_slice = false;
    }
    units.back().bytes.end = nal.end;
    units.back().key = units.back().key || type == 5;
    seen_slice = seen_slice || slice;
  }
  if (units.empty()) {
    problem = "no H.264 start code found";
  }
  return units;
}

// Raw AAC frames out of an ADTS stream.
bool adts_frames(const Bytes& stream, std::vector<Bytes>& frames, std::string& problem) {
  std::size_t at = 0;
  while (at < stream.size()) {
    if (stream.size() - at < 7 || stream[at] != 0xFF || (stream[at + 1] & 0xF6) != 0xF0) {
      problem = "no ADTS header at byte " + std::to_string(at);
      return false;
    }
    const std::size_t header = (stream[at + 1] & 0x01) != 0 ? 7 : 9;
    const std::size_t length = (static_cast<std::size_t>(stream[at + 3] & 0x03) << 11) |
                               static_cast<std::size_t>(stream[at + 4]) << 3 |
                               static_cast<std::size_t>(stream[at + 5]) >> 5;
    if ((stream[at + 6] & 0x03) != 0) {
      problem = "ADTS frame at byte " + std::to_string(at) + " holds more than one raw block";
      return false;
    }
    if (length < header || length > stream.size() - at) {
      problem = "ADTS frame at byte " + std::to_string(at) + " has a bad length";
      return false;
    }
    frames.emplace_back(stream.begin() + static_cast<long>(at + header),
                        stream.begin() + static_cast<long>(at + length));
    at += length;
  }
  return true;
}

bool is_adts(const Bytes& stream) {
  return stream.size() >= 2 && stream[0] == 0xFF && (stream[1] & 0xF6) == 0xF0;
}

// MP3 goes out exactly as it comes in, so any cut works; equal pieces keep
// every stream at the same count.
std::vector<Bytes> pieces(const Bytes& stream, std::size_t count) {
  std::vector<Bytes> out(count);
  const std::size_t size = (stream.size() + count - 1) / count;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t begin = std::min(stream.size(), i * size);
    const std::size_t end = std::min(stream.size(), begin + size);
    out[i].assign(stream.begin() + static_cast<long>(begin),
                  stream.begin() + static_cast<long>(end));
  }
  return out;
}

struct Options {
  std::uint32_t rate = 44100;
  std::string output;
  std::string video;
  std::vector<std::string> audio;
};

bool parse_options(int argc, char** argv, Options& options, std::string& problem) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rate" && i + 1 < argc) {
      char* end = nullptr;
      const unsigned long rate = std::strtoul(argv[++i], &end, 10);
      if (*end != '\0' || rate == 0 || rate > 0xFFFFFFFFUL) {
        problem = "--rate takes a sample rate in Hz";
        return false;
      }
      options.rate = static_cast<std::uint32_t>(rate);
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() < 2 || positional.size() > 2 + kMaxAudio) {
    problem = "usage: kvxmux [--rate HZ] OUTPUT.kvx VIDEO.264 [AUDIO ...] (at most 10 audio files)";
    return false;
  }
  options.output = positional[0];
  options.video = positional[1];
  options.audio.assign(positional.begin() + 2, positional.end());
  return true;
}

bool load_audio(const Options& options, kvx::File& file, std::vector<std::vector<Bytes>>& streams,
                std::string& problem) {
  std::vector<Bytes> raw;
  for (const auto& path : options.audio) {
    auto bytes = read_all(path);
    if (!bytes) {
      problem = "cannot read " + path;
      return false;
    }
    raw.push_back(std::move(*bytes));
  }
  const bool aac = !raw.empty() && is_adts(raw.front());
  file.audio_format = aac || raw.empty() ? kvx::kFormatAac : kvx::kFormatMp3;
  std::size_t most = 1;
  for (std::size_t s = 0; s < raw.size(); ++s) {
    if (is_adts(raw[s]) != aac) {
      problem = options.audio[s] + ": all audio streams must be AAC (ADTS) or all MP3";
      return false;
    }
    most = std::max(most, (raw[s].size() + kMp3PieceSize - 1) / kMp3PieceSize);
  }
  for (std::size_t s = 0; s < raw.size(); ++s) {
    streams.emplace_back();
    if (!aac) {
      streams.back() = pieces(raw[s], most);
    } else if (!adts_frames(raw[s], streams.back(), problem)) {
      problem.insert(0, options.audio[s] + ": ");
      return false;
    }
    if (streams.back().size() != streams.front().size()) {
      problem = options.audio[s] + ": has " + std::to_string(streams.back().size()) +
                " frames, the first stream " + std::to_string(streams.front().size()) +
                "; every packet needs the same count in each stream";
      return false;
    }
  }
  return true;
}

bool mux(const Options& options, std::string& problem) {
  const auto video = read_all(options.video);
  if (!video) {
    problem = "cannot read " + options.video;
    return false;
  }
  const std::vector<AccessUnit> units = access_units(*video, problem);
  if (units.empty()) {
    problem.insert(0, options.video + ": ");
    return false;
  }
  kvx::File file;
  file.audio_rate = options.rate;
  file.audio_stream_count = static_cast<std::uint32_t>(options.audio.size());
  std::vector<std::vector<Bytes>> streams;
  if (!load_audio(options, file, streams, problem)) {
    return false;
  }
  const std::size_t frames = streams.empty() ? 0 : streams.front().size();
  if (frames > kMaxFramesPerPacket * units.size()) {
    problem = "too many audio frames for " + std::to_string(units.size()) + " video access units";
    return false;
  }
  for (std::size_t i = 0; i < units.size(); ++i) {
    kvx::Packet packet;
    packet.video.assign(video->begin() + static_cast<long>(units[i].bytes.begin),
                        video->begin() + static_cast<long>(units[i].bytes.end));
    packet.key = units[i].key;
    const std::size_t first = i * frames / units.size();
    const std::size_t last = (i + 1) * frames / units.size();
    for (const auto& stream : streams) {
      packet.audio.emplace_back(stream.begin() + static_cast<long>(first),
                                stream.begin() + static_cast<long>(last));
    }
    file.packets.push_back(std::move(packet));
  }
  Bytes out;
  if (!kvx::encode_file(file, out, problem)) {
    return false;
  }
  std::ofstream stream(options.output, std::ios::binary | std::ios::trunc);
  stream.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  stream.close();
  if (!stream) {
    problem = "cannot write " + options.output;
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string problem;
  if (!parse_options(argc, argv, options, problem) || !mux(options, problem)) {
    std::fprintf(stderr, "kvxmux: %s\n", problem.c_str());
    return 1;
  }
  return 0;
}
