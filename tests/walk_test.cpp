// The container walk seen from outside, through the program run as a process:
// packets at the very edge of well formed, where the walk stops, and what is
// left behind when memory, an output or the input itself fails.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "container/input.h"
#include "container/le.h"
#include "container/packet_walk.h"
#include "streams/output.h"
#include "support.h"

#if ORVALE_POSIX_TESTS
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using orvale::read_le32;
// Nearly every helper here comes from the shared test support.
using namespace testing_support;

constexpr std::size_t kHeaderSize = 56;

std::size_t entry_offset(std::size_t number) { return kHeaderSize + 4 * number; }

// The stdout texts may gain a closing newline; they are compared without it.
[[maybe_unused]] std::string message(std::string out) {
  if (!out.empty() && out.back() == '\n') {
    out.pop_back();
  }
  return out;
}

// `err` is one diagnostic line about `file` that holds every one of `parts`.
::testing::AssertionResult one_line(const std::string& err, const std::string& file,
                                    std::initializer_list<std::string> parts) {
  const std::string prefix = "orvale: " + file + ": ";
  if (err.rfind(prefix, 0) != 0 || err.find('\n') != err.size() - 1) {
    return ::testing::AssertionFailure() << "not one line starting \"" << prefix << "\": " << err;
  }
  for (const auto& part : parts) {
    if (err.find(part) == std::string::npos) {
      return ::testing::AssertionFailure() << "no \"" << part << "\" in: " << err;
    }
  }
  return ::testing::AssertionSuccess();
}

class Walk : public ::testing::Test {
 protected:
  [[nodiscard]] std::string input() const { return dir_.path("in.kvx"); }
  RunResult extract(const Bytes& bytes) {
    write_file(input(), bytes);
    return run_orvale({input()});
  }
  [[nodiscard]] Bytes output(const std::string& suffix) const {
    return read_file(input() + suffix);
  }
  [[nodiscard]] bool has_output(const std::string& suffix) const {
    return exists(input() + suffix);
  }
  // The outputs hold exactly these packets of `file`: the video those with
  // `seeds`, each audio stream those numbered `packets`.
  // `kept` is ".partial" where a failed run kept them beside the names.
  void expect_extracted(const kvx::File& file, std::initializer_list<std::uint8_t> seeds,
                        std::initializer_list<std::size_t> packets,
                        const std::string& kept = "") const {
    if (!has_output(".264" + kept)) {
      ADD_FAILURE() << "no video output";
      return;
    }
    EXPECT_EQ(output(".264" + kept), av_videos(seeds));
    const char* extension = file.audio_format == kvx::kFormatMp3 ? ".mp3" : ".aac";
    for (std::uint32_t s = 0; s < file.audio_stream_count; ++s) {
      EXPECT_EQ(output(stream_suffix(s, extension) + kept), av_audio(file, s, packets))
          << "stream " << s;
      EXPECT_EQ(has_output(stream_suffix(s, extension)), kept.empty()) << "stream " << s;
    }
  }

  ScratchDir dir_;
};

// ---- Packets that end exactly where their fields end

struct EdgeCase {
  const char* name;
  std::uint32_t format;
  std::uint32_t streams;
  std::size_t empty_frames;  // per stream, in the edge packet
};

void PrintTo(const EdgeCase& c, std::ostream* os) { *os << c.name; }

class EdgePacket : public Walk, public ::testing::WithParamInterface<EdgeCase> {};

// An empty frame still gets its ADTS header: seven bytes saying frame length 7.
const Bytes kBareAdts = {0xFF, 0xF9, 0x50, 0x80, 0x00, 0xFF, 0xFC};

