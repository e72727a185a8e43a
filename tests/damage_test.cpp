// Damaged and hostile inputs, run as processes: every cut of a file, and
// headers that lie about sizes.
#include <gtest/gtest.h>

#include <string>

#include "support.h"

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
// A bad spot in the medium: what lies before it is extracted, and the error
// is said as a read error where it was met, never taken for the input's end.
struct ReadErrorCase {
  const char* name;
  std::size_t (*bad_byte)(const Bytes& file);
  std::vector<std::string> options;
  std::string out;
  std::string err;  // after "orvale: PATH: "; "@" stands for the bad packet's offset
  std::size_t whole_packets;  // packets the outputs hold; 0: no outputs at all
};

void PrintTo(const ReadErrorCase& c, std::ostream* os) { *os << c.name; }

std::size_t in_packet_2(const Bytes& file) { return kvx::packet_offset(file, 2) + 5; }

class ReadError : public ::testing::TestWithParam<ReadErrorCase> {};

TEST_P(ReadError, IsSaidWhereItWasMetAfterWhatCouldBeRead) {
  const ReadErrorCase& c = GetParam();
  const Bytes whole = encode(three_packets());
  ScratchDir dir;
  const std::string input = dir.path("in.kvx");
  write_file(input, whole);
  Launch launch;
  testing_support::fail_reads(launch, input, c.bad_byte(whole));
  std::vector<std::string> args = c.options;
  args.push_back(input);
  const RunResult r = run_orvale(args, launch);
  std::string err = c.err;
  if (const auto at = err.find('@'); at != std::string::npos) {
    err.replace(at, 1, std::to_string(kvx::packet_offset(whole, 2)));
  }
  const char* const suffixes[] = {".264", ".0.aac", ".1.aac"};
  if (c.whole_packets > 0) {
    err += "\norvale: " + input +
           ": its outputs are left as they were; what was extracted before the error is kept in " +
           input + ".264.partial, " + input + ".0.aac.partial, " + input + ".1.aac.partial";
  }
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, c.out);
  EXPECT_EQ(r.err, "orvale: " + input + ": " + err + "\n");
  for (const char* suffix : suffixes) {
    EXPECT_FALSE(exists(input + suffix)) << suffix;
  }
  if (c.whole_packets == 0) {
    return;
  }
  kvx::File readable = three_packets();
  readable.packets.resize(c.whole_packets);
  ScratchDir reference;
  write_file(reference.path("in.kvx"), encode(readable));
  ASSERT_EQ(run_orvale({reference.path("in.kvx")}).status, 0);
  for (const char* suffix : suffixes) {
    EXPECT_EQ(read_file(input + suffix + ".partial"), read_file(reference.path("in.kvx") + suffix))
        << suffix;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Places, ReadError,
    ::testing::Values(
        ReadErrorCase{"in_the_header", [](const Bytes&) -> std::size_t { return 20; }, {},
                      "error kvx header\n", "read error: Input/output error", 0},
        ReadErrorCase{"in_the_index", [](const Bytes&) -> std::size_t { return 58; }, {},
                      "read index fail\n", "read error in the frame index: Input/output error",
                      0},
        ReadErrorCase{"in_a_packet", in_packet_2, {}, "",
                      "read error in packet 2: Input/output error", 2},
        ReadErrorCase{"in_a_packet_while_rescuing", in_packet_2, {"--rescue"}, "",
                      "read error at byte @: Input/output error", 2},
        ReadErrorCase{"in_a_packet_under_test", in_packet_2, {"--test"}, "",
                      "read error in packet 2: Input/output error", 0}),
    [](const auto& info) { return std::string(info.param.name); });
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
