// The command line: several inputs, options, output directories, clashes,
// the summary of damaged runs and the progress line.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "container/le.h"
#include "support.h"

#if ORVALE_POSIX_TESTS
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// The helpers every test file of the program shares.
using namespace testing_support;

kvx::File small_file(std::uint8_t seed, std::size_t packets = 2) {
  kvx::File file;
  file.audio_stream_count = 1;
  for (std::size_t i = 0; i < packets; ++i) {
    kvx::Packet packet;
    packet.video = {0, 0, 0, 1, 0x65, seed, static_cast<std::uint8_t>(i)};
    packet.audio = {{Bytes(4, seed), Bytes(3, static_cast<std::uint8_t>(i))}};
    file.packets.push_back(packet);
  }
  return file;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct OptionCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::string out_starts;  // stdout begins with this
  std::string err_has;     // stderr contains this ("" : stderr is empty)
  bool extracts;           // in.kvx.264 is written
};

void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.name; }

class Options : public ::testing::TestWithParam<OptionCase> {};

TEST_P(Options, BehaveAsDocumented) {
  ScratchDir dir;
  write_file(dir.path("in.kvx"), encode(small_file(1)));
  const RunResult r = run_orvale(GetParam().args, dir.path(""));
  EXPECT_EQ(r.status, GetParam().status) << r.err;
  EXPECT_EQ(r.out.rfind(GetParam().out_starts, 0), 0U) << r.out;
  if (GetParam().err_has.empty()) {
    EXPECT_EQ(r.err, "");
  } else {
    EXPECT_TRUE(contains(r.err, GetParam().err_has)) << r.err;
  }
  EXPECT_EQ(exists(dir.path("in.kvx.264")), GetParam().extracts);
}

const std::string kUsage = "Usage: \nOrvale input.kvx\n";

