// An output name holds the earlier file, whole, or this run's: runs that
// finish, fail or are stopped at every stage over every kind of earlier
// file, two runs on the same names, and --no-clobber.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "support.h"

// FIFOs, signals, links and the fault shim drive every test here.
#if ORVALE_POSIX_TESTS
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The helpers every test file of the program shares.
using namespace testing_support;
using Outputs = std::map<std::string, Bytes>;
namespace fs = std::filesystem;

constexpr std::size_t kPackets = 12;
constexpr std::size_t kMid = 6;
const Bytes kOld = {'O', 'L', 'D'};

// Packets of 200 KiB of video: the input passes through several refills of
// the window, so the outputs are written part way through.
kvx::File big_file(std::size_t packets, std::uint8_t seed, std::uint32_t streams = 2) {
  kvx::File file = av_file(streams, packets);
  for (std::size_t i = 0; i < packets; ++i) {
    file.packets[i].video.resize(200 * 1024, static_cast<std::uint8_t>(seed + i));
  }
  return file;
}

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
  for (const auto& entry :
       fs::recursive_directory_iterator(root, fs::directory_options::follow_directory_symlink)) {
    if (entry.path().filename().string().front() == '.') {
      found.push_back(entry.path().string());
    }
  }
  return found;
}

// The sizes of the files with no name that process `pid` holds open, in the
// order it made them: the video's, then each audio stream's. A second handle
// on one file counts once.
std::vector<long long> unnamed_sizes(pid_t pid) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  std::map<int, std::string> by_number;
  std::error_code gone;
  for (const auto& entry : fs::directory_iterator(fds, gone)) {
    by_number[std::stoi(entry.path().filename().string())] = entry.path().string();
  }
  std::vector<long long> sizes;
  std::vector<ino_t> seen;
  for (const auto& [number, path] : by_number) {
    std::error_code error;
    const std::string leads_to = fs::read_symlink(path, error).filename().string();
    struct stat status {};
    if (error || leads_to.front() != '#' || leads_to.find("(deleted)") == std::string::npos ||
        ::stat(path.c_str(), &status) != 0 ||
        std::find(seen.begin(), seen.end(), status.st_ino) != seen.end()) {
      continue;
    }
    seen.push_back(status.st_ino);
    sizes.push_back(static_cast<long long>(status.st_size));
  }
  return sizes;
}

