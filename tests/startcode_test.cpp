#include "streams/startcode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

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

Bytes filter(const Bytes& chunk) {
  Bytes out;
  const bool done =
      orvale::for_each_kept_run(chunk, [&](std::uint32_t offset, std::uint32_t length) {
        out.insert(out.end(), chunk.begin() + offset, chunk.begin() + offset + length);
        return true;
      });
  EXPECT_TRUE(done);
  return out;
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

TEST(FilterRandom, AgreesWithTheInPlaceAlgorithm) {
  std::mt19937 rng(20261207);
  for (int i = 0; i < 200000; ++i) {
    const Bytes chunk = random_chunk(rng);
    ASSERT_EQ(filter(chunk), reference_filter(chunk)) << "chunk number " << i;
  }
}

TEST(FilterRandom, StopsWhenTheSinkRefuses) {
  const Bytes chunk = {0xAA, 0, 0, 1, 0x06, 0x01, 0, 0, 1, 0x65, 0x01};
  int calls = 0;
  EXPECT_FALSE(orvale::for_each_kept_run(chunk, [&](std::uint32_t, std::uint32_t) {
    ++calls;
    return false;
  }));
  EXPECT_EQ(calls, 1);
}

}  // namespace
