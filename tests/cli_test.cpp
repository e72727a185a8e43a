// The whole program, run as a process on files built here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support.h"

namespace {

// The helpers every test file of the program shares.
using namespace testing_support;

class Cli : public ::testing::Test {
 protected:
  RunResult extract(const Bytes& input) {
    write_file(path("in.kvx"), input);
    return run_orvale({path("in.kvx")});
  }
  std::string path(const std::string& name) const { return dir_.path(name); }
  Bytes output(const std::string& suffix) const { return read_file(path("in.kvx" + suffix)); }
  bool has_output(const std::string& suffix) const { return exists(path("in.kvx" + suffix)); }

  ScratchDir dir_;
};

TEST_F(Cli, SmallCompleteFileGivesTheKnownBytes) {
  const Bytes packet = {0x01, 0,    0, 0, 0, 0, 0, 0, 0, 0x06, 0,    0,    0,    0x02, 0,    0,
                        0,    0x03, 0, 0, 0, 0, 0, 0, 1, 0x65, 0x88, 0x11, 0x22, 0x33, 0x44, 0x55};
  for (const std::uint32_t entry : {64U, 65U}) {
    Bytes index;
    kvx::put_le32(index, entry);
    write_file(path("x"), concat({kvx::header_bytes(1, 1, 2, 44100), index, packet}));
    const RunResult r = run_orvale({"x"}, dir_.path(""));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(path("x.264")), (Bytes{0, 0, 0, 1, 0x65, 0x88}));
    EXPECT_EQ(read_file(path("x.0.aac")),
              (Bytes{0xFF, 0xF9, 0x50, 0x80, 0x01, 0x3F, 0xFC, 0x11, 0x22}));
    EXPECT_EQ(read_file(path("x.1.aac")),
              (Bytes{0xFF, 0xF9, 0x50, 0x80, 0x01, 0x5F, 0xFC, 0x33, 0x44, 0x55}));
  }
}

TEST_F(Cli, UsageWithoutArguments) {
  const RunResult r = run_orvale({});
  EXPECT_EQ(r.out, "Usage: \nOrvale input.kvx\n");
  EXPECT_EQ(r.err, "orvale: no input file; see orvale --help\n");
  EXPECT_EQ(r.status, 2);
}

