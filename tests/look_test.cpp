// Looking before extracting: the streams chosen, where they go (folders kept,
// standard output), and what --list tells of a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "cli/listing.h"
#include "streams/mp3_frames.h"
#include "support.h"

namespace {

using namespace testing_support;

// One AAC stream, the video of each packet a slice that begins a picture.
kvx::File one_stream_file(std::size_t packets = 3) { return av_file(1, packets); }

// The files under `root`, by their path below it, the inputs left out.
std::vector<std::string> files_made(const std::string& root) {
  std::vector<std::string> made;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string path = std::filesystem::relative(entry.path(), root).string();
    if (entry.is_regular_file() && !path.ends_with(".kvx")) {
      made.push_back(path);
    }
  }
  std::sort(made.begin(), made.end());
  return made;
}

// "@" in an argument stands for the scratch folder's absolute path, in an
// expected file for the same without its leading '/'.
std::string with_folder(std::string text, const std::string& folder) {
  if (const auto at = text.find('@'); at != std::string::npos) {
    text.replace(at, 1, folder);
  }
  return text;
}

struct ChoiceCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::string err_has;            // "" : stderr is empty
  std::vector<std::string> made;  // every file the run leaves, sorted
};

void PrintTo(const ChoiceCase& c, std::ostream* os) { *os << c.name; }

class Choice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(Choice, WritesExactlyTheChosenFiles) {
  ScratchDir dir;
  const std::string folder = dir.path("").substr(0, dir.path("").size() - 1);
  std::filesystem::create_directory(dir.path("ch01"));
  write_file(dir.path("in.kvx"), encode(one_stream_file()));
  write_file(dir.path("ch01/in.kvx"), encode(one_stream_file()));
  std::vector<std::string> args;
  for (const std::string& arg : GetParam().args) {
    args.push_back(with_folder(arg, folder));
  }
  const RunResult r = run_orvale(args, dir.path(""));
  EXPECT_EQ(r.status, GetParam().status) << r.err;
  EXPECT_EQ(r.out.empty(), args.front() != "-l") << r.out;
  EXPECT_EQ(r.err.find(GetParam().err_has) == std::string::npos || r.err.empty(),
            GetParam().err_has.empty()) << r.err;
  std::vector<std::string> made;
  // An absolute path is kept without its root: "/" here; on Windows its
  // drive becomes a folder (C:\x: C\x).
  const std::filesystem::path absolute(folder);
  std::string drive = absolute.root_name().string();
  std::erase(drive, ':');
  const std::string kept = (std::filesystem::path(drive) / absolute.relative_path()).string();
  for (const std::string& name : GetParam().made) {
    made.push_back(std::filesystem::path(with_folder(name, kept)).make_preferred().string());
  }
  EXPECT_EQ(files_made(dir.path("")), made);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, Choice, ::testing::Values(
    ChoiceCase{"video_only", {"-s", "v", "in.kvx"}, 0, "", {"in.kvx.264"}},
    ChoiceCase{"audio_only", {"--streams=0", "in.kvx"}, 0, "", {"in.kvx.0.aac"}},
    ChoiceCase{"lists_add_up", {"-s", "0", "-s", "v", "in.kvx"}, 0, "", {"in.kvx.0.aac", "in.kvx.264"}},
    ChoiceCase{"a_stream_the_input_lacks", {"-s", "v,1", "in.kvx"}, 2,
               "orvale: in.kvx: has no audio stream 1 (it holds 1); nothing written for it\n", {}},
    ChoiceCase{"list_writes_nothing", {"-l", "in.kvx"}, 0, "", {}},
    ChoiceCase{"folder_kept", {"-o", "out", "--parents", "ch01/in.kvx"}, 0, "",
               {"out/ch01/in.kvx.0.aac", "out/ch01/in.kvx.264"}},
    ChoiceCase{"absolute_folder_kept", {"--parents", "-o", "out", "-s", "v", "@/in.kvx"}, 0, "",
               {"out/@/in.kvx.264"}},
    ChoiceCase{"a_path_that_goes_up", {"-o", "out", "--parents", "ch01/../in.kvx"}, 2,
               "orvale: ch01/../in.kvx: its path goes up with \"..\", which --parents cannot keep "
               "inside out; input refused\n", {}}),
    [](const auto& info) { return std::string(info.param.name); });