INSTANTIATE_TEST_SUITE_P(
    CommandLines, Options,
    ::testing::Values(
        OptionCase{"no_input", {}, 2, kUsage, "orvale: no input file; see orvale --help\n", false},
        OptionCase{"help_long",
                   {"--help"},
                   0,
                   "Usage: orvale [OPTIONS] INPUT.kvx...\nExtracts",
                   "",
                   false},
        OptionCase{"help_short_wins_over_inputs", {"-h", "in.kvx"}, 0, "Usage: orvale ", "", false},
        OptionCase{"version", {"--version"}, 0, "orvale " ORVALE_VERSION "\n", "", false},
        OptionCase{"unknown_long",
                   {"--frobnicate", "in.kvx"},
                   2,
                   "",
                   "orvale: unknown option --frobnicate\nUsage: \nOrvale input.kvx\n",
                   false},
        OptionCase{"unknown_short", {"-x", "in.kvx"}, 2, "", "unknown option -x", false},
        OptionCase{"output_dir_without_directory",
                   {"in.kvx", "-o"},
                   2,
                   "",
                   "option -o needs a directory",
                   false},
        OptionCase{"unknown_option_that_looks_like_a_file", {"-rescue.kvx"}, 2, "",
                   "orvale: unknown option -e\norvale: a file named -rescue.kvx is given as: "
                   "orvale -- -rescue.kvx, or orvale ./-rescue.kvx\nUsage: ", false},
        OptionCase{"unknown_long_option_that_looks_like_a_file", {"in.kvx", "--old.kvx"}, 2, "",
                   "orvale -- --old.kvx, or orvale ./--old.kvx\n", false},
        OptionCase{"unknown_option_ending_its_word", {"-q/", "in.kvx"}, 2, "",
                   "unknown option -/\norvale: a file named -q/ is given as: orvale -- -q/,", false},
        OptionCase{"hint_quotes_what_the_shell_would_split", {"-a b.kvx"}, 2, "",
                   "orvale -- " + quoted("-a b.kvx") + ", or orvale " + quoted("./-a b.kvx") + "\n",
                   false},
        OptionCase{"streams_without_a_list", {"in.kvx", "-s"}, 2, "", "needs a stream list", false},
        OptionCase{"a_value_for_an_option_that_takes_none", {"--json=1", "in.kvx"}, 2, "",
                   "orvale: option --json takes no value\n", false},
        OptionCase{"a_value_for_a_short_one_spelled_long", {"--quiet=yes", "in.kvx"}, 2, "",
                   "orvale: option --quiet takes no value\n", false},
        OptionCase{"an_empty_output_folder", {"-o", "", "in.kvx"}, 2, "", "-o needs a folder name", false},
        OptionCase{"stream_list_with_a_stranger", {"-s", "v,a", "in.kvx"}, 2, "",
                   "orvale: -s v,a: a stream is v for the video or an audio stream number from "
                   "0 to 9, separated by commas\n", false},
        OptionCase{"stream_past_the_tenth", {"-s", "10", "in.kvx"}, 2, "", "-s 10: a stream", false},
        OptionCase{"stream_list_ending_in_a_comma", {"-s", "v,", "in.kvx"}, 2, "", "-s v,:", false},
        OptionCase{"json_without_list", {"--json", "in.kvx"}, 2, "", "--json goes with --list", false},
        OptionCase{"list_and_test", {"-l", "-t", "in.kvx"}, 2, "", "do not go together", false},
        OptionCase{"test_with_an_output_option", {"-t", "-s", "v", "in.kvx"}, 2, "", "write nothing", false},
        OptionCase{"parents_without_a_folder", {"--parents", "in.kvx"}, 2, "", "--parents needs -o", false},
        OptionCase{"stdout_without_a_stream", {"-c", "in.kvx"}, 2, "",
                   "orvale: --stdout needs exactly one stream, chosen with -s (-s v, -s 0, ...)\n", false},
        OptionCase{"stdout_with_two_streams", {"-c", "-s", "v,0", "in.kvx"}, 2, "", "exactly one stream", false},
        OptionCase{"stdout_with_two_inputs", {"-c", "-s", "v", "in.kvx", "in.kvx"}, 2, "", "exactly one input", false},
        OptionCase{"stdout_with_a_folder", {"-c", "-s", "v", "-o", "o", "in.kvx"}, 2, "", "writes no file", false},
        OptionCase{"quiet_after_input", {"in.kvx", "-q"}, 0, "", "", true},
        OptionCase{"format_unknown", {"-f", "avi", "in.kvx"}, 2, "", "-f avi: the format is raw, mp4 or mkv", false},
        OptionCase{"format_without_a_name", {"in.kvx", "-f"}, 2, "", "option -f needs a format", false},
        OptionCase{"format_raw_writes_the_raw_files", {"--format=raw", "in.kvx"}, 0, "", "", true},
        OptionCase{"format_mp4_needs_parameter_sets", {"-f", "mp4", "in.kvx"}, 2, "",
                   "orvale: in.kvx: its video holds no sequence and picture parameter sets, which "
                   "an MP4 or Matroska file needs; nothing written\n", false},
        OptionCase{"fps_without_a_container", {"--fps", "25", "in.kvx"}, 2, "", "raw outputs have no times", false},
        OptionCase{"fps_not_a_rate", {"-f", "mkv", "--fps", "0", "in.kvx"}, 2, "", "--fps 0: a rate", false},
        OptionCase{"fps_without_a_rate", {"in.kvx", "--fps"}, 2, "", "--fps needs a rate", false},
        OptionCase{"format_with_list", {"-l", "-f", "mp4", "in.kvx"}, 2, "", "-f mp4 and -f mkv do not go", false},
        OptionCase{"double_dash_ends_options",
                   {"--", "-q"},
                   2,
                   "",
                   "orvale: -q: cannot open: No such file or directory",
                   false}),
    [](const auto& info) { return std::string(info.param.name); });

// FFmpeg's parser finds the made-up pictures odd; none of that reaches the
// user, only what Orvale says of the input.
TEST(Options, FormatMp4TellsOnlyOrvalesOwnLine) {
  ScratchDir dir;
  write_file(dir.path("in.kvx"), encode(small_file(1)));
  const RunResult r = run_orvale({"-f", "mp4", "in.kvx"}, dir.path(""));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "orvale: in.kvx: its video holds no sequence and picture parameter sets, which an MP4 "
            "or Matroska file needs; nothing written\n");
}

