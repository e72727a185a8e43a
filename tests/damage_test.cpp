// Damaged and hostile inputs, run as processes: every cut of a file, and
// headers that lie about sizes.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <cstring>
#include <string>

#include "support.h"

#if ORVALE_POSIX_TESTS
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The helpers every test file of the program shares.
using namespace testing_support;

kvx::File three_packets() {
  kvx::File file;
  file.audio_stream_count = 2;
  for (std::uint8_t i = 1; i <= 3; ++i) {
    kvx::Packet packet;
    packet.video = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x06, 0x01, 0, 0, 0, 1, 0x65, i, i};
    packet.audio = {{Bytes(5, i), Bytes(2, i)}, {Bytes(3, i), Bytes(1, i)}};
    file.packets.push_back(packet);
  }
  return file;
}

bool is_prefix(const Bytes& part, const Bytes& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

TEST(EveryCut, EndsWithADiagnosticAndPrefixesOfTheWholeOutput) {
  ScratchDir dir;
  const Bytes whole = encode(three_packets());
  const std::string input = dir.path("in.kvx");
  const char* suffixes[] = {".264", ".0.aac", ".1.aac"};
  write_file(input, whole);
  ASSERT_EQ(run_orvale({input}).status, 0);
  std::vector<Bytes> complete;
  for (const char* suffix : suffixes) {
    complete.push_back(read_file(input + suffix));
  }
  for (std::size_t cut = 0; cut < whole.size(); ++cut) {
    for (const char* suffix : suffixes) {
      std::filesystem::remove(input + suffix);
    }
    write_file(input, Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
    const RunResult r = run_orvale({input});
    ASSERT_TRUE(r.status == 1 || r.status == 2) << "cut at " << cut << ": status " << r.status;
    ASSERT_EQ(r.err.rfind("orvale: " + input + ": ", 0), 0U) << "cut at " << cut << ": " << r.err;
    for (std::size_t i = 0; i < complete.size(); ++i) {
      const std::string output = input + suffixes[i];
      if (exists(output)) {
        ASSERT_TRUE(is_prefix(read_file(output), complete[i]))
            << "cut at " << cut << ", " << output;
      }
    }
  }
}

#if ORVALE_POSIX_TESTS  // address-space limits
struct LieCase {
  const char* name;
  Bytes input;
  int status;
  const char* out;  // standard output
};

void PrintTo(const LieCase& c, std::ostream* os) { *os << c.name; }

Bytes entries(std::initializer_list<std::uint32_t> values) {
  Bytes out;
  for (const auto value : values) {
    kvx::put_le32(out, value);
  }
  return out;
}

// A packet of `length` bytes whose fields say otherwise.
Bytes lying_packet(std::uint8_t frames, std::uint32_t video_size, std::uint32_t first_audio) {
  Bytes packet = {frames, 0, 0, 0, 0, 0, 0, 0, 0};
  kvx::put_le32(packet, video_size);
  kvx::put_le32(packet, first_audio);
  packet.resize(40, 0);
  return packet;
}

class LyingHeader : public ::testing::TestWithParam<LieCase> {};

// The run must fit in an address space a few times what the program maps for
// itself, so that even an allocation of the claimed size that is never touched
// fails it; following the lie would need hundreds of MiB to GiBs. The sanitizer
// runtime reserves terabytes of shadow address space, so there only the
// resident pages can be bounded, with room for that runtime.
#ifdef ORVALE_SANITIZED
constexpr std::uint64_t kAddressSpaceLimit = 0;
constexpr long kPeakLimitKib = 160 * 1024;
#else
constexpr std::uint64_t kAddressSpaceLimit = std::uint64_t{64} << 20;
constexpr long kPeakLimitKib = 32 * 1024;
#endif

TEST_P(LyingHeader, EndsWithTheDocumentedStatusInLittleMemory) {
  ScratchDir dir;
  write_file(dir.path("in.kvx"), GetParam().input);
  testing_support::Launch launch;
  launch.address_space_limit = kAddressSpaceLimit;
  const RunResult r = run_orvale({dir.path("in.kvx")}, launch);
  EXPECT_EQ(r.status, GetParam().status) << r.out << r.err;
  EXPECT_EQ(r.out, GetParam().out) << r.err;
  EXPECT_FALSE(r.err.empty());
  EXPECT_LT(r.peak_rss_kib, kPeakLimitKib);
}

INSTANTIATE_TEST_SUITE_P(
    Lies, LyingHeader,
    ::testing::Values(LieCase{"four_billion_frames",
                              concat({kvx::header_bytes(0xFFFFFFFF, 1, 1, 44100), Bytes(4, 0)}), 2,
                              "read index fail\n"},
                      LieCase{"two_to_the_26_frames",
                              concat({kvx::header_bytes(1U << 26, 1, 1, 44100), Bytes(64, 0)}), 2,
                              "read index fail\n"},
                      LieCase{"two_gib_packet",
                              concat({kvx::header_bytes(1, 1, 1, 44100), entries({0xFFFFFFFE}),
                                      Bytes(40, 0)}),
                              2, ""},
                      LieCase{"huge_video_size",
                              concat({kvx::header_bytes(1, 1, 1, 44100), entries({80}),
                                      lying_packet(1, 0xFFFFFFF0, 4)}),
                              2, ""},
                      LieCase{"huge_audio_length",
                              concat({kvx::header_bytes(1, 1, 1, 44100), entries({80}),
                                      lying_packet(1, 4, 0xFFFFFFF0)}),
                              2, ""},
                      LieCase{"huge_stream_count",
                              concat({kvx::header_bytes(1, 1, 0xFFFFFFFF, 44100), entries({80}),
                                      lying_packet(255, 4, 4)}),
                              2, ""}),
    [](const auto& info) { return std::string(info.param.name); });
#endif

#if ORVALE_POSIX_TESTS  // the fault shim
// A recording whose packets are each larger than a disk block, so that one
// bad block hits one packet.
kvx::File block_packets(std::size_t count = 6, std::size_t video = 10000) {
  kvx::File file;
  file.audio_stream_count = 2;
  for (std::size_t i = 0; i < count; ++i) {
    const auto seed = static_cast<std::uint8_t>(i + 1);
    kvx::Packet packet;
    packet.video = {0, 0, 0, 1, 0x65};
    // Lengths that differ, so that a packet read with another's length shows.
    packet.video.resize(video + 8 * (i % 7), seed);
    packet.audio = {{Bytes(5, seed), Bytes(2, seed)}, {Bytes(3, seed), Bytes(1, seed)}};
    file.packets.push_back(packet);
  }
  return file;
}

constexpr std::uint64_t kBlock = 4096;

// An index three blocks long.
kvx::File long_index() { return block_packets(3000, 20); }

std::vector<std::size_t> lost_from(std::size_t first, std::size_t count) {
  std::vector<std::size_t> lost;
  for (std::size_t number = first; number < count; ++number) {
    lost.push_back(number);
  }
  return lost;
}

// A bad spot in the medium of a regular file costs the packets it hits: what
// lies after it is extracted as the index says, the unreadable bytes and the
// packets lost are told, and the run ends 1. Only where nothing more can be
// read (the device gone, 16 MiB in a row unreadable, a pipe) does the error
// end the run, as a read error where it was met.
struct ReadErrorCase {
  const char* name;
  kvx::File (*recording)();
  std::size_t (*bad_byte)(const Bytes& file);
  std::uint64_t bad_length;  // 0: to the end
  const char* how;           // as failing_io.cpp takes it
  std::vector<std::string> options;
  int status;
  std::string out;
  // The lines on stderr after "orvale: PATH: ", the closing line naming the
  // partial outputs left out.
  std::vector<std::string> (*err)(const Bytes& file, const std::string& path);
  std::vector<std::size_t> lost;  // packets the outputs lack; none at all when status 2 and empty
  bool outputs = true;
};

void PrintTo(const ReadErrorCase& c, std::ostream* os) { *os << c.name; }

std::size_t into_packet(const Bytes& file, std::size_t number, std::size_t into) {
  return kvx::packet_offset(file, number) + into;
}
std::string at(const Bytes& file, std::size_t number) {
  return std::to_string(kvx::packet_offset(file, number));
}
std::string length_of(const Bytes& file, std::size_t number) {
  return std::to_string(kvx::packet_offset(file, number + 1) - kvx::packet_offset(file, number));
}
std::string eio() { return std::strerror(EIO); }

class ReadError : public ::testing::TestWithParam<ReadErrorCase> {};

TEST_P(ReadError, CostsThePacketsItHitsOrEndsTheRunWhereItWasMet) {
  const ReadErrorCase& c = GetParam();
  const kvx::File recording = c.recording();
  const Bytes whole = encode(recording);
  ScratchDir dir;
  const std::string input = dir.path("in.kvx");
  write_file(input, whole);
  Launch launch;
  testing_support::fail_reads(launch, input, c.bad_byte(whole), c.bad_length, c.how);
  std::vector<std::string> args = c.options;
  args.push_back(input);
  const RunResult r = run_orvale(args, launch);
  const char* const suffixes[] = {".264", ".0.aac", ".1.aac"};
  std::string err;
  for (const std::string& line : c.err(whole, input)) {
    err.append("orvale: ").append(input).append(": ").append(line).append("\n");
  }
  const bool partial = c.status == 2 && c.outputs;
  if (partial) {
    err += "orvale: " + input +
           ": its outputs are left as they were; what was extracted before the error is kept in " +
           input + ".264.partial, " + input + ".0.aac.partial, " + input + ".1.aac.partial\n";
  }
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, err);
  const std::string kept = partial ? ".partial" : "";
  for (const char* suffix : suffixes) {
    EXPECT_EQ(exists(input + suffix), c.status == 1 && c.outputs) << suffix;
  }
  if (!c.outputs) {
    return;
  }
  kvx::File readable = recording;
  for (auto lost = c.lost.rbegin(); lost != c.lost.rend(); ++lost) {
    readable.packets.erase(readable.packets.begin() + static_cast<long>(*lost));
  }
  ScratchDir reference;
  write_file(reference.path("in.kvx"), encode(readable));
  ASSERT_EQ(run_orvale({reference.path("in.kvx")}).status, 0);
  for (const char* suffix : suffixes) {
    EXPECT_EQ(read_file(input + suffix += kept), read_file(reference.path("in.kvx") + suffix))
        << suffix;
  }
}

std::size_t in_packet_2(const Bytes& file) { return into_packet(file, 2, 5); }
// A block of the disk, 4 KiB from its start, inside packet 2.
std::size_t block_in_packet_2(const Bytes& file) {
  return (kvx::packet_offset(file, 2) + kBlock - 1) / kBlock * kBlock;
}
// The line for bytes [from, to) that could not be read.
std::string unreadable(std::size_t from, std::size_t to) {
  return "bytes " + std::to_string(from) + " to " + std::to_string(to - 1) + " (" +
         std::to_string(to - from) + " bytes) could not be read; skipped";
}
std::string block_range(const Bytes& file) {
  return unreadable(block_in_packet_2(file), block_in_packet_2(file) + kBlock);
}
// The block in which packet 2 starts, which packet 1 ends in.
std::size_t block_before_packet_2(const Bytes& file) {
  return kvx::packet_offset(file, 2) / kBlock * kBlock;
}
std::string lost_packets_1_and_2(const Bytes& file) {
  return "packets 1 to 2 (2 packets, from byte " + at(file, 1) +
         ") hold bytes that could not be read; skipped";
}
std::string lost_packet_2(const Bytes& file) {
  return "packet 2 (" + std::to_string(kvx::packet_offset(file, 3) - kvx::packet_offset(file, 2)) +
         " bytes at byte " + at(file, 2) + ") holds bytes that could not be read; packet skipped";
}
std::string extracted_share(const Bytes& file, std::size_t listed, std::size_t lost) {
  const std::size_t lost_bytes = kvx::packet_offset(file, lost + 1) - kvx::packet_offset(file, lost);
  return std::to_string(listed - 1) + " of the " + std::to_string(listed) +
         " packets the index lists were extracted, from " +
         std::to_string(file.size() - kvx::packet_offset(file, 0) - lost_bytes) +
         " of the input's " + std::to_string(file.size()) + " bytes";
}
std::string rescue_suggestion(const std::string& path) {
  return "rescue may recover more: orvale --rescue " + path;
}

INSTANTIATE_TEST_SUITE_P(
    Places, ReadError,
    ::testing::Values(
        ReadErrorCase{"in_the_header",
                      three_packets,
                      [](const Bytes&) -> std::size_t { return 20; },
                      0,
                      "",
                      {},
                      2,
                      "error kvx header\n",
                      [](const Bytes&, const std::string&) {
                        return std::vector<std::string>{"read error: " + eio()};
                      },
                      {},
                      false},
        // The index's second block cannot be read: where the packets its
        // entries list stand is not known.
        ReadErrorCase{"in_the_index",
                      long_index,
                      [](const Bytes&) -> std::size_t { return kBlock; },
                      kBlock,
                      "",
                      {},
                      1,
                      "",
                      [](const Bytes& file, const std::string& path) {
                        return std::vector<std::string>{
                            "index entry 1010 could not be read; packets 1010 to 2999 are not "
                            "extracted",
                            "bytes 4096 to 8191 (4096 bytes) could not be read; skipped",
                            "1010 of the 3000 packets the index lists were extracted, from " +
                                std::to_string(kvx::packet_offset(file, 1010) -
                                               kvx::packet_offset(file, 0)) +
                                " of the input's " + std::to_string(file.size()) + " bytes",
                            rescue_suggestion(path)};
                      },
                      lost_from(1010, 3000)},
        // The search finds the packets the index no longer leads to.
        ReadErrorCase{"in_the_index_while_rescuing",
                      long_index,
                      [](const Bytes&) -> std::size_t { return kBlock; },
                      kBlock,
                      "whole",
                      {"--rescue"},
                      1,
                      "",
                      [](const Bytes&, const std::string&) {
                        return std::vector<std::string>{
                            "rescue: 1009 packets from the index, 1991 recovered by structure",
                            "bytes 4096 to 8191 (4096 bytes) could not be read; skipped"};
                      },
                      {}},
        ReadErrorCase{"a_block_in_a_packet",
                      [] { return block_packets(); },
                      block_in_packet_2,
                      kBlock,
                      "",
                      {},
                      1,
                      "",
                      [](const Bytes& file, const std::string&) {
                        return std::vector<std::string>{lost_packet_2(file), block_range(file),
                                                        extracted_share(file, 6, 2)};
                      },
                      {2}},
        // A real device fails every read that reaches the bad block whole.
        ReadErrorCase{"a_block_in_a_packet_failing_whole_reads",
                      [] { return block_packets(); },
                      block_in_packet_2,
                      kBlock,
                      "whole",
                      {},
                      1,
                      "",
                      [](const Bytes& file, const std::string&) {
                        return std::vector<std::string>{lost_packet_2(file), block_range(file),
                                                        extracted_share(file, 6, 2)};
                      },
                      {2}},
        // Fields and all: the walk goes on where the index says the next
        // packet stands, and so does the rescue.
        ReadErrorCase{"a_block_across_two_packets",
                      [] { return block_packets(); },
                      block_before_packet_2,
                      kBlock,
                      "whole",
                      {},
                      1,
                      "",
                      [](const Bytes& file, const std::string&) {
                        return std::vector<std::string>{
                            lost_packets_1_and_2(file),
                            unreadable(block_before_packet_2(file), block_before_packet_2(file) + kBlock),
                            "4 of the 6 packets the index lists were extracted, from " +
                                std::to_string(file.size() - kvx::packet_offset(file, 3) +
                                               kvx::packet_offset(file, 1) -
                                               kvx::packet_offset(file, 0)) +
                                " of the input's " + std::to_string(file.size()) + " bytes"};
                      },
                      {1, 2}},
        ReadErrorCase{"a_block_across_two_packets_while_rescuing",
                      [] { return block_packets(); },
                      block_before_packet_2,
                      kBlock,
                      "whole",
                      {"--rescue"},
                      1,
                      "",
                      [](const Bytes& file, const std::string&) {
                        return std::vector<std::string>{
                            lost_packets_1_and_2(file),
                            unreadable(block_before_packet_2(file),
                                       block_before_packet_2(file) + kBlock)};
                      },
                      {1, 2}},
        // A few bad bytes cost the rest of their block, not a block from them.
        ReadErrorCase{"a_few_bytes_in_a_packet",
                      [] { return block_packets(); },
                      in_packet_2,
                      100,
                      "",
                      {},
                      1,
                      "",
                      [](const Bytes& file, const std::string&) {
                        return std::vector<std::string>{
                            lost_packet_2(file),
                            unreadable(in_packet_2(file), block_in_packet_2(file)),
                            extracted_share(file, 6, 2)};
                      },
                      {2}},
        ReadErrorCase{"a_block_in_a_packet_while_rescuing",
                      [] { return block_packets(); },
                      block_in_packet_2,
                      kBlock,
                      "whole",
                      {"--rescue"},
                      1,
                      "",
                      [](const Bytes& file, const std::string&) {
                        return std::vector<std::string>{lost_packet_2(file), block_range(file)};
                      },
                      {2}},
        ReadErrorCase{"a_block_in_a_packet_under_test",
                      [] { return block_packets(); },
                      block_in_packet_2,
                      kBlock,
                      "",
                      {"--test"},
                      1,
                      "",
                      [](const Bytes& file, const std::string&) {
                        return std::vector<std::string>{lost_packet_2(file), block_range(file),
                                                        extracted_share(file, 6, 2)};
                      },
                      {2},
                      false},
        // Everything from packet 2 on: what lies before it is kept.
        ReadErrorCase{"to_the_end_from_inside_a_packet",
                      three_packets,
                      in_packet_2,
                      0,
                      "",
                      {},
                      1,
                      "",
                      [](const Bytes& file, const std::string&) {
                        return std::vector<std::string>{
                            "packet 2 (58 bytes at byte " + at(file, 2) +
                                ") holds bytes that could not be read; packet skipped",
                            unreadable(in_packet_2(file), kvx::packet_offset(file, 3)),
                            extracted_share(file, 3, 2)};
                      },
                      {2}},
        // A card pulled out: nothing after can be read.
        ReadErrorCase{"the_device_gone",
                      [] { return block_packets(); },
                      block_in_packet_2,
                      kBlock,
                      "gone",
                      {},
                      2,
                      "",
                      [](const Bytes&, const std::string&) {
                        return std::vector<std::string>{"read error in packet 2: " +
                                                        std::string(std::strerror(ENODEV))};
                      },
                      {2, 3, 4, 5}},
        ReadErrorCase{"the_device_gone_while_rescuing",
                      [] { return block_packets(); },
                      block_in_packet_2,
                      kBlock,
                      "gone",
                      {"--rescue"},
                      2,
                      "",
                      [](const Bytes& file, const std::string&) {
                        return std::vector<std::string>{
                            "read error at byte " + std::to_string(block_in_packet_2(file)) + ": " +
                            std::strerror(ENODEV)};
                      },
                      {2, 3, 4, 5}}),
    [](const auto& info) { return std::string(info.param.name); });

// The packets whose bytes meet [from, to).
std::vector<std::size_t> packets_meeting(const Bytes& file, std::size_t count, std::uint64_t from,
                                         std::uint64_t to) {
  std::vector<std::size_t> met;
  for (std::size_t number = 0; number < count; ++number) {
    if (kvx::packet_offset(file, number) < to && kvx::packet_offset(file, number + 1) > from) {
      met.push_back(number);
    }
  }
  return met;
}

class LongBadStretch : public ::testing::Test {
 protected:
  // Runs orvale with `length` bytes unreadable from the first block boundary
  // in packet 2 of `recording`, failing whole reads as a device does.
  RunResult run_with_stretch(const kvx::File& recording, std::uint64_t length,
                             std::uint64_t& from) {
    whole_ = encode(recording);
    write_file(input(), whole_);
    from = block_in_packet_2(whole_);
    Launch launch;
    testing_support::fail_reads(launch, input(), from, length, "whole");
    return run_orvale({input()}, launch);
  }
  // The outputs `kept` hold `recording` less the packets `lost`.
  void expect_outputs(kvx::File recording, const std::vector<std::size_t>& lost,
                      const std::string& kept) const {
    for (auto number = lost.rbegin(); number != lost.rend(); ++number) {
      recording.packets.erase(recording.packets.begin() + static_cast<long>(*number));
    }
    ScratchDir reference;
    write_file(reference.path("in.kvx"), encode(recording));
    ASSERT_EQ(run_orvale({reference.path("in.kvx")}).status, 0);
    for (const char* suffix : {".264", ".0.aac", ".1.aac"}) {
      EXPECT_EQ(read_file(input() + suffix + kept), read_file(reference.path("in.kvx") + suffix))
          << suffix;
    }
  }
  [[nodiscard]] std::string input() const { return dir_.path("in.kvx"); }

  Bytes whole_;

 private:
  ScratchDir dir_;
};

// Steps of 4 KiB, 8 KiB, ... 1 MiB pass 2 MiB of bad blocks in a dozen
// tries, the last step running at most 1 MiB past them; the packets after
// are extracted.
TEST_F(LongBadStretch, IsPassedInGrowingStepsAndTheRunGoesOn) {
  const kvx::File recording = block_packets(40, 100000);
  std::uint64_t from = 0;
  constexpr std::uint64_t kStretch = std::uint64_t{2} << 20;
  const RunResult r = run_with_stretch(recording, kStretch, from);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  const std::string told = "orvale: " + input() + ": bytes " + std::to_string(from) + " to ";
  const auto line = r.err.find(told);
  ASSERT_NE(line, std::string::npos) << r.err;
  const std::uint64_t to = std::stoull(r.err.substr(line + told.size())) + 1;
  // Steps that grow overshoot the stretch; blocks read one by one would not.
  EXPECT_GT(to, from + kStretch);
  EXPECT_LE(to, from + kStretch + (std::uint64_t{1} << 20));
  const std::vector<std::size_t> lost = packets_meeting(whole_, 40, from, to);
  EXPECT_NE(r.err.find(": packets 2 to " + std::to_string(lost.back()) + " (" +
                       std::to_string(lost.size()) + " packets, from byte " + at(whole_, 2) +
                       ") hold bytes that could not be read; skipped\n"),
            std::string::npos)
      << r.err;
  expect_outputs(recording, lost, "");
}

// A packet longer than half the window passes in pieces: on an input that
// has shown no bad spot before, its unreadable bytes are met once its first
// part is written, and are written as zeros and told.
TEST_F(LongBadStretch, InAPacketPassedInPiecesIsWrittenAsZerosAndTold) {
  kvx::File recording = block_packets(4, std::size_t{3} << 20);
  whole_ = encode(recording);
  write_file(input(), whole_);
  // 2 MiB into the packet, past what the window reads ahead of it.
  const std::uint64_t from = block_in_packet_2(whole_) + (std::uint64_t{2} << 20);
  Launch launch;
  testing_support::fail_reads(launch, input(), from, kBlock, "whole");
  const RunResult r = run_orvale({input()}, launch);
  const std::string prefix = "orvale: " + input() + ": ";
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix + "packet 2 (" + length_of(whole_, 2) + " bytes at byte " +
                       at(whole_, 2) +
                       ") holds bytes that could not be read; they were written as zeros\n" +
                       prefix + "bytes " + std::to_string(from) + " to " +
                       std::to_string(from + kBlock - 1) +
                       " (4096 bytes) could not be read; skipped\n" + prefix +
                       "4 of the 4 packets the index lists were extracted, from " +
                       std::to_string(whole_.size() - kvx::packet_offset(whole_, 0)) +
                       " of the input's " + std::to_string(whole_.size()) + " bytes\n");
  // The video follows the packet's 13 fixed bytes and its table of 4 frames.
  const std::size_t video_at = kvx::packet_offset(whole_, 2) + 13 + std::size_t{4} * 4;
  std::fill_n(recording.packets[2].video.begin() + static_cast<long>(from - video_at), kBlock, 0);
  expect_outputs(recording, {}, "");
}

