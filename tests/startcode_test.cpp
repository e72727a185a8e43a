#include "streams/startcode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <random>
#include <span>
#include <vector>

#include "streams/nal_census.h"
#include "streams/output.h"
#include "streams/streams.h"
#include "support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The filter as first described: scan position by position, and remove each
// SEI unit or delimiter by moving the rest of the chunk down over it. Slow,
// but obviously what is meant; the real filter must agree with it byte for byte.
void reference_find(const Bytes& buf, std::uint32_t len, std::uint32_t from, std::uint32_t& start,
                    std::uint32_t& skip, std::uint8_t& header) {
  for (std::uint32_t p = from; len - p > 3; ++p) {
    start = p;
    if (buf[p] == 0 && buf[p + 1] == 0 && buf[p + 2] == 1) {
      skip = 4;
      header = buf[p + 3];
      return;
    }
    if (buf[p] == 0 && buf[p + 1] == 0 && buf[p + 2] == 0 && buf[p + 3] == 1) {
      if (len - p == 4) {
        break;
      }
      skip = 5;
      header = buf[p + 4];
      return;
    }
  }
  start = len;
  skip = 0;
  header = 0;
}

Bytes reference_filter(Bytes work) {
  auto len = static_cast<std::uint32_t>(work.size());
  std::uint32_t start = 0;
  std::uint32_t skip = 0;
  std::uint8_t header = 0;
  reference_find(work, len, 0, start, skip, header);
  while (header != 0) {
    if (header == 0x06 || header == 0x09) {
      std::uint32_t next = 0;
      reference_find(work, len, start + skip, next, skip, header);
      std::memmove(work.data() + start, work.data() + next, len - next);
      len -= next - start;
    } else {
      reference_find(work, len, start + skip, start, skip, header);
    }
  }
  work.resize(len);
  return work;
}

bool inside(std::span<const std::uint8_t> run, std::span<const std::uint8_t> area) {
  const std::less<const std::uint8_t*> before;
  return !before(run.data(), area.data()) &&
         !before(area.data() + area.size(), run.data() + run.size());
}

// Collects the kept runs, noting any that is empty or points neither into the
// piece being fed nor at the constant start-code bytes.
struct Collector {
  Bytes out;
  std::span<const std::uint8_t> piece;
  int runs = 0;
  bool stray = false;

  bool operator()(std::span<const std::uint8_t> run) {
    ++runs;
    stray = stray || run.empty() ||
            !(inside(run, piece) || inside(run, orvale::NAL_PRE4) || inside(run, orvale::NAL_PRE3));
    out.insert(out.end(), run.begin(), run.end());
    return true;
  }
};

// Feeds the chunk in pieces of the given lengths. Each piece is copied into
// memory that is overwritten as soon as feed() returns, as a reader refilling
// its buffer would.
Bytes filter_pieces(const Bytes& chunk, const std::vector<std::size_t>& lengths) {
  orvale::StartCodeFilter filter;
  Collector sink;
  Bytes memory(chunk.size(), 0xEE);
  std::size_t at = 0;
  for (const std::size_t length : lengths) {
    std::copy_n(chunk.begin() + static_cast<std::ptrdiff_t>(at), length,
                memory.begin() + static_cast<std::ptrdiff_t>(at));
    sink.piece = std::span(memory).subspan(at, length);
    EXPECT_TRUE(filter.feed(sink.piece, sink));
    std::fill_n(memory.begin() + static_cast<std::ptrdiff_t>(at), length, 0xEE);
    at += length;
  }
  EXPECT_EQ(at, chunk.size()) << "the pieces cover the chunk";
  sink.piece = {};
  EXPECT_TRUE(filter.finish(sink));
  EXPECT_FALSE(sink.stray) << "an empty run, or one outside the piece being fed";
  return sink.out;
}

// The chunk through filter_chunk, which must hand on what feed() and
// finish() do, with no run outside the chunk but the start-code constants.
Bytes filter_whole(const Bytes& chunk) {
  Collector sink;
  sink.piece = chunk;
  EXPECT_TRUE(orvale::filter_chunk(chunk, sink));
  EXPECT_FALSE(sink.stray) << "an empty run, or one outside the chunk";
  return sink.out;
}

// Both ways of filtering a whole chunk, which must agree.
Bytes filter(const Bytes& chunk) {
  const Bytes fed = filter_pieces(chunk, {chunk.size()});
  EXPECT_EQ(filter_whole(chunk), fed) << "filter_chunk differs from one feed()";
  return fed;
}

