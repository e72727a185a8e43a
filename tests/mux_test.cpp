// What MP4 and Matroska files are made of beside the frames: codec
// configurations, NAL units behind lengths, MP3 cut at its headers, and the
// times each picture gets.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "mux/clock.h"
#include "mux/codec_config.h"
#include "mux/ffmpeg_api.h"
#include "mux/picture_blocks.h"
#include "mux/plan.h"
#include "streams/mp3_frames.h"
#include "streams/output.h"
#include "streams/startcode.h"
#include "support.h"

namespace {

using namespace orvale;

using Bytes = std::vector<std::uint8_t>;

struct ConfigCase {
  std::uint32_t rate;
  std::uint8_t channels;
  Bytes config;
};

TEST(AudioSpecificConfig, SaysLcTheRateAndTheChannels) {
  for (const ConfigCase& c : std::vector<ConfigCase>{
           {44100, 2, {0x12, 0x10}},
           {48000, 1, {0x11, 0x88}},
           {16000, 2, {0x14, 0x10}},
           // No index for 37800 Hz: written out in 24 bits.
           {37800, 2, {0x17, 0x80, 0x49, 0xD4, 0x10}},
       }) {
    EXPECT_EQ(aac_audio_specific_config(c.rate, c.channels), c.config) << c.rate;
  }
}

const Bytes kSps = {0x67, 0x64, 0x00, 0x1F, 0xAC, 0xD9};
const Bytes kPps = {0x68, 0xEB, 0xE3};

TEST(DecoderConfig, HoldsProfileLevelAndBothSets) {
  const Bytes config = avc_decoder_config(kSps, kPps);
  const Bytes expected = {1,    0x64, 0x00, 0x1F, 0xFF, 0xE1, 0, 6,    0x67, 0x64,
                          0x00, 0x1F, 0xAC, 0xD9, 1,    0,    3, 0x68, 0xEB, 0xE3};
  EXPECT_EQ(config, expected);
  EXPECT_TRUE(avc_decoder_config(Bytes{0x67, 0x64}, kPps).empty());
}

// Converts into a buffer of the size found beforehand, with guard bytes
// behind it that must stay untouched.
Bytes prefixed(const Bytes& annex_b, bool& idr) {
  const std::size_t size = length_prefixed_size(annex_b);
  Bytes out(size + 8, 0xEE);
  const LengthPrefixed written = length_prefixed(annex_b, out);
  EXPECT_EQ(written.size, size);
  EXPECT_TRUE(std::all_of(out.end() - 8, out.end(), [](std::uint8_t b) { return b == 0xEE; }));
  out.resize(written.size);
  idr = written.idr;
  return out;
}

TEST(LengthPrefixed, EachUnitBehindItsLengthWithoutTrailingZeros) {
  // Junk before the first code, a 4-byte and a 3-byte code, zeros that
  // trail a unit before the next code.
  const Bytes annex_b = {0xAA, 0,    0,    0, 1, 0x67, 0x64, 0,    0,    0, 0,
                         1,    0x68, 0xEB, 0, 0, 1,    0x65, 0x88, 0x80, 0, 0};
  bool idr = false;
  const Bytes expected = {0,    0,    0, 2, 0x67, 0x64, 0,    0,    0,   2,
                          0x68, 0xEB, 0, 0, 0,    3,    0x65, 0x88, 0x80};
  EXPECT_EQ(prefixed(annex_b, idr), expected);
  EXPECT_TRUE(idr);
  EXPECT_EQ(prefixed(Bytes{0, 0, 1, 0x41, 0x9A}, idr), (Bytes{0, 0, 0, 2, 0x41, 0x9A}));
  EXPECT_FALSE(idr);
  EXPECT_TRUE(prefixed(Bytes{0x41, 0x9A, 0, 0}, idr).empty());
}

// The buffer is sized before the picture is converted: on pictures of every
// shape, units of one byte behind 3-byte codes among them, the size found
// is what is written, and each unit comes out whole behind its length.
TEST(LengthPrefixed, WritesExactlyTheSizeFoundBeforehand) {
  std::mt19937 random(7);
  for (int round = 0; round < 500; ++round) {
    Bytes annex_b;
    std::size_t units = 0;
    const int count = static_cast<int>(random() % 12);
    for (int u = 0; u < count; ++u) {
      if (random() % 2 == 0) {
        annex_b.push_back(0);
      }
      annex_b.insert(annex_b.end(), {0, 0, 1});
      const std::size_t length = 1 + random() % 6;
      for (std::size_t b = 0; b < length; ++b) {
        annex_b.push_back(static_cast<std::uint8_t>(0x40 + random() % 0x40));
      }
      ++units;
    }
    bool idr = false;
    const Bytes out = prefixed(annex_b, idr);
    std::size_t read = 0;
    std::size_t found = 0;
    while (read + 4 <= out.size()) {
      read += 4 + (std::size_t{out[read + 2]} << 8 | out[read + 3]);
      ++found;
    }
    EXPECT_EQ(read, out.size());
    EXPECT_EQ(found, units);
  }
}

// A whole chunk is filtered and rewritten in one look at each byte: on
// chunks of zeros, start codes, SEI units, delimiters, units of header 0x00
// and junk, cut anywhere, that gives what filtering, then rewriting what
// the filter kept gives, and stays within its bound.
TEST(LengthPrefixed, AWholeChunkGivesWhatTheFilterThenTheRewriteGive) {
  std::mt19937 random(9);
  const std::array<std::uint8_t, 9> alphabet = {0, 0, 0, 1, 0x06, 0x09, 0x65, 0x41, 0x80};
  for (int round = 0; round < 20000; ++round) {
    Bytes chunk(random() % 40);
    for (auto& byte : chunk) {
      byte = alphabet[random() % alphabet.size()];
    }
    Bytes kept;
    auto keep = [&](std::span<const std::uint8_t> run) {
      kept.insert(kept.end(), run.begin(), run.end());
      return true;
    };
    ASSERT_TRUE(filter_chunk(chunk, keep));
    Bytes expected(length_prefixed_size(kept));
    const LengthPrefixed model = length_prefixed(kept, expected);
    Bytes out(length_prefixed_bound(chunk.size()));
    const LengthPrefixed written = length_prefixed_kept(chunk, out);
    out.resize(written.size);
    ASSERT_EQ(out, expected) << "round " << round;
    ASSERT_EQ(written.idr, model.idr) << "round " << round;
  }
}

// Pictures gathered into blocks as libavformat takes them, some in two parts
// and some larger than a block: one it still holds keeps its bytes while
// later ones fill other blocks, and the output sends each as gathered.
TEST(PictureBlocks, KeepWhatIsHeldAndSendEveryPictureAsGathered) {
  std::string why;
  const FfmpegApi* api = ffmpeg(why);
  ASSERT_NE(api, nullptr) << why;
  testing_support::ScratchDir dir;
  platform::File file = platform::kNoFile;
  ASSERT_EQ(platform::create_new(dir.path("out"), nullptr, file), 0);
  Output output;
  ASSERT_TRUE(output.attach(file, "out"));
  Bytes sent;
  std::vector<std::pair<AVBufferRef*, Bytes>> held;
  {
    PictureBlocks blocks;
    blocks.attach(*api, output);
    std::mt19937 random(5);
    for (int p = 0; p < 60; ++p) {
      Bytes picture(p % 11 == 0 ? (3u << 20) / 2 : 3000 + random() % 300000);
      std::generate(picture.begin(), picture.end(), [&] { return random(); });
      const std::size_t first = p % 7 == 0 ? picture.size() / 3 : 0;
      for (const std::size_t part : {first, picture.size() - first}) {
        const std::span<std::uint8_t> room = blocks.room(part);
        ASSERT_EQ(room.size(), part);
        std::copy_n(picture.begin() + static_cast<std::ptrdiff_t>(blocks.gathered()), part,
                    room.begin());
        blocks.grew(part);
      }
      AVBufferRef* buffer = blocks.take();
      ASSERT_NE(buffer, nullptr);
      ASSERT_TRUE(blocks.holds(buffer->data, picture.size()));
      ASSERT_TRUE(output.write({buffer->data, picture.size()}));
      sent.insert(sent.end(), picture.begin(), picture.end());
      held.emplace_back(buffer, p % 3 == 0 ? picture : Bytes{});  // every third held a while
      for (auto it = held.begin(); it != held.end();) {
        const bool let_go = it->second.empty() || held.size() > 6 || p == 59;
        EXPECT_TRUE(std::equal(it->second.begin(), it->second.end(), it->first->data)) << p;
        it = let_go ? (api->av_buffer_unref(&it->first), held.erase(it)) : std::next(it);
      }
    }
    ASSERT_TRUE(output.flush());
  }
  ASSERT_TRUE(output.close());
  EXPECT_EQ(testing_support::read_file(dir.path("out")), sent);
}

TEST(PictureOpening, FindsTheSetsAndStopsAtTheFirstSlice) {
  Bytes annex_b = {0, 0, 0, 1};
  annex_b.insert(annex_b.end(), kSps.begin(), kSps.end());
  annex_b.insert(annex_b.end(), {0, 0, 1, 0x06, 0x05, 0, 0, 1});
  annex_b.insert(annex_b.end(), kPps.begin(), kPps.end());
  annex_b.insert(annex_b.end(), {0, 0, 1, 0x65, 0x88, 0, 0, 1, 0x67, 0x42});
  const PictureOpening opening = read_opening(annex_b);
  EXPECT_EQ(opening.sps, kSps);
  EXPECT_EQ(opening.pps, kPps);
  EXPECT_TRUE(opening.idr);
  EXPECT_TRUE(opening.has_slice);
  EXPECT_EQ(opening.slice_at, annex_b.size() - 7);
  EXPECT_FALSE(read_opening(Bytes{0, 0, 1, 0x41, 0x9A}).idr);
  EXPECT_FALSE(read_opening(kPps).has_slice);
}

// The first pass keeps only a picture's opening; SEI units of any length
// before the slice are part of it.
TEST(PictureOpening, TheFirstPassSeesASliceBehindLongSeiUnits) {
  for (const std::size_t sei : {std::size_t{10}, std::size_t{5000}, std::size_t{70000}}) {
    Bytes annex_b = {0, 0, 0, 1, 0x06};
    annex_b.resize(annex_b.size() + sei, 0x5A);
    annex_b.insert(annex_b.end(), {0, 0, 1, 0x65, 0x88});
    annex_b.resize(annex_b.size() + 3000, 0x11);
    const FileHeader header;
    RecordingClock clock;
    ClockSink sink(header, clock, nullptr);
    ASSERT_TRUE(sink.video(annex_b) && sink.packet_end(0));
    // Past the look at a chunk's first 64 KiB the slice is not seen.
    EXPECT_EQ(clock.packets.at(0).picture, sei < 65536) << sei;
    EXPECT_EQ(clock.packets.at(0).idr, sei < 65536) << sei;
  }
}

// MPEG-1 layer III, 128 kbit/s, 44100 Hz, stereo: 417 bytes, or 418 padded.
Bytes mp3_frame(bool padded, std::uint8_t fill) {
  Bytes frame(padded ? 418 : 417, fill);
  frame[0] = 0xFF;
  frame[1] = 0xFB;
  frame[2] = padded ? 0x92 : 0x90;
  frame[3] = 0x00;
  return frame;
}

TEST(Mp3Cutter, GivesTheSameWholeFramesWhereverTheStreamIsCut) {
  Bytes stream = {0x49, 0x44};  // bytes before the first frame are passed over
  std::vector<Bytes> frames;
  for (int i = 0; i < 6; ++i) {
    frames.push_back(mp3_frame(i % 3 == 1, static_cast<std::uint8_t>(i)));
    stream.insert(stream.end(), frames.back().begin(), frames.back().end());
  }
  stream.resize(stream.size() - 10);  // the last frame cut short is not given
  frames.pop_back();
  std::mt19937 random(7);
  for (int trial = 0; trial < 50; ++trial) {
    Mp3Cutter cutter;
    std::vector<Bytes> got;
    std::size_t at = 0;
    while (at < stream.size()) {
      const std::size_t piece = std::min<std::size_t>(stream.size() - at, 1 + random() % 700);
      cutter.feed(std::span(stream).subspan(at, piece),
                  [&](std::span<const std::uint8_t> frame, const Mp3Header& header) {
                    EXPECT_EQ(header.samples, 1152U);
                    EXPECT_EQ(header.rate, 44100U);
                    EXPECT_EQ(header.channels, 2U);
                    got.emplace_back(frame.begin(), frame.end());
                  });
      at += piece;
    }
    ASSERT_EQ(got, frames) << "trial " << trial;
  }
}

// Pictures in decode order with their picture order counts, IDR pictures
// starting each run anew; no audio, so the times are those of the rate.
RecordingClock clock_of(const std::vector<std::pair<std::int32_t, bool>>& pictures,
                        const std::vector<std::uint32_t>& numbers = {}) {
  RecordingClock clock;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    PacketClock packet;
    packet.number = numbers.empty() ? static_cast<std::uint32_t>(i) : numbers[i];
    packet.picture = true;
    packet.order = pictures[i].first;
    packet.idr = pictures[i].second;
    clock.packets.push_back(packet);
  }
  return clock;
}