// Once the input has shown a bad spot, such a packet is read ahead and, like
// any other, skipped whole; the reads ahead start where the packet does, and
// cost no good bytes before the bad block all the same.
TEST_F(LongBadStretch, InAPacketPassedInPiecesAfterAnEarlierOneIsSkippedWhole) {
  const kvx::File recording = block_packets(4, std::size_t{3} << 20);
  whole_ = encode(recording);
  write_file(input(), whole_);
  // A block into packet 0, then one 2 MiB into packet 2, past what the window
  // reads ahead of it.
  const std::uint64_t first = kBlock;
  const std::uint64_t second = block_in_packet_2(whole_) + (std::uint64_t{2} << 20);
  Launch launch;
  testing_support::fail_reads(launch, input(), first, kBlock, "whole", second - first);
  const RunResult r = run_orvale({input()}, launch);
  const std::string prefix = "orvale: " + input() + ": ";
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, prefix + "packet 0 (" + length_of(whole_, 0) + " bytes at byte " +
                       at(whole_, 0) + ") holds bytes that could not be read; packet skipped\n" +
                       prefix + "packet 2 (" + length_of(whole_, 2) + " bytes at byte " +
                       at(whole_, 2) +
                       ") holds bytes that could not be read; packet skipped\n" + prefix +
                       "bytes 4096 to 8191 (4096 bytes) could not be read; skipped\n" + prefix +
                       "bytes " + std::to_string(second) + " to " +
                       std::to_string(second + kBlock - 1) +
                       " (4096 bytes) could not be read; skipped\n" + prefix +
                       "2 of the 4 packets the index lists were extracted, from " +
                       std::to_string(std::stoull(length_of(whole_, 1)) +
                                      std::stoull(length_of(whole_, 3))) +
                       " of the input's " +
                       std::to_string(whole_.size()) + " bytes\n");
  expect_outputs(recording, {0, 2}, "");
}