// The size of the temporary under `dir` of the output named with `suffix`
// (".264" or ".1.aac"), beside its name or a link's target, or with no name
// in process `pid`; -1 while there is none.
long long temporary_size(const std::string& dir, const std::string& suffix, pid_t pid) {
  std::error_code not_yet;  // the run may not have made the folder yet
  for (const auto& entry : fs::recursive_directory_iterator(
           dir, fs::directory_options::follow_directory_symlink, not_yet)) {
    if (entry.path().filename().string().find(suffix + ".orvale-") != std::string::npos) {
      return static_cast<long long>(entry.file_size());
    }
  }
  const std::vector<long long> unnamed = unnamed_sizes(pid);
  const std::size_t slot = suffix == ".264" ? 0 : 2;
  return unnamed.size() > slot ? unnamed[slot] : -1;
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

// A run reading a FIFO the test feeds. feed() returns once the run has taken
// the bytes: its video temporary holds `video_bytes`, or, for -1, its
// temporaries exist.
class FedRun {
 public:
  FedRun(const std::string& fifo, const std::vector<std::string>& args, const Launch& launch = {})
      : child_(ORVALE_BINARY, args, launch) {
    // A run that died leaves this writer with an error, not a signal.
    (void)std::signal(SIGPIPE, SIG_IGN);
    fd_ = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the child to open it
  }
  ~FedRun() { ::close(fd_); }
  FedRun(const FedRun&) = delete;
  FedRun& operator=(const FedRun&) = delete;

  void send(const Bytes& bytes, std::size_t from, std::size_t to) {
    for (ssize_t put = 0; from < to && put >= 0; from += static_cast<std::size_t>(put)) {
      put = ::write(fd_, bytes.data() + from, to - from);
      ASSERT_GT(put, 0) << std::strerror(errno);
    }
  }
  [[nodiscard]] bool feed(const Bytes& bytes, std::size_t to, const std::string& dir,
                          long long video_bytes) {
    send(bytes, 0, to);
    return eventually([&] {
      return video_bytes >= 0 ? temporary_size(dir, ".264", pid()) == video_bytes
                              : temporary_size(dir, ".1.aac", pid()) >= 0;
    });
  }
  [[nodiscard]] pid_t pid() const { return child_.pid(); }
  RunResult finish() {
    ::close(std::exchange(fd_, -1));
    return child_.finish();
  }

 private:
  Child child_;
  int fd_ = -1;
};

// ---- Every stage, every outcome, every kind of earlier file

enum class Earlier { none, file, link, link_to_nowhere, hard_link, private_file };
enum class Point { before_first_packet, mid_walk, at_last_packet };
enum class How {
  finishes,
  no_clobber,
  sigint_ignored,
  write_error,
  read_error,
  sigint,
  sigterm,
  sighup,
  sigquit
};

constexpr const char* kEarlier[] = {"none",      "file",        "link", "link_to_nowhere",
                                    "hard_link", "private_file"};
constexpr const char* kPoint[] = {"before_first_packet", "mid_walk", "at_last_packet"};
constexpr const char* kHow[] = {"finishes",    "no_clobber", "sigint_ignored",
                                "write_error", "read_error", "sigint",
                                "sigterm",     "sighup",     "sigquit"};
constexpr int kSignal[] = {0, 0, SIGINT, 0, 0, SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr std::size_t kPacketsBefore[] = {0, kMid, kPackets - 1};

// The earlier outputs of `input`, the video's as `earlier` says: a link to
// elsewhere/v.264 (there or not), a hard link with it, or a private file.
void make_earlier(const ScratchDir& dir, Earlier earlier, const Outputs& before) {
  const std::string video = dir.path("in.kvx.264");
  for (const auto& [suffix, bytes] : before) {
    write_file(dir.path("in.kvx" + suffix), bytes);
  }
  if (earlier == Earlier::link || earlier == Earlier::link_to_nowhere) {
    if (earlier == Earlier::link) {
      write_file(dir.path("elsewhere/v.264"), before.at(".264"));
    }
    fs::remove(video);
    fs::create_symlink("elsewhere/v.264", video);  // from the link's folder
  } else if (earlier == Earlier::hard_link) {
    fs::create_hard_link(video, dir.path("other.264"));
  } else if (earlier == Earlier::private_file) {
    fs::permissions(video, fs::perms::owner_read | fs::perms::owner_write);
  }
}

// Whatever the run did, the name keeps its kind: a link stays a link, the
// other name of a hard link keeps the old bytes, a private file stays so.
void expect_kind_kept(const ScratchDir& dir, Earlier earlier, const Outputs& before) {
  const std::string video = dir.path("in.kvx.264");
  if (earlier == Earlier::link || earlier == Earlier::link_to_nowhere) {
    EXPECT_TRUE(fs::is_symlink(video));
  } else if (earlier == Earlier::hard_link) {
    EXPECT_EQ(read_file(dir.path("other.264")), before.at(".264"));
  } else if (earlier == Earlier::private_file) {
    EXPECT_EQ(fs::status(video).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
}

// How the runs write aside: to files with no name, or to named temporaries
// as where the file system has none.
enum class Aside { unnamed, named };

Launch launch_for(Aside aside) {
  Launch launch;
  if (aside == Aside::named) {
    no_unnamed_files(launch);
  }
  return launch;
}

RunResult run_until(const ScratchDir& dir, const Bytes& bytes, Point point, How how,
                    const std::map<std::size_t, Outputs>& walked, Aside aside) {
  const std::string input = dir.path("in.kvx");
  const std::size_t done = kPacketsBefore[static_cast<int>(point)];
  const std::size_t bad_byte = done == 0 ? 58 : kvx::packet_offset(bytes, done) + 5;
  Launch launch = launch_for(aside);
  if (kSignal[static_cast<int>(how)] == 0) {
    write_file(input, bytes);
    if (how == How::read_error) {
      // A device gone: nothing more can be read, and the run fails there.
      fail_reads(launch, input, bad_byte, 0, "gone");
    } else if (how == How::write_error) {
      // The limit holds for the captured stderr too: room for the messages.
      const std::size_t whole = walked.at(kPackets).at(".264").size();
      launch.file_size_limit = done == 0 ? 4096 : done == kMid ? whole / 2 : whole - 1;
    }
    return run_orvale(how == How::no_clobber ? std::vector<std::string>{"-n", input}
                                             : std::vector<std::string>{input},
                      launch);
  }
  EXPECT_EQ(::mkfifo(input.c_str(), 0600), 0);
  if (how == How::sigint_ignored) {
    launch.ignored_signals = {SIGINT};
  }
  FedRun run(input, {input}, launch);
  const long long video =
      done == 0 ? -1 : static_cast<long long>(walked.at(done).at(".264").size());
  EXPECT_TRUE(
      run.feed(bytes, done == 0 ? kvx::packet_offset(bytes, 0) : bad_byte, dir.path(""), video));
  ::kill(run.pid(), kSignal[static_cast<int>(how)]);
  if (how == How::sigint_ignored) {
    run.send(bytes, done == 0 ? kvx::packet_offset(bytes, 0) : bad_byte, bytes.size());
  }
  return run.finish();
}

TEST(Stages, EveryNameHoldsTheEarlierFileOrThisRunsWhole) {
  const kvx::File file = big_file(kPackets, 1);
  const Bytes bytes = encode(file);
  std::map<std::size_t, Outputs> walked;
  for (const std::size_t packets : {kMid, kPackets - 1, kPackets}) {
    walked[packets] = reference(file, packets);
  }
  // An unrelated earlier recording, with a third stream and an MP3 one left
  // from others before it, which this run leaves and names.
  const Outputs earlier_outputs = reference(big_file(3, 0x70, 3), 3);
  for (const Aside aside : {Aside::unnamed, Aside::named}) {
    for (int e = 0; e < 6; ++e) {
      for (int p = 0; p < 3; ++p) {
        for (int h = 0; h < 9; ++h) {
          const auto earlier = static_cast<Earlier>(e);
          const auto how = static_cast<How>(h);
          // -n leaves an input alone when all its outputs are there, writes
          // the missing ones when some are, and runs it through otherwise.
          const bool some_missing = earlier == Earlier::link_to_nowhere;
          const bool skipped = how == How::no_clobber && earlier != Earlier::none && !some_missing;
          const bool missing_written = how == How::no_clobber && some_missing;
          const bool finished = how == How::finishes || how == How::sigint_ignored ||
                                (how == How::no_clobber && earlier == Earlier::none);
          if ((finished || skipped || missing_written) && p != 1) {
            continue;  // a run that finishes has no stage to fail at
          }
          SCOPED_TRACE(std::string(aside == Aside::named ? "named, " : "unnamed, ") + kEarlier[e] +
                       ", " + kPoint[p] + ", " + kHow[h]);
          ScratchDir dir;
          // Links lead to another file system where there is one: only a
          // temporary beside the link's target can be renamed over it.
          const ScratchDir other(fs::is_directory("/dev/shm") ? "/dev/shm"
                                                              : fs::temp_directory_path());
          fs::create_directory_symlink(other.path(""), dir.path("elsewhere"));
          const std::string input = dir.path("in.kvx");
          Outputs before = earlier == Earlier::none ? Outputs{} : earlier_outputs;
          if (earlier != Earlier::none) {
            write_file(input + ".2.aac", kOld);
            write_file(input + ".0.mp3", kOld);
          }
          make_earlier(dir, earlier, before);
          if (earlier == Earlier::link_to_nowhere) {
            before.erase(".264");
          }
          const RunResult r = run_until(dir, bytes, static_cast<Point>(p), how, walked, aside);
          Outputs expected = finished ? walked.at(kPackets) : before;
          if (missing_written) {
            expected[".264"] = walked.at(kPackets).at(".264");
          }
          EXPECT_EQ(outputs_of(input), expected) << r.err;
          const std::string first = earlier == Earlier::link_to_nowhere ? ".0.aac" : ".264";
          expect_kind_kept(dir, earlier, earlier_outputs);
          EXPECT_EQ(hidden_files(dir.path("")), std::vector<std::string>{});
          const int signal = kSignal[h];
          if (skipped) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "orvale: " + input + ": skipped: " + input + first +
                                 " is already there (--no-clobber)\n");
          } else if (missing_written) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "orvale: " + input + ": " + input + ".0.aac, " + input +
                                 ".1.aac kept as they are (--no-clobber); only the missing "
                                 "outputs are written\norvale: " +
                                 input + ".0.mp3, " + input +
                                 ".2.aac: not written by this run; left from an earlier one\n");
          } else if (finished) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, earlier == Earlier::none ? ""
                                                      : "orvale: " + input + ".0.mp3, " + input +
                                                            ".2.aac: not written by this run; "
                                                            "left from an earlier one\n");
          } else if (signal != 0) {
            EXPECT_EQ(r.signal, signal) << r.err;
            EXPECT_TRUE(r.err.empty() || r.err == "orvale: " + input +
                                                      ": interrupted; its outputs are left as "
                                                      "they were\n")
                << r.err;
          } else if (!skipped) {
            EXPECT_EQ(r.status, 2) << r.err;
          }
          if (how == How::finishes) {
            EXPECT_EQ(fs::last_write_time(dir.path("in.kvx.0.aac")), fs::last_write_time(input));
          }
          // What was extracted before an error, kept beside the video's target.
          Outputs kept = outputs_of(input, ".partial");
          const std::string video_partial =
              earlier == Earlier::link || earlier == Earlier::link_to_nowhere
                  ? dir.path("elsewhere/v.264.partial")
                  : input + ".264.partial";
          if (exists(video_partial)) {
            kept[".264"] = read_file(video_partial);
          }
          if (how == How::read_error) {
            EXPECT_EQ(kept, p == 0 ? Outputs{} : walked.at(kPacketsBefore[p]));
          } else if (how == How::write_error) {
            // A file-size limit is a full disk to the run: partial files
            // would only take the room.
            EXPECT_EQ(kept, Outputs{});
            EXPECT_NE(r.err.find(": its outputs are left as they were; what was extracted before "
                                 "the error is removed, not kept in .partial files, which would "
                                 "take the room the next input needs\n"),
                      std::string::npos)
                << r.err;
          } else {
            EXPECT_EQ(kept, Outputs{});
          }
          if (!kept.empty()) {
            EXPECT_NE(r.err.find("before the error is kept in " + video_partial), std::string::npos)
                << r.err;
          }
          if (HasFailure()) {
            return;  // one failing row says enough, and a stuck run costs 30 s
          }
        }
      }
    }
  }
}

