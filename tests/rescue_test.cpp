// Rescue: damaged files give back every intact packet, in order, and say
// what was recovered how; without --rescue nothing changes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "container/le.h"
#include "container/recognise.h"
#include "support.h"

namespace {

// The helpers every test file of the program shares.
using namespace testing_support;

constexpr std::size_t kHeader = 56;
// An AAC frame's first byte when it opens with a channel pair element of
// instance 0, as a stereo encoder's do.
constexpr std::uint8_t kChannelPairOpening = 0x21;
// Its last byte when the end element (three 1 bits) ends it, aligned.
constexpr std::uint8_t kEndElementClosing = 0xE0;

std::uint32_t frame_count(const Bytes& file) { return orvale::read_le32(file, 12); }

std::size_t entry_at(std::size_t number) { return kHeader + 4 * number; }

std::size_t packet_length(const Bytes& file, std::size_t number) {
  return orvale::read_le32(file, entry_at(number)) >> 1;
}

// The file as it would have been written without the packets in `dropped`.
Bytes without_packets(const Bytes& file, const std::vector<std::size_t>& dropped) {
  const std::uint32_t count = frame_count(file);
  Bytes index;
  Bytes body;
  std::uint32_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (std::find(dropped.begin(), dropped.end(), i) != dropped.end()) {
      continue;
    }
    const std::size_t at = kvx::packet_offset(file, i);
    kvx::put_le32(index, orvale::read_le32(file, entry_at(i)));
    body.insert(body.end(), file.begin() + static_cast<long>(at),
                file.begin() + static_cast<long>(at + packet_length(file, i)));
    ++kept;
  }
  Bytes out(file.begin(), file.begin() + kHeader);
  kvx::set_le32(out, 12, kept);
  return concat({out, index, body});
}

std::map<std::string, Bytes> extract(const Bytes& input, const std::vector<std::string>& options,
                                     RunResult& result) {
  ScratchDir dir;
  write_file(dir.path("in.kvx"), input);
  std::vector<std::string> args = options;
  args.push_back(dir.path("in.kvx"));
  result = run_orvale(args);
  std::map<std::string, Bytes> outputs;
  for (const char* suffix : {".264", ".0.aac", ".1.aac", ".0.mp3", ".1.mp3"}) {
    if (exists(dir.path("in.kvx") + suffix)) {
      outputs[suffix] = read_file(dir.path("in.kvx") + suffix);
    }
  }
  return outputs;
}

constexpr std::size_t kVideoAlone = 31;

// An AAC frame's first byte when it opens with a single channel element of
// instance 0, as a mono encoder's do.
constexpr std::uint8_t kSingleChannelOpening = 0x01;

// With `mono_first`, stream 0 is mono and stream 1 stereo.
kvx::File recording(std::size_t packets, bool mono_first = false) {
  kvx::File file;
  file.audio_stream_count = 2;
  std::mt19937 rng(3);
  for (std::size_t i = 0; i < packets; ++i) {
    kvx::Packet packet;
    packet.video = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x65};
    for (std::size_t k = 0; k < 40 + rng() % 200; ++k) {
      packet.video.push_back(static_cast<std::uint8_t>(2 + rng() % 250));
    }
    packet.audio.resize(2);
    // Packet 31 is video alone: nine zero bytes open it.
    const std::size_t frames = i == kVideoAlone ? 0 : 1 + rng() % 3;
    for (auto& stream : packet.audio) {
      for (std::size_t j = 0; j < frames; ++j) {
        // Drawn one by one: the order of a call's arguments differs between
        // compilers and targets, and the expectations below hold this file.
        const auto filler = static_cast<std::uint8_t>(rng());
        stream.emplace_back(100 + rng() % 200, filler);
        stream.back().front() =
            mono_first && &stream == &packet.audio[0] ? kSingleChannelOpening : kChannelPairOpening;
        stream.back().back() = kEndElementClosing;
      }
    }
    file.packets.push_back(packet);
  }
  return file;
}

Bytes sample() { return read_file(ORVALE_SAMPLE); }

// The file with `padding` bytes of `filler` after each packet, counted in its
// index entry, as some recorders leave them.
Bytes padded(const Bytes& file, std::size_t padding, std::uint8_t filler) {
  const std::uint32_t count = frame_count(file);
  Bytes out(file.begin(), file.begin() + static_cast<long>(entry_at(count)));
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t entry = orvale::read_le32(file, entry_at(i));
    kvx::set_le32(out, entry_at(i), entry + static_cast<std::uint32_t>(padding << 1));
    const std::size_t at = kvx::packet_offset(file, i);
    out.insert(out.end(), file.begin() + static_cast<long>(at),
               file.begin() + static_cast<long>(at + packet_length(file, i)));
    out.insert(out.end(), padding, filler);
  }
  return out;
}

// `bytes` put into the file at `at`, shifting what follows.
Bytes inserted(const Bytes& file, std::size_t at, const Bytes& bytes) {
  return concat({Bytes(file.begin(), file.begin() + static_cast<long>(at)), bytes,
                 Bytes(file.begin() + static_cast<long>(at), file.end())});
}

Bytes random_bytes(std::size_t count, std::uint32_t seed) {
  Bytes bytes(count);
  std::mt19937 rng(seed);
  std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<std::uint8_t>(rng()); });
  return bytes;
}

struct Damage {
  const char* name;
  Bytes (*apply)(const Bytes& intact);
  std::vector<std::size_t> lost;  // packets that cannot come back; kLast: the last one
  // What a plain run writes is the start of what the rescue gives back. Not
  // so where it keeps a packet without a frame it cannot write, or where the
  // header's count moves every packet and no chunk shows it.
  bool plain_is_a_start = true;
};

constexpr std::size_t kLast = SIZE_MAX;

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