// A bad block every nine blocks, in about every third packet of twenty: each
// costs the packets it meets, and the ranges past the fifth are summed up.
TEST_F(LongBadStretch, ScatteredBlocksCostTheirPacketsAndAreToldSummedUp) {
  const kvx::File recording = block_packets(20, 3 * kBlock);
  whole_ = encode(recording);
  write_file(input(), whole_);
  const std::uint64_t from = block_in_packet_2(whole_);
  const std::uint64_t every = 9 * kBlock;
  Launch launch;
  testing_support::fail_reads(launch, input(), from, kBlock, "whole", every);
  const RunResult r = run_orvale({input()}, launch);
  EXPECT_EQ(r.status, 1);
  std::vector<std::size_t> lost;
  std::string ranges;
  const std::string prefix = "orvale: " + input() + ": ";
  std::uint64_t spots = 0;
  for (std::uint64_t spot = from; spot < whole_.size(); spot += every, ++spots) {
    for (const std::size_t number : packets_meeting(whole_, 20, spot, spot + kBlock)) {
      lost.push_back(number);
    }
    if (spots < 5) {
      ranges += prefix + "bytes " + std::to_string(spot) + " to " +
                std::to_string(spot + kBlock - 1) + " (4096 bytes) could not be read; skipped\n";
    }
  }
  ranges += prefix + std::to_string(spots - 5) + " more unreadable ranges skipped, " +
            std::to_string((spots - 5) * kBlock) + " bytes\n";
  EXPECT_NE(r.err.find(ranges), std::string::npos) << r.err;
  expect_outputs(recording, lost, "");
}

