#include "cli/listing.h"

#include <algorithm>
#include <cinttypes>
#include <string>

#include "cli/progress.h"
#include "cli/text.h"
#include "container/le.h"
#include "extract/run.h"
#include "mux/plan.h"

namespace orvale {
namespace {

constexpr double kAacSamples = 1024;

// Control characters in a name would break the table's lines.
std::string printable(std::string name) {
  std::replace_if(
      name.begin(), name.end(),
      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }, '?');
  return name;
}

std::string header_line(const FileHeader& header) {
  const std::uint32_t streams = header.audio_stream_count;
  const std::string packets = formatted(", %" PRIu32 " packets listed, ", header.frame_count);
  if (streams == 0) {
    return packets + "no audio\n";
  }
  return packets + formatted("%" PRIu32 " %s audio stream%s at %" PRIu32 " Hz\n", streams,
                             header.is_aac() ? "AAC" : "MP3", streams == 1 ? "" : "s",
                             header.audio_rate);
}

std::string index_line(const InputFacts& facts) {
  std::string line = formatted("  index:    %" PRIu64 " entries cover %" PRIu64 " bytes",
                               facts.index_entries, facts.index_bytes);
  if (!facts.index_complete) {
    line += formatted("; the header announces %" PRIu32 " entries", facts.header.frame_count);
  }
  if (facts.bytes_after && *facts.bytes_after >= 0) {
    line += formatted("; %" PRId64 " bytes after the last packet", *facts.bytes_after);
  } else if (facts.bytes_after) {
    line += formatted("; the file ends %" PRId64 " bytes short of them", -*facts.bytes_after);
  }
  return line + "\n";
}

std::string state_line(const InputFacts& facts) {
  const std::string extracted = formatted("%" PRIu64 " packets extracted", facts.packets_extracted);
  if (facts.problems == 0) {
    return "  state:    sound; " + extracted + "\n";
  }
  const std::string first = facts.first_problem.empty() ? facts.error : facts.first_problem;
  return formatted("  state:    damaged (exit status %d); %s; %" PRIu64 " problem%s, the first: ",
                   static_cast<int>(facts.status), extracted.c_str(), facts.problems,
                   facts.problems == 1 ? "" : "s") +
         first + "\n";
}

std::string video_line(const InputFacts& facts) {
  std::string units;
  for (std::uint32_t type = 0; type < NalCensus::kTypes; ++type) {
    if (facts.nal_units[type] != 0) {
      units += units.empty() ? "" : ", ";
      units += formatted("%" PRIu64 " ", facts.nal_units[type]) + nal_type_name(type);
    }
  }
  return formatted("  video:    %" PRIu64 " bytes, %" PRIu64 " pictures; NAL units: ",
                   facts.video_bytes, facts.pictures) +
         (units.empty() ? "none" : units) +
         formatted("; %" PRIu64 " dropped (SEI units and delimiters)\n", facts.dropped_units);
}

}  // namespace

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

namespace {

AudioFacts audio_facts(const Run& run, std::uint32_t stream) {
  AudioFacts audio{run.audio[stream].taken(), run.audio_frames[stream], {}};
  const FileHeader& header = run.header;
  if (!header.is_aac() && run.census != nullptr) {
    audio.frames = run.census->mp3[stream].frames();
    audio.seconds = run.census->mp3[stream].seconds();
  } else if (header.is_aac() && header.audio_rate != 0) {
    audio.seconds = static_cast<double>(audio.frames) * kAacSamples / header.audio_rate;
  }
  return audio;
}

}  // namespace

