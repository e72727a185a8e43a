// What a user already has is never lost or spoiled: closed standard
// descriptors, write failures that arrive as signals, failed re-runs over
// earlier outputs, runs that extract nothing, a directory as input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <thread>

#include "support.h"

namespace {

// The helpers every test file of the program shares.
using namespace testing_support;

const Bytes kSlice = {0, 0, 0, 1, 0x65, 0x88, 0x84};

kvx::File two_stream_file(std::size_t packets, std::size_t video_bytes = 0) {
  kvx::File file;
  file.audio_stream_count = 2;
  for (std::size_t i = 0; i < packets; ++i) {
    kvx::Packet packet;
    packet.video = concat({kSlice, Bytes(video_bytes + 1, static_cast<std::uint8_t>(i + 1))});
    const auto seed = static_cast<std::uint8_t>(0x20 + i);
    packet.audio = {{Bytes(5, seed), Bytes(6, seed)}, {Bytes(7, seed), Bytes(2, seed)}};
    file.packets.push_back(packet);
  }
  return file;
}

const char* const kSuffixes[] = {".264", ".0.aac", ".1.aac"};

// The outputs of a clean run on `file`, made in a directory of their own.
std::map<std::string, Bytes> reference_outputs(const Bytes& file) {
  ScratchDir dir;
  write_file(dir.path("in.kvx"), file);
  EXPECT_EQ(run_orvale({dir.path("in.kvx")}).status, 0);
  return outputs_of(dir.path("in.kvx"));
}

#if ORVALE_POSIX_TESTS  // descriptors, FIFOs, file-size limits
TEST(ClosedDescriptors, DiagnosticsNeverLandInAnOutput) {
  const kvx::File file = two_stream_file(3);
  Bytes input = encode(file);
  const std::size_t third = kvx::packet_offset(input, 2);
  const Bytes whole_two = reference_outputs(encode(two_stream_file(2))).at(".264");
  input.resize(third + 4);  // the last packet is cut short: a warning is due
  const std::vector<std::vector<int>> closings = {{0, 2}, {0, 1, 2}, {1}};
  for (const auto& closed : closings) {
    ScratchDir dir;
    write_file(dir.path("in.kvx"), input);
    Launch launch;
    launch.closed = closed;
    const RunResult r = run_orvale({dir.path("in.kvx")}, launch);
    EXPECT_EQ(r.status, 1) << "closed " << closed.size();
    const auto outputs = outputs_of(dir.path("in.kvx"));
    const auto expected = reference_outputs(encode(two_stream_file(2)));
    EXPECT_EQ(outputs, expected) << "closed " << closed.size();
    EXPECT_EQ(outputs.at(".264"), whole_two);
  }
  // What is meant for standard output has nowhere to go when it is closed.
  for (const auto& args : {std::vector<std::string>{"--list", "x.kvx"}, {"-cs", "v", "x.kvx"}}) {
    Launch launch;
    launch.closed = {1};
    const RunResult r = run_orvale(args, launch);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_EQ(r.err, "orvale: standard output is closed; --stdout and --list write there\n");
  }
}
#endif

#if ORVALE_POSIX_TESTS  // descriptors, FIFOs, file-size limits
// A FIFO at the video output whose reader takes one byte and leaves.
TEST(WriteSignals, AReaderThatGoesAwayIsAWriteError) {
  ScratchDir dir;
  const kvx::File file = two_stream_file(4, 1 << 20);
  write_file(dir.path("in.kvx"), encode(file));
  ASSERT_EQ(::mkfifo(dir.path("in.kvx.264").c_str(), 0600), 0);
  std::thread reader([&] {
    const int fd = ::open(dir.path("in.kvx.264").c_str(), O_RDONLY);
    char byte = 0;
    if (fd >= 0) {
      (void)::read(fd, &byte, 1);
      ::close(fd);
    }
  });
  const RunResult r = run_orvale({dir.path("in.kvx")});
  reader.join();
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(dir.path("in.kvx.264") + ": write failed: Broken pipe"), std::string::npos)
      << r.err;
  EXPECT_FALSE(read_file(dir.path("in.kvx.0.aac.partial")).empty())
      << "the audio of the walked packets is flushed and kept";
  EXPECT_FALSE(exists(dir.path("in.kvx.0.aac")));
}
#endif