// Packet 1 has no video and only empty audio frames, so its index entry ends it
// right after its 13 fixed bytes or right after its audio size table.
TEST_P(EdgePacket, IsWellFormedAndExtracted) {
  const EdgeCase& c = GetParam();
  kvx::File file = av_file(c.streams, 3, c.format);
  file.packets[1].video.clear();
  file.packets[1].audio.assign(c.streams, std::vector<Bytes>(c.empty_frames));
  const Bytes bytes = encode(file);
  ASSERT_EQ(read_le32(bytes, entry_offset(1)) >> 1, 13 + 4 * c.streams * c.empty_frames);
  const RunResult r = extract(bytes);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(output(".264"), av_videos({0x10, 0x30}));
  for (std::uint32_t s = 0; s < c.streams; ++s) {
    Bytes expected = av_audio(file, s, {0});
    for (std::size_t j = 0; j < c.empty_frames && c.format != kvx::kFormatMp3; ++j) {
      expected.insert(expected.end(), kBareAdts.begin(), kBareAdts.end());
    }
    const Bytes last = av_audio(file, s, {2});
    expected.insert(expected.end(), last.begin(), last.end());
    const char* extension = c.format == kvx::kFormatMp3 ? ".mp3" : ".aac";
    EXPECT_EQ(output(stream_suffix(s, extension)), expected) << "stream " << s;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Packets, EdgePacket,
    ::testing::Values(EdgeCase{"fixed_bytes_no_streams", kvx::kFormatAac, 0, 0},
                      EdgeCase{"fixed_bytes_two_streams", kvx::kFormatAac, 2, 0},
                      EdgeCase{"size_table_aac", kvx::kFormatAac, 2, 3},
                      EdgeCase{"size_table_mp3", kvx::kFormatMp3, 1, 4},
                      EdgeCase{"size_table_ten_streams", kvx::kFormatAac, 10, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The audio format word

TEST_F(Walk, EveryAudioFormatButZeroIsAac) {
  for (const std::uint32_t format : {1U, 2U, 0xFFFFFFFFU}) {
    SCOPED_TRACE(format);
    const kvx::File file = av_file(2, 2, format);
    const RunResult r = extract(encode(file));
    EXPECT_EQ(r.status, 0) << r.err;
    for (std::uint32_t s = 0; s < 2; ++s) {
      const Bytes aac = output(stream_suffix(s, ".aac"));
      ASSERT_GE(aac.size(), 2U);
      EXPECT_EQ(aac[0], 0xFF);
      EXPECT_EQ(aac[1], 0xF9);
      EXPECT_EQ(aac, av_audio(file, s, {0, 1}));
      EXPECT_FALSE(has_output(stream_suffix(s, ".mp3")));
    }
  }
}

struct ZeroEntryCase {
  const char* name;
  std::uint32_t zero_entry;  // 0, or 1: length 0 with the flag bit set
  std::vector<bool> after;   // the entries after it: a packet the file holds, or empty
};

void PrintTo(const ZeroEntryCase& c, std::ostream* os) { *os << c.name; }

class ZeroEntry : public Walk, public ::testing::WithParamInterface<ZeroEntryCase> {};

// Packet 0, then the empty entry, then the case's entries. The file holds the
// later packets right after packet 0, where a walk that went on would find
// them whole.
TEST_P(ZeroEntry, EndsTheWalkAndCountsThePacketsLeftOut) {
  const ZeroEntryCase& c = GetParam();
  const auto left_out = static_cast<std::size_t>(std::count(c.after.begin(), c.after.end(), true));
  const kvx::File file = av_file(1, 1 + left_out);
  const Bytes whole = encode(file);
  Bytes index;
  kvx::put_le32(index, read_le32(whole, entry_offset(0)));
  kvx::put_le32(index, c.zero_entry);
  std::size_t next = 1;
  for (const bool packet : c.after) {
    kvx::put_le32(index, packet ? read_le32(whole, entry_offset(next++)) : 0);
  }
  const auto count = static_cast<std::uint32_t>(index.size() / 4);
  const Bytes body(whole.begin() + static_cast<long>(entry_offset(file.packets.size())),
                   whole.end());
  const RunResult r =
      extract(concat({kvx::header_bytes(count, kvx::kFormatAac, 1, 44100), index, body}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  // The warning, what came through, and the command that may recover more.
  EXPECT_TRUE(one_line(
      r.err.substr(0, r.err.find('\n') + 1), input(),
      {"packet 1 has length 0", std::to_string(left_out) + " later packets are not extracted"}));
  EXPECT_TRUE(r.err.ends_with(": rescue may recover more: orvale --rescue " + input() + "\n"))
      << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;
  expect_extracted(file, {0x10}, {0});
}

INSTANTIATE_TEST_SUITE_P(
    Indexes, ZeroEntry,
    ::testing::Values(ZeroEntryCase{"one_packet_after", 0, {true}},
                      ZeroEntryCase{"three_packets_after", 0, {true, true, true}},
                      ZeroEntryCase{"packets_among_empty_entries", 0, {false, true, false, true}},
                      ZeroEntryCase{"flagged_empty_entry", 1, {true}}),
    [](const auto& info) { return std::string(info.param.name); });

#if ORVALE_POSIX_TESTS  // address-space limits, /dev/full, FIFOs, the fault shim

// ---- Out of memory: the child runs with its address space capped

#ifdef ORVALE_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr const char* kSanitizedSkip =
    "the sanitizer runtime reserves terabytes of address space for its shadow memory";

// Half the 64 MiB frame index and a 48th of the 1.5 GiB packet below, yet four
// times what the program maps for itself with all its output buffers.
constexpr std::uint64_t kAddressSpaceLimit = std::uint64_t{32} << 20;

RunResult run_capped(const std::string& input) {
  Launch launch;
  launch.address_space_limit = kAddressSpaceLimit;
  return run_orvale({input}, launch);
}

// The file at `path` is `prefix` followed by `zeros` zero bytes, checked a
// piece at a time so that a huge output never has to fit in memory here.
::testing::AssertionResult holds_then_zeros(const std::string& path, const Bytes& prefix,
                                            std::uint64_t zeros) {
  std::ifstream in(path, std::ios::binary);
  const std::uint64_t size = std::filesystem::file_size(path);
  if (size != prefix.size() + zeros) {
    return ::testing::AssertionFailure()
           << path << " holds " << size << " bytes, not " << prefix.size() + zeros;
  }
  Bytes head(prefix.size());
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  if (!in || head != prefix) {
    return ::testing::AssertionFailure() << path << " does not start with the expected bytes";
  }
  std::vector<char> piece(std::size_t{1} << 20);
  for (std::uint64_t done = 0; done < zeros;) {
    const auto want =
        static_cast<std::streamsize>(std::min<std::uint64_t>(piece.size(), zeros - done));
    in.read(piece.data(), want);
    if (in.gcount() != want ||
        std::any_of(piece.begin(), piece.begin() + want, [](char byte) { return byte != 0; })) {
      return ::testing::AssertionFailure() << path << ": not zero near byte " << done;
    }
    done += static_cast<std::uint64_t>(want);
  }
  return ::testing::AssertionSuccess();
}

// One ordinary packet, then one of 1.5 GiB: a video chunk of zeros (no start
// code, so all of it is kept). The file is sparse, so it costs no disk.
//
// A reader that holds each packet whole in memory cannot do that under the
// limit and ends with the documented out-of-memory outcome after packet 0;
// one that streams a packet through its window extracts all of it. Either is
// right; a crash, a signal, or status 0 with less than the whole packet
// written is not.
TEST_F(Walk, HugePacketUnderAnAddressSpaceLimit) {
  if (kSanitized) {
    GTEST_SKIP() << kSanitizedSkip;
  }
  constexpr std::uint32_t kVideoSize = 0x60000000;
  kvx::File file = av_file(1, 2);
  file.packets[1] = kvx::Packet{{}, {{}}, false};
  Bytes head = encode(file);
  kvx::set_le32(head, entry_offset(1), (13 + kVideoSize) << 1);
  kvx::set_le32(head, kvx::packet_offset(head, 1) + 9, kVideoSize);
  write_file(input(), head);
  std::filesystem::resize_file(input(), head.size() + kVideoSize);

  const RunResult r = run_capped(input());
  if (r.status == 2) {
    EXPECT_EQ(message(r.out), "read index fail");
    EXPECT_TRUE(one_line(without_kept_line(r.err), input(), {"packet 1", "out of memory"}));
    expect_extracted(file, {0x10}, {0}, ".partial");
  } else {
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(holds_then_zeros(input() + ".264", av_videos({0x10}), kVideoSize));
    EXPECT_EQ(output(".0.aac"), av_audio(file, 0, {0}));
  }
}

// 2^24 entries, 64 MiB of frame index that the file really holds, each for a
// 13-byte empty packet (a sparse tail of zeros); without the limit the file
// extracts cleanly. The index must be held whole while the packets are walked,
// so this stays out of reach.
TEST_F(Walk, IndexLargerThanTheAddressSpaceLimit) {
  if (kSanitized) {
    GTEST_SKIP() << kSanitizedSkip;
  }
  if (emulated()) {
    GTEST_SKIP() << "qemu-user does not pass RLIMIT_AS on to the program it runs";
  }
  constexpr std::uint32_t kCount = 1U << 24;
  Bytes head = kvx::header_bytes(kCount, kvx::kFormatAac, 1, 44100);
  head.reserve(entry_offset(kCount));
  for (std::uint32_t i = 0; i < kCount; ++i) {
    kvx::put_le32(head, 13 << 1);
  }
  write_file(input(), head);
  std::filesystem::resize_file(input(), head.size() + std::uint64_t{13} * kCount);

  const RunResult r = run_capped(input());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(message(r.out), "malloc fail");
  EXPECT_TRUE(one_line(r.err, input(), {"out of memory", "frame index", std::to_string(kCount)}));
}

// ---- Where the walk ends early

struct FailingOutputCase {
  const char* name;
  std::size_t frames;        // of stream 0 in packet 1
  std::size_t frame_length;  // each
};

void PrintTo(const FailingOutputCase& c, std::ostream* os) { *os << c.name; }

static_assert(orvale::Output::kBufferSize / 250 < orvale::Output::kCopyLimit,
              "the small frames below must be copied into the output's buffer");

class FailingAudioOutput : public Walk, public ::testing::WithParamInterface<FailingOutputCase> {};

// Stream 0's output is a FIFO whose reader takes one byte and leaves (a
// full disk would keep no partial files to tell how far the walk went).
// Packet 1's frames for it cannot all wait in memory for a later write, nor
// fit in the pipe, so the failure shows within packet 1, not when the output
// is closed.
TEST_P(FailingAudioOutput, EndsTheWalkThere) {
  kvx::File file = av_file(2, 4, kvx::kFormatMp3);
  auto& streams = file.packets[1].audio;
  streams[0].assign(GetParam().frames, Bytes(GetParam().frame_length, 0x5A));
  streams[1].assign(GetParam().frames, Bytes{0x21});
  write_file(input(), encode(file));
  const std::string fifo = input() + ".0.mp3";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread reader([&] {
    const int fd = ::open(fifo.c_str(), O_RDONLY);  // waits for the run to open it
    char byte = 0;
    if (fd >= 0) {
      (void)::read(fd, &byte, 1);
      ::close(fd);
    }
  });
  const RunResult r = run_orvale({input()});
  reader.join();
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(one_line(without_kept_line(r.err), input() + ".0.mp3",
                       {std::string("write failed: ") + std::strerror(EPIPE)}));
  // A packet's video is written before its audio; stream 1 comes after stream 0.
  EXPECT_EQ(output(".264.partial"), av_videos({0x10, 0x20}));
  EXPECT_EQ(output(".1.mp3.partial"), av_audio(file, 1, {0}));
  EXPECT_FALSE(has_output(".264"));
}

INSTANTIATE_TEST_SUITE_P(Writes, FailingAudioOutput,
                         ::testing::Values(
                             // Larger than the input window and the output's buffer: written
                             // straight from the input as the window moves on.
                             FailingOutputCase{"frame_larger_than_the_window", 1,
                                               std::max(orvale::InputWindow::kDefaultSize,
                                                        orvale::Output::kBufferSize) +
                                                   1},
                             // Small frames, copied into the output's buffer until it is full.
                             FailingOutputCase{"small_frames_filling_the_buffer", 255,
                                               orvale::Output::kBufferSize / 250}),
                         [](const auto& info) { return std::string(info.param.name); });

struct TrailingCut {
  std::size_t into;  // bytes of the trailing ones the file still holds
  bool pipe;         // read through a FIFO, whose length is not known ahead
};

class CutInTrailingBytes : public Walk, public ::testing::WithParamInterface<TrailingCut> {
 protected:
  // Runs orvale on `bytes` written into a FIFO at the input path.
  RunResult extract_through_pipe(const Bytes& bytes) {
    const std::string fifo = input();
    if (::mkfifo(fifo.c_str(), 0600) != 0) {
      throw std::runtime_error("mkfifo failed");
    }
    const pid_t writer = ::fork();
    if (writer == 0) {
      const int fd = ::open(fifo.c_str(), O_WRONLY);
      for (std::size_t done = 0; fd >= 0 && done < bytes.size();) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written <= 0) {
          break;
        }
        done += static_cast<std::size_t>(written);
      }
      ::_exit(0);
    }
    const RunResult r = run_orvale({fifo});
    // Lets the writer finish even if the run never opened its input.
    ::close(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
    (void)::waitpid(writer, nullptr, 0);
    return r;
  }
};

constexpr std::size_t kTrailing = 40;

// Packet 1's index entry claims 40 bytes more than its fields take; the input
// ends some bytes into them. Its fields are whole, yet it is not.
TEST_P(CutInTrailingBytes, LeavesThePacketOut) {
  const kvx::File file = av_file(2, 2);
  Bytes bytes = encode(file);
  const std::size_t start = kvx::packet_offset(bytes, 1);
  const std::size_t end = bytes.size() + GetParam().into;
  kvx::set_le32(bytes, entry_offset(1),
                read_le32(bytes, entry_offset(1)) + (static_cast<std::uint32_t>(kTrailing) << 1));
  bytes.resize(end, 0xEE);
  const RunResult r = GetParam().pipe ? extract_through_pipe(bytes) : extract(bytes);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(one_line(r.err.substr(0, r.err.find('\n') + 1), input(),
                       {"packet 1 (", "at byte " + std::to_string(start) + ")",
                        "the input ends at byte " + std::to_string(end)}));
  EXPECT_TRUE(r.err.ends_with(": 1 of the 2 packets the index lists were extracted, from 64 of the "
                              "input's " +
                              std::to_string(end) + " bytes\n"))
      << r.err;
  expect_extracted(file, {0x10}, {0});
}

INSTANTIATE_TEST_SUITE_P(Cuts, CutInTrailingBytes,
                         ::testing::Values(TrailingCut{0, false}, TrailingCut{1, false},
                                           TrailingCut{kTrailing - 1, false}, TrailingCut{0, true},
                                           TrailingCut{kTrailing - 1, true}),
                         [](const auto& info) {
                           return std::string(info.param.pipe ? "pipe_" : "file_") +
                                  std::to_string(info.param.into);
                         });

// ---- Read errors

// Bad blocks in the index and in packets, through the fault shim, are rows
// of the read error table in damage_test.cpp.
using InputReadError = Walk;

TEST_F(InputReadError, InTheHeader) {
  // The program opens the path itself, so this is its own memory, which has
  // nothing mapped at address 0: the first read fails with EIO.
  const RunResult r = run_orvale({"/proc/self/mem"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(message(r.out), "error kvx header");
  EXPECT_TRUE(
      one_line(r.err, "/proc/self/mem", {std::string("read error: ") + std::strerror(EIO)}));
}

#endif

// ---- The start-code filter through the whole program

// 300 slices, each followed by an SEI unit; every third unit behind a 4-byte
// start code, and every fiftieth slice too large to be copied into the
// output's buffer, so that kept runs both gather there and go straight out.
TEST_F(Walk, ChunkOfManyUnitsKeepsExactlyTheSlicesInOrder) {
  const Bytes code3 = {0, 0, 1};
  const Bytes code4 = {0, 0, 0, 1};
  Bytes chunk;
  Bytes slices;
  for (std::uint32_t i = 0; i < 600; ++i) {
    Bytes unit = i % 3 == 0 ? code4 : code3;
    const bool slice = i % 2 == 0;
    // The header byte, then the unit's number in bytes that are never zero.
    unit.push_back(slice ? (i % 4 == 0 ? 0x65 : 0x41) : 0x06);
    unit.push_back(static_cast<std::uint8_t>(0x80 | i >> 7));
    unit.push_back(static_cast<std::uint8_t>(0x80 | (i & 0x7F)));
    if (slice && i % 100 == 0) {
      unit.resize(unit.size() + orvale::Output::kCopyLimit + 1, 0x42);
    }
    chunk.insert(chunk.end(), unit.begin(), unit.end());
    if (slice) {
      slices.insert(slices.end(), unit.begin(), unit.end());
    }
  }
  kvx::File file = av_file(1, 3);
  file.packets[1].video = chunk;
  const RunResult r = extract(encode(file));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(output(".264"), concat({av_videos({0x10}), slices, av_videos({0x30})}));
  EXPECT_EQ(output(".0.aac"), av_audio(file, 0, {0, 1, 2}));
}

// How a chunk's opening, as much of it as is held, tells whether it was
// read from where it begins.
struct Opening {
  Bytes held;
  std::uint64_t video_size;
  bool opens;
};

TEST(ChunkOpening, IsAStartCodeAndANalUnitHeaderOrZerosThatCannotBeTold) {
  const Opening cases[] = {
      {{0, 0, 1, 0x65}, 4, true},
      {{0, 0, 0, 1, 0x09, 0xF0}, 6, true},
      {{0, 0, 0, 1}, 4, true},           // a recorder's chunk ending in its start code
      {{0, 0}, 2, false},                // too short for a start code and a header
      {{0, 0, 1}, 3, false},
      {{0, 0, 0, 0, 1}, 5, true},        // ending in its start code too
      {{0, 0, 1, 0xE5}, 4, false},       // the forbidden bit
      {{0, 1, 0x65, 0}, 4, false},       // one zero is no start code
      {{0x11, 0, 0, 1, 0x65}, 5, false},
      {Bytes(16, 0), 1000, true},        // zeros throughout the look
      {Bytes(6, 0), 1000, true},         // a piece held of a longer chunk
      {{0, 0, 0, 0, 0, 1}, 1000, true},
      {{0, 0, 0, 0, 0, 2}, 6, false},
  };
  for (const Opening& c : cases) {
    EXPECT_EQ(orvale::chunk_opens_a_nal_unit(c.held, c.video_size), c.opens)
        << testing::PrintToString(c.held) << " of " << c.video_size;
  }
}

TEST(ChunkOpening, FieldsFillASliverOnlyWhenTinyInALargerEntry) {
  EXPECT_TRUE(orvale::fills_a_sliver(15, 1500));
  EXPECT_TRUE(orvale::fills_a_sliver(64, 513));
  EXPECT_FALSE(orvale::fills_a_sliver(64, 512));   // eight times its fields
  EXPECT_FALSE(orvale::fills_a_sliver(15, 79));    // within a recorder's padding
  EXPECT_FALSE(orvale::fills_a_sliver(65, 4000));  // a picture's worth
  EXPECT_FALSE(orvale::fills_a_sliver(1500, 1500));
}

}  // namespace