// The rescue's search reads ahead of the window: bad blocks it meets there
// cost their packets as those the window meets do.
TEST_F(LongBadStretch, MetByTheRescuesSearchCostTheirPackets) {
  const kvx::File recording = block_packets(3000, 400);
  whole_ = encode(recording);
  write_file(input(), whole_);
  // In the index, then every 64 KiB.
  const std::uint64_t every = 16 * kBlock;
  Launch launch;
  testing_support::fail_reads(launch, input(), kBlock, kBlock, "whole", every);
  const RunResult r = run_orvale({"--rescue", input()}, launch);
  EXPECT_EQ(r.status, 1);
  std::vector<std::size_t> lost;
  for (std::uint64_t spot = kBlock; spot < whole_.size(); spot += every) {
    EXPECT_TRUE(spot >= kBlock + 5 * every ||
                r.err.find(": bytes " + std::to_string(spot) + " to " +
                           std::to_string(spot + kBlock - 1) + " (") != std::string::npos)
        << spot << "\n"
        << r.err;
    for (const std::size_t number : packets_meeting(whole_, 3000, spot, spot + kBlock)) {
      lost.push_back(number);
    }
  }
  expect_outputs(recording, lost, "");
}

// 16 MiB in a row unreadable: the medium is failing, and the run ends.
TEST_F(LongBadStretch, Of16MiBEndsTheRun) {
  const kvx::File recording = block_packets(20, std::size_t{1} << 20);
  std::uint64_t from = 0;
  const RunResult r = run_with_stretch(recording, std::uint64_t{17} << 20, from);
  // The run ends at the packet in which the 16th MiB ends, or at the one
  // before it when the window's read for that one reached that far.
  const std::vector<std::size_t> met =
      packets_meeting(whole_, 20, from, from + (std::uint64_t{16} << 20));
  const auto named = r.err.find("read error in packet ");
  ASSERT_NE(named, std::string::npos) << r.err;
  const std::size_t failed = std::stoul(r.err.substr(named + 20));
  EXPECT_TRUE(failed == met.back() || failed + 1 == met.back()) << failed;
  const std::string last = std::to_string(failed);
  const std::string prefix = "orvale: " + input() + ": ";
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, prefix + "packets 2 to " + std::to_string(failed - 1) + " (" +
                       std::to_string(failed - 2) + " packets, from byte " + at(whole_, 2) +
                       ") hold bytes that could not be read; skipped\n" + prefix +
                       "read error in packet " + last + ": " + eio() + "\n" + prefix +
                       "its outputs are left as they were; what was extracted before the error "
                       "is kept in " +
                       input() + ".264.partial, " + input() + ".0.aac.partial, " + input() +
                       ".1.aac.partial\n");
  expect_outputs(recording, lost_from(2, 20), ".partial");
}

