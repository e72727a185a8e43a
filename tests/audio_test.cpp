#include <gtest/gtest.h>

#include <optional>

#include "streams/aac_elements.h"
#include "streams/adts.h"
#include "streams/streams.h"
#include "support.h"

namespace {

using testing_support::allocated_bytes;
using testing_support::Bytes;
using testing_support::open_output;
using testing_support::read_file;
using testing_support::ScratchDir;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::uint64_t kGiB = kMiB << 10;

Bytes header_of(std::uint32_t payload, std::uint32_t rate) {
  const auto header = orvale::adts_header(payload, rate, orvale::kStereo);
  EXPECT_TRUE(header.has_value());
  return header ? Bytes(header->begin(), header->end()) : Bytes{};
}

struct HeaderCase {
  std::uint32_t payload;
  std::uint32_t rate;
  Bytes expected;
};

void PrintTo(const HeaderCase& c, std::ostream* os) {
  *os << c.payload << " bytes at " << c.rate << " Hz";
}

class AdtsHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(AdtsHeader, MatchesKnownBytes) {
  EXPECT_EQ(header_of(GetParam().payload, GetParam().rate), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, AdtsHeader,
    ::testing::Values(HeaderCase{100, 44100, {0xFF, 0xF9, 0x50, 0x80, 0x0D, 0x7F, 0xFC}},
                      HeaderCase{100, 48000, {0xFF, 0xF9, 0x4C, 0x80, 0x0D, 0x7F, 0xFC}},
                      HeaderCase{100, 0, {0xFF, 0xF9, 0x4C, 0x80, 0x0D, 0x7F, 0xFC}},
                      HeaderCase{100, 32000, {0xFF, 0xF9, 0x54, 0x80, 0x0D, 0x7F, 0xFC}},
                      HeaderCase{0, 44100, {0xFF, 0xF9, 0x50, 0x80, 0x00, 0xFF, 0xFC}},
                      HeaderCase{8184, 44100, {0xFF, 0xF9, 0x50, 0x83, 0xFF, 0xFF, 0xFC}},
                      HeaderCase{2, 44100, {0xFF, 0xF9, 0x50, 0x80, 0x01, 0x3F, 0xFC}},
                      HeaderCase{8184, 7350, {0xFF, 0xF9, 0x70, 0x83, 0xFF, 0xFF, 0xFC}}));

// Reads each field back out of the header bit by bit, so a length or rate
// spilling into a neighbour shows up as a wrong field.
struct Fields {
  unsigned syncword, id, layer, protection_absent, profile, frequency_index, private_bit, channels,
      flags, frame_length, fullness, blocks;
};

Fields parse(const Bytes& h) {
  std::uint64_t bits = 0;
  for (const auto byte : h) {
    bits = bits << 8 | byte;
  }
  auto take = [&](int from, int count) {
    return static_cast<unsigned>(bits >> (56 - from - count) & ((1ULL << count) - 1));
  };
  return {take(0, 12), take(12, 1), take(13, 2), take(15, 1),  take(16, 2),  take(18, 4),
          take(22, 1), take(23, 3), take(26, 4), take(30, 13), take(43, 11), take(54, 2)};
}

TEST(AdtsHeaderFields, HoldForEveryRateAndLength) {
  const std::pair<std::uint32_t, unsigned> rates[] = {
      {96000, 0}, {88200, 1}, {64000, 2}, {48000, 3},     {44100, 4},  {32000, 5},
      {24000, 6}, {22050, 7}, {16000, 8}, {12000, 9},     {11025, 10}, {8000, 11},
      {7350, 12}, {0, 3},     {44099, 3}, {0xFFFFFFFF, 3}};
  for (const auto& [rate, index] : rates) {
    for (const std::uint32_t payload : {0U, 1U, 255U, 256U, 2047U, 2048U, 8183U, 8184U}) {
      const Fields f = parse(header_of(payload, rate));
      EXPECT_EQ(f.syncword, 0xFFFU);
      EXPECT_EQ(f.id, 1U);
      EXPECT_EQ(f.layer, 0U);
      EXPECT_EQ(f.protection_absent, 1U);
      EXPECT_EQ(f.profile, 1U);
      EXPECT_EQ(f.frequency_index, index) << "rate " << rate;
      EXPECT_EQ(f.private_bit, 0U);
      EXPECT_EQ(f.channels, 2U);
      EXPECT_EQ(f.flags, 0U);
      EXPECT_EQ(f.frame_length, payload + 7) << "payload " << payload;
      EXPECT_EQ(f.fullness, 0x7FFU);
      EXPECT_EQ(f.blocks, 0U);
    }
  }
}

TEST(AdtsHeaderFields, RefusesFramesTheLengthFieldCannotHold) {
  EXPECT_FALSE(orvale::adts_header(8185, 44100, orvale::kStereo).has_value());
  EXPECT_FALSE(orvale::adts_header(0xFFFFFFFF, 44100, orvale::kStereo).has_value());
}

TEST(AudioWriters, AppendFramesToTheirOutput) {
  ScratchDir dir;
  orvale::Output aac;
  orvale::Output mp3;
  ASSERT_TRUE(open_output(aac, dir.path("a.aac")));
  ASSERT_TRUE(open_output(mp3, dir.path("a.mp3")));
  const Bytes frame = {0x11, 0x22};
  const Bytes big(8185, 0x5A);
  EXPECT_EQ(orvale::dumpaac(aac, frame, 44100, orvale::kStereo), orvale::DumpStatus::ok);
  EXPECT_EQ(orvale::dumpaac(aac, big, 44100, orvale::kStereo), orvale::DumpStatus::frame_too_long);
  EXPECT_EQ(orvale::dumpaac(aac, {}, 44100, orvale::kStereo), orvale::DumpStatus::ok);
  EXPECT_EQ(orvale::dumpmp3(mp3, frame), orvale::DumpStatus::ok);
  EXPECT_EQ(orvale::dumpmp3(mp3, {}), orvale::DumpStatus::ok);
  EXPECT_EQ(orvale::dumpmp3(mp3, frame), orvale::DumpStatus::ok);
  ASSERT_TRUE(aac.close());
  ASSERT_TRUE(mp3.close());
  EXPECT_EQ(read_file(dir.path("a.aac")), (Bytes{0xFF, 0xF9, 0x50, 0x80, 0x01, 0x3F, 0xFC, 0x11,
                                                 0x22, 0xFF, 0xF9, 0x50, 0x80, 0x00, 0xFF, 0xFC}));
  EXPECT_EQ(read_file(dir.path("a.mp3")), (Bytes{0x11, 0x22, 0x11, 0x22}));
}

TEST(OutputFile, ReportsAFullDisk) {
  orvale::Output full;
  ASSERT_TRUE(open_output(full, "/dev/full"));
  const Bytes small(orvale::Output::kCopyLimit - 1, 0x42);
  EXPECT_TRUE(full.write(small)) << "buffered: not yet written";
  std::size_t writes = 1;
  while (writes <= orvale::Output::kBufferSize / small.size() && full.write(small)) {
    ++writes;
  }
  EXPECT_EQ(writes, orvale::Output::kBufferSize / small.size())
      << "fails once the buffer overflows";
  EXPECT_EQ(full.error(), ENOSPC);
  EXPECT_FALSE(full.write(Bytes{1})) << "a failed output stays failed";
  EXPECT_FALSE(full.close());
}

TEST(OutputFile, ReportsAFailedLargeWriteAtTheNextFlush) {
  orvale::Output full;
  ASSERT_TRUE(open_output(full, "/dev/full"));
  const Bytes large(orvale::Output::kCopyLimit, 0x42);
  EXPECT_TRUE(full.write(large)) << "borrowed, not yet written";
  EXPECT_TRUE(full.holds_borrowed());
  EXPECT_FALSE(full.flush());
  EXPECT_EQ(full.error(), ENOSPC);
}

TEST(OutputFile, ReportsAFailedFlushOnClose) {
  orvale::Output full;
  ASSERT_TRUE(open_output(full, "/dev/full"));
  EXPECT_TRUE(full.write(Bytes{1, 2, 3}));
  EXPECT_FALSE(full.close());
  EXPECT_EQ(full.error(), ENOSPC);
}

// The file grows past the first steps of room (reserved on ext4): what it
// did not use is given back, before the file takes the time it is given.
TEST(OutputFile, KeepsOrderAcrossBufferedAndDirectWrites) {
  ScratchDir dir;
  orvale::Output out;
  ASSERT_TRUE(open_output(out, dir.path("o")));
  Bytes expected;
  std::vector<Bytes> pieces;  // borrowed pieces must live until the flush
  for (const std::size_t size :
       {std::size_t{3}, orvale::Output::kBufferSize + 5, std::size_t{7},
        orvale::Output::kCopyLimit - 1, orvale::Output::kCopyLimit, orvale::Output::kBufferSize - 1,
        std::size_t{1}, orvale::Output::kBufferSize - 3, 3 * orvale::Output::kReserveFrom,
        std::size_t{5}}) {
    pieces.emplace_back(size, static_cast<std::uint8_t>(size));
    expected.insert(expected.end(), pieces.back().begin(), pieces.back().end());
    ASSERT_TRUE(out.write(pieces.back()));
  }
  const orvale::platform::Time recorded{1'500'000'000, 0};
  ASSERT_TRUE(out.close(&recorded));
  EXPECT_EQ(read_file(dir.path("o")), expected);
  EXPECT_LE(allocated_bytes(dir.path("o")), expected.size() + kMiB);
  orvale::platform::FileStatus status;
  ASSERT_EQ(orvale::platform::status(dir.path("o"), true, status), 0);
  EXPECT_EQ(status.modified, recorded);
}

// More pieces than one gathered write takes, alternating copied and borrowed.
TEST(OutputFile, KeepsOrderPastThePendingLimit) {
  ScratchDir dir;
  orvale::Output out;
  ASSERT_TRUE(open_output(out, dir.path("o")));
  const Bytes large(orvale::Output::kCopyLimit, 0xB0);
  Bytes expected;
  for (std::size_t i = 0; i < 3 * orvale::Output::kMaxPending; ++i) {
    const Bytes small = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)};
    ASSERT_TRUE(out.write(small));
    ASSERT_TRUE(out.write(large));
    expected.insert(expected.end(), small.begin(), small.end());
    expected.insert(expected.end(), large.begin(), large.end());
  }
  ASSERT_TRUE(out.close());
  EXPECT_EQ(read_file(dir.path("o")), expected);
}

// Where an output reserves room ahead before it writes up to `end`, and
// whether that leaves a GiB free for others; `to` 0 where it reserves none.
TEST(RoomAhead, FollowsTheFileAndLeavesTheLastGiB) {
  struct Row {
    std::uint64_t end, file_end, reserved, free, from, to;
    bool fits;
  };
  constexpr std::uint64_t M = kMiB;
  constexpr std::uint64_t kPlenty = 100 * kGiB;
  for (const Row& r : {Row{8 * M - 1, 7 * M, 0, kPlenty, 0, 0, false},                // small
                       Row{8 * M, 7 * M, 0, kPlenty, 7 * M, 16 * M, true},            // first step
                       Row{16 * M, 15 * M, 16 * M, kPlenty, 0, 0, false},             // far enough
                       Row{17 * M, 15 * M, 16 * M, kPlenty, 16 * M, 34 * M, true},    // next
                       Row{100 * M, 99 * M, 98 * M, kPlenty, 99 * M, 164 * M, true},  // 64 most
                       Row{9 * M, 40 * M, 0, kPlenty, 0, 0, false},  // back inside the file
                       Row{17 * M, 16 * M, 16 * M, kGiB + 18 * M, 16 * M, 34 * M, true},
                       Row{17 * M, 16 * M, 16 * M, kGiB + 18 * M - 1, 16 * M, 34 * M, false}}) {
    const std::optional<orvale::Room> room = orvale::room_ahead(r.end, r.file_end, r.reserved);
    EXPECT_EQ(room, r.to == 0 ? std::nullopt : std::optional(orvale::Room{r.from, r.to})) << r.end;
    EXPECT_EQ(room && orvale::leaves_free(*room, r.free), r.fits) << r.end << " " << r.free;
  }
}

// What tells an AAC frame from bytes that only have its length (the
// elements it opens with), and what its opening says of the stream's
// channels: mono only for a single channel element of instance 0 whose
// channel stream begins plausibly.
struct ElementCase {
  const char* name;
  Bytes frame;
  std::uint32_t length;  // of the whole frame, of which `frame` is the start
  bool opens;
  std::uint8_t channels;
};

void PrintTo(const ElementCase& c, std::ostream* os) { *os << c.name; }

class AacElements : public ::testing::TestWithParam<ElementCase> {};

TEST_P(AacElements, OpenWithAChannelElementThatGivesTheLayout) {
  const ElementCase& c = GetParam();
  EXPECT_EQ(orvale::opens_with_channel_element(c.frame, c.length), c.opens);
  EXPECT_EQ(orvale::channel_configuration(c.frame, c.length), c.channels);
}

constexpr std::uint8_t kMono = orvale::kMono;
constexpr std::uint8_t kStereo = orvale::kStereo;

INSTANTIATE_TEST_SUITE_P(
    Frames, AacElements,
    ::testing::Values(
        ElementCase{"channel_pair", {0x21, 0x1B}, 2, true, kStereo},
        ElementCase{"channel_pair_with_its_stream", {0x21, 0x2D, 0x67, 0x1F, 0x67, 0x1E}, 6, true,
                    kStereo},
        ElementCase{"single_channel_cut_before_its_stream", {0x01, 0x40}, 2, true, kStereo},
        ElementCase{"single_channel", {0x01, 0x2C, 0x18, 0xAC, 0xE3, 0xC0}, 6, true, kMono},
        ElementCase{"single_channel_short_windows", {0x01, 0x2C, 0x99, 0x56, 0xCE, 0x3C}, 6, true,
                    kMono},
        ElementCase{"single_channel_of_instance_1", {0x03, 0x2C, 0x18, 0xAC, 0xE3, 0xC0}, 6,
                    false, kStereo},
        ElementCase{"single_channel_reserved_bit_set", {0x01, 0x2D, 0x18, 0xAC, 0xE3, 0xC0}, 6,
                    true, kStereo},
        ElementCase{"single_channel_with_predictor_data", {0x01, 0x2C, 0x18, 0xEC, 0xE3, 0xC0}, 6,
                    true, kStereo},
        ElementCase{"escaped_fill_then_single_channel",
                    {0xDE, 0x06, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4,
                     0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0x02, 0x58, 0x31, 0x59, 0xC7, 0x80},
                    25, true, kMono},
        ElementCase{"channel_pair_of_instance_1", {0x22, 0x00}, 2, false, kStereo},
        ElementCase{"low_frequency_element_first", {0x60, 0x00}, 2, false, kStereo},
        ElementCase{"fill_then_channel_pair", {0xC5, 0x4B, 0x4A, 0x40}, 4, true, kStereo},
        ElementCase{"escaped_fill_then_channel_pair",
                    {0xDE, 0x06, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4,
                     0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0xB4, 0x40},
                    20, true, kStereo},
        ElementCase{"aligned_data_stream_then_single_channel", {0x81, 0x01, 0xF0, 0x00}, 4, true,
                    kStereo},
        ElementCase{"nothing_but_fill", {0xC5, 0x4B, 0x4A}, 3, false, kStereo},
        ElementCase{"fill_running_past_the_frame", {0xC5, 0x4B, 0x4A, 0x40}, 3, false, kStereo},
        ElementCase{"fill_past_what_was_read", {0xC5, 0x4B}, 400, true, kStereo},
        ElementCase{"empty_frame", {}, 0, false, kStereo}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AacEndElement, ClosesEveryFrameAlignedToAByte) {
  const std::pair<Bytes, bool> tails[] = {
      {{0x03, 0x80}, true},  {{0x00, 0x07}, true}, {{0x00, 0x38}, true}, {{0xE0}, true},
      {{0x12, 0x34}, false}, {{0x60}, false},      {{0x07, 0x00}, false}, {{}, false}};
  for (const auto& [tail, closes] : tails) {
    EXPECT_EQ(orvale::closes_with_end_element(tail), closes) << ::testing::PrintToString(tail);
  }
}

}  // namespace