Bytes count_zero(const Bytes& f) {
  Bytes d = f;
  kvx::set_le32(d, 12, 0);
  return d;
}

Bytes count_halved(const Bytes& f) {
  Bytes d = f;
  kvx::set_le32(d, 12, frame_count(f) / 2);
  return d;
}

template <std::size_t kFirst>
Bytes index_zeroed_from(const Bytes& f) {
  Bytes d = f;
  std::fill(d.begin() + static_cast<long>(entry_at(kFirst)),
            d.begin() + static_cast<long>(entry_at(frame_count(f))), 0);
  return d;
}

Bytes entry_bit_flipped(const Bytes& f) {
  Bytes d = f;
  d[entry_at(0) + 1] ^= 0x01;  // the length's bit 7
  return d;
}

Bytes entry_wild(const Bytes& f) {
  Bytes d = f;
  kvx::set_le32(d, entry_at(10), 0x9E3779B9);
  return d;
}

Bytes garbage_between_30_and_31(const Bytes& f) {
  return inserted(f, kvx::packet_offset(f, 31), random_bytes(1000, 5));
}

Bytes middle_of_40_overwritten(const Bytes& f) {
  Bytes d = f;
  const std::size_t at = kvx::packet_offset(f, 40);
  std::fill(d.begin() + static_cast<long>(at + 5),
            d.begin() + static_cast<long>(at + packet_length(f, 40) / 2), 0xFF);
  return d;
}

Bytes cut_inside_the_last_packet(const Bytes& f) {
  const std::size_t last = frame_count(f) - 1;
  return Bytes(f.begin(), f.begin() + static_cast<long>(kvx::packet_offset(f, last) +
                                                       packet_length(f, last) / 2));
}

Bytes garbage_before_the_last_packet(const Bytes& f) {
  return inserted(f, kvx::packet_offset(f, frame_count(f) - 1), Bytes(300, 0xFF));
}

// The first audio frame of packet 45 said to be longer than its packet holds.
Bytes audio_length_grown_in_45(const Bytes& f) {
  Bytes d = f;
  const std::size_t table = kvx::packet_offset(f, 45) + 13;
  kvx::set_le32(d, table, orvale::read_le32(f, table) + 500);
  return d;
}

// Packet 25's AAC frame is longer than an ADTS header can describe: in a
// recording, a sign of damage.
Bytes aac_frame_too_long_in_25(const Bytes& f) {
  const std::size_t table = kvx::packet_offset(f, 25) + 13;
  Bytes d = f;
  kvx::set_le32(d, table, 9000);
  const std::size_t audio = table + 4 * 2 * f[kvx::packet_offset(f, 25)] +
                            orvale::read_le32(f, kvx::packet_offset(f, 25) + 9);
  d.insert(d.begin() + static_cast<long>(audio), 9000 - orvale::read_le32(f, table), 0x5A);
  const std::uint32_t length =
      static_cast<std::uint32_t>(packet_length(f, 25) + 9000 - orvale::read_le32(f, table));
  kvx::set_le32(d, entry_at(25), length << 1);
  return d;
}

template <std::size_t kCount>
Bytes zeros_before_31(const Bytes& f) {
  return inserted(f, kvx::packet_offset(f, kVideoAlone), Bytes(kCount, 0));
}

template <std::uint32_t kMore>
Bytes count_too_high(const Bytes& f) {
  Bytes d = f;
  kvx::set_le32(d, 12, frame_count(f) + kMore);
  return d;
}

// Bytes inserted inside packet 40's video chunk tear it: its fields still
// add up, but its frames are no longer where they say.
Bytes packet_40_torn(const Bytes& f) {
  const std::size_t at = kvx::packet_offset(f, 40);
  return inserted(f, at + 13 + 4 * 2 * f[at] + 20, random_bytes(3000, 11));
}

// More garbage than the window has read when the search starts: the walk
// must move on to bytes it has not read yet.
Bytes garbage_of_a_mib_and_a_half_before_31(const Bytes& f) {
  return inserted(f, kvx::packet_offset(f, 31), random_bytes(3 * (std::size_t{1} << 19), 13));
}

// Junk, two packets' look-alikes (each fits and the second follows the
// first), more junk, then packet 31: two in a row are not enough to trust.
Bytes lookalikes_before_31(const Bytes& f) {
  const Bytes lookalike = {0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 1, 0x65};
  return inserted(f, kvx::packet_offset(f, 31),
                  concat({Bytes(100, 0xFF), lookalike, lookalike, Bytes(100, 0xFF)}));
}

// Packet 40's video holds a NAL unit header with the forbidden bit set, and
// packet 41 is overwritten: without a successor, packet 40 is looked at
// closer, and that header gives it away.
Bytes forbidden_nal_header_in_40_before_garbage(const Bytes& f) {
  Bytes d = f;
  const std::size_t at = kvx::packet_offset(f, 40);
  const std::size_t video = at + 13 + 4 * 2 * f[at];
  const Bytes forbidden = {0, 0, 1, 0xE5};
  std::copy(forbidden.begin(), forbidden.end(), d.begin() + static_cast<long>(video + 12));
  std::fill_n(d.begin() + static_cast<long>(kvx::packet_offset(f, 41)), packet_length(f, 41), 0xFF);
  return d;
}

// 500 bytes put 150 bytes into packet 5's last frame of audio stream 0 (or
// halfway, in a shorter one). Its fields still fit its entry and its video is
// whole, but that frame no longer ends with an end element.
Bytes last_frame_of_5_torn(const Bytes& f) {
  const std::size_t at = kvx::packet_offset(f, 5);
  const std::size_t frames = f[at];
  const std::size_t streams = orvale::read_le32(f, 36);
  std::size_t frame = at + 13 + 4 * streams * frames + orvale::read_le32(f, at + 9);
  for (std::size_t j = 0; j + 1 < frames; ++j) {
    frame += orvale::read_le32(f, at + 13 + 4 * j);
  }
  const std::size_t length = orvale::read_le32(f, at + 13 + 4 * (frames - 1));
  return inserted(f, frame + (length > 150 ? 150 : length / 2), random_bytes(500, 17));
}

