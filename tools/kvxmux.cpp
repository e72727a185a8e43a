// kvxmux: builds a kvxavc file from an H.264 Annex B stream and up to ten
// audio streams (ADTS AAC, or MP3). For tests and samples; not installed.
//
//   kvxmux [--rate HZ] [--fps RATE[:COUNT],...] OUTPUT.kvx VIDEO.264 [AUDIO ...]
//
// The header's audio rate is the sources' own (from the first ADTS or MP3
// header) unless --rate names another. Without --fps the audio frames are
// spread evenly over the pictures, and MP3 is cut into equal pieces. With
// --fps the file is laid out as a recorder lays it out: picture i has a time
// from the rate segments (RATE is N or N/D pictures a second, COUNT how many
// pictures run at it; the last segment runs on to the end), and its packet
// holds, in each stream, every audio frame whose first sample comes before
// picture i+1's time; the last packet takes the rest. MP3 is then cut into
// whole frames, and an ID3 tag around them is left out.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
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

// One audio stream as the packets carry it: its container entries, the
// samples each one starts at, and the rate its own headers give.
struct Audio {
  std::vector<Bytes> frames;
  std::vector<std::uint64_t> first_sample;
  std::uint32_t rate = 0;
};

constexpr std::array<std::uint32_t, 13> kAdtsRates = {96000, 88200, 64000, 48000, 44100,
                                                      32000, 24000, 22050, 16000, 12000,
                                                      11025, 8000,  7350};

// Raw AAC frames out of an ADTS stream, 1024 samples each.
bool adts_frames(const Bytes& stream, Audio& audio, std::string& problem) {
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
    const std::size_t rate_index = (stream[at + 2] >> 2) & 0x0F;
    if ((stream[at + 6] & 0x03) != 0) {
      problem = "ADTS frame at byte " + std::to_string(at) + " holds more than one raw block";
      return false;
    }
    if (length < header || length > stream.size() - at) {
      problem = "ADTS frame at byte " + std::to_string(at) + " has a bad length";
      return false;
    }
    if (rate_index >= kAdtsRates.size()) {
      problem = "ADTS frame at byte " + std::to_string(at) + " has no sample rate";
      return false;
    }
    if (audio.rate == 0) {
      audio.rate = kAdtsRates.at(rate_index);
    }
    audio.first_sample.push_back(1024 * static_cast<std::uint64_t>(audio.frames.size()));
    audio.frames.emplace_back(stream.begin() + static_cast<long>(at + header),
                              stream.begin() + static_cast<long>(at + length));
    at += length;
  }
  return true;
}

bool is_adts(const Bytes& stream) {
  return stream.size() >= 2 && stream[0] == 0xFF && (stream[1] & 0xF6) == 0xF0;
}

struct Mp3Frame {
  std::size_t length;
  std::uint32_t samples;
  std::uint32_t rate;
};

// The layer III frame whose header is at `at`, if one is.
std::optional<Mp3Frame> mp3_frame(const Bytes& stream, std::size_t at) {
  static constexpr std::array<std::uint32_t, 16> kMpeg1Kbps = {0,   32,  40,  48,  56,  64,
                                                               80,  96,  112, 128, 160, 192,
                                                               224, 256, 320, 0};
  static constexpr std::array<std::uint32_t, 16> kMpeg2Kbps = {0,  8,  16, 24,  32,  40,
                                                               48, 56, 64, 80,  96,  112,
                                                               128, 144, 160, 0};
  static constexpr std::array<std::uint32_t, 3> kMpeg1Rates = {44100, 48000, 32000};
  if (stream.size() - at < 4 || stream[at] != 0xFF || (stream[at + 1] & 0xE0) != 0xE0) {
    return std::nullopt;
  }
  const unsigned version = (stream[at + 1] >> 3) & 0x03;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
  const unsigned layer = (stream[at + 1] >> 1) & 0x03;    // 1: layer III
  const unsigned bitrate_index = stream[at + 2] >> 4;
  const unsigned rate_index = (stream[at + 2] >> 2) & 0x03;
  if (version == 1 || layer != 1 || rate_index == 3) {
    return std::nullopt;
  }
  const bool mpeg1 = version == 3;
  const std::uint32_t kbps = (mpeg1 ? kMpeg1Kbps : kMpeg2Kbps).at(bitrate_index);
  if (kbps == 0) {
    return std::nullopt;  // free format or a forbidden index
  }
  const std::uint32_t rate = kMpeg1Rates.at(rate_index) >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  const std::uint32_t samples = mpeg1 ? 1152 : 576;
  const std::size_t padding = (stream[at + 2] >> 1) & 0x01;
  return Mp3Frame{samples / 8 * kbps * 1000 / rate + padding, samples, rate};
}

