// Throughput of the start-code filter on the chunks it meets: plain video,
// chunks dense with SEI units, and long runs of zero bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "streams/startcode.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kChunkSize = std::size_t{8} << 20;

// Random slice data behind an AUD and a slice header; random bytes hold a
// 0x01 every 256 bytes on average, which the scanner has to look at.
Bytes plain_video() {
  std::mt19937 rng(1);
  Bytes chunk = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x65, 0x88};
  while (chunk.size() < kChunkSize) {
    chunk.push_back(static_cast<std::uint8_t>(rng()));
  }
  return chunk;
}

Bytes sei_dense() {
  const Bytes unit = {0, 0, 1, 0x06, 0x05, 0x01, 0x80};
  Bytes chunk;
  while (chunk.size() + unit.size() <= kChunkSize) {
    chunk.insert(chunk.end(), unit.begin(), unit.end());
  }
  return chunk;
}

Bytes zeros() {
  Bytes chunk(kChunkSize, 0);
  chunk[2] = 0x01;
  chunk[3] = 0x65;
  return chunk;
}

void filter(benchmark::State& state, const Bytes& chunk) {
  for (auto _ : state) {
    std::uint64_t kept = 0;
    (void)orvale::for_each_kept_run(chunk, [&](std::uint32_t, std::uint32_t length) {
      kept += length;
      return true;
    });
    benchmark::DoNotOptimize(kept);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk.size()));
}

void PlainVideo(benchmark::State& state) {
  static const Bytes chunk = plain_video();
  filter(state, chunk);
}

void SeiDense(benchmark::State& state) {
  static const Bytes chunk = sei_dense();
  filter(state, chunk);
}

void ZeroBytes(benchmark::State& state) {
  static const Bytes chunk = zeros();
  filter(state, chunk);
}

BENCHMARK(PlainVideo);
BENCHMARK(SeiDense);
BENCHMARK(ZeroBytes);

}  // namespace

BENCHMARK_MAIN();