// A partial name that cannot be taken (a folder is there) leaves the bytes
// under the hidden name, and the message gives it.
TEST(PartialFiles, ThatCannotTakeTheirNameStayUnderTheHiddenOne) {
  ScratchDir dir;
  const std::string input = dir.path("in.kvx");
  const kvx::File file = big_file(4, 1);
  const Bytes bytes = encode(file);
  write_file(input, bytes);
  fs::create_directory(input + ".264.partial");
  Launch launch;
  fail_reads(launch, input, kvx::packet_offset(bytes, 2) + 5, 0, "gone");
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
// lost: here the second input is a FIFO no one writes to. The signal may
// still find the first input's renames held, which is told as such.
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
  EXPECT_TRUE(r.err.empty() || r.err == "orvale: interrupted\n" ||
              r.err == "orvale: " + dir.path("a.kvx") +
                           ": interrupted after its outputs were complete\n")
      << r.err;
  EXPECT_EQ(outputs_of(dir.path("a.kvx")), reference(file, 3));
}

// A signal held off while the outputs take their names is told as what it
// is: every output is complete and in place. The run still ends by the
// signal, so that whatever ran it stops too.
TEST(Signals, DuringTheFinalRenamesAreToldAsComingAfterCompleteOutputs) {
  ScratchDir dir;
  const std::string input = dir.path("in.kvx");
  const kvx::File file = av_file(2, 3);
  write_file(input, encode(file));
  Launch launch = launch_for(Aside::named);
  pause_renames_to(launch, input + ".0.aac");
  Child run(ORVALE_BINARY, {input}, launch);
  ASSERT_TRUE(eventually([&] { return exists(input + ".0.aac.paused"); }));
  ::kill(run.pid(), SIGINT);
  write_file(input + ".0.aac.go", {});
  const RunResult r = run.finish();
  EXPECT_EQ(r.signal, SIGINT);
  EXPECT_EQ(r.err, "orvale: " + input + ": interrupted after its outputs were complete\n");
  EXPECT_EQ(outputs_of(input), reference(file, 3));
}

