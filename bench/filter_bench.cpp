// Throughput of the start-code filter on the chunks it meets: plain video,
// chunks dense with SEI units, and long runs of zero bytes; each whole and in
// the 64 KiB pieces a reader's buffer would hand over.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "streams/startcode.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kChunkSize = std::size_t{32} << 20;
constexpr std::size_t kPieceSize = std::size_t{64} << 10;

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

std::int64_t start_codes(const Bytes& chunk) {
  std::int64_t codes = 0;
  for (std::size_t i = 2; i + 1 < chunk.size(); ++i) {
    codes += chunk[i] == 1 && chunk[i - 1] == 0 && chunk[i - 2] == 0 ? 1 : 0;
  }
  return codes;
}

// Reports bytes per second and, as "per_code", the time per start code.
void filter(benchmark::State& state, const Bytes& chunk, std::int64_t codes,
            std::size_t piece_size) {
  orvale::StartCodeFilter filter;
  std::uint64_t kept = 0;
  auto take = [&](std::span<const std::uint8_t> run) {
    kept += run.size();
    return true;
  };
  for (auto _ : state) {
    const std::span<const std::uint8_t> whole(chunk);
    for (std::size_t at = 0; at < whole.size(); at += piece_size) {
      (void)filter.feed(whole.subspan(at, std::min(piece_size, whole.size() - at)), take);
    }
    (void)filter.finish(take);
    benchmark::DoNotOptimize(kept);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk.size()));
  state.counters["per_code"] =
      benchmark::Counter(static_cast<double>(codes), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

struct Shape {
  Bytes chunk;
  std::int64_t codes;
};

const Shape& shape_of(const benchmark::State& state) {
  static const std::vector<Shape> shapes = [] {
    std::vector<Shape> made;
    for (Bytes chunk : {plain_video(), sei_dense(), zeros()}) {
      const std::int64_t codes = start_codes(chunk);
      made.push_back({std::move(chunk), codes});
    }
    return made;
  }();
  return shapes[static_cast<std::size_t>(state.range(0))];
}

void Whole(benchmark::State& state) {
  const Shape& shape = shape_of(state);
  filter(state, shape.chunk, shape.codes, shape.chunk.size());
}

void Pieces(benchmark::State& state) {
  const Shape& shape = shape_of(state);
  filter(state, shape.chunk, shape.codes, kPieceSize);
}

// Shapes: 0 plain video, 1 SEI-dense, 2 zero bytes.
BENCHMARK(Whole)->ArgName("shape")->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(Pieces)->ArgName("shape")->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