constexpr std::int64_t kStep30 = kTicksPerSecond / 30;

TEST(Plan, BFramesComeOutInDisplayOrderAndAreDecodedBeforeTheyShow) {
  // I P B B P B B, then a new IDR run: I P B.
  const RecordingClock clock = clock_of({{0, true},
                                         {6, false},
                                         {2, false},
                                         {4, false},
                                         {12, false},
                                         {8, false},
                                         {10, false},
                                         {0, true},
                                         {4, false},
                                         {2, false}});
  const TimingPlan plan = plan_times(clock, 0, 0, Rate{30, 1});
  const std::vector<std::int64_t> shown = {0, 3, 1, 2, 6, 4, 5, 7, 9, 8};
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const PacketTimes& times = plan.packets[i];
    EXPECT_EQ(times.pts, shown[i] * kStep30) << i;
    EXPECT_EQ(times.duration, kStep30) << i;
    EXPECT_LE(times.dts, times.pts) << i;
    if (i > 0) {
      EXPECT_LT(plan.packets[i - 1].dts, times.dts) << i;
    }
  }
  // A B picture is shown one place before it is decoded: decoding runs one
  // step ahead, the first picture decoded one step before 0.
  EXPECT_EQ(plan.packets[0].dts, -kStep30);
  EXPECT_EQ(plan.packets[1].dts, 0);
  EXPECT_EQ(plan.source, TimingSource::forced);
}