// What packet `number`'s fields add up to: where bytes put into it or taken
// out of it tear it, and not its padding.
std::size_t fields_length(const Bytes& f, std::size_t number) {
  const std::size_t at = kvx::packet_offset(f, number);
  const std::size_t entries = std::size_t{f[at]} * orvale::read_le32(f, 36);
  std::size_t length = 13 + 4 * entries + orvale::read_le32(f, at + 9);
  for (std::size_t i = 0; i < entries; ++i) {
    length += orvale::read_le32(f, at + 13 + 4 * i);
  }
  return length;
}

// A recorder's torn write: 1 to 200 bytes put in, or 1 to 64 taken out,
// at a place drawn from `kSeed` inside packet kTorn's fields.
constexpr std::size_t kTorn = 40;

template <std::uint32_t kSeed>
Bytes torn_by_inserting(const Bytes& f) {
  std::mt19937 rng(kSeed);
  const std::size_t count = 1 + rng() % 200;
  const std::size_t place = 1 + rng() % (fields_length(f, kTorn) - 1);
  return inserted(f, kvx::packet_offset(f, kTorn) + place, random_bytes(count, kSeed));
}

template <std::uint32_t kSeed, std::size_t kPacket = kTorn>
Bytes torn_by_deleting(const Bytes& f) {
  std::mt19937 rng(kSeed);
  const std::size_t count = 1 + rng() % 64;
  const std::size_t place = rng() % (fields_length(f, kPacket) - count);
  const auto at = static_cast<long>(kvx::packet_offset(f, kPacket) + place);
  Bytes d = f;
  d.erase(d.begin() + at, d.begin() + at + static_cast<long>(count));
  return d;
}

// 9 or 10 bytes put 200 bytes into a packet: every later packet read that
// much early looks like one with a tiny video chunk and its entry padding.
template <std::size_t kCount, std::size_t kPacket = 40>
Bytes inserted_200_into(const Bytes& f) {
  return inserted(f,
                  kvx::packet_offset(f, kPacket) +
                      std::min<std::size_t>(200, packet_length(f, kPacket) / 2),
                  random_bytes(kCount, 23));
}

const Damage kDamages[] = {
    {"frame_count_zero", count_zero, {}},
    {"frame_count_halved", count_halved, {}},
    {"index_zeroed_from_entry_20", index_zeroed_from<20>, {}},
    {"index_entry_bit_flipped", entry_bit_flipped, {}},
    {"index_entry_wild", entry_wild, {}},
    {"garbage_between_packets", garbage_between_30_and_31, {}},
    {"packet_middle_overwritten", middle_of_40_overwritten, {40}},
    {"file_cut_inside_the_last_packet", cut_inside_the_last_packet, {kLast}},
    {"garbage_before_the_last_packet", garbage_before_the_last_packet, {}},
    {"audio_frame_length_grown", audio_length_grown_in_45, {45}},
    {"aac_frame_too_long_for_adts", aac_frame_too_long_in_25, {25}, false},
    {"index_zeroed", index_zeroed_from<0>, {}},
    {"five_zeros_before_packet_31", zeros_before_31<5>, {}},
    {"thirteen_zeros_before_packet_31", zeros_before_31<13>, {}},
    {"a_hundred_zeros_before_packet_31", zeros_before_31<100>, {}},
    {"five_thousand_zeros_before_packet_31", zeros_before_31<5000>, {}},
    {"frame_count_one_too_high", count_too_high<1>, {}, false},
    {"frame_count_a_thousand_too_high", count_too_high<1000>, {}},
    {"packet_torn_by_inserted_bytes", packet_40_torn, {40}},
    {"more_garbage_than_the_window_has_read", garbage_of_a_mib_and_a_half_before_31, {}},
    {"packet_lookalikes_in_garbage", lookalikes_before_31, {}},
    {"forbidden_nal_header_before_garbage", forbidden_nal_header_in_40_before_garbage, {40, 41}},
    {"aac_frame_torn_by_inserted_bytes", last_frame_of_5_torn, {5}},
    {"nine_bytes_put_into_a_packet", inserted_200_into<9>, {40}},
    {"ten_bytes_put_into_a_packet", inserted_200_into<10>, {40}},
    {"torn_by_inserting_1", torn_by_inserting<1>, {kTorn}},
    {"torn_by_inserting_2", torn_by_inserting<2>, {kTorn}},
    {"torn_by_inserting_3", torn_by_inserting<3>, {kTorn}},
    {"torn_by_inserting_4", torn_by_inserting<4>, {kTorn}},
    {"torn_by_inserting_5", torn_by_inserting<5>, {kTorn}},
    {"torn_by_inserting_6", torn_by_inserting<6>, {kTorn}},
    {"torn_by_inserting_7", torn_by_inserting<7>, {kTorn}},
    {"torn_by_inserting_8", torn_by_inserting<8>, {kTorn}},
    {"torn_by_deleting_1", torn_by_deleting<1>, {kTorn}},
    {"torn_by_deleting_2", torn_by_deleting<2>, {kTorn}},
    {"torn_by_deleting_3", torn_by_deleting<3>, {kTorn}},
    {"torn_by_deleting_4", torn_by_deleting<4>, {kTorn}},
    {"torn_by_deleting_5", torn_by_deleting<5>, {kTorn}},
    {"torn_by_deleting_6", torn_by_deleting<6>, {kTorn}},
    {"torn_by_deleting_7", torn_by_deleting<7>, {kTorn}},
    {"torn_by_deleting_8", torn_by_deleting<8>, {kTorn}},
};

