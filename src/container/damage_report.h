// How a damaged recording is told: the packets skipped on the way, the
// byte ranges a rescue passes over, what to run to recover more, and what an
// input gave of what it lists.
#pragma once

#include <array>
#include <cstdint>

#include "container/container.h"
#include "extract/run.h"

namespace orvale {

// Consecutive packets skipped for malformed fields, told as one line once
// the run of them ends.
struct SkippedPackets {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  std::uint32_t first_length = 0;
  PacketStatus first_status = PacketStatus::ok;
  std::uint64_t first_needed = 0;
  bool active = false;
};

// The last packet written: its number, what its fields add up to and what
// its entry says.
struct LastWritten {
  std::uint32_t number = 0;
  std::uint64_t needed = 0;
  std::uint32_t length = 0;
  bool any = false;
};

// How a packet's fields fail to fit it, as the messages say it.
[[nodiscard]] const char* describe(PacketStatus status);

// Tells a run of skipped packets; true when the line blames the index,
// which it does only while nothing else has (`index_blamed`).
bool tell_skipped_packets(Report& report, const SkippedPackets& skipped, const LastWritten& last,
                          bool index_blamed);

// Consecutive packets that held bytes the input could not give, told as one
// line once the run of them ends.
struct UnreadablePackets {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  std::uint64_t first_start = 0;
  std::uint32_t first_length = 0;
  bool active = false;
};
void tell_unreadable_packets(Report& report, const UnreadablePackets& lost);

// The input's unreadable byte ranges: the first few one by one, the rest
// summed up.
void tell_unreadable_ranges(Report& report, const UnreadableRanges& unreadable);

// Byte ranges in which a rescue found no packet: the first few told one by
// one, the rest summed up.
class SkippedRanges {
 public:
  void note(std::uint64_t from, std::uint64_t to, bool zeros);
  [[nodiscard]] bool any() const { return count_ > 0; }
  void tell(Report& report) const;

 private:
  struct Range {
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    bool zeros = false;
  };
  std::array<Range, 5> shown_{};
  std::uint64_t count_ = 0;
  std::uint64_t bytes_ = 0;
};

// The line that follows a message blaming the index: the command that may
// recover more, with this run's output folder.
void suggest_rescue(Run& run);

// What an input gave of what its index lists, after a walk that lost some,
// and how many of those it wrote were read out of line.
void tell_extracted_share(Run& run, std::uint64_t listed, std::uint64_t covered,
                          std::uint64_t out_of_line);

}  // namespace orvale
