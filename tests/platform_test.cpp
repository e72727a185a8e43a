// What differs between systems: names beyond ASCII and beyond the old
// 260-character limit, and an output name another program holds open.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "container/input.h"
#include "outputs/outputs.h"
#include "platform/platform.h"
#include "support.h"

namespace {

using testing_support::Bytes;
using testing_support::read_file;
using testing_support::RunResult;
using testing_support::ScratchDir;

namespace fs = std::filesystem;

// Room reserved ahead made writing slower on tmpfs (and XFS): there the
// system says it does not pay, as it does for a device, and on Windows.
TEST(RoomWorthReserving, NoneWhereItDoesNotPay) {
  const std::string in_memory = "/dev/shm/orvale-" + std::to_string(orvale::platform::process_id());
  for (const std::string& path : {in_memory, std::string("/dev/null")}) {
    orvale::platform::File file = orvale::platform::kNoFile;
    if (orvale::platform::create_new(path, nullptr, file) != 0 &&
        orvale::platform::open_to_write(path, file) != 0) {
      continue;  // no such place here
    }
    EXPECT_EQ(orvale::platform::room_worth_reserving(file), 0U) << path;
    EXPECT_EQ(orvale::platform::close(file), 0);
  }
  (void)orvale::platform::remove(in_memory);
}

// A recording is looked at in place when every page of it is in memory, or
// all but at most one in 64 that the system let go of; a page dropped
// without a trace, as one whose read failed, sends the walk to reading.
TEST(PagesInMemory, AreCountedAndDecideWhetherToLookInPlace) {
  // A page missing that was never held (a failed read), and the bound.
  for (const auto& [held, let_go, in_place] : std::vector<std::tuple<int, int, bool>>{
           {63, 0, false}, {62, 2, false}, {6300, 100, true}, {6299, 101, false}}) {
    const std::uint64_t pages = held < 100 ? 64 : 6400;
    EXPECT_EQ(orvale::worth_looking_in_place({std::uint64_t(held), std::uint64_t(let_go), pages}),
              in_place)
        << held << " held, " << let_go << " let go, of " << pages;
  }
#if !defined(_WIN32)
  const ScratchDir dir;
  struct statfs where {};
  if (::statfs(dir.path("").c_str(), &where) != 0 || where.f_type == 0x01021994) {
    GTEST_SKIP() << "tmpfs keeps every page";
  }
  // A page a write, each in a folio of its own that can be let go alone.
  const std::uint64_t page = ::sysconf(_SC_PAGESIZE);
  const std::uint64_t size = 64 * page - 1;
  const int fd = ::open(dir.path("held").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  for (std::uint64_t at = 0; at < size; at += page) {
    ASSERT_GT(::write(fd, Bytes(std::min(page, size - at), 7).data(), std::min(page, size - at)),
              0);
  }
  ASSERT_EQ(::fsync(fd), 0);  // only clean pages can be let go
  orvale::platform::PagesHeld counted;
  ASSERT_TRUE(orvale::platform::pages_in_memory(fd, size, counted));
  EXPECT_EQ(counted.pages, 64U);
  EXPECT_EQ(counted.held, 64U);
  // The first page paged out as reclaim does it (only a touched page goes,
  // and an emulator may take the request and do nothing), then the second
  // dropped without a trace.
  auto* view =
      static_cast<volatile std::uint8_t*>(::mmap(nullptr, page, PROT_READ, MAP_SHARED, fd, 0));
  ASSERT_NE(view, MAP_FAILED);
  EXPECT_EQ(view[0], 7);
  unsigned char first = 1;
  const bool paged_out = ::madvise(const_cast<std::uint8_t*>(view), page, MADV_PAGEOUT) == 0 &&
                         ::mincore(const_cast<std::uint8_t*>(view), page, &first) == 0 &&
                         (first & 1U) == 0;
  (void)::munmap(const_cast<std::uint8_t*>(view), page);
  if (!paged_out) {
    (void)::close(fd);
    GTEST_SKIP() << "this system does not page out on request";
  }
  ASSERT_TRUE(orvale::platform::pages_in_memory(fd, size, counted));
  EXPECT_EQ(counted.held, 63U);
  EXPECT_EQ(counted.let_go, 1U);
  EXPECT_TRUE(orvale::InputWindow(fd, 64).look_in_place());
  ASSERT_EQ(
      ::posix_fadvise(fd, static_cast<off_t>(page), static_cast<off_t>(page), POSIX_FADV_DONTNEED),
      0);
  ASSERT_TRUE(orvale::platform::pages_in_memory(fd, size, counted));
  EXPECT_EQ(counted.held, 62U);
  EXPECT_EQ(counted.let_go, 1U);
  EXPECT_FALSE(orvale::InputWindow(fd, 64).look_in_place());
  (void)::close(fd);
#endif
}

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

// Wildcards, as orvale.exe expands them: the finder stands for what
// FindFirstFileW would give for each pattern, in no particular order.
int fake_find(const std::string& pattern, std::vector<std::string>& names) {
  static const std::map<std::string, std::vector<std::string>> kFound = {
      {"*.kvx", {"b.kvx", "a.kvx", "C.kvx"}},
      {"o*", {"orvale.exe"}},
      {"card\\*.kvx", {"0002.kvx", "0001.kvx"}},
      {"card/ch0?", {"ch02", "ch01"}},
      {"Z:*.kvx", {"a.kvx"}},
      {"\\\\nas\\cards\\*.KVX", {"a.kvx"}},
      {"*", {"..", "a.kvx", "."}},
  };
  if (pattern == "locked\\*") {
    return EACCES;
  }
  if (const auto found = kFound.find(pattern); found != kFound.end()) {
    names = found->second;
  }
  return 0;
}

struct WildcardCase {
  const char* label;
  std::vector<std::string> words;
  std::vector<std::string> expanded;
};

void PrintTo(const WildcardCase& c, std::ostream* os) { *os << c.label; }

class Wildcards : public ::testing::TestWithParam<WildcardCase> {};

TEST_P(Wildcards, BecomeTheNamesTheyMatchInNameOrder) {
  EXPECT_EQ(orvale::platform::expand_wildcards(GetParam().words, &fake_find),
            GetParam().expanded);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, Wildcards,
    ::testing::Values(
        WildcardCase{"plain_words_stay", {"orvale", "-o", "out", "a.kvx"},
                     {"orvale", "-o", "out", "a.kvx"}},
        WildcardCase{"the_program_stays", {"o*", "x.kvx"}, {"o*", "x.kvx"}},
        WildcardCase{"star_in_name_order", {"orvale", "-q", "*.kvx", "z.kvx"},
                     {"orvale", "-q", "C.kvx", "a.kvx", "b.kvx", "z.kvx"}},
        WildcardCase{"folder_kept", {"orvale", "card\\*.kvx"},
                     {"orvale", "card\\0001.kvx", "card\\0002.kvx"}},
        WildcardCase{"question_mark_and_slash", {"orvale", "card/ch0?"},
                     {"orvale", "card/ch01", "card/ch02"}},
        WildcardCase{"drive_kept", {"orvale", "Z:*.kvx"}, {"orvale", "Z:a.kvx"}},
        WildcardCase{"share_kept", {"orvale", "\\\\nas\\cards\\*.KVX"},
                     {"orvale", "\\\\nas\\cards\\a.kvx"}},
        WildcardCase{"dots_left_out", {"orvale", "*"}, {"orvale", "a.kvx"}},
        WildcardCase{"no_match_stays", {"orvale", "*.mp4", "a?.kvx"},
                     {"orvale", "*.mp4", "a?.kvx"}},
        WildcardCase{"unreadable_folder_stays", {"orvale", "locked\\*"},
                     {"orvale", "locked\\*"}}),
    [](const auto& info) { return std::string(info.param.label); });

// Windows shells hand the wildcards over as typed; POSIX shells expand them
// before orvale starts, so there a word reaching it is a name.
TEST(Wildcards, AreExpandedByOrvaleOnWindowsOnly) {
  ScratchDir dir;
  testing_support::write_file(dir.path("a.kvx"), testing_support::encode(testing_support::av_file(1, 2)));
  testing_support::write_file(dir.path("B.KVX"), testing_support::encode(testing_support::av_file(1, 2)));
  const RunResult r = testing_support::run_orvale({"-q", "-o", "out", "*.kvx", "*.none"}, dir.path(""));
  EXPECT_EQ(r.status, 2);
#if defined(_WIN32)
  EXPECT_TRUE(fs::exists(orvale::platform::path_of(dir.path("out/a.kvx.264"))));
  EXPECT_TRUE(fs::exists(orvale::platform::path_of(dir.path("out/B.KVX.264"))));
  EXPECT_EQ(r.err, "orvale: *.none: cannot open: No such file or directory\n");
#else
  EXPECT_EQ(r.err, "orvale: *.kvx: cannot open: No such file or directory\n"
                   "orvale: *.none: cannot open: No such file or directory\n");
#endif
}

// What --parents keeps below -o DIR, with and without drives and shares.
struct KeptCase {
  const char* label;
  std::string path;
  bool drives_and_shares;
  std::string kept;
};

void PrintTo(const KeptCase& c, std::ostream* os) { *os << c.label; }

class KeptPaths : public ::testing::TestWithParam<KeptCase> {};

TEST_P(KeptPaths, KeepTheDriveOrShareAsFolders) {
  EXPECT_EQ(orvale::kept_path(GetParam().path, GetParam().drives_and_shares), GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Parents, KeptPaths,
    ::testing::Values(
        KeptCase{"posix_absolute", "/media/card/a.kvx", false, "media/card/a.kvx"},
        KeptCase{"posix_double_slash", "//media/a.kvx", false, "media/a.kvx"},
        KeptCase{"posix_relative", "ch01/a.kvx", false, "ch01/a.kvx"},
        KeptCase{"posix_backslash_is_a_name", "Z:\\cards\\a.kvx", false, "Z:\\cards\\a.kvx"},
        KeptCase{"drive", "Z:\\cards\\a.kvx", true, "Z\\cards\\a.kvx"},
        KeptCase{"drive_with_slashes", "c:/cards/a.kvx", true, "c\\cards/a.kvx"},
        KeptCase{"drive_relative", "Z:a.kvx", true, "Z\\a.kvx"},
        KeptCase{"share", "\\\\nas\\cards\\ch01\\a.kvx", true, "nas\\cards\\ch01\\a.kvx"},
        KeptCase{"share_with_slashes", "//nas/cards/a.kvx", true, "nas/cards/a.kvx"},
        KeptCase{"long_drive", "\\\\?\\Z:\\cards\\a.kvx", true, "Z\\cards\\a.kvx"},
        KeptCase{"device_namespace", "\\\\.\\Z:\\cards\\a.kvx", true, "Z\\cards\\a.kvx"},
        KeptCase{"long_share", "\\\\?\\UNC\\nas\\cards\\a.kvx", true, "nas\\cards\\a.kvx"},
        KeptCase{"root_of_the_drive", "\\cards\\a.kvx", true, "cards\\a.kvx"},
        KeptCase{"windows_relative", "cards\\a.kvx", true, "cards\\a.kvx"}),
    [](const auto& info) { return std::string(info.param.label); });

// An absolute input under --parents lands below -o DIR with its drive as a
// folder on Windows, its path from the root elsewhere.
TEST(Parents, KeepAnAbsoluteInputsDrive) {
  ScratchDir dir;
  const std::string input = dir.path("a.kvx");
  testing_support::write_file(input, testing_support::encode(testing_support::av_file(1, 2)));
  const RunResult r = testing_support::run_orvale({"-q", "--parents", "-o", "out", input}, dir.path(""));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string kept = orvale::kept_path(input, orvale::platform::kDrivesAndShares);
#if defined(_WIN32)
  EXPECT_EQ(kept.substr(1, 1), "\\") << kept;
#endif
  EXPECT_TRUE(fs::exists(orvale::platform::path_of(dir.path("out")) /
                         orvale::platform::path_of(kept + ".264")))
      << kept;
}

#if ORVALE_POSIX_TESTS
// Names the system makes up have no room beside them for outputs.
struct SystemFolderCase {
  const char* label;
  std::string path;
  std::string folder;
};

void PrintTo(const SystemFolderCase& c, std::ostream* os) { *os << c.label; }

class SystemFolders : public ::testing::TestWithParam<SystemFolderCase> {};

TEST_P(SystemFolders, AreFoundByThePathsParts) {
  EXPECT_EQ(orvale::system_folder_of(GetParam().path), GetParam().folder);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SystemFolders,
    ::testing::Values(SystemFolderCase{"dev_stdin", "/dev/stdin", "/dev"},
                      SystemFolderCase{"proc_fd", "/proc/self/fd/0", "/proc"},
                      SystemFolderCase{"sys", "/sys/kernel/x.kvx", "/sys"},
                      SystemFolderCase{"dotted_into_dev", "/tmp/../dev/./stdin", "/dev"},
                      SystemFolderCase{"dotted_out_of_dev", "/dev/../tmp/a.kvx", ""},
                      SystemFolderCase{"a_name_starting_dev", "/devices/a.kvx", ""},
                      SystemFolderCase{"dev_deeper_down", "/media/dev/a.kvx", ""}),
    [](const auto& info) { return std::string(info.param.label); });
#endif

}  // namespace