TEST(Options, VersionSaysOnlyTheVersion) {
  const RunResult r = run_orvale({"--version"});
  EXPECT_EQ(r.out, "orvale " ORVALE_VERSION "\n");
}

TEST(SeveralInputs, EachIsExtractedAsItWouldBeAlone) {
  ScratchDir dir;
  Bytes damaged = encode(small_file(3));
  damaged.resize(damaged.size() - 1);
  write_file(dir.path("a.kvx"), encode(small_file(1)));
  write_file(dir.path("b.kvx"), encode(small_file(2)));
  write_file(dir.path("c.kvx"), damaged);
  struct Case {
    std::vector<std::string> inputs;
    int status;
  };
  for (const Case& c : {Case{{"a.kvx", "b.kvx"}, 0}, Case{{"a.kvx", "c.kvx", "b.kvx"}, 1},
                        Case{{"a.kvx", "missing.kvx", "c.kvx", "b.kvx"}, 2}}) {
    std::string alone_err;
    for (const auto& input : c.inputs) {
      for (const char* suffix : {".264", ".0.aac"}) {
        std::filesystem::remove(dir.path(input + suffix));
      }
    }
    const RunResult r = run_orvale(c.inputs, dir.path(""));
    EXPECT_EQ(r.status, c.status) << r.err;
    for (const auto& input : c.inputs) {
      if (input == "missing.kvx") {
        EXPECT_TRUE(contains(r.err, "orvale: missing.kvx: cannot open")) << r.err;
        continue;
      }
      ScratchDir alone;
      write_file(alone.path(input), read_file(dir.path(input)));
      const RunResult single = run_orvale({input}, alone.path(""));
      EXPECT_EQ(read_file(dir.path(input + ".264")), read_file(alone.path(input + ".264")));
      EXPECT_EQ(read_file(dir.path(input + ".0.aac")), read_file(alone.path(input + ".0.aac")));
      EXPECT_TRUE(contains(r.err, single.err)) << r.err;
    }
  }
}

TEST(OutputDir, NamesTheOutputsAfterTheInputsFileName) {
  ScratchDir dir;
  std::filesystem::create_directories(dir.path("rec/day1"));
  std::filesystem::create_directory(dir.path("out"));
  write_file(dir.path("rec/day1/clip.kvx"), encode(small_file(1)));
  const RunResult r = run_orvale({"-o", "out", "rec/day1/clip.kvx"}, dir.path(""));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(exists(dir.path("out/clip.kvx.264")));
  EXPECT_TRUE(exists(dir.path("out/clip.kvx.0.aac")));
  EXPECT_FALSE(exists(dir.path("rec/day1/clip.kvx.264")));
  // A folder not there yet is made, as with mkdir -p; one that cannot be is
  // refused.
  const RunResult made = run_orvale({"--output-dir=new/deeper", "rec/day1/clip.kvx"}, dir.path(""));
  EXPECT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(read_file(dir.path("new/deeper/clip.kvx.264")),
            read_file(dir.path("out/clip.kvx.264")));
  const RunResult under_a_file =
      run_orvale({"-o", "rec/day1/clip.kvx/out", "rec/day1/clip.kvx"}, dir.path(""));
  EXPECT_EQ(under_a_file.status, 2);
  EXPECT_EQ(under_a_file.out, "can not open output file\n");
  EXPECT_TRUE(contains(under_a_file.err,
                       "rec/day1/clip.kvx/out: cannot create the folder: Not a directory"))
      << under_a_file.err;
}