class RescueRecording : public ::testing::TestWithParam<Damage> {};

void expect_rescued(const Bytes& intact, const Damage& damage) {
  std::vector<std::size_t> lost = damage.lost;
  std::replace(lost.begin(), lost.end(), kLast, std::size_t{frame_count(intact)} - 1);
  RunResult expected_run;
  const auto expected = extract(without_packets(intact, lost), {}, expected_run);
  ASSERT_EQ(expected_run.status, 0) << expected_run.err;
  RunResult r;
  const auto rescued = extract(damage.apply(intact), {"--rescue"}, r);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find(" recovered by structure"), std::string::npos) << r.err;
  EXPECT_EQ(rescued, expected) << r.err;
}

TEST_P(RescueRecording, GivesBackEveryIntactPacket) {
  expect_rescued(encode(recording(60)), GetParam());
}

TEST_P(RescueRecording, GivesBackEveryIntactPacketOfAMonoAndStereoRecording) {
  expect_rescued(encode(recording(60, true)), GetParam());
}

// A plain run never ends as if all were well, and what it writes is the
// intact packets it met in line: the start of what a rescue gives back.
TEST_P(RescueRecording, APlainRunWritesNothingItReadOutOfLine) {
  for (const bool mono_first : {false, true}) {
    const Bytes intact = encode(recording(60, mono_first));
    std::vector<std::size_t> lost = GetParam().lost;
    std::replace(lost.begin(), lost.end(), kLast, std::size_t{frame_count(intact)} - 1);
    RunResult expected_run;
    const auto expected = extract(without_packets(intact, lost), {}, expected_run);
    RunResult r;
    const auto written = extract(GetParam().apply(intact), {}, r);
    EXPECT_NE(r.status, 0) << r.err;
    if (!GetParam().plain_is_a_start) {
      continue;
    }
    for (const auto& [suffix, bytes] : written) {
      const Bytes& whole = expected.at(suffix);
      EXPECT_TRUE(bytes.size() <= whole.size() && std::equal(bytes.begin(), bytes.end(), whole.begin()))
          << suffix << (mono_first ? " mono" : "") << "\n" << r.err;
    }
  }
}

TEST_P(RescueRecording, GivesBackEveryIntactPacketOfTheSample) {
  expect_rescued(sample(), GetParam());
}

// The padding is not zeros, which would pass for empty packets: only the
// allowance after each packet's fields lets the search step over it.
TEST_P(RescueRecording, GivesBackEveryIntactPacketOfAPaddedRecording) {
  expect_rescued(padded(encode(recording(60)), 64, 0xA5), GetParam());
}

