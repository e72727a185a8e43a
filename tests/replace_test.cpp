// An output name holds the earlier file, whole, or this run's, and nothing in
// between: failures and signals at every stage, two runs on the same names,
// and the kinds of file a name can hold.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "support.h"

namespace {

// The helpers every test file of the program shares.
using namespace testing_support;

constexpr std::size_t kPackets = 12;
constexpr std::size_t kMid = 6;

// Packets of 200 KiB of video: the input passes through several refills of
// the window, so the outputs are written part way through.
kvx::File big_file(std::size_t packets = kPackets, std::uint8_t seed = 1) {
  kvx::File file = av_file(2, packets);
  for (std::size_t i = 0; i < packets; ++i) {
    file.packets[i].video.resize(200 * 1024, static_cast<std::uint8_t>(seed + i));
  }
  return file;
}

const char* const kSuffixes[] = {".264", ".0.aac", ".1.aac"};
const Bytes kOld = {'O', 'L', 'D'};
using Outputs = std::map<std::string, Bytes>;

// What a clean run gives for the first `packets` packets of `file`.
Outputs reference(kvx::File file, std::size_t packets) {
  file.packets.resize(packets);
  ScratchDir dir;
  write_file(dir.path("in.kvx"), encode(file));
  EXPECT_EQ(run_orvale({dir.path("in.kvx")}).status, 0);
  return outputs_of(dir.path("in.kvx"));
}

// Hidden files under `root`: temporaries a run left.
std::vector<std::string> hidden_files(const std::string& root) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.path().filename().string().front() == '.') {
      found.push_back(entry.path().string());
    }
  }
  return found;
}

// The size of the temporary for output `output` in `dir`, -1 while none.
long long temporary_size(const std::string& dir, const std::string& output) {
  std::error_code not_yet;  // the run may not have made the folder yet
  for (const auto& entry : std::filesystem::directory_iterator(dir, not_yet)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("." + output + ".orvale-", 0) == 0) {
      return static_cast<long long>(entry.file_size());
    }
  }
  return -1;
}

// Waits, for at most 30 s, until `condition` holds: a child's progress is
// watched through the files it makes, never guessed from sleeps.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void write_all(int fd, const Bytes& bytes, std::size_t from, std::size_t to) {
  while (from < to) {
    const ssize_t put = ::write(fd, bytes.data() + from, to - from);
    ASSERT_GT(put, 0) << std::strerror(errno);
    from += static_cast<std::size_t>(put);
  }
}

// A run reading a FIFO the test feeds: it has taken what it was given once
// the video temporary holds `video_bytes`, or, for -1, once its three
// temporaries exist.
class FedRun {
 public:
  FedRun(const std::string& fifo, const std::vector<std::string>& args, const Launch& launch = {})
      : child_(ORVALE_BINARY, args, launch) {
    // A run that died leaves this writer with an error to report, not a signal.
    (void)std::signal(SIGPIPE, SIG_IGN);
    fd_ = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the child to open it
  }
  ~FedRun() { close(); }
  FedRun(const FedRun&) = delete;
  FedRun& operator=(const FedRun&) = delete;

  ::testing::AssertionResult feed(const Bytes& bytes, std::size_t from, std::size_t to,
                                  const std::string& dir, const std::string& output,
                                  long long video_bytes) {
    send(bytes, from, to);
    const bool reached = eventually([&] {
      if (video_bytes >= 0) {
        return temporary_size(dir, output + ".264") == video_bytes;
      }
      return temporary_size(dir, output + ".264") >= 0 &&
             temporary_size(dir, output + ".1.aac") >= 0;
    });
    return reached ? ::testing::AssertionSuccess()
                   : ::testing::AssertionFailure() << "the run never took bytes up to " << to;
  }
  void send(const Bytes& bytes, std::size_t from, std::size_t to) {
    write_all(fd_, bytes, from, to);
  }
  void close() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  [[nodiscard]] pid_t pid() const { return child_.pid(); }
  RunResult finish() {
    close();
    return child_.finish();
  }

 private:
  Child child_;
  int fd_ = -1;
};

// ---- Failures and signals at every stage, over no outputs or earlier ones

enum class Point { before_first_packet, mid_walk, at_last_packet };
enum class How { write_error, read_error, sigint, sigterm, sighup, sigquit };

