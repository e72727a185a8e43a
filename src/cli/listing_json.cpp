// The --list --json document. File names may hold any bytes; those that are
// not UTF-8 come out as U+FFFD, as JSON has no way to carry them.
#include <nlohmann/json.hpp>

#include "cli/listing.h"

namespace orvale {
namespace {

// Keys keep the order they are set in, so that a reader finds the file first.
using json = nlohmann::ordered_json;

json or_null(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

json video_of(const InputFacts& facts) {
  json units = json::array();
  for (std::uint32_t type = 0; type < NalCensus::kTypes; ++type) {
    if (facts.nal_units[type] != 0) {
      units.push_back(
          {{"type", type}, {"name", nal_type_name(type)}, {"count", facts.nal_units[type]}});
    }
  }
  return {{"bytes", facts.video_bytes},
          {"pictures", facts.pictures},
          {"nal_units", units},
          {"units_dropped", facts.dropped_units}};
}

json streams_of(const InputFacts& facts) {
  json streams = json::array();
  for (std::size_t s = 0; s < facts.streams.size(); ++s) {
    const AudioFacts& stream = facts.streams[s];
    streams.push_back({{"stream", s},
                       {"bytes", stream.bytes},
                       {"frames", stream.frames},
                       {"duration_seconds", stream.seconds ? json(*stream.seconds) : json()}});
  }
  return streams;
}

json timing_of(const InputFacts& facts) {
  if (!facts.timing) {
    return nullptr;
  }
  json rates = json::array();
  for (const RateStretch& stretch : facts.timing->rates) {
    rates.push_back({{"first_picture", stretch.first_picture}, {"rate", spell_rate(stretch.rate)}});
  }
  return {{"source", facts.timing->source},
          {"rates", rates},
          {"video_duration_seconds", facts.timing->video_seconds}};
}

json input_of(const InputFacts& facts) {
  json input = {{"file", facts.path},
                {"exit_status", static_cast<int>(facts.status)},
                {"error", or_null(facts.error)},
                {"file_size", facts.size ? json(*facts.size) : json(nullptr)}};
  if (!facts.header_read) {
    return input;
  }
  const FileHeader& header = facts.header;
  input["packets_listed"] = header.frame_count;
  input["audio_format"] = header.is_aac() ? "aac" : "mp3";
  input["sample_rate"] = header.audio_rate;
  input["audio_streams_declared"] = header.audio_stream_count;
  input["index"] = {
      {"entries", facts.index_entries},
      {"bytes", facts.index_bytes},
      {"complete", facts.index_complete},
      {"bytes_after_last_packet", facts.bytes_after ? json(*facts.bytes_after) : json(nullptr)}};
  input["sound"] = facts.problems == 0;
  input["problems"] = facts.problems;
  input["first_problem"] = or_null(facts.first_problem.empty() ? facts.error : facts.first_problem);
  input["packets_extracted"] = facts.packets_extracted;
  input["video"] = video_of(facts);
  input["streams"] = streams_of(facts);
  input["timing"] = timing_of(facts);
  return input;
}

}  // namespace

std::string listing_json(const std::vector<InputFacts>& inputs) {
  json document = {{"orvale_version", ORVALE_VERSION}, {"inputs", json::array()}};
  for (const InputFacts& facts : inputs) {
    document["inputs"].push_back(input_of(facts));
  }
  return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace orvale