// The first pass of -f mp4 looks at a recording's pages in place where the
// system holds them all. One cut short by another program meanwhile faults:
// the run says what happened, leaves no temporary and no output, and ends
// by that fault. Only a kernel that counts a file's pages (Linux 6.5 on)
// maps it before any other look at its pages.
TEST(Signals, AnInputCutShortWhileReadInPlaceEndsTheRunAndLeavesNothing) {
  ScratchDir dir;
  const std::string input = dir.path("in.kvx");
  write_file(input, read_file(ORVALE_SAMPLE));
  struct {
    std::uint64_t offset = 0, length = 0;
  } range;
  std::array<std::uint64_t, 5> counts{};
  const int fd = ::open(input.c_str(), O_RDONLY);
  const long counted = ::syscall(451, fd, &range, counts.data(), 0);
  ::close(fd);
  if (counted != 0) {
    GTEST_SKIP() << "the kernel cannot count a file's pages";
  }
  for (const Aside aside : {Aside::unnamed, Aside::named}) {
    Launch launch = launch_for(aside);
    cut_when_mapped(launch, input);
    const RunResult r = run_orvale({"-f", "mp4", input}, launch);
    EXPECT_EQ(r.signal, SIGBUS) << r.err;
    EXPECT_EQ(r.err, "orvale: " + input +
                         ": could no longer be read while it was read in place (cut shorter "
                         "meanwhile, or a bad spot); its outputs are left as they were\n");
    EXPECT_EQ(hidden_files(dir.path("")), std::vector<std::string>{});
    EXPECT_FALSE(exists(input + ".mp4"));
    write_file(input, read_file(ORVALE_SAMPLE));
  }
}