// An ID3v2 tag before the first frame: its length, or 0.
std::size_t id3v2_length(const Bytes& stream) {
  if (stream.size() < 10 || stream[0] != 'I' || stream[1] != 'D' || stream[2] != '3') {
    return 0;
  }
  const std::size_t size = static_cast<std::size_t>(stream[6] & 0x7F) << 21 |
                           static_cast<std::size_t>(stream[7] & 0x7F) << 14 |
                           static_cast<std::size_t>(stream[8] & 0x7F) << 7 |
                           static_cast<std::size_t>(stream[9] & 0x7F);
  return std::min(stream.size(), 10 + size + ((stream[5] & 0x10) != 0 ? 10 : 0));
}

// Whole MP3 frames, one container entry each, found by their headers.
bool mp3_frames(const Bytes& stream, Audio& audio, std::string& problem) {
  std::size_t end = stream.size();
  if (end >= 128 && stream[end - 128] == 'T' && stream[end - 127] == 'A' &&
      stream[end - 126] == 'G') {
    end -= 128;  // an ID3v1 tag
  }
  std::uint64_t sample = 0;
  for (std::size_t at = id3v2_length(stream); at < end;) {
    const auto frame = mp3_frame(stream, at);
    if (!frame) {
      problem = "no MPEG audio layer III header at byte " + std::to_string(at);
      return false;
    }
    if (frame->length > end - at) {
      problem = "the MP3 frame at byte " + std::to_string(at) + " runs past the end";
      return false;
    }
    if (audio.rate != 0 && frame->rate != audio.rate) {
      problem = "the MP3 frame at byte " + std::to_string(at) + " is at " +
                std::to_string(frame->rate) + " Hz, the first at " + std::to_string(audio.rate);
      return false;
    }
    audio.rate = frame->rate;
    audio.first_sample.push_back(sample);
    sample += frame->samples;
    audio.frames.emplace_back(stream.begin() + static_cast<long>(at),
                              stream.begin() + static_cast<long>(at + frame->length));
    at += frame->length;
  }
  return true;
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

// The rate of a plain MP3 source: that of its first frame.
std::uint32_t mp3_rate(const Bytes& stream) {
  const std::size_t at = id3v2_length(stream);
  const auto frame = at < stream.size() ? mp3_frame(stream, at) : std::nullopt;
  return frame ? frame->rate : 0;
}

struct Segment {
  std::uint64_t num;    // pictures a second are num / den
  std::uint64_t den;
  std::uint64_t count;  // pictures at this rate; 0 for the last segment: the rest
};

struct Options {
  std::optional<std::uint32_t> rate;
  std::vector<Segment> fps;
  std::string output;
  std::string video;
  std::vector<std::string> audio;
};

bool parse_number(const std::string& text, std::uint64_t& value) {
  constexpr std::uint64_t kLargest = 1000000;
  char* end = nullptr;
  value = std::strtoull(text.c_str(), &end, 10);
  return !text.empty() && std::isdigit(static_cast<unsigned char>(text[0])) != 0 &&
         *end == '\0' && value > 0 && value <= kLargest;
}

// "30:120,15", "30000/1001".
bool parse_fps(const std::string& text, std::vector<Segment>& segments) {
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t comma = std::min(text.find(',', at), text.size());
    const std::string item = text.substr(at, comma - at);
    const std::size_t colon = std::min(item.find(':'), item.size());
    const std::string rate = item.substr(0, colon);
    const std::size_t slash = std::min(rate.find('/'), rate.size());
    Segment segment{0, 1, 0};
    if (!parse_number(rate.substr(0, slash), segment.num) ||
        (slash < rate.size() && !parse_number(rate.substr(slash + 1), segment.den)) ||
        (colon < item.size() && !parse_number(item.substr(colon + 1), segment.count)) ||
        (colon == item.size() && comma != text.size())) {
      return false;
    }
    segments.push_back(segment);
    at = comma + 1;
  }
  return true;
}