int signal_of(How how) {
  constexpr int kSignals[] = {0, 0, SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  return kSignals[static_cast<int>(how)];
}

using FailureCase = std::tuple<Point, bool, How>;

class Failure : public ::testing::TestWithParam<FailureCase> {
 protected:
  static const kvx::File& file() {
    static const kvx::File made = big_file();
    return made;
  }
  static const Outputs& walked(std::size_t packets) {
    static std::map<std::size_t, Outputs> cache;
    if (!cache.contains(packets)) {
      cache[packets] = reference(file(), packets);
    }
    return cache.at(packets);
  }
  // Packets wholly extracted before the failure.
  static std::size_t packets_before(Point point) {
    constexpr std::size_t kBefore[] = {0, kMid, kPackets - 1};
    return kBefore[static_cast<int>(point)];
  }
};

TEST_P(Failure, LeavesEveryNameAsItWasAndKeepsOnlyWhatWasExtracted) {
  const auto [point, earlier, how] = GetParam();
  // An unrelated earlier recording, so that a leak of either run shows.
  const Outputs before = earlier ? reference(big_file(3, 0x70), 3) : Outputs{};
  ScratchDir dir;
  const std::string input = dir.path("in.kvx");
  for (const auto& [suffix, bytes] : before) {
    write_file(input + suffix, bytes);
  }
  const Bytes bytes = encode(file());
  const std::size_t done = packets_before(point);
  const std::size_t bad_byte = done == 0 ? 58 : kvx::packet_offset(bytes, done) + 5;
  RunResult r;
  if (signal_of(how) != 0) {
    ASSERT_EQ(::mkfifo(input.c_str(), 0600), 0);
    FedRun run(input, {input});
    const long long video = done == 0 ? -1 : static_cast<long long>(walked(done).at(".264").size());
    ASSERT_TRUE(run.feed(bytes, 0, done == 0 ? kvx::packet_offset(bytes, 0) : bad_byte,
                         dir.path(""), "in.kvx", video));
    ::kill(run.pid(), signal_of(how));
    r = run.finish();
    EXPECT_EQ(r.signal, signal_of(how)) << r.err;
    EXPECT_TRUE(r.err.empty() ||
                r.err == "orvale: " + input + ": interrupted; its outputs are left as they were\n")
        << r.err;
  } else {
    write_file(input, bytes);
    Launch launch;
    if (how == How::read_error) {
      fail_reads(launch, input, bad_byte);
    } else {
      // The limit holds for the captured stderr too: room for the messages.
      const std::size_t whole = walked(kPackets).at(".264").size();
      launch.file_size_limit = done == 0 ? 4096 : done == kMid ? whole / 2 : whole - 1;
    }
    r = run_orvale({input}, launch);
    EXPECT_EQ(r.status, 2) << r.err;
  }
  EXPECT_EQ(outputs_of(input), before);
  EXPECT_EQ(hidden_files(dir.path("")), std::vector<std::string>{});
  const Outputs kept = outputs_of(input, ".partial");
  if (how == How::read_error) {
    EXPECT_EQ(kept, done == 0 ? Outputs{} : walked(done)) << r.err;
  } else if (how == How::write_error) {
    EXPECT_TRUE(kept.contains(".264")) << r.err;
    for (const auto& [suffix, part] : kept) {
      const Bytes& whole = walked(kPackets).at(suffix);
      EXPECT_TRUE(part.size() <= whole.size() &&
                  std::equal(part.begin(), part.end(), whole.begin()))
          << suffix;
    }
  } else {
    EXPECT_EQ(kept, Outputs{});
  }
  if (!kept.empty()) {
    EXPECT_NE(
        r.err.find("what was extracted before the error is kept in " + input + ".264.partial"),
        std::string::npos)
        << r.err;
  }
}

std::string failure_name(const ::testing::TestParamInfo<FailureCase>& info) {
  const char* const points[] = {"before_first_packet", "mid_walk", "at_last_packet"};
  const char* const hows[] = {"write_error", "read_error", "sigint",
                              "sigterm",     "sighup",     "sigquit"};
  return std::string(points[static_cast<int>(std::get<0>(info.param))]) +
         (std::get<1>(info.param) ? "_over_earlier_outputs_" : "_") +
         hows[static_cast<int>(std::get<2>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(
    Stages, Failure,
    ::testing::Combine(::testing::Values(Point::before_first_packet, Point::mid_walk,
                                         Point::at_last_packet),
                       ::testing::Bool(),
                       ::testing::Values(How::write_error, How::read_error, How::sigint,
                                         How::sigterm, How::sighup, How::sigquit)),
    failure_name);

// A partial name that cannot be taken (a folder is there) leaves the bytes
// under the hidden name, and the message gives it.
TEST(PartialFiles, ThatCannotTakeTheirNameStayUnderTheHiddenOne) {
  ScratchDir dir;
  const std::string input = dir.path("in.kvx");
  const kvx::File file = big_file(4);
  const Bytes bytes = encode(file);
  write_file(input, bytes);
  std::filesystem::create_directory(input + ".264.partial");
  Launch launch;
  fail_reads(launch, input, kvx::packet_offset(bytes, 2) + 5);
  const RunResult r = run_orvale({input}, launch);
  EXPECT_EQ(r.status, 2);
  const std::vector<std::string> hidden = hidden_files(dir.path(""));
  ASSERT_EQ(hidden.size(), 1U) << r.err;
  EXPECT_EQ(read_file(hidden[0]), reference(file, 2).at(".264"));
  EXPECT_NE(r.err.find("is kept in " + hidden[0] + ", " + input + ".0.aac.partial"),
            std::string::npos)
      << r.err;
}

// Inputs finished before the signal stay finished, and the line says nothing
// about them: here the second input is a FIFO no one writes to.
TEST(Signals, BetweenInputsTheFinishedOnesStay) {
  ScratchDir dir;
  const kvx::File file = av_file(2, 3);
  write_file(dir.path("a.kvx"), encode(file));
  ASSERT_EQ(::mkfifo(dir.path("b.kvx").c_str(), 0600), 0);
  Child run(ORVALE_BINARY, {dir.path("a.kvx"), dir.path("b.kvx")}, Launch{});
  ASSERT_TRUE(eventually([&] { return exists(dir.path("a.kvx.1.aac")); }));
  ::kill(run.pid(), SIGINT);
  const RunResult r = run.finish();
  EXPECT_EQ(r.signal, SIGINT);
  EXPECT_TRUE(r.err.empty() || r.err == "orvale: interrupted\n") << r.err;
  EXPECT_EQ(outputs_of(dir.path("a.kvx")), reference(file, 3));
}

// A background job of a script runs with SIGINT ignored, and so it stays.
TEST(Signals, AnIgnoredInterruptStaysIgnored) {
  ScratchDir dir;
  const std::string input = dir.path("in.kvx");
  ASSERT_EQ(::mkfifo(input.c_str(), 0600), 0);
  const kvx::File file = big_file(4);
  const Bytes bytes = encode(file);
  Launch launch;
  launch.ignored_signals = {SIGINT};
  FedRun run(input, {input}, launch);
  ASSERT_TRUE(run.feed(bytes, 0, kvx::packet_offset(bytes, 0), dir.path(""), "in.kvx", -1));
  ::kill(run.pid(), SIGINT);
  run.send(bytes, kvx::packet_offset(bytes, 0), bytes.size());
  const RunResult r = run.finish();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(outputs_of(input), reference(file, 4));
}

// ---- Two runs on the same names

// Run A reads a FIFO and waits part way while run B extracts another
// recording into the same names. Whatever A does next, each name ends as
// one run's whole file, and A removes nothing but its own temporaries.
TEST(ConcurrentRuns, EachNameEndsAsOneRunsWholeFile) {
  const kvx::File a_file = big_file(kPackets, 0x30);
  const kvx::File b_file = big_file(3, 0x90);
  // While A waits: B writes new files and A then fails, or finishes; or
  // something rewrites one output in place, keeping its inode.
  enum class Meanwhile { b_writes_a_fails, b_writes, rewritten_in_place };
  for (const Meanwhile meanwhile :
       {Meanwhile::b_writes_a_fails, Meanwhile::b_writes, Meanwhile::rewritten_in_place}) {
    const bool a_fails = meanwhile == Meanwhile::b_writes_a_fails;
    ScratchDir dir;
    std::filesystem::create_directories(dir.path("cam1"));
    std::filesystem::create_directories(dir.path("cam2"));
    const std::string out = dir.path("out");
    ASSERT_EQ(::mkfifo(dir.path("cam1/clip.kvx").c_str(), 0600), 0);
    write_file(dir.path("cam2/clip.kvx"), encode(b_file));
    if (meanwhile == Meanwhile::rewritten_in_place) {
      ASSERT_EQ(run_orvale({"-o", out, dir.path("cam2/clip.kvx")}).status, 0);
    }
    const Bytes a_bytes = encode(a_file);
    FedRun a(dir.path("cam1/clip.kvx"), {"-o", out, dir.path("cam1/clip.kvx")});
    // A failing A has not a whole packet yet; a finishing one is half way.
    const std::size_t fed =
        a_fails ? kvx::packet_offset(a_bytes, 0) + 10 : kvx::packet_offset(a_bytes, kMid);
    const long long video =
        a_fails ? -1 : static_cast<long long>(reference(a_file, kMid).at(".264").size());
    ASSERT_TRUE(a.feed(a_bytes, 0, fed, out, "clip.kvx", video));
    if (meanwhile == Meanwhile::rewritten_in_place) {
      write_file(out + "/clip.kvx.264", kOld);
    } else {
      const RunResult b = run_orvale({"-o", out, dir.path("cam2/clip.kvx")});
      EXPECT_EQ(b.status, 0) << b.err;
      EXPECT_EQ(outputs_of(out + "/clip.kvx"), reference(b_file, 3));
    }
    if (!a_fails) {
      a.send(a_bytes, fed, a_bytes.size());
    }
    const RunResult a_result = a.finish();
    EXPECT_EQ(a_result.status, a_fails ? 2 : 0) << a_result.err;
    EXPECT_EQ(outputs_of(out + "/clip.kvx"),
              a_fails ? reference(b_file, 3) : reference(a_file, kPackets));
    EXPECT_EQ(hidden_files(dir.path("")), std::vector<std::string>{});
    std::size_t told = 0;
    for (std::size_t at = 0;
         (at = a_result.err.find("another run replaced it while this one worked", at)) !=
         std::string::npos;
         ++at) {
      ++told;
    }
    EXPECT_EQ(told, a_fails ? 0U : meanwhile == Meanwhile::b_writes ? 3U : 1U) << a_result.err;
  }
}

// ---- What an output name can hold

struct NameCase {
  const char* name;
  void (*make)(const ScratchDir& dir);
  // What the run must have left; `fresh` is what it extracts.
  void (*check)(const ScratchDir& dir, const Outputs& fresh);
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class OutputName : public ::testing::TestWithParam<NameCase> {};

TEST_P(OutputName, IsWrittenAsItsKindWants) {
  ScratchDir dir;
  std::filesystem::create_directories(dir.path("elsewhere"));
  const kvx::File file = av_file(2, 3);
  write_file(dir.path("in.kvx"), encode(file));
  GetParam().make(dir);
  // A FIFO at an output name is written through: a reader takes what comes.
  Bytes through;
  std::thread reader;
  if (std::filesystem::is_fifo(dir.path("in.kvx.0.aac"))) {
    reader = std::thread([&] { through = read_file(dir.path("in.kvx.0.aac")); });
  }
  const RunResult r = run_orvale({dir.path("in.kvx")});
  if (reader.joinable()) {
    reader.join();
    EXPECT_EQ(through, reference(file, 3).at(".0.aac"));
  }
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  GetParam().check(dir, reference(file, 3));
  EXPECT_EQ(hidden_files(dir.path("")), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, OutputName,
    ::testing::Values(
        NameCase{"link_to_a_file",
                 [](const ScratchDir& dir) {
                   write_file(dir.path("elsewhere/v.264"), kOld);
                   std::filesystem::create_symlink("elsewhere/v.264", dir.path("in.kvx.264"));
                 },
                 [](const ScratchDir& dir, const Outputs& fresh) {
                   EXPECT_TRUE(std::filesystem::is_symlink(dir.path("in.kvx.264")));
                   EXPECT_EQ(read_file(dir.path("elsewhere/v.264")), fresh.at(".264"));
                 }},
        NameCase{"link_to_nowhere",
                 [](const ScratchDir& dir) {
                   std::filesystem::create_symlink(dir.path("elsewhere/new.264"),
                                                   dir.path("in.kvx.264"));
                 },
                 [](const ScratchDir& dir, const Outputs& fresh) {
                   EXPECT_TRUE(std::filesystem::is_symlink(dir.path("in.kvx.264")));
                   EXPECT_EQ(read_file(dir.path("elsewhere/new.264")), fresh.at(".264"));
                 }},
        NameCase{"hard_link",
                 [](const ScratchDir& dir) {
                   write_file(dir.path("in.kvx.264"), kOld);
                   std::filesystem::create_hard_link(dir.path("in.kvx.264"),
                                                     dir.path("elsewhere/v.264"));
                 },
                 [](const ScratchDir& dir, const Outputs& fresh) {
                   EXPECT_EQ(read_file(dir.path("in.kvx.264")), fresh.at(".264"));
                   EXPECT_EQ(read_file(dir.path("elsewhere/v.264")), kOld);
                 }},
        NameCase{"fifo",
                 [](const ScratchDir& dir) {
                   ASSERT_EQ(::mkfifo(dir.path("in.kvx.0.aac").c_str(), 0600), 0);
                 },
                 [](const ScratchDir& dir, const Outputs& fresh) {
                   EXPECT_TRUE(std::filesystem::is_fifo(dir.path("in.kvx.0.aac")));
                   EXPECT_EQ(read_file(dir.path("in.kvx.264")), fresh.at(".264"));
                 }},
        NameCase{"private_file",
                 [](const ScratchDir& dir) {
                   write_file(dir.path("in.kvx.264"), kOld);
                   std::filesystem::permissions(
                       dir.path("in.kvx.264"),
                       std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
                 },
                 [](const ScratchDir& dir, const Outputs& fresh) {
                   EXPECT_EQ(read_file(dir.path("in.kvx.264")), fresh.at(".264"));
                   EXPECT_EQ(
                       std::filesystem::status(dir.path("in.kvx.264")).permissions(),
                       std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
                 }},
        NameCase{"link_to_a_device",
                 [](const ScratchDir& dir) {
                   std::filesystem::create_symlink("/dev/null", dir.path("in.kvx.1.aac"));
                 },
                 [](const ScratchDir& dir, const Outputs& fresh) {
                   EXPECT_TRUE(std::filesystem::is_symlink(dir.path("in.kvx.1.aac")));
                   EXPECT_EQ(read_file(dir.path("in.kvx.0.aac")), fresh.at(".0.aac"));
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- No clobber, and the time finished outputs take

TEST(NoClobber, SkipsAnInputWhoseOutputsAreThereAndOnlyThat) {
  ScratchDir dir;
  const std::string input = dir.path("in.kvx");
  const kvx::File file = av_file(2, 3);
  write_file(input, encode(file));
  const auto recorded =
      std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 400);
  std::filesystem::last_write_time(input, recorded);
  const RunResult first = run_orvale({"-n", input});
  EXPECT_EQ(first.status, 0) << first.err;
  const Outputs finished = outputs_of(input);
  EXPECT_EQ(finished, reference(file, 3));
  for (const char* suffix : kSuffixes) {
    EXPECT_EQ(std::filesystem::last_write_time(input + suffix), recorded) << suffix;
  }
  write_file(input, encode(av_file(2, 1)));
  const RunResult again = run_orvale({"--no-clobber", input});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.err,
            "orvale: " + input + ": skipped: " + input + ".264 is already there (--no-clobber)\n");
  EXPECT_EQ(outputs_of(input), finished);
  // Partial files and devices are no finished outputs: the input is
  // extracted, and the partial files named as left over.
  for (const char* suffix : kSuffixes) {
    std::filesystem::remove(input + suffix);
  }
  write_file(input + ".264.partial", kOld);
  std::filesystem::create_symlink("/dev/null", input + ".1.aac");
  const RunResult after_partial = run_orvale({"-n", input});
  EXPECT_EQ(after_partial.status, 0);
  EXPECT_EQ(after_partial.err, "orvale: " + input +
                                   ".264.partial: not written by this run; left from an earlier "
                                   "one\n");
  EXPECT_EQ(read_file(input + ".264"), reference(av_file(2, 1), 1).at(".264"));
}

}  // namespace