struct FilterCase {
  const char* name;
  Bytes chunk;
  Bytes expected;
};

void PrintTo(const FilterCase& c, std::ostream* os) { *os << c.name; }

class FilterExamples : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FilterExamples, GivesTheExpectedBytes) {
  const FilterCase& c = GetParam();
  EXPECT_EQ(filter(c.chunk), c.expected);
  EXPECT_EQ(reference_filter(c.chunk), c.expected) << "the reference disagrees with the example";
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, FilterExamples,
    ::testing::Values(
        FilterCase{"empty", {}, {}},
        FilterCase{"no_start_code",
                   {0x12, 0x34, 0x00, 0x00, 0x02, 0x56},
                   {0x12, 0x34, 0x00, 0x00, 0x02, 0x56}},
        FilterCase{"delimiter_removed",
                   {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x65, 0x88},
                   {0, 0, 0, 1, 0x65, 0x88}},
        FilterCase{"two_in_a_row_removed",
                   {0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x06, 0x05, 0x01, 0, 0, 1, 0x65, 0x88},
                   {0, 0, 1, 0x65, 0x88}},
        FilterCase{"sei_last_unit_cuts_chunk",
                   {0, 0, 1, 0x65, 0x88, 0, 0, 1, 0x06, 0x05, 0x01, 0x80},
                   {0, 0, 1, 0x65, 0x88}},
        FilterCase{"reference_bit_set_stays",
                   {0, 0, 1, 0x26, 0x01, 0, 0, 1, 0x29, 0x02},
                   {0, 0, 1, 0x26, 0x01, 0, 0, 1, 0x29, 0x02}},
        FilterCase{"three_byte_code_at_end_belongs_to_unit_before",
                   {0, 0, 1, 0x65, 0x88, 0, 0, 1},
                   {0, 0, 1, 0x65, 0x88, 0, 0, 1}},
        FilterCase{"four_byte_code_at_end_removed_with_sei",
                   {0, 0, 1, 0x65, 0, 0, 1, 0x06, 0x05, 0, 0, 0, 1},
                   {0, 0, 1, 0x65}},
        FilterCase{"zero_header_ends_filtering",
                   {0, 0, 1, 0x65, 0, 0, 1, 0x00, 0x11, 0, 0, 1, 0x06, 0x05, 0, 0, 1, 0x09, 0xF0},
                   {0, 0, 1, 0x65, 0, 0, 1, 0x00, 0x11, 0, 0, 1, 0x06, 0x05, 0, 0, 1, 0x09, 0xF0}},
        FilterCase{"bytes_before_first_code_kept",
                   {0xAA, 0xBB, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x65},
                   {0xAA, 0xBB, 0, 0, 1, 0x65}},
        FilterCase{"zero_before_three_byte_code_joins_four_byte_code",
                   {0, 0, 1, 0x06, 0x05, 0x00, 0, 0, 1, 0x65},
                   {0, 0, 0, 1, 0x65}},
        FilterCase{"only_a_delimiter", {0, 0, 0, 1, 0x09, 0x10}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct FindCase {
  const char* name;
  Bytes chunk;
  std::uint32_t from;
  std::uint32_t start;
  std::uint32_t skip;
  std::uint8_t header;
};

void PrintTo(const FindCase& c, std::ostream* os) { *os << c.name; }

class FindNal : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindNal, DeliversStartSkipAndHeader) {
  const FindCase& c = GetParam();
  std::uint32_t start = 99;
  std::uint32_t skip = 99;
  std::uint8_t header = 99;
  orvale::find_nal(c.chunk, c.from, start, skip, header);
  EXPECT_EQ(start, c.start);
  EXPECT_EQ(skip, c.skip);
  EXPECT_EQ(header, c.header);
}

INSTANTIATE_TEST_SUITE_P(
    Matches, FindNal,
    ::testing::Values(
        FindCase{"three_byte", {0xAB, 0, 0, 1, 0x41}, 0, 1, 4, 0x41},
        FindCase{"four_byte_at_first_zero", {0, 0, 0, 1, 0x67}, 0, 0, 5, 0x67},
        FindCase{"long_zero_run_takes_last_four", {0, 0, 0, 0, 0, 1, 0x67}, 0, 2, 5, 0x67},
        FindCase{"four_byte_as_last_bytes_is_none", {0x65, 0, 0, 0, 1}, 0, 5, 0, 0},
        FindCase{"three_byte_without_header_is_none", {0x65, 0x11, 0, 0, 1}, 0, 5, 0, 0},
        FindCase{"from_past_the_code", {0, 0, 1, 0x41, 0x22}, 1, 5, 0, 0},
        FindCase{"from_inside_zero_run_gives_three_byte", {0, 0, 0, 1, 0x41}, 1, 1, 4, 0x41},
        FindCase{"from_at_end", {0, 0, 1, 0x41}, 4, 4, 0, 0},
        FindCase{"short_chunk", {0, 1, 2}, 0, 3, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Random chunks rich in the patterns that matter: start codes of both lengths,
// SEI and delimiter headers (with and without the reference bits), zero runs,
// and codes in the last bytes.
Bytes random_chunk(std::mt19937& rng) {
  const std::uint8_t headers[] = {0x06, 0x09, 0x65, 0x41, 0x00, 0x26, 0x29, 0x67, 0x68, 0x01};
  std::uniform_int_distribution<int> pick(0, 9);
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes chunk;
  const int pieces = std::uniform_int_distribution<int>(0, 12)(rng);
  for (int i = 0; i < pieces; ++i) {
    switch (pick(rng) % 5) {
      case 0:
        chunk.insert(chunk.end(), {0, 0, 1});
        break;
      case 1:
        chunk.insert(chunk.end(), {0, 0, 0, 1});
        break;
      case 2:
        chunk.push_back(headers[pick(rng)]);
        break;
      case 3:
        chunk.insert(chunk.end(), static_cast<std::size_t>(pick(rng) % 4), 0);
        break;
      default:
        for (int n = pick(rng) % 4; n >= 0; --n) {
          chunk.push_back(static_cast<std::uint8_t>(byte(rng)));
        }
    }
  }
  return chunk;
}

// Piece lengths that add up to `size`: many of one byte, some empty, some long.
std::vector<std::size_t> random_cuts(std::mt19937& rng, std::size_t size) {
  std::vector<std::size_t> lengths;
  std::uniform_int_distribution<int> kind(0, 9);
  while (size > 0) {
    const int k = kind(rng);
    std::size_t length = size;
    if (k == 0) {
      length = 0;
    } else if (k < 5) {
      length = 1;
    } else if (k < 9) {
      length = std::min<std::size_t>(size, std::uniform_int_distribution<std::size_t>(2, 5)(rng));
    }
    lengths.push_back(length);
    size -= length;
  }
  return lengths;
}

// Piece lengths that add up to `size`, each up to `longest`.
std::vector<std::size_t> long_cuts(std::mt19937& rng, std::size_t size, std::size_t longest) {
  std::vector<std::size_t> lengths;
  while (size > 0) {
    const std::size_t length =
        std::min(size, std::uniform_int_distribution<std::size_t>(0, longest)(rng));
    lengths.push_back(length);
    size -= length;
  }
  return lengths;
}

TEST(FilterRandom, AgreesWithTheInPlaceAlgorithm) {
  std::mt19937 rng(20261207);
  for (int i = 0; i < 200000; ++i) {
    const Bytes chunk = random_chunk(rng);
    const Bytes expected = reference_filter(chunk);
    ASSERT_EQ(filter(chunk), expected) << "chunk number " << i;
    const std::vector<std::size_t> cuts = random_cuts(rng, chunk.size());
    ASSERT_EQ(filter_pieces(chunk, cuts), expected) << "chunk number " << i << " in pieces";
  }
}

// Chunks of several 64-byte blocks, so that start codes straddle the blocks
// the scanner works in, cut into a few long pieces or many short ones.
TEST(FilterRandom, AgreesOnChunksOfManyBlocks) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> filler(0, 70);
  for (int i = 0; i < 20000; ++i) {
    Bytes chunk;
    for (int part = std::uniform_int_distribution<int>(1, 12)(rng); part > 0; --part) {
      const Bytes codes = random_chunk(rng);
      chunk.insert(chunk.end(), codes.begin(), codes.end());
      chunk.insert(chunk.end(), static_cast<std::size_t>(filler(rng)),
                   static_cast<std::uint8_t>(0x80 + part));
    }
    const Bytes expected = reference_filter(chunk);
    ASSERT_EQ(filter(chunk), expected) << "chunk number " << i;
    const std::vector<std::size_t> cuts = long_cuts(rng, chunk.size(), 150);
    ASSERT_EQ(filter_pieces(chunk, cuts), expected) << "chunk number " << i << " in long pieces";
    ASSERT_EQ(filter_pieces(chunk, random_cuts(rng, chunk.size())), expected)
        << "chunk number " << i << " in short pieces";
  }
}

// Long stretches of slice-like bytes (lone zeros, never two in a row) between
// the codes, so that the filter passes over many blocks at once and must stop
// at the right one, with codes just before and after a stretch.
TEST(FilterRandom, AgreesWhereLongStretchesHoldNoCode) {
  std::mt19937 rng(64);
  std::uniform_int_distribution<int> stretch(0, 900);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int i = 0; i < 5000; ++i) {
    Bytes chunk;
    for (int part = std::uniform_int_distribution<int>(1, 6)(rng); part > 0; --part) {
      const Bytes codes = random_chunk(rng);
      chunk.insert(chunk.end(), codes.begin(), codes.end());
      for (int n = stretch(rng); n > 0; --n) {
        const auto b = static_cast<std::uint8_t>(byte(rng));
        chunk.push_back(b == 0 && !chunk.empty() && chunk.back() == 0 ? 0x80 : b);
      }
    }
    const Bytes expected = reference_filter(chunk);
    ASSERT_EQ(filter(chunk), expected) << "chunk number " << i;
    const std::vector<std::size_t> cuts = long_cuts(rng, chunk.size(), 1200);
    ASSERT_EQ(filter_pieces(chunk, cuts), expected) << "chunk number " << i << " in pieces";
  }
}

// The census as first described: every 00 00 01 whose header byte is in the
// chunk is a unit; a slice whose next byte opens with a 1 bit is a picture.
using Census = std::array<std::uint64_t, orvale::NalCensus::kTypes + 2>;  // + pictures, dropped

void count_units(const Bytes& chunk, Census& census) {
  for (std::size_t k = 2; k + 1 < chunk.size(); ++k) {
    if (chunk[k - 2] == 0 && chunk[k - 1] == 0 && chunk[k] == 1) {
      const std::uint8_t header = chunk[k + 1], type = header & 0x1F;
      ++census[type];
      census[32] += (type == 1 || type == 5) && k + 2 < chunk.size() && chunk[k + 2] >= 0x80;
      census[33] += header == 0x06 || header == 0x09;
    }
  }
}

// Chunks with long code-free stretches, fed one after another in pieces:
// nothing one chunk leaves open may count in the next.
TEST(NalCensus, CountsWhatAPlainScanCountsWhereverThePiecesAreCut) {
  std::mt19937 rng(1907);
  orvale::NalCensus census;
  Census expected{};
  for (int i = 0; i < 20000; ++i) {
    Bytes chunk;
    for (int part = static_cast<int>(rng() % 4) + 1; part > 0; --part) {
      const Bytes codes = random_chunk(rng);
      chunk.insert(chunk.end(), codes.begin(), codes.end());
      // Every other part ends in a stretch, the last one never, so that chunks
      // end in zeros and codes as often as the next ones begin with them.
      for (int n = part % 2 == 0 ? static_cast<int>(rng() % 301) : 0; n > 0; --n) {
        chunk.push_back(static_cast<std::uint8_t>(rng() | (n % 7 == 0 ? 0 : 1)));
      }
    }
    count_units(chunk, expected);
    std::size_t at = 0;
    for (const std::size_t length : i % 2 == 0 ? random_cuts(rng, chunk.size())
                                                : long_cuts(rng, chunk.size(), 200)) {
      census.feed(std::span(chunk).subspan(at, length));
      at += length;
    }
    census.end_chunk();
    Census counted{};
    std::copy(census.units().begin(), census.units().end(), counted.begin());
    counted[32] = census.pictures();
    counted[33] = census.dropped();
    ASSERT_EQ(counted, expected) << "after chunk number " << i;
  }
}

// Every placement of a dropped unit's code, 3 and 4 bytes long, in chunks of
// up to three blocks: the short-chunk shortcut and the block edges must agree
// with the reference wherever the header byte falls, the last byte included.
TEST(FilterPlacements, DroppedCodesAnywhereInChunksAroundABlock) {
  for (std::size_t size = 1; size <= 3 * 64 + 2; ++size) {
    for (std::size_t at = 0; at + 3 <= size; ++at) {
      for (const bool four : {false, true}) {
        Bytes chunk(size, 0x80);
        const Bytes code = four ? Bytes{0, 0, 0, 1, 0x06} : Bytes{0, 0, 1, 0x06};
        std::copy_n(code.begin(), std::min(code.size(), size - at),
                    chunk.begin() + static_cast<std::ptrdiff_t>(at));
        ASSERT_EQ(filter(chunk), reference_filter(chunk))
            << "size " << size << ", code at " << at << (four ? " (4 bytes)" : "");
      }
    }
  }
}

// Slice-like bytes: lone zeros and the bytes start codes and headers are
// made of, but never two zeros in a row.
Bytes slice_bytes(std::mt19937& rng, std::size_t size) {
  const std::uint8_t common[] = {0x00, 0x01, 0x06, 0x09, 0x65};
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<std::uint8_t>(rng() % 3 == 0 ? common[rng() % 5] : rng());
    bytes[i] = byte == 0 && i > 0 && bytes[i - 1] == 0 ? 0x80 : byte;
  }
  return bytes;
}

// A piece of `length` slice-like bytes with a start code whose 01 is its
// byte `one`, after a piece that ends in zeros or in a unit being dropped,
// so the code's zeros may lie in the piece before; the piece may end in
// zeros after the code. Fed as those two pieces; whole, from memory just its
// size (a read outside it is caught under AddressSanitizer); and whole, fed
// and in one call, with bytes after it that read as an SEI unit to a filter
// that reads past its end.
::testing::AssertionResult code_in_piece(std::mt19937& rng, std::size_t length, std::size_t one) {
  static const std::vector<Bytes> before = {
      {0x11, 0x22}, {0x33, 0}, {0x44, 0, 0}, {0, 0, 1, 0x06, 0x05}, {0, 0, 1, 0x09, 0, 0, 0}};
  const std::uint8_t headers[] = {0x06, 0x65, 0x09, 0x00, 0x41, 0x26};
  const Bytes& first = before[(length + one) % before.size()];
  Bytes chunk = testing_support::concat({first, slice_bytes(rng, length)});
  const std::size_t at = first.size() + one;
  chunk[at - 2] = 0;
  chunk[at - 1] = 0;
  chunk[at] = 1;
  if (one % 3 == 0 && at >= 3) {
    chunk[at - 3] = 0;
  }
  if (at + 1 < chunk.size()) {
    chunk[at + 1] = headers[(length + one / 2) % std::size(headers)];
  }
  const std::size_t zeros_from = std::max(chunk.size() - length % 5, at + 2);
  for (std::size_t i = zeros_from; i < chunk.size(); ++i) {
    chunk[i] = 0;
  }
  const Bytes expected = reference_filter(chunk);
  const Bytes pieces = filter_pieces(chunk, {first.size(), length});
  const Bytes whole = filter(chunk);
  Bytes trapped = testing_support::concat({chunk, {0, 0, 1, 0x06, 0x05, 0, 0, 1, 0x65}});
  Collector sink;
  sink.piece = std::span(trapped).first(chunk.size());
  orvale::StartCodeFilter trapped_filter;
  const bool taken = trapped_filter.feed(sink.piece, sink) && trapped_filter.finish(sink);
  Collector sink_whole;
  sink_whole.piece = sink.piece;
  const bool taken_whole = orvale::filter_chunk(sink.piece, sink_whole);
  if (pieces == expected && whole == expected && taken && sink.out == expected && !sink.stray &&
      taken_whole && sink_whole.out == expected && !sink_whole.stray) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "piece of " << length << " bytes, 01 at " << one;
}

// Every piece length from 1 to 300 bytes, so every short last block from 1
// to 63 bytes and blocks passed over from the second on, with the code's 01
// at each byte in turn; then longer pieces, with it around each block edge,
// and so around the edges of the groups of four blocks passed over at once.
TEST(FilterBlockEdges, AgreeWithTheInPlaceAlgorithmWhereverTheCodeStands) {
  std::mt19937 rng(300);
  for (std::size_t length = 1; length <= 300; ++length) {
    for (std::size_t one = 0; one < length; ++one) {
      ASSERT_TRUE(code_in_piece(rng, length, one));
    }
  }
  for (const std::size_t length : {319, 320, 321, 575, 576, 577, 831, 1100}) {
    for (std::size_t edge = 64; edge < length + 3; edge += 64) {
      for (std::size_t one = edge - 3; one < std::min(edge + 3, length); ++one) {
        ASSERT_TRUE(code_in_piece(rng, length, one));
      }
    }
  }
}

struct PiecesCase {
  const char* name;
  std::vector<Bytes> pieces;
  Bytes expected;
};

void PrintTo(const PiecesCase& c, std::ostream* os) { *os << c.name; }

class FilterPieces : public ::testing::TestWithParam<PiecesCase> {};

TEST_P(FilterPieces, GivesTheBytesOfTheWholeChunk) {
  const PiecesCase& c = GetParam();
  Bytes chunk;
  std::vector<std::size_t> lengths;
  for (const Bytes& piece : c.pieces) {
    chunk.insert(chunk.end(), piece.begin(), piece.end());
    lengths.push_back(piece.size());
  }
  EXPECT_EQ(reference_filter(chunk), c.expected) << "the reference disagrees with the example";
  EXPECT_EQ(filter_pieces(chunk, lengths), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, FilterPieces,
    ::testing::Values(
        PiecesCase{"code_cut_after_first_zero",
                   {{0xAA, 0}, {0, 1, 0x06, 0x05, 0, 0, 1, 0x65}},
                   {0xAA, 0, 0, 1, 0x65}},
        PiecesCase{"code_cut_before_its_one",
                   {{0xAA, 0, 0}, {1, 0x06, 0x05, 0, 0}, {1, 0x65}},
                   {0xAA, 0, 0, 1, 0x65}},
        PiecesCase{"four_byte_code_cut_before_one_and_header",
                   {{0xAA, 0, 0, 0}, {1}, {0x09, 0xF0, 0, 0, 0}, {1}, {0x65}},
                   {0xAA, 0, 0, 0, 1, 0x65}},
        PiecesCase{"header_alone_in_next_piece",
                   {{0xAA, 0, 0, 1}, {0x06}, {0x05, 0, 0, 1}, {0x65}, {0x77}},
                   {0xAA, 0, 0, 1, 0x65, 0x77}},
        PiecesCase{"kept_code_waits_for_header_after_drop",
                   {{0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1}, {0x41, 0x9A}},
                   {0, 0, 0, 1, 0x41, 0x9A}},
        PiecesCase{"held_zeros_then_other_byte_stay_kept",
                   {{0x65, 0x88, 0, 0}, {0x02, 0, 0, 1, 0x06, 0x05}},
                   {0x65, 0x88, 0, 0, 0x02}},
        PiecesCase{"held_zeros_then_other_byte_stay_dropped",
                   {{0, 0, 1, 0x06, 0, 0}, {0x02, 0, 0, 1, 0x65}},
                   {0, 0, 1, 0x65}},
        PiecesCase{"one_zero_then_one_is_no_code",
                   {{0x65, 0}, {1, 0x06, 0, 0, 1, 0x09, 0xF0}},
                   {0x65, 0, 1, 0x06}},
        PiecesCase{"zero_run_over_pieces_leaves_extra_zeros_behind",
                   {{0, 0, 1, 0x65, 0, 0}, {0, 0}, {0, 1, 0x06, 0x05}},
                   {0, 0, 1, 0x65, 0, 0}},
        PiecesCase{"zero_run_over_pieces_drops_extra_zeros_with_sei",
                   {{0, 0, 1, 0x06, 0, 0}, {0}, {0}, {0, 0}, {1, 0x65}},
                   {0, 0, 0, 1, 0x65}},
        PiecesCase{"zero_header_unit_split",
                   {{0, 0, 1, 0x06, 0x05, 0, 0},
                    {1},
                    {0x00, 0x11, 0, 0},
                    {1, 0x06, 0x05},
                    {0, 0, 1, 0x09}},
                   {0, 0, 1, 0x00, 0x11, 0, 0, 1, 0x06, 0x05, 0, 0, 1, 0x09}},
        PiecesCase{"zero_header_after_kept_unit",
                   {{0, 0, 1, 0x65, 0, 0, 1}, {0x00}, {0x06, 0, 0, 1, 0x09}},
                   {0, 0, 1, 0x65, 0, 0, 1, 0x00, 0x06, 0, 0, 1, 0x09}},
        PiecesCase{"three_byte_code_ending_chunk_in_own_piece",
                   {{0, 0, 1, 0x65, 0x88}, {0, 0, 1}},
                   {0, 0, 1, 0x65, 0x88, 0, 0, 1}},
        PiecesCase{"four_byte_code_ending_chunk_in_own_piece",
                   {{0, 0, 1, 0x65, 0x88}, {0, 0, 0, 1}},
                   {0, 0, 1, 0x65, 0x88, 0, 0, 0, 1}},
        PiecesCase{"code_ending_chunk_goes_with_dropped_unit",
                   {{0, 0, 1, 0x65, 0, 0, 1, 0x06, 0x05}, {0, 0, 0, 1}},
                   {0, 0, 1, 0x65}},
        PiecesCase{"zeros_ending_chunk_stay_kept", {{0x11, 0}, {0}, {0}, {0}}, {0x11, 0, 0, 0, 0}},
        PiecesCase{
            "empty_pieces_between_every_byte",
            {{}, {0}, {}, {0}, {}, {1}, {}, {0x09}, {}, {0xF0}, {}, {0}, {0}, {1}, {0x65}, {}},
            {0, 0, 1, 0x65}}),
    [](const auto& info) { return std::string(info.param.name); });

// A sink that takes `accept` runs and refuses the next one.
struct Refuser {
  int accept = 0;
  int calls = 0;
  bool operator()(std::span<const std::uint8_t> /*run*/) { return calls++ < accept; }
};

TEST(FilterRefusal, StopsAtTheRunRefusedAndForgetsTheChunk) {
  struct Case {
    const char* name;
    Bytes chunk;
    int accept;
  };
  const Case cases[] = {
      {"first_run",
       {0xAA, 0, 0, 1, 0x06, 0x01, 0, 0, 1, 0x65, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x41},
       0},
      {"second_run",
       {0xAA, 0, 0, 1, 0x06, 0x01, 0, 0, 1, 0x65, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x41},
       1},
      {"zero_header_rest", {0, 0, 1, 0x06, 0x05, 0, 0, 1, 0x00, 0x11}, 0},
      {"code_held_to_the_end", {0x65, 0, 0, 1}, 1},
  };
  for (const Case& c : cases) {
    orvale::StartCodeFilter filter;
    Refuser refuser{c.accept};
    EXPECT_FALSE(filter.feed(c.chunk, refuser) && filter.finish(refuser)) << c.name;
    EXPECT_EQ(refuser.calls, c.accept + 1) << c.name;
    // The next chunk starts afresh: nothing dropped or passed over from this one.
    const Bytes next = {0x55, 0, 0, 1, 0x09, 0xF0, 0, 0, 1, 0x65};
    Collector sink;
    sink.piece = next;
    EXPECT_TRUE(filter.feed(next, sink)) << c.name;
    EXPECT_TRUE(filter.finish(sink)) << c.name;
    EXPECT_EQ(sink.out, (Bytes{0x55, 0, 0, 1, 0x65})) << c.name;
  }
}

TEST(FilterRefusal, AWholeChunkStopsAtTheRunRefused) {
  const Bytes chunk = {0xAA, 0, 0, 1,    0x06, 0x01, 0, 0, 1,   0x65,
                       0,    0, 1, 0x09, 0xF0, 0,    0, 1, 0x41};
  for (int accept = 0; accept < 3; ++accept) {
    Refuser refuser{accept};
    EXPECT_FALSE(orvale::filter_chunk(chunk, refuser)) << accept << " runs taken";
    EXPECT_EQ(refuser.calls, accept + 1) << accept << " runs taken";
  }
  Refuser refuser;
  EXPECT_FALSE(orvale::filter_chunk(Bytes{0, 0, 1, 0x06, 0x05, 0, 0, 1, 0x00, 0x11}, refuser))
      << "the rest after a zero header refused";
}

TEST(FilterRefusal, FinishReportsARefusedHeldRun) {
  orvale::StartCodeFilter filter;
  Refuser refuser;
  const Bytes chunk = {0x65, 0x01, 0, 0};
  Collector sink;
  sink.piece = chunk;
  ASSERT_TRUE(filter.feed(chunk, sink));
  EXPECT_EQ(sink.out, (Bytes{0x65, 0x01})) << "the zeros wait for the next piece";
  EXPECT_FALSE(filter.finish(refuser));
  EXPECT_EQ(refuser.calls, 1);
}

TEST(FilterReset, ForgetsHeldBytesAndADroppedUnit) {
  orvale::StartCodeFilter filter;
  Collector sink;
  const Bytes first = {0, 0, 1, 0x06, 0x05, 0, 0};
  sink.piece = first;
  ASSERT_TRUE(filter.feed(first, sink));
  filter.reset();
  const Bytes next = {1, 0x65};
  sink.piece = next;
  ASSERT_TRUE(filter.feed(next, sink));
  ASSERT_TRUE(filter.finish(sink));
  EXPECT_EQ(sink.out, next);
}

TEST(FilterRandom, StopsWhenTheSinkRefuses) {
  const Bytes chunk = {0xAA, 0, 0, 1, 0x06, 0x01, 0, 0, 1, 0x65, 0x01};
  int calls = 0;
  auto refuse = [&](std::span<const std::uint8_t>) {
    ++calls;
    return false;
  };
  orvale::StartCodeFilter filter;
  EXPECT_FALSE(filter.feed(chunk, refuse));
  EXPECT_EQ(calls, 1);
}

// Slices and SEI units in turn, so that the kept runs fill several of the
// writer's batches; the chunk ends in zeros held back to the end.
Bytes alternating_units(int count) {
  Bytes chunk;
  for (int i = 0; i < count; ++i) {
    const auto tag = static_cast<std::uint8_t>(0x10 + i % 200);
    const Bytes unit = i % 2 == 0 ? Bytes{0, 0, 1, 0x65, tag, tag} : Bytes{0, 0, 0, 1, 0x06, tag};
    chunk.insert(chunk.end(), unit.begin(), unit.end());
  }
  chunk.insert(chunk.end(), {0x41, 0, 0});
  return chunk;
}

TEST(VideoWriter, WritesTheFilteredChunkWholeOrInPieces) {
  testing_support::ScratchDir dir;
  const Bytes chunk = alternating_units(301);
  const Bytes expected = reference_filter(chunk);
  orvale::Output whole;
  orvale::Output pieces;
  ASSERT_TRUE(testing_support::open_output(whole, dir.path("whole.264")));
  ASSERT_TRUE(testing_support::open_output(pieces, dir.path("pieces.264")));
  ASSERT_EQ(orvale::dumpavc(whole, chunk), orvale::DumpStatus::ok);
  orvale::StartCodeFilter filter;
  for (int round = 0; round < 2; ++round) {
    // The reader's buffer is refilled, here with garbage, after every piece
    // once the output lets go of it.
    Bytes memory;
    for (std::size_t at = 0, length = 1; at < chunk.size();
         at += length, length = length % 13 + 1) {
      length = std::min(length, chunk.size() - at);
      memory.assign(chunk.begin() + static_cast<std::ptrdiff_t>(at),
                    chunk.begin() + static_cast<std::ptrdiff_t>(at + length));
      ASSERT_EQ(orvale::dumpavc_piece(pieces, filter, memory), orvale::DumpStatus::ok);
      ASSERT_TRUE(pieces.flush());
      std::fill(memory.begin(), memory.end(), 0xEE);
    }
    ASSERT_EQ(orvale::dumpavc_end(pieces, filter), orvale::DumpStatus::ok);
  }
  ASSERT_TRUE(whole.close());
  ASSERT_TRUE(pieces.close());
  EXPECT_EQ(testing_support::read_file(dir.path("whole.264")), expected);
  EXPECT_EQ(testing_support::read_file(dir.path("pieces.264")),
            testing_support::concat({expected, expected}));
}

TEST(VideoWriter, ReportsAFailedOutput) {
  orvale::Output full;
  ASSERT_TRUE(testing_support::open_output(full, "/dev/full"));
  const Bytes chunk(orvale::Output::kCopyLimit, 0x42);
  orvale::StartCodeFilter filter;
  EXPECT_EQ(orvale::dumpavc_piece(full, filter, chunk), orvale::DumpStatus::ok)
      << "borrowed by the output, not yet written";
  EXPECT_FALSE(full.flush());
  EXPECT_EQ(orvale::dumpavc_piece(full, filter, chunk), orvale::DumpStatus::output_failed);
  EXPECT_EQ(orvale::dumpavc_end(full, filter), orvale::DumpStatus::output_failed);
  EXPECT_EQ(orvale::dumpavc(full, alternating_units(3)), orvale::DumpStatus::output_failed);
  EXPECT_EQ(full.error(), ENOSPC);
}

// Kept runs of 1000 bytes between SEI units are copied, not borrowed, so the
// output writes, and fails, while the writer is still filtering.
TEST(VideoWriter, ReportsAWriteThatFailsWhileFiltering) {
  Bytes chunk;
  for (int i = 0; i < 300; ++i) {
    chunk.insert(chunk.end(), {0, 0, 1, 0x65});
    chunk.insert(chunk.end(), 996, 0x42);
    chunk.insert(chunk.end(), {0, 0, 1, 0x06, 0x05});
  }
  orvale::Output whole;
  ASSERT_TRUE(testing_support::open_output(whole, "/dev/full"));
  EXPECT_EQ(orvale::dumpavc(whole, chunk), orvale::DumpStatus::output_failed);
  EXPECT_EQ(whole.error(), ENOSPC);
  orvale::Output pieces;
  ASSERT_TRUE(testing_support::open_output(pieces, "/dev/full"));
  orvale::StartCodeFilter filter;
  EXPECT_EQ(orvale::dumpavc_piece(pieces, filter, chunk), orvale::DumpStatus::output_failed);
  EXPECT_EQ(pieces.error(), ENOSPC);
  EXPECT_EQ(orvale::dumpavc_end(pieces, filter), orvale::DumpStatus::output_failed);
}

}  // namespace
