// The walk through a window smaller than the packets gives exactly what the
// walk through a window that holds them whole gives: same outputs, same
// diagnostics, same status, whatever the stream kind, the damage or the cut.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "extract/dump.h"
#include "support.h"

namespace {

using testing_support::Bytes;
using testing_support::encode;
using testing_support::exists;
using testing_support::read_file;
using testing_support::run_orvale;
using testing_support::RunResult;
using testing_support::ScratchDir;
using testing_support::write_file;

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
    const std::string name = entry.path().filename().string();
    if (name != "in.kvx") {
      found[name] = read_file(entry.path().string());
    }
  }
  return found;
}

// Extracts `input` in process, read from `fd`, through a window of `window` bytes.
Outcome extract_from(int fd, const ScratchDir& dir, std::size_t window) {
  std::FILE* diagnostics = std::tmpfile();
  orvale::Session session;
  Outcome outcome;
  outcome.status = orvale::dump_descriptor(fd, dir.path("in.kvx"), orvale::Settings{}, session,
                                           diagnostics, window);
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

Outcome extract_file(const Bytes& input, std::size_t window) {
  ScratchDir dir;
  write_file(dir.path("in.kvx"), input);
  const int fd = ::open(dir.path("in.kvx").c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  const Outcome outcome = extract_from(fd, dir, window);
  ::close(fd);
  return outcome;
}

// The same through a pipe, as when the input is fed by another program.
Outcome extract_pipe(const Bytes& input, std::size_t window) {
  ScratchDir dir;
  int ends[2];
  EXPECT_EQ(::pipe(ends), 0);
  std::thread writer([&] {
    std::size_t at = 0;
    while (at < input.size()) {
      const ssize_t put = ::write(ends[1], input.data() + at, input.size() - at);
      if (put <= 0) {
        break;
      }
      at += static_cast<std::size_t>(put);
    }
    ::close(ends[1]);
  });
  const Outcome outcome = extract_from(ends[0], dir, window);
  ::close(ends[0]);
  writer.join();
  return outcome;
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
    ::testing::Values(KindCase{"aac_with_a_frame_over_8184_bytes",
                               big_packets(kvx::kFormatAac, 2, 9000)},
                      KindCase{"aac", big_packets(kvx::kFormatAac, 1, 700)},
                      KindCase{"mp3", big_packets(kvx::kFormatMp3, 1, 3000)},
                      KindCase{"several_streams", big_packets(kvx::kFormatMp3, 3, 90)},
                      KindCase{"more_than_ten_streams", big_packets(kvx::kFormatAac, 12, 40)},
                      KindCase{"video_only", big_packets(kvx::kFormatAac, 0, 0)},
                      KindCase{"index_longer_than_the_window",
                               big_packets(kvx::kFormatMp3, 1, 20, 80)}),
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
  for (const Case c : {Case{2 * length, false}, Case{2 * length + 1, false},
                       Case{2 * length - 1, true}}) {
    const Outcome piped = extract_pipe(part, c.window);
    EXPECT_EQ(piped.status, file.status) << "window " << c.window;
    EXPECT_EQ(piped.outputs == file.outputs, !c.first_part_written) << "window " << c.window;
    EXPECT_EQ(piped.diagnostics.find("; its first part was written") != std::string::npos,
              c.first_part_written)
        << "window " << c.window << ": " << piped.diagnostics;
  }
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
    const Outcome piped = extract_pipe(part, 64);
    ASSERT_EQ(piped.status, whole.status) << "cut at " << cut;
    for (const auto& [name, bytes] : piped.outputs) {
      ASSERT_TRUE(is_prefix(bytes, complete.outputs.at(name))) << "cut at " << cut << ", " << name;
    }
    if (piped.outputs != whole.outputs) {
      ASSERT_NE(piped.diagnostics.find("; its first part was written"), std::string::npos)
          << "cut at " << cut << ": " << piped.diagnostics;
    }
  }
}

// Random files, some damaged, some with packets far larger than the window.
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
    const std::size_t window = 64 + rng() % 400;
    ASSERT_EQ(extract_file(input, window), whole) << "round " << round << ", window " << window;
  }
}

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

}  // namespace