TEST(Plan, LostPacketsKeepTheirTimeAndTheAudiosSync) {
  // Packets 3 and 4 were lost: the picture after them keeps its place.
  RecordingClock clock =
      clock_of({{0, true}, {2, false}, {4, false}, {10, false}, {12, false}}, {0, 1, 2, 5, 6});
  for (PacketClock& packet : clock.packets) {
    packet.samples = 1600;  // 48 kHz at 30 pictures a second
  }
  const TimingPlan plan = plan_times(clock, 48000, 1024, std::nullopt);
  EXPECT_EQ(plan.lost, 2U);
  EXPECT_EQ(plan.slots, 7U);
  EXPECT_EQ(plan.source, TimingSource::audio_clock);
  EXPECT_EQ(plan.packets[3].pts, 5 * kStep30);
  EXPECT_EQ(plan.packets[4].pts, 6 * kStep30);
  EXPECT_EQ(plan.packets[2].audio_gap, 0);
  EXPECT_EQ(plan.packets[3].audio_gap, 2 * 1600);
}

// A recorder at 30 pictures a second, then 15 from picture 120, with 48 kHz
// AAC: packet i holds every frame that begins before picture i+1. Every
// picture the plan times lies within the one audio frame the clock allows.
TEST(Plan, EveryPictureWithinOneAudioFrameOfTheClock) {
  constexpr std::int64_t kRate = 48000;
  constexpr std::int64_t kFrame = 1024;
  std::vector<std::int64_t> truth;  // in samples, scaled by 30
  for (std::int64_t i = 0, at = 0; i < 240; ++i) {
    truth.push_back(at);
    at += (i < 120 ? 1 : 2) * kRate;
  }
  RecordingClock clock;
  std::int64_t frames = 0;
  for (std::size_t i = 0; i < truth.size(); ++i) {
    PacketClock packet;
    packet.number = static_cast<std::uint32_t>(i);
    packet.picture = true;
    packet.idr = i == 0;
    packet.order = static_cast<std::int32_t>(2 * i);
    const std::int64_t next = i + 1 < truth.size() ? truth[i + 1] : truth[i] + kRate;
    while (frames * kFrame * 30 < next) {
      ++frames;
      packet.samples += kFrame;
    }
    clock.packets.push_back(packet);
  }
  const TimingPlan plan = plan_times(clock, kRate, kFrame, std::nullopt);
  std::int64_t samples = 0;
  for (std::size_t i = 1; i < truth.size(); ++i) {
    samples += clock.packets[i - 1].samples;
    // pts / 120000 s within (samples - 1024, samples] / 48000 s.
    const std::int64_t at = plan.packets[i].pts * kRate;
    EXPECT_GT(at, (samples - kFrame) * kTicksPerSecond) << i;
    EXPECT_LE(at, samples * kTicksPerSecond) << i;
  }
  EXPECT_EQ(plan.packets[120].pts, 4 * kTicksPerSecond);
}

TEST(Plan, WithoutAudioTheStreamsRateElseTwentyFive) {
  RecordingClock clock = clock_of({{0, true}, {2, false}, {4, false}});
  EXPECT_EQ(plan_times(clock, 0, 0, std::nullopt).source, TimingSource::fallback_rate);
  EXPECT_EQ(plan_times(clock, 0, 0, std::nullopt).packets[2].pts, 2 * kTicksPerSecond / 25);
  clock.stream_rate = Rate{15, 1};
  const TimingPlan plan = plan_times(clock, 0, 0, std::nullopt);
  EXPECT_EQ(plan.source, TimingSource::stream_rate);
  EXPECT_EQ(plan.packets[2].pts, 2 * kTicksPerSecond / 15);
}

}  // namespace