// What a run to standard output writes is what the file would hold, and no
// message text joins it there, even for an input with something to say.
TEST(Stdout, CarriesTheChosenStreamAndNothingElse) {
  ScratchDir dir;
  // The index lists packet 0 alone; the three after it are said to be there.
  Bytes damaged = encode(one_stream_file(4));
  std::fill_n(damaged.begin() + 56 + 4, 12, 0);
  write_file(dir.path("in.kvx"), damaged);
  ASSERT_EQ(run_orvale({"in.kvx"}, dir.path("")).status, 1);
  for (const auto& [stream, suffix] : {std::pair{"v", ".264"}, std::pair{"0", ".0.aac"}}) {
    const RunResult r = run_orvale({"-c", "-s", stream, "in.kvx"}, dir.path(""));
    EXPECT_EQ(r.status, 1) << r.err;
    const Bytes expected = read_file(dir.path(std::string("in.kvx") + suffix));
    EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), expected) << suffix;
    EXPECT_TRUE(r.err.ends_with("orvale --rescue -c -s " + std::string(stream) + " in.kvx\n"));
  }
  // The sample's video holds 0x0A bytes, which a text-mode output would double.
  ASSERT_EQ(run_orvale({"-q", "-o", dir.path(""), ORVALE_SAMPLE}).status, 0);
  const Bytes sample = read_file(dir.path("sample.kvx.264"));
  ASSERT_NE(std::count(sample.begin(), sample.end(), std::uint8_t{'\n'}), 0);
  const RunResult piped = run_orvale({"-c", "-s", "v", ORVALE_SAMPLE});
  EXPECT_EQ(Bytes(piped.out.begin(), piped.out.end()), sample);
#if ORVALE_POSIX_TESTS  // a POSIX shell's redirection
  // Appended to the input itself, the stream would be read back as it grows.
  const Bytes before = read_file(dir.path("in.kvx"));
  const RunResult onto_input =
      run("/bin/sh", {"-c", "exec " + orvale_shell_command() + " -c -s v in.kvx >>in.kvx"},
          dir.path(""));
  EXPECT_EQ(onto_input.status, 2);
  EXPECT_EQ(onto_input.err, "orvale: standard output: is the input itself; nothing written\n");
  EXPECT_EQ(read_file(dir.path("in.kvx")), before);
#endif
  write_file(dir.path("not.kvx"), Bytes(100, 7));
  const RunResult refused = run_orvale({"-c", "-s", "v", "not.kvx"}, dir.path(""));
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.out, "") << "\"not a kvxavc file\" stays off standard output";
}