constexpr const char* kUsage =
    "usage: kvxmux [--rate HZ] [--fps RATE[:COUNT],...] OUTPUT.kvx VIDEO.264 [AUDIO ...] "
    "(at most 10 audio files)";

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
    } else if (arg == "--fps" && i + 1 < argc) {
      if (!parse_fps(argv[++i], options.fps)) {
        problem = "--fps takes RATE[:COUNT],... (RATE N or N/D up to 1000000, COUNT pictures; "
                  "only the last segment may go without a count), not " +
                  std::string(argv[i]);
        return false;
      }
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() < 2 || positional.size() > 2 + kMaxAudio) {
    problem = kUsage;
    return false;
  }
  options.output = positional[0];
  options.video = positional[1];
  options.audio.assign(positional.begin() + 2, positional.end());
  return true;
}

// Reads the audio sources, cut as the layout needs, and sets the file's
// format and rate.
bool load_audio(const Options& options, kvx::File& file, std::vector<Audio>& streams,
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
    Audio& audio = streams.emplace_back();
    if (!aac && options.fps.empty()) {
      audio.frames = pieces(raw[s], most);
      audio.rate = mp3_rate(raw[s]);
    } else if (!(aac ? adts_frames(raw[s], audio, problem) : mp3_frames(raw[s], audio, problem))) {
      problem.insert(0, options.audio[s] + ": ");
      return false;
    }
    if (audio.rate != streams.front().rate) {
      problem = options.audio[s] + ": at " + std::to_string(audio.rate) + " Hz, " +
                options.audio[0] + " at " + std::to_string(streams.front().rate) +
                " Hz; a recording has one audio rate";
      return false;
    }
  }
  file.audio_rate = options.rate.value_or(streams.empty() || streams.front().rate == 0
                                              ? 44100
                                              : streams.front().rate);
  return true;
}

// How many of each stream's frames go in each packet: spread evenly.
bool even_layout(const std::vector<Audio>& streams, std::size_t pictures,
                 std::vector<std::size_t>& ends, std::string& problem) {
  const std::size_t frames = streams.empty() ? 0 : streams.front().frames.size();
  for (std::size_t s = 1; s < streams.size(); ++s) {
    if (streams[s].frames.size() != frames) {
      problem = "audio stream " + std::to_string(s) + " has " +
                std::to_string(streams[s].frames.size()) + " frames, stream 0 " +
                std::to_string(frames) + "; every packet needs the same count in each stream";
      return false;
    }
  }
  if (frames > kMaxFramesPerPacket * pictures) {
    problem = std::to_string(frames) + " audio frames do not fit in " + std::to_string(pictures) +
              " packets of at most 255 frames a stream";
    return false;
  }
  for (std::size_t i = 0; i < pictures; ++i) {
    ends.push_back((i + 1) * frames / pictures);
  }
  return true;
}

// Products of numbers from the command line and the sources, which could
// overflow with extreme ones; the caller says so instead.
bool multiply(std::uint64_t a, std::uint64_t b, std::uint64_t& product) {
  return !__builtin_mul_overflow(a, b, &product);
}

