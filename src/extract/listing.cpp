#include "extract/listing.h"

#include <algorithm>
#include <cinttypes>
#include <string>

#include "extract/le.h"
#include "extract/run.h"

namespace orvale {
namespace {

constexpr std::uint32_t kAacSamples = 1024;
constexpr std::uint32_t kMp3Samples = 1152;
// MPEG-2 and 2.5 layer III frames carry half as many samples; they are the
// ones below 32000 Hz.
constexpr std::uint32_t kLowRateMp3Samples = 576;
constexpr std::uint32_t kLowestMpeg1Rate = 32000;

std::string format(const char* pattern, auto... values) {
  const int length = std::snprintf(nullptr, 0, pattern, values...);
  std::string text(length > 0 ? static_cast<std::size_t>(length) + 1 : 1, '\0');
  std::snprintf(text.data(), text.size(), pattern, values...);
  text.pop_back();
  return text;
}

std::string duration(const FileHeader& header, std::uint64_t frames) {
  if (header.audio_rate == 0) {
    return "";
  }
  const double seconds = static_cast<double>(frames) * samples_per_frame(header) /
                         static_cast<double>(header.audio_rate);
  return format(", %.2f s", seconds);
}

std::string index_line(const InputFacts& facts) {
  std::string line = format("  index:    %" PRIu64 " entries cover %" PRIu64 " bytes",
                            facts.index_entries, facts.index_bytes);
  if (facts.bytes_after && *facts.bytes_after >= 0) {
    line += format("; %" PRId64 " bytes after the last packet", *facts.bytes_after);
  } else if (facts.bytes_after) {
    line += format("; the file ends %" PRId64 " bytes short of them", -*facts.bytes_after);
  }
  return line + "\n";
}

std::string state_line(const InputFacts& facts) {
  const std::string extracted = format("%" PRIu64 " packets extracted", facts.packets_extracted);
  if (facts.problems == 0 && facts.error.empty()) {
    return "  state:    sound; " + extracted + "\n";
  }
  const std::string first = facts.first_problem.empty() ? facts.error : facts.first_problem;
  const std::uint64_t problems = std::max<std::uint64_t>(facts.problems, 1);
  return format("  state:    damaged (exit status %d); %s; %" PRIu64 " problem%s, the first: ",
                static_cast<int>(facts.status), extracted.c_str(), problems,
                problems == 1 ? "" : "s") +
         first + "\n";
}

std::string video_line(const InputFacts& facts) {
  std::string units;
  for (std::uint32_t type = 0; type < NalCensus::kTypes; ++type) {
    if (facts.nal_units[type] != 0) {
      units += units.empty() ? "" : ", ";
      units += format("%" PRIu64 " ", facts.nal_units[type]) + nal_type_name(type);
    }
  }
  return format("  video:    %" PRIu64 " bytes, %" PRIu64 " pictures; NAL units: ",
                facts.video_bytes, facts.pictures) +
         (units.empty() ? "none" : units) +
         format("; %" PRIu64 " SEI units and delimiters dropped\n", facts.dropped_units);
}

}  // namespace

std::uint32_t samples_per_frame(const FileHeader& header) {
  if (header.is_aac()) {
    return kAacSamples;
  }
  return header.audio_rate < kLowestMpeg1Rate ? kLowRateMp3Samples : kMp3Samples;
}

std::string nal_type_name(std::uint32_t type) {
  switch (type) {
    case 1:
      return "slice";
    case 5:
      return "IDR slice";
    case 6:
      return "SEI";
    case 7:
      return "SPS";
    case 8:
      return "PPS";
    case 9:
      return "delimiter";
    case 10:
      return "end of sequence";
    case 11:
      return "end of stream";
    case 12:
      return "filler";
    default:
      return "type " + std::to_string(type);
  }
}

InputFacts facts_of(const Run& run, ExitStatus status) {
  InputFacts facts;
  facts.path = run.path;
  facts.status = status;
  facts.error = run.report.first_error();
  facts.size = run.window.known_size();
  facts.header_read = run.header_read;
  facts.header = run.header;
  facts.problems = run.report.warnings();
  facts.first_problem = run.report.first_warning();
  if (!run.header_read) {
    return facts;
  }
  const std::uint64_t entries = run.index.size() / kIndexEntrySize;
  for (std::uint64_t e = 0; e < entries; ++e) {
    const std::uint32_t length = packet_length(read_le32(run.index, e * kIndexEntrySize));
    if (length == 0) {
      break;
    }
    ++facts.index_entries;
    facts.index_bytes += length;
  }
  if (facts.size && entries != 0) {
    const std::uint64_t end = kHeaderSize + run.index.size() + facts.index_bytes;
    facts.bytes_after = static_cast<std::int64_t>(*facts.size - end);
  }
  facts.packets_extracted = run.extracted;
  facts.video_bytes = run.video.taken();
  if (run.census != nullptr) {
    facts.nal_units = run.census->units();
    facts.pictures = run.census->pictures();
    facts.dropped_units = run.census->dropped();
  }
  for (std::uint32_t s = 0; s < run.header.extracted_streams(); ++s) {
    facts.streams.push_back({run.audio[s].taken(), run.audio_frames[s]});
  }
  return facts;
}

std::string listing_table(const InputFacts& facts) {
  std::string table = facts.path;
  if (facts.size) {
    table += format(": %" PRIu64 " bytes", *facts.size);
  }
  if (!facts.header_read) {
    return table + "\n  error:    " + facts.error + "\n";
  }
  const FileHeader& header = facts.header;
  table += format(", %" PRIu32 " packets listed, %" PRIu32 " %s audio streams at %" PRIu32 " Hz\n",
                  header.frame_count, header.audio_stream_count, header.is_aac() ? "AAC" : "MP3",
                  header.audio_rate);
  table += index_line(facts) + state_line(facts) + video_line(facts);
  for (std::size_t s = 0; s < facts.streams.size(); ++s) {
    table += format("  audio %zu:  %" PRIu64 " bytes, %" PRIu64 " frames", s,
                    facts.streams[s].bytes, facts.streams[s].frames) +
             duration(header, facts.streams[s].frames) + "\n";
  }
  return table;
}

void Listing::add(InputFacts facts) {
  if (json_) {
    held_.push_back(std::move(facts));
    return;
  }
  const std::string table = listing_table(facts);
  std::fputs(table.c_str(), sink_);
}

void Listing::finish() {
  if (json_) {
    const std::string document = listing_json(held_);
    std::fputs(document.c_str(), sink_);
  }
}

}  // namespace orvale