TEST_F(Cli, EveryArgumentIsAnInput) {
  const kvx::File file = av_file(1, 2);
  write_file(path("in.kvx"), encode(file));
  const RunResult r = run_orvale({path("in.kvx"), path("other.kvx")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "orvale: " + path("other.kvx") + ": cannot open: No such file or directory\n");
  EXPECT_EQ(output(".264"), av_videos({0x10, 0x20}));
  EXPECT_FALSE(exists(path("other.kvx.264")));
}

#if ORVALE_POSIX_TESTS  // a POSIX shell
// Each stdout message is flushed before its stderr companion is written, so
// the two keep their order in a log that takes both.
TEST_F(Cli, MessagesKeepTheirOrderInOneLog) {
  write_file(path("in.kvx"), kvx::header_bytes(0, 0, 1, 0));
  const RunResult r = testing_support::run(
      "/bin/sh", {"-c", orvale_shell_command() + " '" + path("in.kvx") + "' 2>&1"});
  EXPECT_EQ(r.out, "read index fail\norvale: " + path("in.kvx") + ": the header lists no packets\n");
}
#endif

#if ORVALE_POSIX_TESTS  // a POSIX shell, pipes, mount namespaces
// A reader that stops early, as `head` or ffprobe does, ends the run as it
// ends `cat`: no word, and the status a shell gives SIGPIPE.
TEST_F(Cli, StandardOutputsReaderThatStopsEarlyEndsItQuietly) {
  kvx::File file = av_file(1, 8);
  for (auto& packet : file.packets) {
    packet.video.resize(1 << 19, 0x42);
  }
  write_file(path("in.kvx"), encode(file));
  const RunResult r = testing_support::run(
      "/bin/sh", {"-c", "{ " + orvale_shell_command() + " -c -s v '" + path("in.kvx") +
                            "'; echo $? >'" + path("status") + "'; } | head -c 16 | wc -c"});
  EXPECT_EQ(r.out, "16\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(path("status")), (Bytes{'1', '4', '1', '\n'}));
}

// On a full disk the first input's partial files are removed, so the next,
// smaller input still fits. The disk is a 3 MiB tmpfs in a mount namespace
// of the run's own; where none can be made, the test is skipped.
TEST_F(Cli, AFullDiskLeavesRoomForTheNextInput) {
  kvx::File big = av_file(2, 8);
  for (auto& packet : big.packets) {
    packet.video.resize(1 << 19, 0x42);
  }
  kvx::File small = av_file(2, 2);
  for (auto& packet : small.packets) {
    packet.video.resize(1 << 19, 0x24);
  }
  write_file(path("big.kvx"), encode(big));
  write_file(path("small.kvx"), encode(small));
  std::filesystem::create_directory(path("out"));
  const std::string script = "mount -t tmpfs -o size=3m tmpfs out || exit 99\n" +
                             orvale_shell_command() +
                             " -o out big.kvx small.kvx; echo $?; ls -A out\n";
  write_file(path("disk.sh"), Bytes(script.begin(), script.end()));
  const RunResult r = testing_support::run("/usr/bin/unshare", {"-rm", "/bin/sh", "disk.sh"}, path(""));
  if (r.status != 0) {
    GTEST_SKIP() << "no mount namespace here (" << r.status << "): " << r.err;
  }
  EXPECT_EQ(r.out, "2\nsmall.kvx.0.aac\nsmall.kvx.1.aac\nsmall.kvx.264\n");
  // The audio outputs find the disk full as they close.
  EXPECT_EQ(r.err, "orvale: out/big.kvx.264: write failed: No space left on device\n"
                   "orvale: out/big.kvx.0.aac: write failed: No space left on device\n"
                   "orvale: out/big.kvx.1.aac: write failed: No space left on device\norvale: "
                   "big.kvx: its outputs are left as they were; what was extracted before the "
                   "error is removed, not kept in .partial files, which would take the room "
                   "the next input needs\n");
}
#endif

TEST_F(Cli, MissingInputCreatesNothing) {
  const RunResult r = run_orvale({path("absent.kvx")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(
      r.err.find("orvale: " + path("absent.kvx") + ": cannot open: No such file or directory"),
      std::string::npos)
      << r.err;
  EXPECT_FALSE(exists(path("absent.kvx.264")));
}

struct RefusedCase {
  const char* name;
  Bytes input;
  std::string out;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class Refused : public Cli, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(Refused, PrintsTheMessageAndExitsWithError) {
  const RunResult r = extract(GetParam().input);
  EXPECT_EQ(r.out, GetParam().out);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("orvale: ", 0), 0U) << r.err;
  // Outputs a failed run created are removed again.
  EXPECT_FALSE(has_output(".264"));
  EXPECT_FALSE(has_output(".0.mp3"));
}

Bytes with_word(Bytes bytes, std::size_t offset, std::uint32_t value) {
  kvx::set_le32(bytes, offset, value);
  return bytes;
}

Bytes cut(Bytes bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

Bytes index_entries(std::initializer_list<std::uint32_t> entries) {
  Bytes out;
  for (const auto entry : entries) {
    kvx::put_le32(out, entry);
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Refused,
    ::testing::Values(
        RefusedCase{"empty", {}, "error kvx header\n"},
        RefusedCase{"thirty_bytes", Bytes(30, 0), "error kvx header\n"},
        RefusedCase{"fifty_five_bytes", cut(kvx::header_bytes(1, 0, 1, 0), 55),
                    "error kvx header\n"},
        RefusedCase{"bad_magic", with_word(kvx::header_bytes(1, 0, 1, 0), 0, 0x6d78766c),
                    "not a kvxavc file\n"},
        RefusedCase{"word_one_is_two", with_word(kvx::header_bytes(1, 0, 1, 0), 4, 2),
                    "not a kvxavc file\n"},
        RefusedCase{"word_two_is_zero", with_word(kvx::header_bytes(1, 0, 1, 0), 8, 0),
                    "not a kvxavc file\n"},
        RefusedCase{"no_packets", kvx::header_bytes(0, 0, 1, 0), "read index fail\n"},
        RefusedCase{"index_cut_short",
                    concat({kvx::header_bytes(3, 0, 1, 0), index_entries({20, 20})}),
                    "read index fail\n"},
        RefusedCase{"four_billion_frames",
                    concat({kvx::header_bytes(0xFFFFFFFF, 0, 1, 0), Bytes(4, 0)}),
                    "read index fail\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Cli, AllStreamsExtractedInOrder) {
  for (const std::uint32_t format : {kvx::kFormatAac, kvx::kFormatMp3}) {
    for (const std::uint32_t streams : {0U, 1U, 2U, 10U}) {
      const kvx::File file = av_file(streams, 3, format);
      const RunResult r = extract(encode(file));
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, "");  // stderr names the streams earlier rounds left
      EXPECT_EQ(output(".264"), av_videos({0x10, 0x20, 0x30}));
      const std::string extension = format == kvx::kFormatMp3 ? ".mp3" : ".aac";
      for (std::uint32_t s = 0; s < streams; ++s) {
        EXPECT_EQ(output(stream_suffix(s, extension)), av_audio(file, s, {0, 1, 2}))
            << "stream " << s;
      }
      EXPECT_FALSE(has_output(stream_suffix(streams, extension)));
    }
  }
}

TEST_F(Cli, SampleRateChoosesTheAdtsIndex) {
  kvx::File file = av_file(1, 1);
  file.audio_rate = 32000;
  ASSERT_EQ(extract(encode(file)).status, 0);
  EXPECT_EQ(output(".0.aac")[2], 0x54);
  file.audio_rate = 12345;
  const RunResult r = extract(encode(file));
  EXPECT_EQ(r.status, 1) << "a rate ADTS cannot label is said";
  EXPECT_NE(r.err.find("the audio rate of 12345 Hz has no ADTS sampling frequency index; the ADTS "
                       "headers say 48000 Hz"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(output(".0.aac")[2], 0x4C);
  // An MP3 file carries no ADTS header, so its rate is nothing to warn about.
  std::filesystem::remove(path("in.kvx.0.aac"));
  file.audio_format = kvx::kFormatMp3;
  const RunResult mp3 = extract(encode(file));
  EXPECT_EQ(mp3.status, 0);
  EXPECT_EQ(mp3.err, "");
  // Nor is the rate of a file without audio streams, which recorders leave 0.
  std::filesystem::remove(path("in.kvx.0.mp3"));
  kvx::File video_only = av_file(0, 1);
  video_only.audio_rate = 0;
  const RunResult silent = extract(encode(video_only));
  EXPECT_EQ(silent.status, 0);
  EXPECT_EQ(silent.err, "");
}

TEST_F(Cli, MoreThanTenStreamsKeepsTheFirstTen) {
  const kvx::File file = av_file(12, 2);
  const RunResult r = extract(encode(file));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("12 audio streams declared"), std::string::npos) << r.err;
  EXPECT_EQ(output(".264"), av_videos({0x10, 0x20}));
  for (std::uint32_t s = 0; s < 10; ++s) {
    EXPECT_EQ(output(stream_suffix(s, ".aac")), av_audio(file, s, {0, 1}));
  }
  EXPECT_FALSE(has_output(".10.aac"));
}

TEST_F(Cli, BytesAfterTheLastPacketAreIgnored) {
  const kvx::File file = av_file(1, 2);
  const RunResult r = extract(concat({encode(file), Bytes(100, 0xEE)}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(output(".264"), av_videos({0x10, 0x20}));
}

TEST_F(Cli, ZeroLengthEntryEndsTheWalk) {
  const kvx::File file = av_file(1, 3);
  const Bytes whole = encode(file);
  struct Case {
    std::uint32_t middle_entry;
    std::uint32_t last_entry;
    bool zeros_after_packet_0;
    int status;
  };
  // An empty entry after which only empty entries follow is index padding,
  // unless the packets it leaves out stand after the last one it lists.
  for (const Case c : {Case{0, 0, true, 0}, Case{1, 1, true, 0}, Case{0, 0, false, 1},
                       Case{0, 200, false, 1}, Case{1, 41, true, 1}}) {
    Bytes input = whole;
    kvx::set_le32(input, 56 + 4, c.middle_entry);
    kvx::set_le32(input, 56 + 8, c.last_entry);
    if (c.zeros_after_packet_0) {
      std::fill(input.begin() + static_cast<long>(kvx::packet_offset(whole, 1)), input.end(), 0);
    }
    const RunResult r = extract(input);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.empty(), c.status == 0) << r.err;
    EXPECT_EQ(r.err.find("rescue may recover more") != std::string::npos, c.status != 0) << r.err;
    EXPECT_EQ(output(".264"), av_videos({0x10}));
    EXPECT_EQ(output(".0.aac"), av_audio(file, 0, {0}));
  }
}

TEST_F(Cli, TruncatedFileKeepsEveryWholePacket) {
  const kvx::File file = av_file(2, 3);
  const Bytes whole = encode(file);
  const std::size_t third = kvx::packet_offset(whole, 2);
  const RunResult r = extract(Bytes(whole.begin(), whole.begin() + static_cast<long>(third) + 5));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("packet 2"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("the input ends at byte " + std::to_string(third + 5)), std::string::npos)
      << r.err;
  EXPECT_EQ(output(".264"), av_videos({0x10, 0x20}));
  EXPECT_EQ(output(".1.aac"), av_audio(file, 1, {0, 1}));
}

struct DamagedPacketCase {
  const char* name;
  std::size_t field;  // offset inside packet 1
  std::uint32_t value;
  const char* complaint;
};

void PrintTo(const DamagedPacketCase& c, std::ostream* os) { *os << c.name; }

class DamagedPacket : public Cli, public ::testing::WithParamInterface<DamagedPacketCase> {};

TEST_P(DamagedPacket, IsSkippedAndTheWalkGoesOn) {
  const kvx::File file = av_file(2, 3);
  Bytes input = encode(file);
  const std::size_t at = kvx::packet_offset(input, 1) + GetParam().field;
  if (GetParam().field == 0) {
    input[at] = static_cast<std::uint8_t>(GetParam().value);
  } else {
    kvx::set_le32(input, at, GetParam().value);
  }
  const RunResult r = extract(input);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("orvale: " + path("in.kvx") + ": packet 1 (", 0), 0U) << r.err;
  EXPECT_NE(r.err.find(GetParam().complaint), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("; packet skipped\n"), std::string::npos) << r.err;
  // One packet's own fields are damaged, not the index: no hint at it, and
  // a line that says what came through.
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
  EXPECT_EQ(r.err.find("the index looks damaged"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(": 2 of the 3 packets the index lists were extracted, from " +
                       std::to_string(input.size() - kvx::packet_offset(input, 0) -
                                      (kvx::packet_offset(input, 2) - kvx::packet_offset(input, 1))) +
                       " of the input's " + std::to_string(input.size()) + " bytes\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(output(".264"), av_videos({0x10, 0x30}));
  EXPECT_EQ(output(".0.aac"), av_audio(file, 0, {0, 2}));
  EXPECT_EQ(output(".1.aac"), av_audio(file, 1, {0, 2}));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, DamagedPacket,
    ::testing::Values(DamagedPacketCase{"frames_per_stream", 0, 200, "audio size table"},
                      DamagedPacketCase{"video_size", 9, 0x7FFFFFFF, "video chunk"},
                      DamagedPacketCase{"video_size_max", 9, 0xFFFFFFFF, "video chunk"},
                      DamagedPacketCase{"audio_length", 13, 0xFFFFFFFF, "audio frames"},
                      DamagedPacketCase{"last_audio_length", 13 + 12, 1000, "audio frames"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ExactPacketCase {
  const char* name;
  kvx::Packet packet;
};

void PrintTo(const ExactPacketCase& c, std::ostream* os) { *os << c.name; }

class ExactPacket : public Cli, public ::testing::WithParamInterface<ExactPacketCase> {};

// Fields that fill their packet to the last byte, down to a packet with
// nothing in it, are well formed.
TEST_P(ExactPacket, IsExtractedWithoutAWord) {
  kvx::File file = av_file(2, 3);
  file.packets[1] = GetParam().packet;
  const RunResult r = extract(encode(file));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(output(".264"), concat({av_videos({0x10}), GetParam().packet.video, av_videos({0x30})}));
  EXPECT_EQ(output(".0.aac"), av_audio(file, 0, {0, 1, 2}));
  EXPECT_EQ(output(".1.aac"), av_audio(file, 1, {0, 1, 2}));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ExactPacket,
    ::testing::Values(ExactPacketCase{"nothing_at_all", {{}, {{}, {}}}},
                      ExactPacketCase{"empty_frames_only", {{}, {{Bytes{}}, {Bytes{}}}}},
                      ExactPacketCase{"video_only", {av_videos({0x77}), {{}, {}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Cli, PacketShorterThanItsFixedFieldsIsSkipped) {
  const kvx::File file = av_file(1, 2);
  const Bytes whole = encode(file);
  const std::size_t second = kvx::packet_offset(whole, 1);
  Bytes input(whole.begin(), whole.begin() + static_cast<long>(second));
  kvx::set_le32(input, 56 + 4, 12 << 1);
  input.insert(input.end(), 12, 0);
  const RunResult r = extract(input);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("shorter than its 13 fixed bytes"), std::string::npos) << r.err;
  EXPECT_EQ(output(".264"), av_videos({0x10}));
}

TEST_F(Cli, OverlongAacFrameIsSkippedAlone) {
  kvx::File file = av_file(2, 2);
  file.packets[1].audio[1][0] = Bytes(8185, 0x77);
  const RunResult r = extract(encode(file));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("packet 1, stream 1, frame 0: an AAC frame of 8185 bytes"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(output(".0.aac"), av_audio(file, 0, {0, 1}));
  Bytes expected = av_audio(file, 1, {0});
  const Bytes last = adts(file.packets[1].audio[1][1], 44100);
  expected.insert(expected.end(), last.begin(), last.end());
  EXPECT_EQ(output(".1.aac"), expected);
}

// A stream is labelled mono from its first frame with audio in it, every
// later header of it says the same whatever its frames look like, and the
// other stream stays stereo: its first frame would be mono too, but its
// fill element runs past the 64 bytes looked at. Whole packets and packets
// in pieces alike.
TEST_F(Cli, MonoStreamIsLabelledFromItsFirstFrameWithAudio) {
  const Bytes mono = {0x01, 0x2C, 0x18, 0xAC, 0xE3, 0xC0};
  const Bytes long_fill_then_mono =
      concat({{0xDE, 0x78}, Bytes(74, 0xB4), {0x02, 0x58, 0x31, 0x59, 0xC7, 0x80}});
  for (const std::size_t video : {std::size_t{4}, std::size_t{3} << 20}) {
    kvx::File file = av_file(2, 3);
    file.packets[0].audio[0] = {Bytes{}, Bytes{}};
    file.packets[1].audio[0] = {mono, Bytes{0x21, 0x1B}};
    file.packets[0].audio[1] = {long_fill_then_mono, Bytes{}};
    file.packets[1].video.resize(video, 0x11);
    ASSERT_EQ(extract(encode(file)).status, 0);
    Bytes expected = concat({adts({}, 44100), adts({}, 44100)});
    for (const std::size_t p : {1, 2}) {
      for (const Bytes& frame : file.packets[p].audio[0]) {
        expected = concat({expected, adts(frame, 44100, 1)});
      }
    }
    EXPECT_EQ(output(".0.aac"), expected) << video;
    EXPECT_EQ(output(".1.aac"), av_audio(file, 1, {0, 1, 2})) << video;
  }
}

TEST_F(Cli, LargestAacAndMp3FramesPassWhole) {
  kvx::File file = av_file(1, 1);
  file.packets[0].audio[0] = {Bytes(8184, 0x31), Bytes{}};
  ASSERT_EQ(extract(encode(file)).status, 0);
  EXPECT_EQ(output(".0.aac"), av_audio(file, 0, {0}));
  file.audio_format = kvx::kFormatMp3;
  file.packets[0].audio[0] = {Bytes(20000, 0x32), Bytes{}};
  ASSERT_EQ(extract(encode(file)).status, 0);
  EXPECT_EQ(output(".0.mp3"), Bytes(20000, 0x32));
}

TEST_F(Cli, ManyWarningsAreCapped) {
  kvx::File file = av_file(1, 150);
  for (auto& packet : file.packets) {
    packet.audio[0][0] = Bytes(9000, 0);
  }
  const RunResult r = extract(encode(file));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 101);
  EXPECT_NE(r.err.find("50 more warnings not shown"), std::string::npos) << r.err;
}

TEST_F(Cli, OutputThatCannotBeCreated) {
  const kvx::File file = av_file(3, 1);
  write_file(path("in.kvx"), encode(file));
  std::filesystem::create_directory(path("in.kvx.1.aac"));
  const RunResult r = run_orvale({path("in.kvx")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "can not open output file\n");
  EXPECT_NE(r.err.find(path("in.kvx.1.aac") + ": cannot create: Is a directory"), std::string::npos)
      << r.err;
  EXPECT_FALSE(has_output(".264")) << "the outputs this run created are removed";
  EXPECT_FALSE(has_output(".0.aac"));
  EXPECT_FALSE(has_output(".2.aac"));
}

TEST_F(Cli, NameTooLongIsRefusedCleanly) {
  const std::string name(250, 'n');  // fits as the input, too long with ".264" added
  write_file(path(name), encode(av_file(1, 1)));
  const RunResult r = run_orvale({name}, dir_.path(""));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "can not open output file\n");
  EXPECT_NE(r.err.find("File name too long"), std::string::npos) << r.err;
  // Outputs whose names just fit are written, though the hidden files beside
  // them must then take shorter names than theirs.
  const std::string fits(245, 'f');
  write_file(path(fits), encode(av_file(1, 1)));
  const RunResult written = run_orvale({fits}, dir_.path(""));
  EXPECT_EQ(written.status, 0) << written.err;
  EXPECT_EQ(read_file(path(fits + ".0.aac")), av_audio(av_file(1, 1), 0, {0}));
}

#if ORVALE_POSIX_TESTS  // /dev/full
// Packets of 1.5 MiB: the window holds a few, so the video output's failure
// shows when the window is refilled, part way through the file. What the
// other outputs took is removed, not kept: on a full disk it would only take
// the room the next input needs.
TEST_F(Cli, FullDiskIsAnError) {
  kvx::File file = av_file(2, 8);
  for (auto& packet : file.packets) {
    packet.video.resize(3 << 19, 0x42);
  }
  write_file(path("in.kvx"), encode(file));
  std::filesystem::create_symlink("/dev/full", path("in.kvx.264"));
  const RunResult r = run_orvale({path("in.kvx")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "orvale: " + path("in.kvx.264") +
                       ": write failed: No space left on device\norvale: " + path("in.kvx") +
                       ": its outputs are left as they were; what was extracted before the "
                       "error is removed, not kept in .partial files, which would take the room "
                       "the next input needs\n")
      << "told once";
  EXPECT_FALSE(has_output(".0.aac"));
  EXPECT_FALSE(has_output(".0.aac.partial"));
  EXPECT_FALSE(has_output(".1.aac.partial"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(path("")),
                          std::filesystem::directory_iterator()),
            2);
}
#endif

#if ORVALE_POSIX_TESTS  // /dev/full
TEST_F(Cli, FullDiskFoundOnlyAtCloseIsAnError) {
  const kvx::File file = av_file(2, 1);
  write_file(path("in.kvx"), encode(file));
  std::filesystem::create_symlink("/dev/full", path("in.kvx.1.aac"));
  const RunResult r = run_orvale({path("in.kvx")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(path("in.kvx.1.aac") + ": write failed"), std::string::npos) << r.err;
  EXPECT_FALSE(has_output(".0.aac.partial"));
  EXPECT_FALSE(has_output(".0.aac"));
}
#endif

}  // namespace
