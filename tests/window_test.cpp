// The walk through a window smaller than the packets gives exactly what the
// walk through a window that holds them whole gives: same outputs, same
// diagnostics, same status, whatever the stream kind, the damage or the cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>

#include "extract/dump.h"
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include "container/le.h"
#include "container/unreadable.h"
#include "container/walk_input.h"
#include "mux/clock.h"
#include "packet_model.h"
#include "support.h"

namespace {

// The helpers every test file of the program shares.
using namespace testing_support;

constexpr std::size_t kWhole = orvale::InputWindow::kDefaultSize;

struct Outcome {
  orvale::ExitStatus status = orvale::ExitStatus::ok;
  std::string diagnostics;
  std::map<std::string, Bytes> outputs;

  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
  *os << "status " << static_cast<int>(o.status) << ", " << o.outputs.size() << " outputs, "
      << o.diagnostics;
}

std::string slurp(std::FILE* file) {
  std::rewind(file);
  std::string text;
  int c = 0;
  while ((c = std::fgetc(file)) != EOF) {
    text.push_back(static_cast<char>(c));
  }
  return text;
}

std::map<std::string, Bytes> outputs_in(const ScratchDir& dir) {
  std::map<std::string, Bytes> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path(""))) {
    found[entry.path().filename().string()] = read_file(entry.path().string());
  }
  return found;
}

// Extracts `input` in process, read from `fd`, through a window of `window` bytes.
Outcome extract_from(int fd, const ScratchDir& dir, std::size_t window,
                     const orvale::Settings& settings = {}) {
  // Not tmpfile(): on Windows it makes its file in the root of the drive,
  // which may be closed to the user, and a null stream would fault in the
  // first message rather than fail the test.
  const ScratchDir log;
  const std::string log_path = log.path("diagnostics");
  std::FILE* diagnostics = std::fopen(log_path.c_str(), "w+b");
  if (diagnostics == nullptr) {
    throw std::runtime_error("cannot create " + log_path + ": " + std::strerror(errno));
  }
  orvale::Session session;
  Outcome outcome;
  outcome.status = orvale::dump_descriptor(fd, orvale::Input{dir.path("in.kvx"), "", ""}, settings,
                                           session, diagnostics, window);
  // Names differ from one scratch directory to the next; the rest must not.
  outcome.diagnostics = slurp(diagnostics);
  for (std::size_t at = 0;
       (at = outcome.diagnostics.find(dir.path(""), at)) != std::string::npos;) {
    outcome.diagnostics.replace(at, dir.path("").size(), "DIR/");
  }
  std::fclose(diagnostics);
  outcome.outputs = outputs_in(dir);
  return outcome;
}

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Fills `out` with the input's bytes from `offset` on.
using InputBytes = std::function<void(std::uint64_t offset, std::span<std::uint8_t> out)>;

// Writes the `size` bytes of an input to `file`, a MiB at a time.
void write_input(orvale::platform::File file, std::uint64_t size, const InputBytes& bytes_at) {
  Bytes chunk(static_cast<std::size_t>(std::min<std::uint64_t>(size, kMiB)));
  for (std::uint64_t at = 0; at < size;) {
    const auto part = std::span(chunk).first(
        static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - at)));
    bytes_at(at, part);
    for (std::size_t done = 0; done < part.size();) {
      const orvale::platform::Piece piece{part.data() + done, part.size() - done};
      std::size_t put = 0;
      if (orvale::platform::write(file, {&piece, 1}, put) != 0 || put == 0) {
        return;
      }
      done += put;
    }
    at += part.size();
  }
}

// An input read through an open file: a regular one, or a pipe fed by a
// thread. The pipe is drained before it is closed, so that the writer never
// meets a reader that stopped early.
class Source {
 public:
  Source(const Bytes& input, bool pipe)
      : Source(
            input.size(),
            [&input](std::uint64_t offset, std::span<std::uint8_t> out) {
              std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(offset), out.size(),
                          out.begin());
            },
            pipe) {}
  Source(std::uint64_t size, InputBytes bytes_at, bool pipe) {
    namespace platform = orvale::platform;
    if (!pipe) {
      const std::string path = dir_.path("in.kvx");
      platform::File out = platform::kNoFile;
      EXPECT_EQ(platform::create_new(path, nullptr, out), 0);
      write_input(out, size, bytes_at);
      (void)platform::close(out);
      EXPECT_EQ(platform::open_to_read(path, fd_), 0);
      return;
    }
    platform::File write_end = platform::kNoFile;
    EXPECT_TRUE(testing_support::make_pipe(fd_, write_end));
    writer_ = std::thread([size, bytes_at = std::move(bytes_at), write_end] {
      write_input(write_end, size, bytes_at);
      (void)orvale::platform::close(write_end);
    });
  }
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
  ~Source() {
    if (writer_.joinable()) {
      std::array<std::uint8_t, 1 << 16> rest{};
      std::size_t got = 0;
      while (orvale::platform::read(fd_, rest, got) == 0 && got > 0) {
      }
      writer_.join();
    }
    (void)orvale::platform::close(fd_);
  }
  [[nodiscard]] orvale::platform::File fd() const { return fd_; }

 private:
  ScratchDir dir_;
  orvale::platform::File fd_ = orvale::platform::kNoFile;
  std::thread writer_;
};