#if ORVALE_POSIX_TESTS  // descriptors, FIFOs, file-size limits
TEST(WriteSignals, AFileSizeLimitIsAWriteError) {
  ScratchDir dir;
  const kvx::File file = two_stream_file(4, 300 * 1024);
  write_file(dir.path("in.kvx"), encode(file));
  Launch launch;
  launch.file_size_limit = 512 * 1024;
  const RunResult r = run_orvale({dir.path("in.kvx")}, launch);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(dir.path("in.kvx.264") + ": write failed: File too large"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(exists(dir.path("in.kvx.0.aac.partial"))) << "a full disk keeps no partial files";
  EXPECT_FALSE(exists(dir.path("in.kvx.0.aac")));
}
#endif

struct FailedRerunCase {
  const char* name;
  Bytes input;
  std::string out;
  const char* complaint;
};

void PrintTo(const FailedRerunCase& c, std::ostream* os) { *os << c.name; }

Bytes good_file() { return encode(two_stream_file(3)); }

Bytes index_cut_short() {
  Bytes bytes = good_file();
  bytes.resize(56 + 8);
  return bytes;
}

Bytes no_packets() {
  Bytes bytes = good_file();
  kvx::set_le32(bytes, 12, 0);
  return bytes;
}

Bytes every_packet_malformed() {
  Bytes bytes = good_file();
  for (std::size_t i = 0; i < 3; ++i) {
    kvx::set_le32(bytes, kvx::packet_offset(bytes, i) + 9, 0x7FFFFFFF);
  }
  return bytes;
}

Bytes first_packet_cut_short() {
  Bytes bytes = good_file();
  bytes.resize(kvx::packet_offset(bytes, 0) + 10);
  return bytes;
}

Bytes first_entry_empty() {
  Bytes bytes = good_file();
  kvx::set_le32(bytes, 56, 0);
  return bytes;
}

class FailedRerun : public ::testing::TestWithParam<FailedRerunCase> {};

// Extracts the good file at `input`, as an earlier run of the user's did, and
// gives the outputs it left.
std::map<std::string, Bytes> earlier_good_run(const std::string& input) {
  write_file(input, good_file());
  EXPECT_EQ(run_orvale({input}).status, 0);
  return outputs_of(input);
}

TEST_P(FailedRerun, LeavesEarlierOutputsAsTheyWere) {
  ScratchDir dir;
  const std::string input = dir.path("g.kvx");
  const auto before = earlier_good_run(input);
  ASSERT_EQ(before.size(), 3U);
  write_file(input, GetParam().input);
  const RunResult r = run_orvale({input});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, GetParam().out);
  EXPECT_NE(r.err.find(GetParam().complaint), std::string::npos) << r.err;
  EXPECT_EQ(outputs_of(input), before);
}

TEST_P(FailedRerun, LeavesNothingBehindInAnEmptyFolder) {
  ScratchDir dir;
  const std::string input = dir.path("g.kvx");
  write_file(input, GetParam().input);
  const RunResult r = run_orvale({input});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, GetParam().out);
  EXPECT_TRUE(outputs_of(input).empty());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path("")),
                          std::filesystem::directory_iterator()),
            1);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, FailedRerun,
    ::testing::Values(
        FailedRerunCase{"index_cut_short", index_cut_short(), "read index fail\n",
                        "but the input ends at byte 64"},
        FailedRerunCase{"no_packets", no_packets(), "read index fail\n",
                        "the header lists no packets"},
        FailedRerunCase{"every_packet_malformed", every_packet_malformed(), "",
                        "no packet could be extracted (packet 0 is too short for its video chunk)"},
        FailedRerunCase{"first_packet_cut_short", first_packet_cut_short(), "",
                        "no packet could be extracted (packet 0 is cut short)"},
        FailedRerunCase{"first_entry_empty", first_entry_empty(), "",
                        "no packet could be extracted (packet 0 has length 0"}),
    [](const auto& info) { return std::string(info.param.name); });