// A file another program makes at a free output name at the last moment,
// after this run last looked, stays: the name is taken only while free,
// whether the output had no name until then or a temporary one.
TEST(ConcurrentRuns, AFileMadeAtTheLastMomentStays) {
  for (const Aside aside : {Aside::unnamed, Aside::named}) {
    ScratchDir dir;
    const std::string input = dir.path("in.kvx");
    const kvx::File file = av_file(2, 3);
    write_file(input, encode(file));
    Launch launch = launch_for(aside);
    pause_renames_to(launch, input + ".0.aac");
    Child run(ORVALE_BINARY, {input}, launch);
    ASSERT_TRUE(eventually([&] { return exists(input + ".0.aac.paused"); }));
    write_file(input + ".0.aac", kOld);
    write_file(input + ".0.aac.go", {});
    const RunResult r = run.finish();
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "orvale: " + input + ".0.aac: changed after this run began (another run "
                         "finished it meanwhile); it stays, and this run's output is kept in " +
                         input + ".0.aac.partial\n");
    EXPECT_EQ(read_file(input + ".0.aac"), kOld);
    EXPECT_EQ(read_file(input + ".0.aac.partial"), reference(file, 3).at(".0.aac"));
    EXPECT_EQ(read_file(input + ".264"), reference(file, 3).at(".264"));
  }
}

// ---- Killed runs