TEST(OutputDir, ExtractsFromAFolderTheUserCannotWrite) {
  if (const std::string why = testing_support::unprivileged_runs_impossible(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  ScratchDir dir;
  std::filesystem::permissions(dir.path(""), std::filesystem::perms::all);
  std::filesystem::create_directory(dir.path("media"));
  std::filesystem::create_directory(dir.path("out"));
  std::filesystem::permissions(dir.path("out"), std::filesystem::perms::all);
  write_file(dir.path("media/clip.kvx"), encode(small_file(1)));
  std::filesystem::permissions(dir.path("media"), std::filesystem::perms::owner_all |
                                                      std::filesystem::perms::group_read |
                                                      std::filesystem::perms::group_exec |
                                                      std::filesystem::perms::others_read |
                                                      std::filesystem::perms::others_exec);
  Launch launch;
  launch.directory = dir.path("");
  launch.unprivileged = true;
  const RunResult beside = run_orvale({"media/clip.kvx"}, launch);
  EXPECT_EQ(beside.status, 2);
  EXPECT_TRUE(contains(beside.err, "Permission denied")) << beside.err;
  const RunResult r = run_orvale({"-o", "out", "media/clip.kvx"}, launch);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(exists(dir.path("out/clip.kvx.264")));
}

TEST(Clash, ALaterInputNeverOverwritesAnEarlierOnesOutputs) {
  ScratchDir dir;
  std::filesystem::create_directories(dir.path("cam1"));
  std::filesystem::create_directories(dir.path("cam2"));
  std::filesystem::create_directories(dir.path("out"));
  write_file(dir.path("cam1/clip.kvx"), encode(small_file(1)));
  write_file(dir.path("cam2/clip.kvx"), encode(small_file(2)));
  const RunResult r = run_orvale({"-o", "out", "cam1/clip.kvx", "cam2/clip.kvx"}, dir.path(""));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "orvale: " + (std::filesystem::path("out") / "clip.kvx.264").string() +
                       ": was already written by an earlier input of this run; input refused; "
                       "--parents keeps the inputs' folders apart under -o\n");
  ScratchDir alone;
  write_file(alone.path("clip.kvx"), encode(small_file(1)));
  ASSERT_EQ(run_orvale({alone.path("clip.kvx")}).status, 0);
  EXPECT_EQ(read_file(dir.path("out/clip.kvx.264")), read_file(alone.path("clip.kvx.264")));
  EXPECT_EQ(read_file(dir.path("out/clip.kvx.0.aac")), read_file(alone.path("clip.kvx.0.aac")));
  // The same input twice, by two spellings, is the same clash.
  const RunResult twice = run_orvale({"cam1/clip.kvx", "./cam1/clip.kvx"}, dir.path(""));
  EXPECT_EQ(twice.status, 2);
  EXPECT_TRUE(contains(twice.err, "was already written by an earlier input")) << twice.err;
}

// Folders, standard input and names below -o. Each file is made from
// small_file(its place in `files` + 1), so the video shows whose it is.
struct FolderCase {
  const char* name;
  std::vector<std::string> files;
  std::vector<std::string> args;
  int status;
  std::vector<std::pair<std::string, std::uint8_t>> outputs;  // .264 outputs and their seeds
  std::vector<std::string> absent;
  std::string err_has;  // "" : stderr is empty
  std::string input;    // standard input comes from this file
  std::vector<std::string> listed = {};  // --list tells of these inputs in this order
};

void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.name; }

class Folders : public ::testing::TestWithParam<FolderCase> {};

Bytes video_of(std::uint8_t seed) {
  return Bytes{0, 0, 0, 1, 0x65, seed, 0, 0, 0, 0, 1, 0x65, seed, 1};
}

TEST_P(Folders, AreMirroredBelowTheOutputFolder) {
  ScratchDir dir;
  const FolderCase& c = GetParam();
  for (std::size_t i = 0; i < c.files.size(); ++i) {
    std::filesystem::create_directories(
        std::filesystem::path(dir.path(c.files[i])).parent_path());
    write_file(dir.path(c.files[i]), encode(small_file(static_cast<std::uint8_t>(i + 1))));
  }
  std::filesystem::create_directories(dir.path("empty"));
  Launch launch;
  launch.directory = dir.path("");
  launch.input = c.input.empty() ? "" : dir.path(c.input);
  const RunResult r = run_orvale(c.args, launch);
  EXPECT_EQ(r.status, c.status) << r.err;
  if (c.err_has.empty()) {
    EXPECT_EQ(r.err, "");
  } else {
    EXPECT_TRUE(contains(r.err, c.err_has)) << r.err;
  }
  for (const auto& [output, seed] : c.outputs) {
    ASSERT_TRUE(exists(dir.path(output))) << output;
    EXPECT_EQ(read_file(dir.path(output)), video_of(seed)) << output;
  }
  for (const std::string& output : c.absent) {
    EXPECT_FALSE(exists(dir.path(output))) << output;
  }
  // Found in a folder, a path is joined with the system's separator. Built
  // by appending, which keeps g++ 12 from a false -Wrestrict.
  std::string listing = "\n";
  listing += r.out;
  std::size_t at = 0;
  for (const std::string& input : c.listed) {
    std::string line = "\n";
    line += std::filesystem::path(input).make_preferred().string();
    line += ": ";
    at = listing.find(line, at);
    EXPECT_NE(at, std::string::npos) << input << " is not listed, or not in order:\n" << r.out;
  }
}