// The output that cannot be opened is the third: the first two must not have
// been emptied before the run found out.
TEST(FailedRerunOutputs, AnOutputThatCannotBeOpenedSpoilsNoOther) {
  ScratchDir dir;
  const std::string input = dir.path("g.kvx");
  const auto before = earlier_good_run(input);
  std::filesystem::remove(input + ".1.aac");
  std::filesystem::create_directory(input + ".1.aac");
  const RunResult r = run_orvale({input});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "can not open output file\n");
  EXPECT_EQ(read_file(input + ".264"), before.at(".264"));
  EXPECT_EQ(read_file(input + ".0.aac"), before.at(".0.aac"));
}

#if ORVALE_POSIX_TESTS  // links, other users, the fault shim
// Writing through a link to nowhere creates its target, which stays; the
// link is the user's and stays too.
TEST(FailedRerunOutputs, ALinkToNowhereStaysInPlace) {
  ScratchDir dir;
  const std::string input = dir.path("g.kvx");
  write_file(input, every_packet_malformed());
  std::filesystem::create_symlink(dir.path("elsewhere.aac"), input + ".0.aac");
  const RunResult r = run_orvale({input});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(std::filesystem::is_symlink(input + ".0.aac"));
  EXPECT_FALSE(exists(input + ".264")) << "created by the run, so removed";
}
#endif