// The listing of a sound file, a damaged one, a missing one, one cut in its
// index and one declaring more streams than are extracted; what it says against an extraction's files is held on every
// damage by TestingAndListingTellWhatExtractingTells. The names need escaping;
// one that is not UTF-8 comes out with U+FFFD in place of its stray byte.
TEST(List, JsonAgreesWithWhatAnExtractionWrites) {
  ScratchDir dir;
#if ORVALE_POSIX_TESTS  // names Windows refuses: quotes, a newline, a stray byte
  const std::string sound = "a \"quoted\" \\ name\nwith é.kvx";
  const std::string damaged = std::string("cut \xFF.kvx");
  const std::string damaged_shown = "cut \uFFFD.kvx";
#else
  const std::string sound = "a name with é and 映.kvx";
  const std::string damaged = "cut.kvx";
  const std::string damaged_shown = damaged;
#endif
  kvx::File file = av_file(2, 5);
  // An empty frame is written, but holds no audio to count.
  file.packets[0].audio[0][0].clear();
  write_file(dir.path(sound), encode(file));
  Bytes cut = encode(file);
  cut.resize(cut.size() - 1);
  write_file(dir.path(damaged), cut);
  // The file ends inside its index: 2 of its 5 entries are there.
  write_file(dir.path("short.kvx"), Bytes(cut.begin(), cut.begin() + 56 + 8));
  write_file(dir.path("eleven.kvx"), encode(av_file(11, 1)));
  const RunResult r = run_orvale(
      {"-l", "--json", sound, damaged, "missing.kvx", "short.kvx", "eleven.kvx"}, dir.path(""));
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find("orvale: missing.kvx: cannot open: No such file or directory\n"),
            std::string::npos);
  const auto document = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_FALSE(document.is_discarded()) << r.out;
  const auto& inputs = document.at("inputs");
  ASSERT_EQ(inputs.size(), 5U);
  auto short_index = inputs[3].at("index");
  short_index.erase("bytes");
  EXPECT_EQ(short_index, (nlohmann::json{{"entries", 2}, {"complete", false},
                                         {"bytes_after_last_packet", nullptr}}));
  // Its one problem is the error that ended it.
  const std::string cut_short =
      "the frame index of 5 entries needs 20 bytes, but the input ends at byte 64";
  EXPECT_EQ(inputs[3].at("error"), cut_short);
  EXPECT_EQ(inputs[3].at("problems"), 1);
  EXPECT_EQ(inputs[3].at("first_problem"), cut_short);
  const RunResult table = run_orvale({"-l", "short.kvx"}, dir.path(""));
  EXPECT_NE(table.out.find("; 1 problem, the first: " + cut_short + "\n"), std::string::npos)
      << table.out;
  // The streams past the tenth are declared, not extracted.
  EXPECT_EQ(inputs[4].at("audio_streams_declared"), 11);
  EXPECT_EQ(inputs[4].at("streams").size(), 10U);
  EXPECT_EQ(inputs[0].at("index").at("complete"), true);
  for (const auto& [input, name, status] :
       {std::tuple{inputs[0], sound, 0}, std::tuple{inputs[1], damaged_shown, 1}}) {
    const int packets = 5 - status;
    const nlohmann::json expected = {{"file", name}, {"exit_status", status},
                                     {"packets_listed", 5}, {"audio_format", "aac"},
                                     {"audio_streams_declared", 2},
                                     {"sample_rate", 44100}, {"packets_extracted", packets}};
    for (const auto& [key, value] : expected.items()) {
      EXPECT_EQ(input.at(key), value) << key;
    }
    EXPECT_EQ(input.at("index").at("bytes_after_last_packet"), -status);
    const auto& video = input.at("video");
    EXPECT_EQ(video.at("pictures"), packets);
    EXPECT_EQ(video.at("units_dropped"), 2 * packets);
    for (const auto& unit : video.at("nal_units")) {  // an IDR slice, an SEI unit, a delimiter
      EXPECT_EQ(unit.at("count"), packets) << unit;
    }
    EXPECT_EQ(video.at("nal_units")[1], (nlohmann::json{{"type", 6}, {"name", "SEI"}, {"count", packets}}));
    ASSERT_EQ(input.at("streams").size(), 2U);
    for (int s = 0; s < 2; ++s) {
      const int frames = 2 * packets - (s == 0 ? 1 : 0);
      EXPECT_EQ(input.at("streams")[s].at("frames"), frames);
      EXPECT_DOUBLE_EQ(input.at("streams")[s].at("duration_seconds").get<double>(), frames * 1024 / 44100.0);
    }
  }
  EXPECT_EQ(inputs[2], nlohmann::json::parse(R"({"file": "missing.kvx", "exit_status": 2,
      "error": "cannot open: No such file or directory", "file_size": null})"));
}

// MP3 frames of every version, bitrate and rate, with stray bytes and a
// layer II header between some, cut anywhere: counted by their headers.
TEST(Mp3Frames, AreCountedByTheirHeadersWhereverThePiecesAreCut) {
  const int kbits[2][14] = {{8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
                            {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}};
  const int rates[4][3] = {{11025, 12000, 8000}, {}, {22050, 24000, 16000}, {44100, 48000, 32000}};
  std::mt19937 rng(576);
  for (int round = 0; round < 200; ++round) {
    Bytes stream;
    std::uint64_t frames = 0;
    double seconds = 0;
    for (int n = static_cast<int>(rng() % 31); n > 0; --n, ++frames) {
      const unsigned version = std::array{0U, 2U, 3U}[rng() % 3], bitrate = rng() % 14;
      const unsigned rate = rng() % 3, padding = rng() % 2, mpeg1 = version == 3 ? 1 : 0;
      const int hz = rates[version][rate];
      if (rng() % 4 == 0) {
        stream.insert(stream.end(), rng() % 5, 0x11);  // no frame begins in these
      } else if (rng() % 4 == 0) {
        stream.insert(stream.end(), {0xFF, 0xFD, 0x90, 0x00});  // layer II: no MP3 frame
      }
      stream.insert(stream.end(), {0xFF, static_cast<std::uint8_t>(0xE2 | version << 3),
                                   static_cast<std::uint8_t>((bitrate + 1) << 4 | rate << 2 | padding << 1), 0xC4});
      stream.insert(stream.end(), (mpeg1 ? 144000 : 72000) * kbits[mpeg1][bitrate] / hz + padding - 4, 0);
      seconds += (mpeg1 ? 1152.0 : 576.0) / hz;
    }
    orvale::Mp3Frames counted;
    for (std::size_t at = 0, length = 0; at < stream.size(); at += length) {
      length = std::min<std::size_t>(stream.size() - at, rng() % 700);
      counted.feed(std::span(stream).subspan(at, length));
    }
    ASSERT_EQ(counted.frames(), frames) << "round " << round;
    ASSERT_DOUBLE_EQ(counted.seconds(), seconds) << "round " << round;
  }
}

}  // namespace