const std::vector<std::string> kCard = {"card/ch01/0001.kvx", "card/ch02/0001.kvx",
                                        "card/ch02/0002.kvx"};

INSTANTIATE_TEST_SUITE_P(
    Inputs, Folders,
    ::testing::Values(
        FolderCase{"mirrored_under_the_output_folder", kCard, {"-q", "-o", "out", "card"}, 0,
                   {{"out/ch01/0001.kvx.264", 1}, {"out/ch02/0001.kvx.264", 2},
                    {"out/ch02/0002.kvx.264", 3}},
                   {"out/0001.kvx.264", "card/ch01/0001.kvx.264"}, "", ""},
        FolderCase{"beside_each_file", kCard, {"-q", "card/"}, 0,
                   {{"card/ch01/0001.kvx.264", 1}, {"card/ch02/0001.kvx.264", 2},
                    {"card/ch02/0002.kvx.264", 3}},
                   {"0001.kvx.264", "ch01/0001.kvx.264"}, "", ""},
        FolderCase{"deep_and_beside_a_file_given", {"a.kvx", "card/x/y/z/b.kvx"},
                   {"-q", "-o", "out", "a.kvx", "card"}, 0,
                   {{"out/a.kvx.264", 1}, {"out/x/y/z/b.kvx.264", 2}}, {"out/b.kvx.264"}, "", ""},
        FolderCase{"any_case_and_only_kvx",
                   {"card/A.KVX", "card/b.Kvx", "card/c.kvx.bak", "card/kvx", "card/.kvx",
                    "card/d.kvx.264"},
                   {"-q", "-o", "out", "card"}, 0, {{"out/A.KVX.264", 1}, {"out/b.Kvx.264", 2}},
                   {"out/c.kvx.bak.264", "out/kvx.264", "out/.kvx.264", "out/d.kvx.264.264"}, "", ""},
        FolderCase{"taken_in_name_order",
                   {"card/b.kvx", "card/a/z.kvx", "card/C.kvx", "card/a.kvx", "card/a0.kvx"},
                   {"-l", "card"}, 0, {}, {"card/a.kvx.264"}, "", "",
                   {"card/C.kvx", "card/a/z.kvx", "card/a.kvx", "card/a0.kvx", "card/b.kvx"}},
        FolderCase{"kept_with_parents", kCard, {"-q", "-o", "out", "--parents", "card"}, 0,
                   {{"out/card/ch01/0001.kvx.264", 1}, {"out/card/ch02/0002.kvx.264", 3}},
                   {"out/ch01/0001.kvx.264"}, "", ""},
        FolderCase{"a_folder_holding_none", {"card/notes.kvx.txt"}, {"-q", "empty", "card"}, 2, {},
                   {}, "orvale: card: a folder holding no .kvx file; nothing to extract\n", ""},
        FolderCase{"same_names_point_at_parents", kCard,
                   {"-q", "-o", "out", "card/ch01/0001.kvx", "card/ch02/0001.kvx"}, 2,
                   {{"out/0001.kvx.264", 1}}, {},
                   ": was already written by an earlier input of this run; input refused; "
                   "--parents keeps the inputs' folders apart under -o\n", ""},
        FolderCase{"two_folders_alike", {"a/ch01/0001.kvx", "b/ch01/0001.kvx"},
                   {"-q", "-o", "out", "a", "b"}, 2, {{"out/ch01/0001.kvx.264", 1}}, {},
                   "input refused; --parents keeps", ""},
        FolderCase{"no_hint_without_an_output_folder", kCard,
                   {"-q", "card/ch01/0001.kvx", "./card/ch01/0001.kvx"}, 2,
                   {{"card/ch01/0001.kvx.264", 1}}, {},
                   "earlier input of this run; input refused\n", ""},
        FolderCase{"one_stream_from_one_recording", kCard, {"-c", "-s", "v", "card"}, 2, {},
                   {"card/ch01/0001.kvx.264"},
                   "orvale: card holds 3 recordings; --stdout takes exactly one input\n", ""},
        FolderCase{"standard_input", {"in/clip.kvx"}, {"-q", "-"}, 0, {{"stdin.264", 1}},
                   {"-.264", "in/clip.kvx.264"}, "", "in/clip.kvx"},
        FolderCase{"standard_input_under_the_output_folder", {"in/clip.kvx"},
                   {"-q", "-o", "d", "-"}, 0, {{"d/stdin.264", 1}}, {"stdin.264"}, "",
                   "in/clip.kvx"},
        FolderCase{"standard_input_kept_with_parents", {"in/clip.kvx"},
                   {"-q", "-o", "d", "--parents", "-"}, 0, {{"d/stdin.264", 1}}, {}, "",
                   "in/clip.kvx"}),
    [](const auto& info) { return std::string(info.param.name); });