// Picture times in ticks of 1 / ticks_per_second seconds, one more than
// there are pictures: the last is where the last picture ends.
bool picture_times(const std::vector<Segment>& segments, std::size_t pictures,
                   std::uint64_t ticks_per_second, std::vector<std::uint64_t>& times) {
  times = {0};
  std::size_t segment = 0;
  std::uint64_t left = segments.front().count;
  for (std::size_t i = 0; i < pictures; ++i) {
    if (left == 0 && segment + 1 < segments.size()) {
      left = segments[++segment].count;
    }
    left -= left > 0 ? 1 : 0;
    const Segment& s = segments[segment];
    std::uint64_t step = 0;
    if (!multiply(s.den, ticks_per_second / s.num, step) ||
        __builtin_add_overflow(times.back(), step, &times.emplace_back())) {
      return false;
    }
  }
  return true;
}

// As a recorder lays packets out: picture i carries every frame whose first
// sample comes before picture i+1's time, the last picture all that is left.
bool timed_layout(const std::vector<Audio>& streams, std::size_t pictures,
                  const std::vector<Segment>& segments, std::uint32_t rate,
                  std::vector<std::size_t>& ends, std::string& problem) {
  std::uint64_t ticks_per_second = 1;
  std::vector<std::uint64_t> times;
  std::uint64_t product = 0;
  bool fits = true;
  for (const Segment& s : segments) {
    fits = fits && multiply(ticks_per_second / std::gcd(ticks_per_second, s.num), s.num,
                            ticks_per_second);
  }
  for (const Audio& audio : streams) {
    fits = fits && (audio.first_sample.empty() ||
                    multiply(audio.first_sample.back(), ticks_per_second, product));
  }
  if (!fits || !picture_times(segments, pictures, ticks_per_second, times) ||
      !multiply(times.back(), rate, product)) {
    problem = "the picture times overflow 64 bits; give --fps smaller numbers";
    return false;
  }
  std::vector<std::size_t> next(streams.size(), 0);
  for (std::size_t i = 0; i < pictures; ++i) {
    const std::uint64_t before = times[i + 1] * rate;  // in ticks * rate, as sample * ticks
    for (std::size_t s = 0; s < streams.size(); ++s) {
      const Audio& audio = streams[s];
      std::size_t& k = next[s];
      while (k < audio.frames.size() &&
             (i + 1 == pictures || audio.first_sample[k] * ticks_per_second < before)) {
        ++k;
      }
      if (k != next[0]) {
        problem = "audio stream " + std::to_string(s) + " and stream 0 end apart (" +
                  std::to_string(audio.frames.size()) + " and " +
                  std::to_string(streams[0].frames.size()) +
                  " frames); every packet carries the same number of frames in each stream";
        return false;
      }
    }
    const std::size_t end = streams.empty() ? 0 : next[0];
    const std::size_t count = end - (ends.empty() ? 0 : ends.back());
    if (count > kMaxFramesPerPacket) {
      problem = "packet " + std::to_string(i) + " would hold " + std::to_string(count) +
                " audio frames a stream, and a packet holds at most 255: " +
                (i + 1 == pictures ? "the audio runs on long past the last picture"
                                   : "the pictures are too far apart; raise --fps");
      return false;
    }
    ends.push_back(end);
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
  file.audio_stream_count = static_cast<std::uint32_t>(options.audio.size());
  std::vector<Audio> streams;
  std::vector<std::size_t> ends;
  if (!load_audio(options, file, streams, problem) ||
      !(options.fps.empty()
            ? even_layout(streams, units.size(), ends, problem)
            : timed_layout(streams, units.size(), options.fps, file.audio_rate, ends, problem))) {
    return false;
  }
  for (std::size_t i = 0; i < units.size(); ++i) {
    kvx::Packet packet;
    packet.video.assign(video->begin() + static_cast<long>(units[i].bytes.begin),
                        video->begin() + static_cast<long>(units[i].bytes.end));
    packet.key = units[i].key;
    const std::size_t first = i == 0 ? 0 : ends[i - 1];
    for (const auto& stream : streams) {
      packet.audio.emplace_back(stream.frames.begin() + static_cast<long>(first),
                                stream.frames.begin() + static_cast<long>(ends[i]));
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