// kill -9 gives no chance to clean up. Files with no name vanish with the
// process; named temporaries stay, and the next run on this machine over the
// same names removes them and says so. Temporaries of a live process, of
// another machine or of an unknown kind stay. That run is a batch, which
// lists the folder once: its second input's leftover is found too.
TEST(KilledRuns, LeaveNothingThatLasts) {
  const kvx::File file = big_file(kPackets, 0x11);
  const Bytes bytes = encode(file);
  for (const Aside aside : {Aside::unnamed, Aside::named}) {
    SCOPED_TRACE(aside == Aside::named ? "named" : "unnamed");
    ScratchDir dir;
    const std::string input = dir.path("in.kvx");
    ASSERT_EQ(::mkfifo(input.c_str(), 0600), 0);
    std::vector<std::string> killed;
    {
      FedRun run(input, {input}, launch_for(aside));
      const std::size_t fed = kvx::packet_offset(bytes, kMid);
      ASSERT_TRUE(run.feed(bytes, fed, dir.path(""),
                           static_cast<long long>(reference(file, kMid).at(".264").size())));
      ::kill(run.pid(), SIGKILL);
      killed = hidden_files(dir.path(""));
      const RunResult r = run.finish();
      EXPECT_EQ(r.signal, SIGKILL);
      EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(killed.size(), aside == Aside::named ? 3U : 0U);
    EXPECT_EQ(outputs_of(input), Outputs{});
    // Beside them: one of this live process, one of another machine, one
    // of an older kind.
    std::array<char, 256> host{};
    ASSERT_EQ(::gethostname(host.data(), host.size() - 1), 0);
    Child ended(ORVALE_BINARY, {"--version"}, Launch{});
    const pid_t gone = ended.pid();
    (void)ended.finish();
    const std::vector<std::string> kept = {
        dir.path(".in.kvx.264.orvale-") + host.data() + "-" + std::to_string(::getpid()) +
            "-abcdef",
        dir.path(".in.kvx.264.orvale-elsewhere-") + std::to_string(gone) + "-abcdef",
                                           dir.path(".in.kvx.264.orvale-Xy12ab")};
    for (const std::string& name : kept) {
      write_file(name, kOld);
    }
    const std::string second = dir.path("second.kvx");
    write_file(second, encode(av_file(2, 1)));
    killed.push_back(dir.path(".second.kvx.264.orvale-") + host.data() + "-" +
                     std::to_string(gone) + "-abcdef");
    write_file(killed.back(), kOld);
    ASSERT_EQ(::unlink(input.c_str()), 0);
    write_file(input, bytes);
    const RunResult again = run_orvale({input, second});
    EXPECT_EQ(again.status, 0);
    std::sort(killed.begin(), killed.end());
    for (const std::string& name : killed) {
      EXPECT_NE(again.err.find("orvale: " + name +
                               ": removed: a temporary file left by a run on this machine that "
                               "ended before finishing\n"),
                std::string::npos)
          << again.err;
    }
    EXPECT_EQ(std::count(again.err.begin(), again.err.end(), '\n'),
              static_cast<long>(killed.size()))
        << again.err;
    std::vector<std::string> left = hidden_files(dir.path(""));
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected = kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
    EXPECT_EQ(outputs_of(input), reference(file, kPackets));
    EXPECT_EQ(outputs_of(second), reference(av_file(2, 1), 1));
  }
}

// ---- Two runs on the same names

// Run A reads a FIFO and waits part way while run B extracts another
// recording into the same names (and A then fails, or finishes), or while
// something rewrites one output in place, keeping its inode. What the other
// finished stays whole; A keeps its own beside it as partial files, says so
// and fails, and leaves no temporary.
TEST(ConcurrentRuns, WhatAnotherFinishedMeanwhileStays) {
  const kvx::File a_file = big_file(kPackets, 0x30);
  const kvx::File b_file = big_file(3, 0x90);
  const Bytes a_bytes = encode(a_file);
  enum class Meanwhile { b_writes_a_fails, b_writes, b_writes_new_names, rewritten_in_place };
  for (const Aside aside : {Aside::unnamed, Aside::named}) {
    for (const Meanwhile meanwhile :
         {Meanwhile::b_writes_a_fails, Meanwhile::b_writes, Meanwhile::b_writes_new_names,
          Meanwhile::rewritten_in_place}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(meanwhile)) +
                   (aside == Aside::named ? " named" : " unnamed"));
      const bool a_fails = meanwhile == Meanwhile::b_writes_a_fails;
      ScratchDir dir;
      fs::create_directories(dir.path("cam1"));
      fs::create_directories(dir.path("cam2"));
      const std::string out = dir.path("out");
      const std::string base = out + "/clip.kvx";
      const std::vector<std::string> b_args = {"-o", out, dir.path("cam2/clip.kvx")};
      ASSERT_EQ(::mkfifo(dir.path("cam1/clip.kvx").c_str(), 0600), 0);
      write_file(dir.path("cam2/clip.kvx"), encode(b_file));
      // B's earlier outputs are there before A begins, but for new names.
      if (meanwhile != Meanwhile::b_writes_new_names) {
        ASSERT_EQ(run_orvale(b_args).status, 0);
      }
      const Outputs b_outputs = outputs_of(base);
      FedRun a(dir.path("cam1/clip.kvx"), {"-o", out, dir.path("cam1/clip.kvx")},
               launch_for(aside));
      // A failing A has not a whole packet yet; a finishing one is half way.
      const std::size_t fed =
          a_fails ? kvx::packet_offset(a_bytes, 0) + 10 : kvx::packet_offset(a_bytes, kMid);
      ASSERT_TRUE(
          a.feed(a_bytes, fed, out,
                 a_fails ? -1 : static_cast<long long>(reference(a_file, kMid).at(".264").size())));
      if (meanwhile == Meanwhile::rewritten_in_place) {
        write_file(base + ".264", kOld);
      } else {
        EXPECT_EQ(run_orvale(b_args).status, 0);
      }
      if (!a_fails) {
        a.send(a_bytes, fed, a_bytes.size());
      }
      const RunResult a_result = a.finish();
      EXPECT_EQ(a_result.status, 2) << a_result.err;
      Outputs finished = outputs_of(base);
      if (meanwhile == Meanwhile::rewritten_in_place) {
        EXPECT_EQ(read_file(base + ".264"), kOld);
        finished[".264"] = b_outputs.at(".264");
        EXPECT_EQ(finished, b_outputs);
      } else {
        EXPECT_EQ(finished, reference(b_file, 3));
      }
      EXPECT_EQ(hidden_files(dir.path("")), std::vector<std::string>{});
      if (a_fails) {
        continue;
      }
      EXPECT_EQ(outputs_of(base, ".partial"), reference(a_file, kPackets));
      std::string told;
      for (const char* suffix : {".264", ".0.aac", ".1.aac"}) {
        const bool changed =
            meanwhile != Meanwhile::rewritten_in_place || std::string(suffix) == ".264";
        told += "orvale: " + base + suffix +
                (changed ? ": changed after this run began (another run finished it "
                           "meanwhile); it stays, and this run's output is kept in "
                         : ": left as it was, as another output of this input changed after "
                           "this run began; this run's output is kept in ") +
                base + suffix + ".partial\n";
      }
      EXPECT_EQ(a_result.err, told);
    }
  }
}