#if ORVALE_POSIX_TESTS  // /dev and /proc
INSTANTIATE_TEST_SUITE_P(
    SystemNames, Folders,
    ::testing::Values(
        FolderCase{"dev_stdin_needs_an_output_folder", {"in/clip.kvx"}, {"-q", "/dev/stdin"}, 2,
                   {}, {"stdin.264"},
                   "orvale: /dev/stdin: its outputs cannot go beside it in /dev; give them a "
                   "folder with -o DIR; input refused\n",
                   "in/clip.kvx"},
        FolderCase{"dev_stdin_to_standard_output", {"in/clip.kvx"},
                   {"-c", "-s", "v", "/dev/stdin"}, 0, {}, {"stdin.264"}, "", "in/clip.kvx"},
        FolderCase{"dev_stdin_under_the_output_folder", {"in/clip.kvx"},
                   {"-q", "-o", "d", "/dev/stdin"}, 0, {{"d/stdin.264", 1}}, {}, "",
                   "in/clip.kvx"},
        FolderCase{"proc_names_need_an_output_folder", {"in/clip.kvx"},
                   {"-q", "/proc/self/fd/0"}, 2, {}, {}, "its outputs cannot go beside it in /proc",
                   "in/clip.kvx"}),
    [](const auto& info) { return std::string(info.param.name); });
#endif

#if ORVALE_POSIX_TESTS  // links
// A link to a recording is a recording; a link to a folder is not followed,
// as it may lead back up the tree.
TEST(Folders, FollowLinksToRecordingsButNotToFolders) {
  ScratchDir dir;
  std::filesystem::create_directories(dir.path("card/ch01"));
  std::filesystem::create_directories(dir.path("elsewhere"));
  write_file(dir.path("card/ch01/a.kvx"), encode(small_file(1)));
  write_file(dir.path("elsewhere/b.kvx"), encode(small_file(2)));
  std::filesystem::create_symlink("../elsewhere/b.kvx", dir.path("card/b.kvx"));
  std::filesystem::create_symlink("..", dir.path("card/ch01/up"));
  std::filesystem::create_symlink("../elsewhere", dir.path("card/there"));
  const RunResult r = run_orvale({"-q", "-o", "out", "card"}, dir.path(""));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir.path("out/ch01/a.kvx.264")), video_of(1));
  EXPECT_EQ(read_file(dir.path("out/b.kvx.264")), video_of(2));
  EXPECT_FALSE(exists(dir.path("out/there")));
  EXPECT_FALSE(exists(dir.path("out/ch01/up")));
}
#endif