Outcome extract_file(const Bytes& input, std::size_t window) {
  ScratchDir dir;
  const Source source(input, false);
  return extract_from(source.fd(), dir, window);
}

// The same through a pipe, as when the input is fed by another program.
Outcome extract_pipe(const Bytes& input, std::size_t window,
                     const orvale::Settings& settings = {}) {
  ScratchDir dir;
  const Source source(input, true);
  return extract_from(source.fd(), dir, window, settings);
}

Bytes pattern(std::size_t size, std::uint32_t seed) {
  Bytes bytes(size);
  std::mt19937 rng(seed);
  for (auto& byte : bytes) {
    byte = static_cast<std::uint8_t>(rng() % 7 == 0 ? 0 : rng());
  }
  return bytes;
}

// Video with SEI units and delimiters that straddle any small window.
Bytes video(std::size_t size, std::uint32_t seed) {
  const Bytes delimiter = {0, 0, 0, 1, 0x09, 0xF0};
  const Bytes sei = {0, 0, 1, 0x06, 0x05, 0x02, 0x11, 0x80};
  const Bytes slice = {0, 0, 0, 1, 0x65};
  return testing_support::concat({delimiter, sei, slice, pattern(size, seed), sei});
}

kvx::File big_packets(std::uint32_t format, std::uint32_t streams, std::size_t frame_size,
                      std::uint32_t packets = 3) {
  kvx::File file;
  file.audio_format = format;
  file.audio_stream_count = streams;
  for (std::uint32_t i = 0; i < packets; ++i) {
    kvx::Packet packet;
    packet.video = video(300 + 200 * (i % 3), i);
    packet.audio.resize(streams);
    for (std::uint32_t s = 0; s < streams; ++s) {
      packet.audio[s] = {pattern(frame_size + s, 100 + s), pattern(5, s)};
    }
    file.packets.push_back(packet);
  }
  return file;
}

struct KindCase {
  const char* name;
  kvx::File file;
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.name; }

class PacketsLargerThanTheWindow : public ::testing::TestWithParam<KindCase> {};

TEST_P(PacketsLargerThanTheWindow, GiveWhatAWholeWindowGives) {
  const Bytes input = encode(GetParam().file);
  const Outcome whole = extract_file(input, kWhole);
  ASSERT_FALSE(whole.outputs.empty());
  // In a window of some KiB, pieces are large enough for the outputs to
  // borrow them, not copy them, until the window is refilled.
  for (const std::size_t window : {64U, 65U, 100U, 257U, 1000U, 6000U}) {
    EXPECT_EQ(extract_file(input, window), whole) << "window " << window;
    EXPECT_EQ(extract_pipe(input, window), whole) << "pipe, window " << window;
  }
}

INSTANTIATE_TEST_SUITE_P(
    StreamKinds, PacketsLargerThanTheWindow,
    ::testing::Values(
        KindCase{"aac_with_a_frame_over_8184_bytes", big_packets(kvx::kFormatAac, 2, 9000)},
        KindCase{"aac", big_packets(kvx::kFormatAac, 1, 700)},
        KindCase{"mp3", big_packets(kvx::kFormatMp3, 1, 3000)},
        KindCase{"several_streams", big_packets(kvx::kFormatMp3, 3, 90)},
        KindCase{"more_than_ten_streams", big_packets(kvx::kFormatAac, 12, 40)},
        KindCase{"video_only", big_packets(kvx::kFormatAac, 0, 0)},
        KindCase{"index_longer_than_the_window", big_packets(kvx::kFormatMp3, 1, 20, 80)}),
    [](const auto& info) { return std::string(info.param.name); });

