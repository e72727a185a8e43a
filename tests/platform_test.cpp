// What differs between systems: names beyond ASCII and beyond the old
// 260-character limit, and an output name another program holds open.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support.h"

namespace {

using testing_support::Bytes;
using testing_support::read_file;
using testing_support::RunResult;
using testing_support::ScratchDir;

namespace fs = std::filesystem;

// Each name is the folder the input lies in, below the scratch folder, and
// the input's own name: accented and CJK, and a path over 260 characters.
struct NameCase {
  const char* label;
  std::string folder;
  std::string input;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.label; }

class Names : public ::testing::TestWithParam<NameCase> {};

TEST_P(Names, AreKeptAsTheUserTypedThem) {
  ScratchDir dir;
  const std::string folder = dir.path(GetParam().folder);
  fs::create_directories(orvale::platform::path_of(folder));
  const kvx::File file = testing_support::av_file(2, 3);
  const std::string input = folder + "/" + GetParam().input;
  testing_support::write_file(input, testing_support::encode(file));
  // A recording copied with its time kept: the outputs take that time, not
  // the copy's.
  const fs::path input_path = orvale::platform::path_of(input);
  const auto recorded = fs::last_write_time(input_path) - std::chrono::hours(24 * 400);
  fs::last_write_time(input_path, recorded);
  const RunResult beside = testing_support::run_orvale({input});
  ASSERT_EQ(beside.status, 0) << beside.err;
  EXPECT_EQ(fs::last_write_time(orvale::platform::path_of(input + ".264")), recorded);
  const auto outputs = testing_support::outputs_of(input);
  EXPECT_EQ(outputs.at(".264"), testing_support::av_videos({0x10, 0x20, 0x30}));
  EXPECT_EQ(outputs.at(".1.aac"), testing_support::av_audio(file, 1, {0, 1, 2}));
  // Into a folder of such a name, and told in the listing as typed.
  const RunResult into = testing_support::run_orvale({"-q", "-o", folder + "/out", input});
  ASSERT_EQ(into.status, 0) << into.err;
  EXPECT_EQ(read_file(folder + "/out/" + GetParam().input + ".264"), outputs.at(".264"));
  const RunResult listed = testing_support::run_orvale({"-l", input});
  EXPECT_EQ(listed.out.rfind(input + ": ", 0), 0U) << listed.out;
}

const std::string kLongPart(60, 'x');

INSTANTIATE_TEST_SUITE_P(
    Paths, Names,
    ::testing::Values(NameCase{"accents_and_cjk", "dossier é/映像", "caméra 映像.kvx"},
                      NameCase{"over_260_characters",
                               kLongPart + "/" + kLongPart + "/" + kLongPart + "/" + kLongPart +
                                   "/" + kLongPart,
                               kLongPart + ".kvx"}),
    [](const auto& info) { return std::string(info.param.label); });

// A player holding the old output open: POSIX replaces the name and the
// player reads on in the old file; Windows refuses to replace a file open
// without delete sharing, and the new output is kept beside it, told.
TEST(OpenOutput, IsReplacedOrTheNewOneKeptBesideIt) {
  ScratchDir dir;
  const std::string input = dir.path("in.kvx");
  const kvx::File file = testing_support::av_file(2, 2);
  testing_support::write_file(input, testing_support::encode(file));
  const Bytes old(100, 0x55);
  testing_support::write_file(input + ".264", old);
  std::ifstream player(orvale::platform::path_of(input + ".264"), std::ios::binary);
  ASSERT_TRUE(player.good());
  const RunResult r = testing_support::run_orvale({input});
  const Bytes seen{std::istreambuf_iterator<char>(player), std::istreambuf_iterator<char>()};
  EXPECT_EQ(seen, old) << "the player reads the file it opened";
  const Bytes fresh = testing_support::av_videos({0x10, 0x20});
#if defined(_WIN32)
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find(input + ".264: cannot be replaced: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("this run's output is kept in " + input + ".264.partial"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(input + ".264"), old);
  EXPECT_EQ(read_file(input + ".264.partial"), fresh);
#else
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(input + ".264"), fresh);
#endif
  // The other outputs are replaced either way.
  EXPECT_EQ(read_file(input + ".0.aac"), testing_support::av_audio(file, 0, {0, 1}));
}

}  // namespace