#if ORVALE_POSIX_TESTS  // links
TEST(Clash, AnOutputThatIsTheInputOrAnotherOutputIsRefused) {
  struct Case {
    const char* link;  // an output name, made a link to `target`
    std::string target;
    std::string complaint;
  };
  ScratchDir dir;
  for (const Case& c :
       {Case{"in.kvx.0.aac", "in.kvx", "in.kvx.0.aac: is the input itself; nothing written"},
        Case{"in.kvx.0.aac", "in.kvx.264", ": is the same file as another output of this input"},
        // One new file by two spellings: the video's relative name, the link's full path.
        Case{"in.kvx.0.aac", dir.path("in.kvx.264"),
             ": is the same file as another output of this input"}}) {
    std::filesystem::remove(dir.path(c.link));
    write_file(dir.path("in.kvx"), encode(small_file(1)));
    const Bytes before = read_file(dir.path("in.kvx"));
    std::filesystem::create_symlink(c.target, dir.path(c.link));
    const RunResult r = run_orvale({"in.kvx"}, dir.path(""));
    EXPECT_EQ(r.status, 2) << c.target;
    EXPECT_EQ(r.out, "can not open output file\n") << c.target;
    EXPECT_TRUE(contains(r.err, c.complaint)) << r.err;
    EXPECT_EQ(read_file(dir.path("in.kvx")), before);
  }
}

#endif

// One flipped bit in the first index entry misaligns every later packet.
TEST(DamagedIndex, SkippedPacketsAreOneLineThatPointsAtTheIndex) {
  ScratchDir dir;
  kvx::File file = small_file(1, 40);
  Bytes input = encode(file);
  const std::uint32_t entry = orvale::read_le32(input, 56);
  kvx::set_le32(input, 56, entry + (2 << 1));
  write_file(dir.path("in.kvx"), input);
  const RunResult r = run_orvale({dir.path("in.kvx")});
  EXPECT_EQ(r.status, 1);
  const std::uint32_t fields = entry >> 1;
  EXPECT_TRUE(contains(r.err, "packets 1 to 38 (38 packets) skipped: packet 1 (" +
                                  std::to_string(fields) + " bytes) is too short for"))
      << r.err;
  EXPECT_TRUE(contains(r.err, "; the index looks damaged at entry 0 (packet 0's fields add up to " +
                                  std::to_string(fields) + " bytes, its entry says " +
                                  std::to_string(fields + 2) + ")"))
      << r.err;
  EXPECT_TRUE(contains(r.err, "packet 39 (")) << "the last one runs past the end: " << r.err;
  // Packet 0 came from all the bytes its entry covers.
  EXPECT_TRUE(contains(r.err, ": 1 of the 40 packets the index lists were extracted, from " +
                                  std::to_string(fields + 2) + " of the input's"))
      << r.err;
  EXPECT_TRUE(r.err.ends_with(": rescue may recover more: orvale --rescue " + dir.path("in.kvx") +
                              "\n"))
      << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 4) << r.err;
}

#if ORVALE_POSIX_TESTS  // FIFOs and pseudo-terminals
// Writes `bytes` into the FIFO at `path` in ten pieces, `pause` apart.
void feed(const std::string& path, const Bytes& bytes, std::chrono::milliseconds pause) {
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  const std::size_t step = bytes.size() / 10 + 1;
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    std::this_thread::sleep_for(pause);
    const std::size_t size = std::min(step, bytes.size() - at);
    ASSERT_EQ(::write(fd, bytes.data() + at, size), static_cast<ssize_t>(size));
  }
  ::close(fd);
}

// Runs orvale with its stderr on a pseudo-terminal and gives what the
// terminal received.
std::string run_on_terminal(const std::vector<std::string>& args,
                            const std::function<void()>& feed_inputs, int expected_status = 0,
                            bool stdout_too = false) {
  int master = -1;
  int slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "no pseudo-terminal";
    return "";
  }
  std::vector<char*> argv;
  for (const auto& word : orvale_command()) {
    argv.push_back(const_cast<char*>(word.c_str()));
  }
  for (const auto& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null < 0 || ::dup2(stdout_too ? slave : null, 1) < 0 || ::dup2(slave, 2) < 0) {
      ::_exit(127);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(slave);
  std::string seen;
  std::thread reader([&] {
    char buffer[4096];
    ssize_t got = 0;
    // Reading the master fails with EIO once the child is gone.
    while ((got = ::read(master, buffer, sizeof buffer)) > 0) {
      seen.append(buffer, static_cast<std::size_t>(got));
    }
  });
  feed_inputs();
  int status = 0;
  ::waitpid(child, &status, 0);
  reader.join();
  ::close(master);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == expected_status) << seen;
  return seen;
}

