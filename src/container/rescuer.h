// The rescue's state and steps, shared by the files that make it up:
// rescue.cpp follows the index, rescue_structure.cpp searches by structure,
// rescue_damage.cpp tells what bad bytes, torn packets and a cut file did to
// the packets the index lists.
#pragma once

#include <cstdint>

#include "container/damage_report.h"
#include "container/le.h"
#include "container/packet_walk.h"
#include "container/recognise.h"
#include "extract/run.h"

namespace orvale {

// What the follower has the window hold beyond a packet: its successor's
// fields, for all but the largest audio size tables.
inline constexpr std::uint64_t kSuccessorLook = 4096;

class Rescuer {
 public:
  Rescuer(Run& run, Peek& peek)
      : run_(run),
        packets_(run),
        source_(run.window, &peek, peek.file_size()),
        frame_count_(run.header.frame_count) {}

  [[nodiscard]] bool rescue();

 private:
  [[nodiscard]] std::uint64_t size() const { return source_.end(); }
  [[nodiscard]] Flow read_failed(std::uint64_t offset);
  [[nodiscard]] Flow agrees(std::uint64_t offset, std::uint32_t length, std::uint64_t& needed,
                            bool& agreed);
  [[nodiscard]] Flow find_packets_start(std::uint64_t& start, bool& found);
  [[nodiscard]] Flow follow_index(std::uint64_t start, std::uint64_t entries,
                                  std::uint64_t& handover, bool& complete);
  [[nodiscard]] Flow next_recording(std::uint64_t at, bool& another);
  [[nodiscard]] Flow rescue_recording(std::uint64_t& search_from, bool& found, bool& another);
  [[nodiscard]] bool cut_after(std::uint64_t at, std::uint32_t length, std::uint32_t next);
  [[nodiscard]] Flow cut_short(std::uint64_t at, std::uint64_t needed, std::uint64_t number,
                               std::uint64_t entries, std::uint64_t& handover);
  [[nodiscard]] Flow rejoin(std::uint64_t at, std::uint64_t number, std::uint64_t entries,
                            std::uint64_t& resume, std::uint64_t& rejoined, std::uint64_t& needed,
                            bool& found);
  [[nodiscard]] Flow salvage(std::uint64_t at, std::uint64_t number, std::uint64_t rejoined);
  [[nodiscard]] Flow salvage_packet(std::uint64_t at, std::uint64_t number, std::uint64_t& needed,
                                    std::uint64_t& bad);
  [[nodiscard]] Flow fills(std::uint64_t offset, std::uint32_t length, std::uint64_t& needed,
                           bool& filled);
  [[nodiscard]] Flow fills_in_line(std::uint64_t offset, std::uint64_t number,
                                   std::uint64_t entries, std::uint64_t& needed, bool& filled);
  [[nodiscard]] Flow realign(std::uint64_t at, std::uint32_t length, std::uint64_t number,
                             std::uint64_t entries, std::uint64_t& resume, std::uint64_t& needed,
                             bool& found);
  [[nodiscard]] Flow settle(std::uint64_t at, std::uint32_t length, std::uint64_t number,
                            std::uint64_t resume);
  [[nodiscard]] Flow follow_structure(std::uint64_t offset, bool exact);
  [[nodiscard]] Flow resynchronise(std::uint64_t from, std::uint64_t& found_at);
  void lose_unreadable(std::uint64_t number, std::uint64_t at, std::uint32_t length);
  [[nodiscard]] Flow extract_at(std::uint64_t offset, std::uint64_t needed);
  [[nodiscard]] bool all_zeros(std::uint64_t from, std::uint64_t to);
  void skipped(std::uint64_t from, std::uint64_t to);
  [[nodiscard]] std::uint32_t entry(std::uint64_t number) const {
    return packet_length(read_le32(run_.index, number * kIndexEntrySize));
  }
  [[nodiscard]] bool later_entries_empty(std::uint64_t number, std::uint64_t entries) const;
  void tell();

  Run& run_;
  PacketWalker packets_;
  ByteSource source_;
  // Where the index of the recording being rescued begins, and the count its
  // header gives: a second recording may follow the first.
  std::uint64_t index_from_ = kHeaderSize;
  std::uint32_t frame_count_ = 0;
  std::uint32_t next_number_ = 0;
  std::uint64_t from_index_ = 0;
  std::uint64_t by_structure_ = 0;
  SkippedRanges ranges_;
  // Something was wrong beside the packets found by structure.
  bool damage_ = false;
};

}  // namespace orvale
