// Writes the fuzzer's seed corpus: small valid kvxavc files and damaged ones.
//   make_corpus DIRECTORY
#include <cstdio>
#include <fstream>
#include <string>

#include "kvxwrite.h"

namespace {

using kvx::Bytes;

kvx::Packet packet(std::uint8_t seed, std::size_t streams, std::size_t frames) {
  kvx::Packet p;
  p.video = {0, 0,    0,    1,    0x09, 0xF0, 0, 0, 1,    0x06, 0x05, 0x01, 0x80,
             0, 0,    0,    1,    0x67, 0x42, 0, 0, 1,    0x68, 0xCE, 0,    0,
             1, 0x65, 0x88, seed, 0,    0,    0, 1, 0x41, 0x9A, seed};
  p.key = seed % 2 == 0;
  p.audio.resize(streams);
  for (auto& stream : p.audio) {
    for (std::size_t j = 0; j < frames; ++j) {
      stream.push_back(Bytes(4 + j, static_cast<std::uint8_t>(seed + j)));
    }
  }
  return p;
}

Bytes file(std::uint32_t format, std::uint32_t streams, std::size_t packets) {
  kvx::File f;
  f.audio_format = format;
  f.audio_stream_count = streams;
  for (std::size_t i = 0; i < packets; ++i) {
    f.packets.push_back(packet(static_cast<std::uint8_t>(i), streams, 1 + i % 3));
  }
  Bytes out;
  std::string problem;
  if (!kvx::encode_file(f, out, problem)) {
    std::fprintf(stderr, "make_corpus: %s\n", problem.c_str());
  }
  return out;
}

bool save(const std::string& directory, const std::string& name, const Bytes& bytes) {
  std::ofstream out(directory + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_corpus DIRECTORY\n");
    return 2;
  }
  const std::string dir = argv[1];
  const Bytes aac = file(kvx::kFormatAac, 2, 4);
  Bytes cut = aac;
  cut.resize(cut.size() - 9);
  Bytes zero_entry = aac;
  kvx::set_le32(zero_entry, 56 + 4, 0);
  Bytes bad_video = aac;
  kvx::set_le32(bad_video, kvx::packet_offset(bad_video, 2) + 9, 0x7FFFFFFF);
  kvx::File big_frame;
  big_frame.audio_stream_count = 1;
  big_frame.packets.push_back(packet(1, 1, 1));
  big_frame.packets[0].audio[0][0] = Bytes(8190, 0x11);
  Bytes big;
  std::string problem;
  (void)kvx::encode_file(big_frame, big, problem);
  // The ways recorders damage files, for the rescue search.
  const Bytes long_file = file(kvx::kFormatAac, 2, 12);
  Bytes no_count = long_file;
  kvx::set_le32(no_count, 12, 0);
  Bytes half_count = long_file;
  kvx::set_le32(half_count, 12, 6);
  Bytes flipped_entry = long_file;
  flipped_entry[56 + 1] ^= 0x01;
  Bytes garbage = long_file;
  const std::size_t middle = kvx::packet_offset(long_file, 6);
  garbage.insert(garbage.begin() + static_cast<long>(middle), 100, 0xA5);
  const bool ok = save(dir, "rescue-no-count.kvx", no_count) &&
                  save(dir, "rescue-half-count.kvx", half_count) &&
                  save(dir, "rescue-flipped-entry.kvx", flipped_entry) &&
                  save(dir, "rescue-garbage.kvx", garbage) &&
                  save(dir, "aac-two-streams.kvx", aac) &&
                  save(dir, "mp3-one-stream.kvx", file(kvx::kFormatMp3, 1, 3)) &&
                  save(dir, "video-only.kvx", file(kvx::kFormatAac, 0, 3)) &&
                  save(dir, "twelve-streams.kvx", file(kvx::kFormatAac, 12, 2)) &&
                  save(dir, "cut-short.kvx", cut) && save(dir, "zero-entry.kvx", zero_entry) &&
                  save(dir, "bad-video-size.kvx", bad_video) &&
                  save(dir, "long-aac-frame.kvx", big) &&
                  save(dir, "no-packets.kvx", kvx::header_bytes(0, 1, 1, 44100));
  return ok ? 0 : 1;
}