// An output deleted after a finished run is made again; the others stay as
// they are, the same files untouched; with all there, the input is skipped.
TEST(NoClobber, WritesOnlyTheMissingOutputs) {
  ScratchDir dir;
  const std::string input = dir.path("in.kvx");
  const kvx::File file = av_file(2, 2);
  write_file(input, encode(file));
  ASSERT_EQ(run_orvale({input}).status, 0);
  const Outputs whole = outputs_of(input);
  write_file(input + ".264", kOld);
  const auto video_time = fs::last_write_time(input + ".264");
  fs::remove(input + ".0.aac");
  const RunResult r = run_orvale({"-n", input});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "orvale: " + input + ": " + input + ".264, " + input +
                       ".1.aac kept as they are (--no-clobber); only the missing outputs are "
                       "written\n");
  Outputs expected = whole;
  expected[".264"] = kOld;
  EXPECT_EQ(outputs_of(input), expected);
  EXPECT_EQ(fs::last_write_time(input + ".264"), video_time);
  EXPECT_EQ(hidden_files(dir.path("")), std::vector<std::string>{});
  const RunResult again = run_orvale({"-n", input});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.err,
            "orvale: " + input + ": skipped: " + input + ".264 is already there (--no-clobber)\n");
}

// Partial files and devices are no finished outputs: an input is extracted
// beside them, and the partial file named as left over.
TEST(NoClobber, PartialFilesAndDevicesDoNotCount) {
  ScratchDir dir;
  const std::string input = dir.path("in.kvx");
  write_file(input, encode(av_file(2, 1)));
  write_file(input + ".264.partial", kOld);
  fs::create_symlink("/dev/null", input + ".1.aac");
  const RunResult r = run_orvale({"-n", input});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "orvale: " + input +
                       ".264.partial: not written by this run; left from an earlier one\n");
  EXPECT_EQ(read_file(input + ".264"), reference(av_file(2, 1), 1).at(".264"));
}

}  // namespace
#endif