// A pipe has nothing to read on from after a read error: the run ends there,
// keeping what came before.
TEST(ReadErrorInAPipe, EndsTheRun) {
  const kvx::File recording = three_packets();
  const Bytes whole = encode(recording);
  ScratchDir dir;
  const std::string fifo = dir.path("in.kvx");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Launch launch;
  testing_support::fail_reads(launch, fifo, in_packet_2(whole));
  // Small enough for the pipe to take at once, whatever the reader does.
  std::thread writer([&] {
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    if (fd >= 0) {
      (void)!::write(fd, whole.data(), whole.size());
      ::close(fd);
    }
  });
  const RunResult r = run_orvale({fifo}, launch);
  writer.join();
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "orvale: " + fifo + ": read error in packet 2: " + eio() + "\norvale: " + fifo +
                       ": its outputs are left as they were; what was extracted before the error "
                       "is kept in " +
                       fifo + ".264.partial, " + fifo + ".0.aac.partial, " + fifo +
                       ".1.aac.partial\n");
  kvx::File readable = recording;
  readable.packets.resize(2);
  ScratchDir reference;
  write_file(reference.path("in.kvx"), encode(readable));
  ASSERT_EQ(run_orvale({reference.path("in.kvx")}).status, 0);
  for (const char* suffix : {".264", ".0.aac", ".1.aac"}) {
    EXPECT_EQ(read_file(fifo + suffix + ".partial"), read_file(reference.path("in.kvx") + suffix))
        << suffix;
  }
}
#endif

}  // namespace

// Every file the fuzzer was seeded with or found worth keeping must end in a
// documented way, with each output it made complete.
TEST(FuzzCorpus, EveryFileEndsWithADocumentedStatus) {
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(ORVALE_FUZZ_CORPUS)) {
    ScratchDir dir;
    write_file(dir.path("in.kvx"), read_file(entry.path().string()));
    const RunResult r = run_orvale({dir.path("in.kvx")});
    EXPECT_TRUE(r.status >= 0 && r.status <= 2) << entry.path() << ": status " << r.status;
    EXPECT_EQ(r.status == 0, r.err.empty()) << entry.path() << ": " << r.err;
    ++files;
  }
  EXPECT_GT(files, 0U);
}
