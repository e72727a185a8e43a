// What --list tells of each input: its header, what its index and the file
// say together, and what each stream holds, as a table or as one JSON
// document.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "container/container.h"
#include "mux/rate.h"
#include "outputs/report.h"
#include "streams/nal_census.h"

namespace orvale {

class Progress;
struct Run;

struct AudioFacts {
  std::uint64_t bytes = 0;
  std::uint64_t frames = 0;
  // Unknown for AAC at a rate of 0.
  std::optional<double> seconds;
};

// A stretch of pictures at one rate.
struct RateStretch {
  std::uint64_t first_picture = 0;
  Rate rate;
};

struct TimingFacts {
  // "audio clock", "stream" (its own stated rate) or "assumed" (25).
  std::string source;
  std::vector<RateStretch> rates;
  double video_seconds = 0;
};

struct InputFacts {
  std::string path;
  ExitStatus status = ExitStatus::ok;
  std::string error;
  std::optional<std::uint64_t> size;
  // The rest is known only once the header is.
  bool header_read = false;
  FileHeader header;
  // Entries before the first zero one, and the bytes they cover; the index
  // is incomplete when it holds other than the entries the header announces
  // (the file ends inside it, or a rescue found the count wrong).
  std::uint64_t index_entries = 0;
  std::uint64_t index_bytes = 0;
  bool index_complete = false;
  // How far the file runs past the last packet the index lists, or falls
  // short of it; known for a file of known size whose index was read.
  std::optional<std::int64_t> bytes_after;
  // Warnings, and the error if there was one.
  std::uint64_t problems = 0;
  std::string first_problem;
  std::uint64_t packets_extracted = 0;
  std::uint64_t video_bytes = 0;
  std::array<std::uint64_t, NalCensus::kTypes> nal_units{};
  std::uint64_t pictures = 0;
  std::uint64_t dropped_units = 0;
  std::vector<AudioFacts> streams;
  // Known for an input whose packets held pictures.
  std::optional<TimingFacts> timing;
};

// What a walk of `run` that ended with `status` found.
[[nodiscard]] InputFacts facts_of(const Run& run, ExitStatus status);

// Prints each input's facts as they come, as a table, or with `json` all of
// them at the end in one document; a progress line on the same terminal is
// cleared first.
class Listing {
 public:
  Listing(std::FILE* sink, bool json, Progress* progress = nullptr)
      : sink_(sink), json_(json), progress_(progress) {}
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;

  void add(InputFacts facts);
  void finish();

 private:
  std::FILE* sink_;
  bool json_;
  Progress* progress_;
  std::vector<InputFacts> held_;
};

// The document for `inputs`, as --list --json prints it.
[[nodiscard]] std::string listing_json(const std::vector<InputFacts>& inputs);
// The table lines for one input.
[[nodiscard]] std::string listing_table(const InputFacts& facts);

// A short name for NAL unit type `type`.
[[nodiscard]] std::string nal_type_name(std::uint32_t type);

}  // namespace orvale