// Stretches of one rate, where the fit's segments, which may break on a
// picture that only just fits, do not change it.
std::optional<TimingFacts> timing_of(const Run& run) {
  if (run.clock == nullptr || run.clock->packets.empty()) {
    return std::nullopt;
  }
  const TimingPlan plan = plan_recording(*run.clock, run.header, std::nullopt);
  if (plan.slots == 0) {
    return std::nullopt;
  }
  TimingFacts timing;
  timing.source = plan.source == TimingSource::audio_clock   ? "audio clock"
                  : plan.source == TimingSource::stream_rate ? "stream"
                                                             : "assumed";
  for (const Segment& segment : plan.timeline.segments) {
    if (timing.rates.empty() || !(reduced(timing.rates.back().rate) == reduced(segment.rate))) {
      timing.rates.push_back({segment.first, segment.rate});
    }
  }
  timing.video_seconds = video_seconds(plan);
  return timing;
}

InputFacts facts_of(const Run& run, ExitStatus status) {
  InputFacts facts;
  facts.path = run.path;
  facts.status = status;
  facts.error = run.report.first_error();
  facts.size = run.window.known_size();
  facts.header_read = run.header_read;
  facts.header = run.header;
  facts.problems = run.report.warnings() + (facts.error.empty() ? 0 : 1);
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
  // A rescue reads the index up to where the packets begin, whatever the
  // header's count says.
  facts.index_complete = entries == run.header.frame_count;
  if (facts.size && entries != 0 && (facts.index_complete || run.settings.rescue)) {
    const std::uint64_t end = kHeaderSize + run.index.size() + facts.index_bytes;
    facts.bytes_after = static_cast<std::int64_t>(*facts.size - end);
  }
  facts.packets_extracted = run.extracted;
  facts.video_bytes = run.video.taken();
  if (run.census != nullptr) {
    facts.nal_units = run.census->video.units();
    facts.pictures = run.census->video.pictures();
    facts.dropped_units = run.census->video.dropped();
  }
  for (std::uint32_t s = 0; s < run.header.extracted_streams(); ++s) {
    facts.streams.push_back(audio_facts(run, s));
  }
  facts.timing = timing_of(run);
  return facts;
}

namespace {

// "timing:   30 fps by the audio clock; 12.00 s of video", or with stretches
// "30 fps, from picture 120 15 fps".
std::string timing_line(const InputFacts& facts) {
  if (!facts.timing) {
    return "";
  }
  const TimingFacts& timing = *facts.timing;
  std::string line = "  timing:   ";
  for (std::size_t i = 0; i < timing.rates.size(); ++i) {
    if (i > 0) {
      line += formatted(", from picture %" PRIu64 " ", timing.rates[i].first_picture);
    }
    line += spell_rate(timing.rates[i].rate) + " fps";
  }
  const char* by = timing.source == "audio clock" ? " by the audio clock"
                   : timing.source == "stream"    ? " as the stream states"
                                                  : " assumed: neither audio nor the stream says";
  return line + by + formatted("; %.2f s of video\n", timing.video_seconds);
}

}  // namespace

std::string listing_table(const InputFacts& facts) {
  std::string table = printable(facts.path);
  if (facts.size) {
    table += formatted(": %" PRIu64 " bytes", *facts.size);
  }
  if (!facts.header_read) {
    return table + "\n  error:    " + facts.error + "\n";
  }
  table += header_line(facts.header) + index_line(facts) + state_line(facts) + video_line(facts) +
           timing_line(facts);
  for (std::size_t s = 0; s < facts.streams.size(); ++s) {
    const AudioFacts& audio = facts.streams[s];
    table += formatted("  audio %zu:  %" PRIu64 " bytes, %" PRIu64 " frames", s, audio.bytes,
                       audio.frames) +
             (audio.seconds ? formatted(", %.2f s", *audio.seconds) : "") + "\n";
  }
  return table;
}

void Listing::add(InputFacts facts) {
  if (json_) {
    held_.push_back(std::move(facts));
    return;
  }
  const std::string table = listing_table(facts);
  if (progress_ != nullptr) {
    progress_->clear();
  }
  std::fputs(table.c_str(), sink_);
}

void Listing::finish() {
  if (json_) {
    const std::string document = listing_json(held_);
    std::fputs(document.c_str(), sink_);
  }
}

}  // namespace orvale