bool is_prefix(const Bytes& part, const Bytes& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// From a pipe, a packet up to half the window is held whole before anything
// of it is written, so a cut inside it leaves nothing of it; only a longer
// one may leave its first part, and says so.
TEST(APipeCutInsideAPacket, LeavesItsFirstPartOnlyPastHalfTheWindow) {
  const Bytes input = encode(big_packets(kvx::kFormatAac, 1, 700));
  const std::size_t second = kvx::packet_offset(input, 1);
  const std::size_t length = kvx::packet_offset(input, 2) - second;
  const Bytes part(input.begin(), input.begin() + static_cast<long>(second + length - 1));
  const Outcome file = extract_file(part, kWhole);
  struct Case {
    std::size_t window;
    bool first_part_written;
  };
  for (const Case c :
       {Case{2 * length, false}, Case{2 * length + 1, false}, Case{2 * length - 1, true}}) {
    const Outcome piped = extract_pipe(part, c.window);
    EXPECT_EQ(piped.status, file.status) << "window " << c.window;
    EXPECT_EQ(piped.outputs == file.outputs, !c.first_part_written) << "window " << c.window;
    EXPECT_EQ(piped.diagnostics.find("; its first part was written") != std::string::npos,
              c.first_part_written)
        << "window " << c.window << ": " << piped.diagnostics;
    // A test run writes nothing, and tells what the extraction wrote.
    orvale::Settings test;
    test.mode = orvale::Mode::test;
    const Outcome tested = extract_pipe(part, c.window, test);
    EXPECT_EQ(tested, (Outcome{piped.status, without_kept_line(piped.diagnostics), {}}));
  }
}

std::string without(std::string text, const std::string& note) {
  if (const auto at = text.find(note); at != std::string::npos) {
    text.erase(at, note.size());
  }
  return text;
}

// What a pipe may give where the regular file gives `file` and the whole
// input `complete`: the same, or, when the cut left a packet's first part
// written, a warning that says so, the same status, and outputs that hold the
// file's and lie within the whole input's. When that packet was the first,
// the run failed, so what it wrote is kept as partial files, and said.
::testing::AssertionResult pipe_matches_file(const Outcome& piped, const Outcome& file,
                                             const Outcome& complete) {
  const std::string first_part = "; its first part was written";
  const auto differ = [&] {
    return ::testing::AssertionFailure() << "pipe: " << ::testing::PrintToString(piped)
                                         << "\nfile: " << ::testing::PrintToString(file);
  };
  if (piped.diagnostics.find(first_part) == std::string::npos) {
    return piped == file ? ::testing::AssertionSuccess() : differ();
  }
  if (piped.status != file.status ||
      without_kept_line(without(piped.diagnostics, first_part)) != file.diagnostics) {
    return differ();
  }
  if (piped.outputs.size() != complete.outputs.size()) {
    return ::testing::AssertionFailure() << piped.outputs.size() << " outputs from the pipe";
  }
  const std::string partial = ".partial";
  for (const auto& [name, bytes] : piped.outputs) {
    const bool kept = name.ends_with(partial);
    const std::string output = kept ? name.substr(0, name.size() - partial.size()) : name;
    const auto whole = complete.outputs.find(output);
    const auto before = file.outputs.find(output);
    if (kept != (piped.status == orvale::ExitStatus::error) || whole == complete.outputs.end() ||
        !is_prefix(bytes, whole->second) ||
        (before != file.outputs.end() && !is_prefix(before->second, bytes))) {
      return ::testing::AssertionFailure() << name << " is not between the file's and the whole's";
    }
  }
  return ::testing::AssertionSuccess();
}

// From a regular file, a packet the file cannot hold whole is not written at
// all, whatever the window; from a pipe, a packet longer than the window may
// leave its first part, and says so. Every output stays a prefix.
TEST(EveryCutThroughASmallWindow, MatchesTheWholeWindow) {
  const Bytes input = encode(big_packets(kvx::kFormatAac, 2, 300));
  const Outcome complete = extract_file(input, kWhole);
  for (std::size_t cut = 56; cut < input.size(); cut += 3) {
    const Bytes part(input.begin(), input.begin() + static_cast<long>(cut));
    const Outcome whole = extract_file(part, kWhole);
    ASSERT_EQ(extract_file(part, 64), whole) << "cut at " << cut;
    ASSERT_TRUE(pipe_matches_file(extract_pipe(part, 64), whole, complete)) << "cut at " << cut;
  }
}

// A cut at every byte of a file of small packets. Through the default window
// each packet is held whole before any of it is written, so a pipe gives
// exactly what the regular file gives; through the smallest one it may differ
// only as pipe_matches_file allows.
TEST(EveryByteCut, GivesAPipeWhatTheFileGivesUpToAFirstPartItTells) {
  const Bytes input = encode(testing_support::av_file(2, 3));
  const Outcome complete = extract_file(input, kWhole);
  for (std::size_t cut = 0; cut < input.size(); ++cut) {
    const Bytes part(input.begin(), input.begin() + static_cast<long>(cut));
    const Outcome file = extract_file(part, kWhole);
    ASSERT_EQ(extract_pipe(part, kWhole), file) << "cut at " << cut;
    ASSERT_TRUE(pipe_matches_file(extract_pipe(part, 64), file, complete)) << "cut at " << cut;
  }
}

// From a pipe a packet longer than half the window is written as it passes.
// A cut inside the first one leaves the existing output as it was whatever
// reached the outputs; what did is kept as a partial file and said, and an
// input that ends before any byte reached them (right after its fields, or
// after a zero the filter holds back) keeps nothing.
TEST(PipeCutInALongPacket, TellsWhetherItsFirstPartWasWritten) {
  kvx::File file;
  kvx::Packet packet;
  packet.video.assign(200, 0x42);
  const Bytes opening = {0, 0, 0, 1, 0x65};
  std::copy(opening.begin(), opening.end(), packet.video.begin());
  file.packets.push_back(packet);
  const Bytes input = encode(file);
  const std::size_t body = input.size() - packet.video.size();
  struct Cut {
    std::size_t at;
    bool first_part;
  };
  for (const Cut cut : {Cut{body, false}, Cut{body + 1, false}, Cut{body + 5, true}}) {
    ScratchDir dir;
    testing_support::write_file(dir.path("in.kvx.264"), Bytes{'O', 'L', 'D'});
    const Bytes part(input.begin(), input.begin() + static_cast<long>(cut.at));
    const Source source(part, true);
    const Outcome outcome = extract_from(source.fd(), dir, 64);
    EXPECT_EQ(outcome.status, orvale::ExitStatus::error) << "cut at " << cut.at;
    EXPECT_EQ(outcome.diagnostics.find("its first part was written") != std::string::npos,
              cut.first_part)
        << "cut at " << cut.at << ": " << outcome.diagnostics;
    EXPECT_NE(outcome.diagnostics.find("existing outputs are left as they were"), std::string::npos)
        << "cut at " << cut.at << ": " << outcome.diagnostics;
    EXPECT_EQ(outcome.outputs.at("in.kvx.264"), Bytes({'O', 'L', 'D'})) << "cut at " << cut.at;
    EXPECT_EQ(outcome.outputs.contains("in.kvx.264.partial"), cut.first_part)
        << "cut at " << cut.at;
  }
}

// The packets a walk of the index extracts, by the model: every packet whose
// fields fit in it, up to an entry of length 0 or a packet the input does
// not hold whole. `walked` counts the entries up to there.
std::uint64_t model_extracted(const Bytes& input, std::uint64_t& walked) {
  std::uint64_t extracted = 0;
  walked = 0;
  const std::uint32_t count = orvale::read_le32(input, 12);
  std::uint64_t at = 56 + std::uint64_t{4} * count;
  for (std::uint64_t i = 0; i < count && at <= input.size(); ++i, ++walked) {
    const std::uint32_t length = orvale::read_le32(input, 56 + 4 * i) >> 1;
    if (length == 0 || at + length > input.size()) {
      break;
    }
    orvale::PacketLayout layout;
    std::uint64_t needed = 0;
    const auto packet = std::span<const std::uint8_t>(input).subspan(at, length);
    extracted += orvale::parse_packet(packet, orvale::read_le32(input, 36), layout, needed) ==
                         orvale::PacketStatus::ok
                     ? 1
                     : 0;
    at += length;
  }
  return extracted;
}

// What a run says it extracted: all it walked, unless a line says less.
std::uint64_t told_extracted(const std::string& diagnostics, std::uint64_t walked) {
  if (diagnostics.find("no packet could be extracted") != std::string::npos) {
    return 0;
  }
  const auto told = diagnostics.find(" packets the index lists were extracted");
  if (told == std::string::npos) {
    return walked;
  }
  return std::stoull(diagnostics.substr(diagnostics.rfind(": ", told) + 2));
}

#if !defined(_WIN32)  // Windows reads every input
// What the first pass of -f mp4|mkv gathers, and what the walk tells,
// through a window of `window` bytes that reads the file or looks at its
// pages in place.
std::string first_pass(const Bytes& input, std::size_t window, bool in_place, bool rescue) {
  const Source source(input, false);
  const ScratchDir log;
  std::FILE* diagnostics = std::fopen(log.path("diagnostics").c_str(), "w+b");
  if (diagnostics == nullptr) {
    throw std::runtime_error("cannot create the diagnostics file");
  }
  orvale::Settings settings;
  settings.rescue = rescue;
  std::string gathered;
  {
    orvale::Run run(source.fd(), "in.kvx", settings, diagnostics, nullptr, window);
    run.report.keep_stdout_quiet();
    EXPECT_TRUE(!in_place || run.window.look_in_place());
    orvale::RecordingClock clock;
    orvale::ClockSink sink(run.header, clock, nullptr);
    run.sink = &sink;
    gathered = read_header(run) && walk_input(run) ? "walked\n" : "failed\n";
    for (const orvale::PacketClock& packet : clock.packets) {
      gathered += std::to_string(packet.number) + " " + std::to_string(packet.samples) + " " +
                  std::to_string(packet.picture) + std::to_string(packet.idr) + "\n";
    }
    for (const orvale::AudioStreamFacts& audio : clock.audio) {
      gathered += std::to_string(audio.channels) + " " + std::to_string(audio.mp3_rate) + "\n";
    }
  }
  gathered += slurp(diagnostics);
  std::fclose(diagnostics);
  return gathered;
}
#endif

// Random files, some damaged, some with packets far larger than the window:
// each window gives what the whole one gives, and that holds the packets the
// model finds whole. The first pass of -f mp4|mkv, looking at the file's
// pages in place where the system holds them all, gathers what it gathers
// through reads, from the file or a cut one, and in a rescue, which moves
// the window about.
TEST(RandomFilesThroughSmallWindows, MatchTheWholeWindow) {
  std::mt19937 rng(7);
  for (int round = 0; round < 150; ++round) {
    kvx::File file;
    file.audio_format = rng() % 2;
    file.audio_stream_count = rng() % 4 == 0 ? 11 : rng() % 3;
    const std::size_t packets = 1 + rng() % 5;
    for (std::size_t i = 0; i < packets; ++i) {
      kvx::Packet packet;
      packet.video = video(rng() % 400, static_cast<std::uint32_t>(rng()));
      const std::size_t frames = rng() % 3;
      packet.audio.resize(file.audio_stream_count);
      for (auto& stream : packet.audio) {
        for (std::size_t j = 0; j < frames; ++j) {
          stream.push_back(pattern(rng() % 4 == 0 ? 8185 + rng() % 9 : rng() % 200,
                                   static_cast<std::uint32_t>(rng())));
        }
      }
      file.packets.push_back(packet);
    }
    Bytes input = encode(file);
    if (rng() % 3 == 0) {
      input[56 + rng() % (input.size() - 56)] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    }
    const Outcome whole = extract_file(input, kWhole);
    std::uint64_t walked = 0;
    const std::uint64_t extracted = model_extracted(input, walked);
    // Past a chunk that does not open as one, the walk is out of line and
    // writes only packets that pass a closer look, which the model lacks.
    if (whole.diagnostics.find("read out of line fail a closer look") != std::string::npos) {
      ASSERT_LT(told_extracted(whole.diagnostics, walked), extracted) << "round " << round;
    } else {
      ASSERT_EQ(told_extracted(whole.diagnostics, walked), extracted)
          << "round " << round << ": " << whole.diagnostics;
    }
    const std::size_t window = 64 + rng() % 400;
    ASSERT_EQ(extract_file(input, window), whole) << "round " << round << ", window " << window;
#if !defined(_WIN32)
    input.resize(rng() % 2 == 0 ? input.size() : 56 + rng() % (input.size() - 55));
    const bool rescue = rng() % 2 == 0;
    ASSERT_EQ(first_pass(input, window, true, rescue), first_pass(input, window, false, rescue))
        << "round " << round << ", window " << window << (rescue ? ", rescue" : "");
#endif
  }
}

// ---- Refills: where they land and what they read

// Packets from a few bytes to just past half the default window, in a file
// of several MiB: refills of about 1 MiB land inside packets of every size,
// packets of more than 1 MiB need more than one read step, and those near
// half a window go whole through one window and in pieces through the next.
kvx::File packets_across_refills() {
  kvx::File file;
  file.audio_format = kvx::kFormatAac;
  file.audio_stream_count = 2;
  std::mt19937 rng(3);
  for (const std::size_t large :
       {700 * kMiB / 1024, kMiB + 1, 3 * kMiB / 2, 2 * kMiB, 2 * kMiB + 1}) {
    for (int i = 0; i < 30; ++i) {
      kvx::Packet packet;
      packet.video = video(rng() % 3000, static_cast<std::uint32_t>(rng()));
      packet.audio.resize(2);
      for (auto& stream : packet.audio) {
        stream = {pattern(rng() % 8 == 0 ? 9000 : rng() % 400, static_cast<std::uint32_t>(rng()))};
      }
      file.packets.push_back(packet);
    }
    // Video alone, so that the packet is `large` bytes with its 13 fixed ones.
    kvx::Packet packet;
    packet.video = video(large - 13 - 27, static_cast<std::uint32_t>(large));
    packet.audio.resize(2);
    file.packets.push_back(packet);
  }
  return file;
}

// Holding inputs and outputs of several MiB, the test gives the memory back
// when it ends: the memory tests count, in a child's peak, the pages it
// shares with this process from before it runs the program.
class PacketsAcrossRefills : public ::testing::Test {
 protected:
  void TearDown() override {
#if defined(__GLIBC__)
    (void)::malloc_trim(0);
#endif
  }
};

TEST_F(PacketsAcrossRefills, GiveTheSameOutcomeThroughEveryWindow) {
  const Bytes input = encode(packets_across_refills());
  const Outcome whole = extract_file(input, kWhole);
  ASSERT_EQ(whole.status, orvale::ExitStatus::warnings) << whole.diagnostics;
  ASSERT_EQ(whole.diagnostics.find("cut short"), std::string::npos) << whole.diagnostics;
  for (const std::size_t window :
       {kWhole - 1, 3 * kMiB + 7, 2 * kMiB + 1, kMiB + 1, kMiB - 1, std::size_t{6000}}) {
    EXPECT_EQ(extract_file(input, window), whole) << "window " << window;
  }
  EXPECT_EQ(extract_pipe(input, kWhole), whole) << "pipe";
}

struct RefillCase {
  const char* name;
  std::size_t window;
  bool pipe;
  bool in_place = false;
};

void PrintTo(const RefillCase& c, std::ostream* os) { *os << c.name; }

class WindowRefills : public ::testing::TestWithParam<RefillCase> {};

// Byte `offset` of the inputs below, computed rather than held, so that they
// can be many windows long: no run of them repeats at a power of two.
std::uint8_t refill_byte(std::uint64_t offset) {
  return static_cast<std::uint8_t>((offset * 0x9E3779B97F4A7C15) >> 56);
}

bool holds_input(std::span<const std::uint8_t> data, std::uint64_t offset) {
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (data[i] != refill_byte(offset + i)) {
      return false;
    }
  }
  return true;
}