#if ORVALE_POSIX_TESTS  // links, other users, the fault shim
// A user's own outputs are replaced on a re-run; a file its owner made
// read-only, or another user's file in a sticky folder (which only its owner,
// the folder's owner or root may rename over), is refused before anything
// else is replaced.
TEST(FailedRerunOutputs, AnOutputTheUserMayNotReplaceSpoilsNoOther) {
  if (const std::string why = testing_support::unprivileged_runs_impossible(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  for (const bool sticky : {false, true}) {
    ScratchDir dir;
    std::filesystem::permissions(
        dir.path(""), std::filesystem::perms::all | (sticky ? std::filesystem::perms::sticky_bit
                                                            : std::filesystem::perms::none));
    const std::string input = dir.path("g.kvx");
    write_file(input, good_file());
    Launch launch;
    launch.unprivileged = true;
    // The first run as nobody makes outputs nobody owns.
    ASSERT_EQ(run_orvale({input}, launch).status, 0);
    const auto before = outputs_of(input);
    ASSERT_EQ(before.size(), 3U);
    // Its own outputs the user replaces, in a sticky folder as in any other.
    const RunResult again = run_orvale({input}, launch);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(outputs_of(input), before);
    if (sticky) {  // writable by all, but root's
      std::filesystem::remove(input + ".1.aac");
      write_file(input + ".1.aac", before.at(".1.aac"));
      std::filesystem::permissions(input + ".1.aac", std::filesystem::perms::all);
    } else {
      std::filesystem::permissions(input + ".1.aac", std::filesystem::perms::owner_read);
    }
    const RunResult r = run_orvale({input}, launch);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "can not open output file\n");
    EXPECT_NE(r.err.find(sticky ? "Operation not permitted" : "Permission denied"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(outputs_of(input), before);
  }
  // Root's outputs, writable by all, in a sticky folder then given to nobody:
  // nobody replaces them as the folder's owner, and root replaces nobody's.
  ScratchDir dir;
  const std::string input = dir.path("g.kvx");
  write_file(input, good_file());
  ASSERT_EQ(run_orvale({input}).status, 0);
  for (const auto& [suffix, bytes] : outputs_of(input)) {
    std::filesystem::permissions(input + suffix, std::filesystem::perms::all);
  }
  ASSERT_EQ(::chown(dir.path("").c_str(), 65534, 65534), 0);
  std::filesystem::permissions(dir.path(""),
                               std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
  Launch launch;
  launch.unprivileged = true;
  const RunResult by_folder_owner = run_orvale({input}, launch);
  EXPECT_EQ(by_folder_owner.status, 0) << by_folder_owner.err;
  const RunResult by_root = run_orvale({input});
  EXPECT_EQ(by_root.status, 0) << by_root.err;
}
#endif

TEST(FailedRerunOutputs, OnlyEmptyEntriesIsACleanRunWithEmptyOutputs) {
  ScratchDir dir;
  const std::string input = dir.path("g.kvx");
  ASSERT_EQ(earlier_good_run(input).size(), 3U);
  Bytes empty = good_file();
  for (std::size_t i = 0; i < 3; ++i) {
    kvx::set_le32(empty, 56 + 4 * i, 1);  // length 0, bit 0 set
  }
  // What follows is a recorder's zeros, not packets the index leaves out.
  std::fill(empty.begin() + 56 + 4 * 3, empty.end(), 0);
  write_file(input, empty);
  const RunResult r = run_orvale({input});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  for (const char* suffix : kSuffixes) {
    EXPECT_TRUE(read_file(input + suffix).empty()) << suffix;
  }
}

#if ORVALE_POSIX_TESTS  // links, other users, the fault shim
// Renames cannot be made one: when the video's fails, the audio outputs are
// already this run's, and the video of this run is kept beside the old one.
TEST(FailedRerunOutputs, ARenameThatFailsIsAnErrorThatKeepsTheOutput) {
  ScratchDir dir;
  const std::string input = dir.path("g.kvx");
  const auto before = earlier_good_run(input);
  write_file(input, encode(two_stream_file(2)));
  Launch launch;
  testing_support::fail_renames_to(launch, input + ".264");
  const RunResult r = run_orvale({input}, launch);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "orvale: " + input +
                       ".264: cannot be replaced: Input/output error; this run's "
                       "output is kept in " +
                       input + ".264.partial\n");
  const auto after = reference_outputs(encode(two_stream_file(2)));
  EXPECT_EQ(read_file(input + ".264"), before.at(".264"));
  EXPECT_EQ(read_file(input + ".264.partial"), after.at(".264"));
  EXPECT_EQ(read_file(input + ".0.aac"), after.at(".0.aac"));
}
#endif

// Outputs are emptied before anything reaches them, also when the first
// packet is larger than the 4 MiB window and part of it is written before the
// rest has been read.
TEST(FailedRerunOutputs, AGoodRunReplacesLongerOutputsWhateverTheFirstPacketsSize) {
  for (const std::size_t video_bytes : {std::size_t{10}, std::size_t{5} << 20}) {
    ScratchDir dir;
    const std::string input = dir.path("g.kvx");
    write_file(input, encode(two_stream_file(6, (std::size_t{4} << 20) / 6)));
    ASSERT_EQ(run_orvale({input}).status, 0);
    const Bytes file = encode(two_stream_file(2, video_bytes));
    write_file(input, file);
    const RunResult r = run_orvale({input});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(outputs_of(input), reference_outputs(file)) << video_bytes << " video bytes";
  }
}

TEST(FailedRerunOutputs, ALaterGoodPacketReplacesTheOutputs) {
  ScratchDir dir;
  const std::string input = dir.path("g.kvx");
  ASSERT_EQ(earlier_good_run(input).size(), 3U);
  Bytes damaged = good_file();
  kvx::set_le32(damaged, kvx::packet_offset(damaged, 0) + 9, 0x7FFFFFFF);
  write_file(input, damaged);
  const RunResult r = run_orvale({input});
  EXPECT_EQ(r.status, 1) << r.err;
  kvx::File last_two = two_stream_file(3);
  last_two.packets.erase(last_two.packets.begin());
  EXPECT_EQ(outputs_of(input), reference_outputs(encode(last_two)));
}

TEST(DirectoryInput, IsSaidPlainlyAndCreatesNothing) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path("clip.kvx"));
  const RunResult r = run_orvale({dir.path("clip.kvx")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  // A folder stands for the recordings under it, and this one holds none.
  EXPECT_EQ(r.err, "orvale: " + dir.path("clip.kvx") +
                       ": a folder holding no .kvx file; nothing to extract\n");
  EXPECT_FALSE(exists(dir.path("clip.kvx.264")));
}

}  // namespace