// --test tells what an extraction tells and writes nothing; --list ends as
// the extraction does and counts the bytes it wrote. With and without
// --rescue, on every damage.
TEST_P(RescueRecording, TestingAndListingTellWhatExtractingTells) {
  const Bytes input = GetParam().apply(encode(recording(60)));
  for (const bool rescue : {false, true}) {
    ScratchDir extracted;
    ScratchDir tested;
    write_file(extracted.path("in.kvx"), input);
    write_file(tested.path("in.kvx"), input);
    const std::string how = rescue ? "--rescue" : "--quiet";
    const RunResult extraction = run_orvale({how, "in.kvx"}, extracted.path(""));
    const RunResult test = run_orvale({"--test", how, "in.kvx"}, tested.path(""));
    EXPECT_EQ(test.status, extraction.status) << how;
    EXPECT_EQ(test.out, extraction.out) << how;
    EXPECT_EQ(test.err, without_kept_line(extraction.err)) << how;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tested.path("")), {}), 1)
        << "--test " << how << " wrote a file";
    const RunResult listed = run_orvale({"--list", "--json", how, "in.kvx"}, tested.path(""));
    EXPECT_EQ(listed.status, extraction.status) << how;
    EXPECT_EQ(listed.err.empty(), extraction.status != 2) << "only errors are told " << how;
    const auto document = nlohmann::json::parse(listed.out, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << listed.out;
    const auto& facts = document.at("inputs").at(0);
    EXPECT_EQ(facts.at("sound"), extraction.status == 0) << how;
    EXPECT_EQ(facts.at("problems") == 0, extraction.status == 0) << how;
    // The entries up to the first zero one, when the file holds the index.
    const bool whole = entry_at(frame_count(input)) <= input.size();
    std::size_t entries = 0;
    std::size_t covered = 0;
    for (; whole && entries < frame_count(input) && packet_length(input, entries) != 0; ++entries) {
      covered += packet_length(input, entries);
    }
    auto index = facts.at("index");
    index.erase("bytes_after_last_packet");
    const nlohmann::json expected = {{"entries", entries}, {"bytes", covered}, {"complete", whole}};
    EXPECT_TRUE(rescue || index == expected) << index;
    if (extraction.status == 2) {
      continue;
    }
    EXPECT_EQ(facts.at("video").at("bytes"), read_file(extracted.path("in.kvx.264")).size());
    for (std::size_t s = 0; s < 2; ++s) {
      EXPECT_EQ(facts.at("streams").at(s).at("bytes"),
                read_file(extracted.path("in.kvx" + stream_suffix(s, ".aac"))).size());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Damages, RescueRecording, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Rescue, SaysWhatWasRecoveredHow) {
  RunResult r;
  (void)extract(garbage_between_30_and_31(encode(recording(60))), {"-r"}, r);
  const Bytes intact = encode(recording(60));
  const std::size_t at = kvx::packet_offset(intact, 31);
  EXPECT_NE(r.err.find("bytes " + std::to_string(at) + " to " + std::to_string(at + 999) +
                       " (1000 bytes) hold no packet; skipped"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("rescue: 30 packets from the index, 30 recovered by structure"),
            std::string::npos)
      << r.err;
}

struct SoundFile {
  const char* name;
  Bytes (*make)();
};

void PrintTo(const SoundFile& f, std::ostream* os) { *os << f.name; }

Bytes plain_recording() { return encode(recording(20)); }

Bytes with_an_empty_packet() {
  kvx::File file = recording(20);
  file.packets[10].video.clear();
  for (auto& stream : file.packets[10].audio) {
    stream.clear();
  }
  return encode(file);
}

// Only AAC frames are held to what an ADTS header can describe.
Bytes mp3_with_a_long_frame() {
  kvx::File file = recording(20);
  file.audio_format = kvx::kFormatMp3;
  file.packets[10].audio[1][0] = Bytes(9000, 0x3C);
  return encode(file);
}

// The largest frame an ADTS header can carry.
Bytes aac_frame_of_8184_bytes() {
  kvx::File file = recording(20);
  file.packets[10].audio[0][0] = Bytes(8184, 0x21);
  return encode(file);
}

// Two streams beyond the ten that get an output: a plain run warns, and so
// does a rescue, no more.
Bytes twelve_streams() {
  kvx::File file = recording(20);
  file.audio_stream_count = 12;
  for (auto& packet : file.packets) {
    packet.audio.resize(12, packet.audio[0]);
  }
  return encode(file);
}

// What recorders leave after the last packet, or inside its entry.
Bytes zeros_after_the_last_packet() { return concat({plain_recording(), Bytes(4000, 0)}); }

Bytes preallocated() { return concat({plain_recording(), Bytes(std::size_t{1} << 20, 0)}); }

// The last entry grown over `tail`, put right behind its packet.
Bytes last_entry_grown_over(const Bytes& tail) {
  Bytes file = concat({plain_recording(), tail});
  const std::size_t last = entry_at(frame_count(file) - 1);
  kvx::set_le32(file, last,
                orvale::read_le32(file, last) + static_cast<std::uint32_t>(tail.size() << 1));
  return file;
}

Bytes zero_padding_in_the_last_entry() { return last_entry_grown_over(Bytes(100, 0)); }

// A recorder reusing its buffer: an old packet in the last entry's padding.
Bytes stale_packet_in_the_last_entry() {
  const Bytes file = plain_recording();
  const std::size_t at = kvx::packet_offset(file, 3);
  return last_entry_grown_over(Bytes(file.begin() + static_cast<long>(at),
                                     file.begin() + static_cast<long>(at + packet_length(file, 3))));
}

// A header counting two packets more than the file holds, their entries
// empty: index padding, not damage.
Bytes empty_entries_after_the_last_packet() {
  Bytes file = inserted(encode(recording(10)), entry_at(10), Bytes(8, 0));
  kvx::set_le32(file, 12, 12);
  return file;
}

// Packet 0 is too long to be held whole in the window, so it passes in
// pieces; 100 bytes of padding follow it, counted in its entry.
Bytes padding_after_a_packet_longer_than_half_the_window() {
  kvx::File recorded = recording(6);
  recorded.packets[0].video.resize(std::size_t{3} << 20, 0x55);
  const Bytes plain = encode(recorded);
  Bytes file = inserted(plain, kvx::packet_offset(plain, 1), Bytes(100, 0xA5));
  kvx::set_le32(file, entry_at(0), orvale::read_le32(plain, entry_at(0)) + (100 << 1));
  return file;
}

class RescueSoundFile : public ::testing::TestWithParam<SoundFile> {};

TEST_P(RescueSoundFile, IsExtractedAsUsual) {
  const Bytes intact = GetParam().make();
  RunResult plain;
  RunResult rescued;
  const auto expected = extract(intact, {}, plain);
  ASSERT_NE(plain.status, 2) << plain.err;
  EXPECT_EQ(extract(intact, {"--rescue"}, rescued), expected);
  EXPECT_EQ(rescued.status, plain.status);
  EXPECT_EQ(std::count(rescued.err.begin(), rescued.err.end(), '\n'),
            std::count(plain.err.begin(), plain.err.end(), '\n'))
      << rescued.err;
  EXPECT_EQ(rescued.err.find("rescue"), std::string::npos) << rescued.err;
}

INSTANTIATE_TEST_SUITE_P(
    Files, RescueSoundFile,
    ::testing::Values(SoundFile{"plain", plain_recording},
                      SoundFile{"with_an_empty_packet", with_an_empty_packet},
                      SoundFile{"mp3_with_a_long_frame", mp3_with_a_long_frame},
                      SoundFile{"aac_frame_of_8184_bytes", aac_frame_of_8184_bytes},
                      SoundFile{"more_than_ten_streams", twelve_streams},
                      SoundFile{"zeros_after_the_last_packet", zeros_after_the_last_packet},
                      SoundFile{"preallocated_and_half_zeros", preallocated},
                      SoundFile{"zero_padding_in_the_last_entry", zero_padding_in_the_last_entry},
                      SoundFile{"stale_packet_in_the_last_entry", stale_packet_in_the_last_entry},
                      SoundFile{"empty_entries_after_the_last_packet",
                                empty_entries_after_the_last_packet},
                      SoundFile{"padding_after_a_packet_longer_than_half_the_window",
                                padding_after_a_packet_longer_than_half_the_window}),
    [](const auto& info) { return std::string(info.param.name); });

// What a run says of a damaged index: one line per kind, then, from a plain
// run, the command that may recover more.
struct Told {
  const char* name;
  Bytes (*apply)(const Bytes& intact);
  std::vector<std::string> options;
  int status;
  std::string (*line)(const Bytes& intact);  // a part of what is said
};

void PrintTo(const Told& t, std::ostream* os) { *os << t.name; }

Bytes entry_10_short_by_16(const Bytes& f) {
  Bytes d = f;
  kvx::set_le32(d, entry_at(10), orvale::read_le32(f, entry_at(10)) - (16 << 1));
  return d;
}

template <std::size_t kCount>
Bytes zeros_before_10(const Bytes& f) {
  return inserted(f, kvx::packet_offset(f, 10), Bytes(kCount, 0));
}

// A recorder restarting into the same file: a second recording after the
// packets the first one's index lists.
Bytes appended(const Bytes& f) { return concat({f, f}); }

// The second one with its streams laid out otherwise: one stream, not two.
Bytes appended_with_one_stream(const Bytes& f) {
  kvx::File other = recording(5);
  other.audio_stream_count = 1;
  for (auto& packet : other.packets) {
    packet.audio.resize(1);
  }
  return concat({f, encode(other)});
}

// The file cut where packet 20 begins, or 30 bytes into it.
template <std::size_t kInto>
Bytes cut_at_20(const Bytes& f) {
  return Bytes(f.begin(), f.begin() + static_cast<long>(kvx::packet_offset(f, 20) + kInto));
}

// Two empty entries after the last, as a header counting two more packets
// than were written leaves them, then the file cut 30 bytes into packet 20:
// the empty entries list no packet that is missing.
Bytes cut_with_empty_entries(const Bytes& f) {
  Bytes file = inserted(f, entry_at(frame_count(f)), Bytes(8, 0));
  kvx::set_le32(file, 12, frame_count(f) + 2);
  return cut_at_20<30>(file);
}

const Told kTold[] = {
    {"rescue_tells_a_file_cut_inside_the_fields_of_a_packet", cut_at_20<5>, {"--rescue"}, 1,
     [](const Bytes& f) {
       return "the file is cut short: it ends at byte " +
              std::to_string(kvx::packet_offset(f, 20) + 5) +
              ", inside packet 20; 10 packets the index lists are not there\n";
     }},
    {"rescue_counts_no_empty_entry_as_missing", cut_with_empty_entries, {"--rescue"}, 1,
     [](const Bytes& f) {
       return "the file is cut short: it ends at byte " +
              std::to_string(kvx::packet_offset(f, 20) + 8 + 30) +
              ", inside packet 20; 10 packets the index lists are not there\n";
     }},
    {"rescue_tells_a_file_cut_inside_a_packet", cut_at_20<30>, {"--rescue"}, 1,
     [](const Bytes& f) {
       return "the file is cut short: it ends at byte " +
              std::to_string(kvx::packet_offset(f, 20) + 30) +
              ", inside packet 20; 10 packets the index lists are not there\n";
     }},
    {"rescue_tells_a_file_cut_between_packets", cut_at_20<0>, {"--rescue"}, 1,
     [](const Bytes& f) {
       return "the file is cut short: it ends at byte " + std::to_string(kvx::packet_offset(f, 20)) +
              ", where it should hold packet 20; 10 packets the index lists are not there\n";
     }},
    {"a_second_recording", appended, {}, 1,
     [](const Bytes& f) {
       return "a second recording begins at byte " + std::to_string(f.size()) +
              ", after the packets the index lists; only the first is extracted\n";
     }},
    {"rescue_takes_a_second_recording", appended, {"--rescue"}, 1,
     [](const Bytes& f) {
       return "a second recording begins at byte " + std::to_string(f.size()) +
              "; its packets follow the first's in the outputs\n";
     }},
    {"rescue_leaves_a_second_recording_laid_out_otherwise", appended_with_one_stream,
     {"--rescue"}, 1,
     [](const Bytes& f) {
       return "a second recording begins at byte " + std::to_string(f.size()) +
              ", with other streams (1 AAC streams at 44100 Hz, the first has 2 AAC streams at "
              "44100 Hz); only the first is extracted\n";
     }},
    {"rescue_drops_a_packet_with_bytes_put_in", inserted_200_into<9, 20>, {"--rescue"}, 1,
     [](const Bytes&) {
       return std::string(
           "packet 20 holds 9 bytes more than its fields and entry account for; dropped\n");
     }},
    {"rescue_drops_a_packet_with_150_bytes_put_in", inserted_200_into<150, 20>, {"--rescue"}, 1,
     [](const Bytes&) {
       return std::string(
           "packet 20 holds 150 bytes more than its fields and entry account for; dropped\n");
     }},
    {"rescue_drops_a_packet_with_bytes_taken_out", torn_by_deleting<1, 20>, {"--rescue"}, 1,
     [](const Bytes&) {
       std::mt19937 rng(1);
       return "packet 20 holds " + std::to_string(1 + rng() % 64) +
              " bytes fewer than its fields and entry account for; dropped\n";
     }},
    {"a_plain_run_drops_a_packet_with_bytes_put_in", inserted_200_into<10, 20>, {}, 1,
     [](const Bytes&) {
       return std::string(
           "packet 20 fails a closer look, and the packet after it is not where its entry "
           "ends; dropped\n");
     }},
    {"packets_after_the_last_listed", index_zeroed_from<20>, {}, 1,
     [](const Bytes& f) {
       return std::to_string(f.size() - kvx::packet_offset(f, 20)) +
              " bytes follow the last packet the index lists (packet 19), and they look like "
              "packets\n";
     }},
    {"packets_after_an_empty_index", index_zeroed_from<0>, {}, 2,
     [](const Bytes& f) {
       return "the index lists no packet, but the " +
              std::to_string(f.size() - entry_at(frame_count(f))) +
              " bytes after it look like packets\n";
     }},
    {"an_entry_claiming_more_than_the_file_holds", entry_wild, {"-o", "out dir"}, 1,
     [](const Bytes& f) {
       return "index entry 10 claims " + std::to_string(0x9E3779B9U >> 1) + " bytes; " +
              std::to_string(f.size() - kvx::packet_offset(f, 10)) + " are left in the file\n";
     }},
    {"an_entry_too_short", entry_10_short_by_16, {}, 1,
     [](const Bytes&) {
       return std::string(
           "the index looks damaged at entry 10: from packet 11 on the packets are read out of "
           "line\n");
     }},
    {"zeros_before_a_packet", zeros_before_10<5>, {}, 1,
     [](const Bytes&) {
       return std::string(
           "the index looks damaged at entry 9: from packet 10 on the packets are read out of "
           "line\n");
     }},
    {"what_came_through_out_of_line", zeros_before_10<5>, {}, 1,
     [](const Bytes& f) {
       return "10 of the 30 packets the index lists were extracted, from " +
              std::to_string(kvx::packet_offset(f, 10) - kvx::packet_offset(f, 0)) +
              " of the input's " + std::to_string(f.size() + 5) + " bytes\n";
     }},
    {"a_header_listing_no_packets", count_zero, {}, 2,
     [](const Bytes&) { return std::string("the header lists no packets\n"); }},
    {"rescue_over_an_empty_index", index_zeroed_from<0>, {"--rescue"}, 1,
     [](const Bytes& f) {
       return "the index, bytes 56 to " + std::to_string(entry_at(frame_count(f)) - 1) +
              ", is empty\n";
     }},
    {"rescue_drops_a_packet_with_a_torn_frame", last_frame_of_5_torn, {"--rescue"}, 1,
     [](const Bytes& f) {
       return "the packet at byte " + std::to_string(kvx::packet_offset(f, 5)) + " (" +
              std::to_string(packet_length(f, 5)) + " bytes) is damaged: frame " +
              std::to_string(f[kvx::packet_offset(f, 5)] - 1) +
              " of audio stream 0 is not a whole AAC frame; dropped\n";
     }},
    {"rescue_with_a_count_too_high", count_too_high<3>, {"--rescue"}, 1,
     [](const Bytes& f) {
       return "the header lists " + std::to_string(frame_count(f) + 3) +
              " packets, but the index holds " + std::to_string(frame_count(f)) + " entries\n";
     }},
};

class DamageTold : public ::testing::TestWithParam<Told> {};

TEST_P(DamageTold, InALineThenTheCommandThatMayRecoverMore) {
  const Told& t = GetParam();
  const Bytes intact = encode(recording(30));
  ScratchDir dir;
  write_file(dir.path("in.kvx"), t.apply(intact));
  std::vector<std::string> args = t.options;
  args.push_back("in.kvx");
  const RunResult r = run_orvale(args, dir.path(""));
  EXPECT_EQ(r.status, t.status) << r.err;
  EXPECT_NE(r.err.find("orvale: in.kvx: " + t.line(intact)), std::string::npos) << r.err;
  // Once the index is blamed, what follows from it is not blamed again.
  std::size_t blamed = 0;
  for (auto at = r.err.find("the index looks damaged"); at != std::string::npos;
       at = r.err.find("the index looks damaged", at + 1)) {
    ++blamed;
  }
  EXPECT_LE(blamed, 1U) << r.err;
  const bool rescuing = t.options == std::vector<std::string>{"--rescue"};
  const std::string folder = t.options.empty() || rescuing ? "" : " -o " + testing_support::quoted("out dir");
  EXPECT_EQ(r.err.ends_with("orvale: in.kvx: rescue may recover more: orvale --rescue" + folder +
                            " in.kvx\n"),
            !rescuing)
      << r.err;
}

INSTANTIATE_TEST_SUITE_P(Kinds, DamageTold, ::testing::ValuesIn(kTold),
                         [](const auto& info) { return std::string(info.param.name); });

// A plain run gives the first recording; a rescue the second after it,
// into the same outputs, byte for byte.
TEST(Rescue, TakesASecondRecordingAfterTheFirst) {
  const Bytes intact = encode(recording(30));
  RunResult whole;
  const auto once = extract(intact, {}, whole);
  for (const bool rescue : {false, true}) {
    RunResult r;
    const auto outputs = extract(appended(intact), rescue ? std::vector<std::string>{"--rescue"}
                                                           : std::vector<std::string>{},
                                 r);
    EXPECT_EQ(r.status, 1) << r.err;
    ASSERT_EQ(outputs.size(), once.size());
    for (const auto& [suffix, bytes] : once) {
      EXPECT_EQ(outputs.at(suffix), rescue ? concat({bytes, bytes}) : bytes) << suffix;
    }
  }
  RunResult other;
  EXPECT_EQ(extract(appended_with_one_stream(intact), {"--rescue"}, other), once);
  EXPECT_EQ(other.status, 1);
}

// The frames of an ADTS stream, each behind its header.
std::vector<Bytes> adts_frames(const Bytes& stream) {
  std::vector<Bytes> frames;
  for (std::size_t at = 0; at + 7 <= stream.size();) {
    const std::size_t length =
        (std::size_t{stream[at + 3]} & 3) << 11 | std::size_t{stream[at + 4]} << 3 | stream[at + 5] >> 5;
    frames.emplace_back(stream.begin() + static_cast<long>(at + 7),
                        stream.begin() + static_cast<long>(at + length));
    at += length;
  }
  return frames;
}

// 4 KiB of zeros across the boundary of packets 29 and 30, the index whole:
// told as the packets hit, not as a damaged index. A rescue keeps the
// video of a packet only its audio lost, without the frames hit, and
// follows the index again after the block; it gives every picture a plain
// run gives.
TEST(Rescue, ABadBlockIsToldAsThePacketsItHits) {
  const kvx::File file = recording(60);
  const Bytes intact = encode(file);
  const std::size_t from = kvx::packet_offset(intact, 30) - 2048;
  const std::size_t to = from + 4096;
  Bytes damaged = intact;
  std::fill(damaged.begin() + static_cast<long>(from), damaged.begin() + static_cast<long>(to), 0);
  std::vector<std::size_t> lost;
  std::map<std::size_t, std::vector<std::size_t>> hit_frames;  // by stream: place in the output
  std::array<std::size_t, 2> written_frames{};
  for (std::size_t i = 0; i < file.packets.size(); ++i) {
    const std::size_t at = kvx::packet_offset(intact, i);
    const std::size_t audio = at + 13 + 4 * 2 * file.packets[i].audio[0].size() +
                              file.packets[i].video.size();
    if (audio > from && at < to) {
      lost.push_back(i);
      continue;
    }
    std::size_t frame_at = audio;
    for (std::size_t s = 0; s < 2; ++s) {
      for (const Bytes& frame : file.packets[i].audio[s]) {
        if (frame_at < to && frame_at + frame.size() > from) {
          hit_frames[s].push_back(written_frames[s]);
        }
        frame_at += frame.size();
        ++written_frames[s];
      }
    }
  }
  ASSERT_FALSE(hit_frames.empty());
  RunResult expected_run;
  const auto expected = extract(without_packets(intact, lost), {}, expected_run);
  RunResult plain;
  const auto plain_outputs = extract(damaged, {}, plain);
  RunResult rescued;
  const auto rescued_outputs = extract(damaged, {"--rescue"}, rescued);
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(rescued.status, 1);
  EXPECT_EQ(plain.err.find("the index looks damaged"), std::string::npos) << plain.err;
  EXPECT_NE(plain.err.find("are damaged"), std::string::npos) << plain.err;
  EXPECT_NE(rescued.err.find("of its audio frames are damaged; dropped, its video kept"),
            std::string::npos)
      << rescued.err;
  EXPECT_EQ(plain_outputs.at(".264"), expected.at(".264"));
  EXPECT_EQ(rescued_outputs.at(".264"), expected.at(".264")) << rescued.err;
  for (std::size_t s = 0; s < 2; ++s) {
    const std::string suffix = stream_suffix(s, ".aac");
    std::vector<Bytes> frames = adts_frames(expected.at(suffix));
    for (auto place = hit_frames[s].rbegin(); place != hit_frames[s].rend(); ++place) {
      frames.erase(frames.begin() + static_cast<long>(*place));
    }
    EXPECT_EQ(adts_frames(rescued_outputs.at(suffix)), frames) << suffix;
  }
}

TEST(Rescue, AFileCutInsideTheIndexHasNothingToGiveBack) {
  const Bytes intact = encode(recording(20));
  RunResult r;
  const auto outputs = extract(Bytes(intact.begin(), intact.begin() + entry_at(10)), {"-r"}, r);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no packet could be extracted"), std::string::npos) << r.err;
  EXPECT_TRUE(outputs.empty());
}

TEST(Rescue, ManySkippedRangesAreSummedUp) {
  kvx::File file = recording(23);
  Bytes damaged = encode(file);
  // Seven packets broken, two intact ones between each, and no index to
  // say where they stand: a search finds its way back only where two
  // packets stand in a row (three at the start).
  const std::vector<std::size_t> broken = {3, 6, 9, 12, 15, 18, 21};
  for (const std::size_t i : broken) {
    kvx::set_le32(damaged, kvx::packet_offset(damaged, i) + 9, 0xFFFFFFFF);
  }
  damaged = index_zeroed_from<0>(damaged);
  RunResult r;
  const auto outputs = extract(damaged, {"-r"}, r);
  EXPECT_EQ(r.status, 1);
  // The empty index, five ranges, the rest summed up, and the tally.
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1 + 5 + 2) << r.err;
  EXPECT_NE(r.err.find("2 more ranges without a packet skipped"), std::string::npos) << r.err;
  RunResult expected_run;
  EXPECT_EQ(outputs, extract(without_packets(encode(file), broken), {}, expected_run));
}

// The search reads the file through a cache; what it asks for across the
// cache's end, or before its start, comes whole all the same.
TEST(RescuePeek, ServesEveryByteAskedForWhereverTheCacheLies) {
  ScratchDir dir;
  Bytes bytes(2 * orvale::Peek::kSize + 100);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  }
  write_file(dir.path("in.kvx"), bytes);
  orvale::platform::File file = orvale::platform::kNoFile;
  ASSERT_EQ(orvale::platform::open_to_read(dir.path("in.kvx"), file), 0);
  orvale::UnreadableRanges unreadable;
  orvale::Peek peek(file, bytes.size(), unreadable);
  ASSERT_TRUE(peek.allocate());
  constexpr std::size_t kEnd = orvale::Peek::kSize;
  const std::pair<std::size_t, std::size_t> requests[] = {
      {0, 13}, {kEnd - 6, 13}, {kEnd + 1, 4}, {100, 13}, {2 * kEnd + 95, 13}, {2 * kEnd + 100, 1}};
  for (const auto& [offset, count] : requests) {
    const auto got = peek.at(offset, count);
    const std::size_t end = std::min(offset + count, bytes.size());
    const Bytes expected(bytes.begin() + static_cast<long>(std::min(offset, end)),
                         bytes.begin() + static_cast<long>(end));
    EXPECT_EQ(Bytes(got.begin(), got.end()), expected) << count << " at " << offset;
  }
  EXPECT_EQ(peek.error(), 0);
  (void)orvale::platform::close(file);
}

#if ORVALE_POSIX_TESTS  // /dev/stdin
TEST(Rescue, NeedsAFileToSearch) {
  ScratchDir dir;
  write_file(dir.path("in.kvx"), encode(recording(3)));
  const std::string command = "cat '" + dir.path("in.kvx") + "' | " + orvale_shell_command() +
                              " --rescue -o '" + dir.path("") + "' /dev/stdin";
  const RunResult r = testing_support::run("/bin/sh", {"-c", command});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("rescue needs a regular file"), std::string::npos) << r.err;
  EXPECT_FALSE(exists(dir.path("stdin.264")));
}
#endif

}  // namespace