// Fills that ask for exactly the room behind the bytes left, a byte more or
// less, a read step of 1 MiB or a byte more, or the whole window, in turn with
// consuming one byte, all but one, two thirds, all, or a fifth of a window:
// every fill gives the input's own bytes, at least as many as asked, and says
// the input ended only where it did.
TEST_P(WindowRefills, GiveTheInputsBytesAndEndOnlyWhereItEnds) {
  const RefillCase& c = GetParam();
  const std::uint64_t size = std::max<std::uint64_t>(12 * c.window + 5, 1 << 16);
  const Source source(
      size,
      [](std::uint64_t offset, std::span<std::uint8_t> out) {
        for (std::size_t i = 0; i < out.size(); ++i) {
          out[i] = refill_byte(offset + i);
        }
      },
      c.pipe);
  orvale::InputWindow window(source.fd(), c.window);
#if defined(_WIN32)
  if (c.in_place) {
    GTEST_SKIP() << "Windows reads every input";
  }
#endif
  ASSERT_TRUE(!c.in_place || window.look_in_place());
  ASSERT_TRUE(window.allocate());
  // The window's first byte, where the first fill puts what it reads.
  const std::uint8_t* front = nullptr;
  for (std::size_t step = 0;; ++step) {
    const auto left = window.data();
    const std::size_t room =
        front == nullptr ? c.window
                         : c.window - static_cast<std::size_t>(left.data() + left.size() - front);
    const std::array<std::size_t, 7> asked = {left.size() + room,     left.size() + room + 1,
                                              left.size() + room - 1, left.size() + kMiB,
                                              left.size() + kMiB + 1, c.window,
                                              left.size() + 1};
    const std::size_t count = std::clamp(asked[step % asked.size()], left.size() + 1, c.window);
    const orvale::ReadStatus status = window.fill(count);
    const auto data = window.data();
    front = front == nullptr ? data.data() : front;
    const std::string where = "step " + std::to_string(step) + ", " + std::to_string(count) +
                              " bytes asked at byte " + std::to_string(window.position());
    ASSERT_EQ(window.position() + data.size(), window.bytes_read()) << where;
    ASSERT_TRUE(holds_input(data, window.position())) << where;
    if (status != orvale::ReadStatus::complete) {
      ASSERT_EQ(status, orvale::ReadStatus::input_ended) << where;
      ASSERT_EQ(window.bytes_read(), size) << where;
      ASSERT_LT(data.size(), count) << where;
      return;
    }
    ASSERT_GE(data.size(), count) << where;
    // Now and then a file's window skips past what it holds, as a rescue
    // does, and goes on from there.
    if (!c.pipe && step % 7 == 6) {
      const std::uint64_t to = std::min<std::uint64_t>(size, window.bytes_read() + step * 13);
      ASSERT_EQ(window.skip_to(to), orvale::ReadStatus::complete) << where;
      ASSERT_EQ(window.position(), to) << where;
      ASSERT_TRUE(window.data().empty()) << where;
      continue;
    }
    const std::array<std::size_t, 5> consumed = {1, data.size() - 1, data.size() - data.size() / 3,
                                                 data.size(),
                                                 std::min(data.size(), c.window / 5 + 3)};
    window.consume(consumed[step % consumed.size()]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, WindowRefills,
    ::testing::Values(RefillCase{"smallest", 64, false}, RefillCase{"smallest_pipe", 64, true},
                      RefillCase{"odd", 101, false},
                      RefillCase{"under_a_read_step", kMiB - 1, false},
                      RefillCase{"over_a_read_step", kMiB + 1, false},
                      RefillCase{"three_read_steps_and_some", 3 * kMiB + 7, false},
                      RefillCase{"default", kWhole, false},
                      RefillCase{"default_pipe", kWhole, true},
                      RefillCase{"smallest_in_place", 64, false, true},
                      RefillCase{"odd_in_place", 101, false, true},
                      RefillCase{"default_in_place", kWhole, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Frames too long for ADTS, in the window and in pieces

struct LongFrameCase {
  const char* name;
  std::uint32_t streams;
  std::uint32_t stream;  // where packet 1's long frame stands
  std::size_t frame;
  std::size_t length;
};

void PrintTo(const LongFrameCase& c, std::ostream* os) { *os << c.name; }

class LongAacFrame : public ::testing::TestWithParam<LongFrameCase> {};

// What orvale writes: each extracted stream's frames behind ADTS headers,
// those too long for one left out, and a line for each of those.
Outcome expected_without_long_frames(const kvx::File& file) {
  Outcome expected;
  expected.outputs["in.kvx.264"] = testing_support::av_videos({0x10, 0x20, 0x30});
  const std::uint32_t extracted = std::min<std::uint32_t>(file.audio_stream_count, 10);
  if (file.audio_stream_count > extracted) {
    expected.status = orvale::ExitStatus::warnings;
    expected.diagnostics += "orvale: DIR/in.kvx: " + std::to_string(file.audio_stream_count) +
                            " audio streams declared; only streams 0 to 9 are extracted\n";
  }
  for (std::uint32_t s = 0; s < extracted; ++s) {
    Bytes& out = expected.outputs["in.kvx" + testing_support::stream_suffix(s, ".aac")];
    for (std::size_t p = 0; p < file.packets.size(); ++p) {
      const auto& frames = file.packets[p].audio[s];
      for (std::size_t j = 0; j < frames.size(); ++j) {
        if (frames[j].size() <= 8184) {
          const Bytes framed = testing_support::adts(frames[j], file.audio_rate);
          out.insert(out.end(), framed.begin(), framed.end());
          continue;
        }
        expected.status = orvale::ExitStatus::warnings;
        expected.diagnostics += "orvale: DIR/in.kvx: packet " + std::to_string(p) + ", stream " +
                                std::to_string(s) + ", frame " + std::to_string(j) +
                                ": an AAC frame of " + std::to_string(frames[j].size()) +
                                " bytes is too long for an ADTS header (at most 8184); frame "
                                "skipped\n";
      }
    }
  }
  return expected;
}

// Packet 1 goes whole through the default window and one that just holds it
// in its half, and in pieces through one a byte smaller and the smallest:
// the long frame is skipped alone, told the same way, in each.
TEST_P(LongAacFrame, IsSkippedAloneWithTheSameWarningInTheWindowAndInPieces) {
  const LongFrameCase& c = GetParam();
  kvx::File file = testing_support::av_file(c.streams, 3);
  file.packets[1].audio[c.stream][c.frame] = pattern(c.length, 4);
  const Bytes input = encode(file);
  const std::size_t length = kvx::packet_offset(input, 2) - kvx::packet_offset(input, 1);
  const Outcome expected = expected_without_long_frames(file);
  for (const std::size_t window : {kWhole, 2 * length, 2 * length - 1, std::size_t{64}}) {
    EXPECT_EQ(extract_file(input, window), expected) << "window " << window;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, LongAacFrame,
    ::testing::Values(LongFrameCase{"longest_that_fits", 1, 0, 0, 8184},
                      LongFrameCase{"one_byte_too_long", 1, 0, 0, 8185},
                      LongFrameCase{"last_frame_of_the_packet", 2, 1, 1, 8191},
                      LongFrameCase{"first_frame_of_a_later_stream", 2, 1, 0, 8192},
                      LongFrameCase{"tenth_stream", 12, 9, 1, 65539},
                      LongFrameCase{"eleventh_stream_not_extracted", 12, 10, 0, 9000}),
    [](const auto& info) { return std::string(info.param.name); });

#if ORVALE_POSIX_TESTS  // the peak resident set, as POSIX tells it
// A 1 GiB packet costs no more memory than a small one. The file is sparse,
// so it costs no disk; its video is 32 MiB, the rest padding, so the test
// does not spend its time writing.
TEST(Memory, StaysFlatWhateverThePacketSize) {
#ifdef ORVALE_SANITIZED
  constexpr long kLimitKib = 160 * 1024;
#else
  // The child's peak counts the test process's pages it shared before exec,
  // a few MiB; a window that grew with the packet would need over 1 GiB.
  constexpr long kLimitKib = 32 * 1024;
#endif
  constexpr std::uint64_t kPacket = std::uint64_t{1} << 30;
  constexpr std::uint32_t kVideo = std::uint32_t{32} << 20;
  ScratchDir dir;
  const std::string path = dir.path("big.kvx");
  Bytes head = kvx::header_bytes(1, kvx::kFormatAac, 0, 44100);
  kvx::put_le32(head, static_cast<std::uint32_t>(kPacket << 1));
  const Bytes fixed = {0, 0, 0, 0, 0, 0, 0, 0, 0};
  head.insert(head.end(), fixed.begin(), fixed.end());
  kvx::put_le32(head, kVideo);
  const std::size_t packet_start = 56 + 4;
  head.insert(head.end(), {0, 0, 0, 1, 0x65});
  write_file(path, head);
  std::filesystem::resize_file(path, packet_start + kPacket);
  const RunResult r = run_orvale({path});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_LT(r.peak_rss_kib, kLimitKib);
  EXPECT_EQ(std::filesystem::file_size(path + ".264"), kVideo);
}
#endif


// The unreadable ranges, added in any order, are the runs of a model that
// keeps one flag per byte, and answer as it does.
TEST(UnreadableRanges, MatchAModelOfOneFlagPerByte) {
  constexpr std::uint64_t kBytes = 600;
  std::mt19937 random(28);
  for (int round = 0; round < 300; ++round) {
    orvale::UnreadableRanges ranges;
    std::vector<bool> model(kBytes + 1, false);
    for (int add = 0; add < 12; ++add) {
      const std::uint64_t from = random() % (kBytes - 20);
      const std::uint64_t to = from + random() % 20;
      ranges.add(from, to);
      std::fill(model.begin() + static_cast<long>(from), model.begin() + static_cast<long>(to),
                true);
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
    for (std::uint64_t at = 0; at < kBytes; ++at) {
      if (model[at] && (at == 0 || !model[at - 1])) {
        runs.emplace_back(at, at);
      }
      if (model[at]) {
        runs.back().second = at + 1;
      }
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> found;
    for (const auto& range : ranges.ranges()) {
      found.emplace_back(range.from, range.to);
    }
    ASSERT_EQ(found, runs) << "round " << round;
    for (std::uint64_t at = 0; at <= kBytes; ++at) {
      std::uint64_t before = 0;
      while (before < at && model[at - before - 1]) {
        ++before;
      }
      ASSERT_EQ(ranges.run_ending_at(at), before) << "round " << round << ", at " << at;
      const std::uint64_t length = random() % 30;
      std::optional<std::uint64_t> first;
      for (std::uint64_t b = at; b < std::min(at + length, kBytes) && !first; ++b) {
        first = model[b] ? std::optional<std::uint64_t>(b) : std::nullopt;
      }
      ASSERT_EQ(ranges.first_in(at, at + length), first) << "round " << round << ", at " << at;
      ASSERT_EQ(ranges.touches(at, length), first.has_value());
    }
  }
}

// A card failing everywhere leaves no more ranges than the bound, every byte
// added still among them.
TEST(UnreadableRanges, StayBoundedAndKeepEveryByteAdded) {
  constexpr std::uint64_t kAdded = orvale::UnreadableRanges::kMostRanges + 500;
  std::vector<std::uint64_t> order(kAdded);
  for (std::uint64_t i = 0; i < kAdded; ++i) {
    order[i] = i;
  }
  std::shuffle(order.begin(), order.end(), std::mt19937(28));
  orvale::UnreadableRanges ranges;
  for (const std::uint64_t i : order) {
    ranges.add(10 * i, 10 * i + 3);
  }
  EXPECT_LE(ranges.ranges().size(), orvale::UnreadableRanges::kMostRanges);
  for (std::uint64_t i = 0; i < kAdded; ++i) {
    ASSERT_EQ(ranges.first_in(10 * i, 10 * i + 3), 10 * i) << i;
  }
  EXPECT_FALSE(ranges.touches(10 * kAdded, 10));
}

// Past the bound, a new range widens the nearer of its neighbours.
TEST(UnreadableRanges, PastTheBoundWidenTheNearerNeighbour) {
  constexpr std::uint64_t kMost = orvale::UnreadableRanges::kMostRanges;
  orvale::UnreadableRanges ranges;
  for (std::uint64_t i = 0; i < kMost; ++i) {
    ranges.add(100 * i, 100 * i + 1);
  }
  ranges.add(590, 591);  // 9 bytes before the range at 600
  ranges.add(710, 711);  // 9 bytes after the range at 700
  EXPECT_EQ(ranges.ranges().size(), kMost);
  EXPECT_EQ(ranges.first_in(501, 600), 590U);
  EXPECT_EQ(ranges.first_in(701, 800), 701U);
  EXPECT_FALSE(ranges.touches(711, 89));
}

}  // namespace