// The same with one FIFO input, fed in ten pieces `pause` apart.
std::string run_on_terminal(const std::vector<std::string>& args, const std::string& fifo,
                            const Bytes& input,
                            std::chrono::milliseconds pause = std::chrono::milliseconds(150),
                            int expected_status = 0) {
  return run_on_terminal(args, [&] { feed(fifo, input, pause); }, expected_status);
}

// The quiet second is the invocation's: a later input that takes no time is
// shown all the same, with its size, under 10 GiB, in MiB. The last input is
// a few packets and 6 GB of zeros, a sparse file that costs no disk.
TEST(ProgressLine, ShowsOnATerminalOnLongRunsAndIsClearedAtTheEnd) {
  ScratchDir dir;
  const std::string fifo = dir.path("slow.kvx");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const Bytes input = encode(small_file(1, 200));
  kvx::File big = small_file(2, 3);
  big.packets[1].video.resize(3 << 20, 0x55);
  write_file(dir.path("fast.kvx"), encode(big));
  char size[32];
  std::snprintf(size, sizeof size, "%.1f MiB", static_cast<double>(encode(big).size()) / (1 << 20));
  write_file(dir.path("huge.kvx"), encode(small_file(3, 2)));
  std::filesystem::resize_file(dir.path("huge.kvx"), 6'000'000'000);
  const std::string shown = run_on_terminal({fifo, dir.path("fast.kvx"), dir.path("huge.kvx")}, [&] {
    feed(fifo, input, std::chrono::milliseconds(120));
  });
  EXPECT_TRUE(contains(shown, "\rorvale: " + fifo + " (1/3): ")) << shown;
  EXPECT_TRUE(contains(shown, " MiB read, ")) << shown;
  EXPECT_TRUE(contains(shown, " MiB/s\033[K")) << shown;
  EXPECT_TRUE(contains(shown, "\rorvale: " + dir.path("fast.kvx") + " (2/3): ")) << shown;
  EXPECT_TRUE(contains(shown, std::string("% of ") + size + ", ")) << shown;
  EXPECT_TRUE(contains(shown, "\rorvale: " + dir.path("huge.kvx") + " (3/3): 0% of 5722.0 MiB, "))
      << shown;
  EXPECT_EQ(shown.substr(shown.size() - 4), "\r\033[K") << "cleared at the end: " << shown;
  EXPECT_EQ(read_file(fifo + ".264").size(), 200U * 7);
  // A stream is never written onto the terminal.
  EXPECT_TRUE(contains(run_on_terminal({"-c", "-s", "v", dir.path("fast.kvx")}, [] {}, 2, true),
                       "orvale: standard output is a terminal; --stdout writes to a file or a pipe"));
}

TEST(ProgressLine, IsClearedBeforeAWarning) {
  ScratchDir dir;
  const std::string fifo = dir.path("slow.kvx");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Bytes input = encode(small_file(1, 200));
  input.pop_back();  // the last packet is cut short
  const std::string shown = run_on_terminal({fifo}, fifo, input, std::chrono::milliseconds(150), 1);
  EXPECT_TRUE(contains(shown, " MiB/s\033[K")) << shown;
  EXPECT_TRUE(contains(shown, "\r\033[Korvale: " + fifo + ": packet 199 ")) << shown;
}

TEST(ProgressLine, IsNeverShownWhenQuietOrNotOnATerminal) {
  ScratchDir dir;
  const std::string fifo = dir.path("slow.kvx");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const Bytes input = encode(small_file(1, 200));
  EXPECT_EQ(run_on_terminal({"-q", fifo}, fifo, input), "");
  EXPECT_EQ(run_on_terminal({fifo}, fifo, input, std::chrono::milliseconds(0)), "")
      << "a run over within a second shows nothing";
  std::thread feeder([&] { feed(fifo, input, std::chrono::milliseconds(150)); });
  const RunResult r = run_orvale({fifo});
  feeder.join();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "") << "stderr is a file here";
}
#endif

}  // namespace
