#include "container/damage_report.h"

#include <cinttypes>
#include <string>

#include "cli/text.h"

namespace orvale {

const char* describe(PacketStatus status) {
  switch (status) {
    case PacketStatus::too_short:
      return "is shorter than its 13 fixed bytes";
    case PacketStatus::table_overrun:
      return "is too short for its audio size table";
    case PacketStatus::video_overrun:
      return "is too short for its video chunk";
    case PacketStatus::audio_overrun:
      return "is too short for its audio frames";
    case PacketStatus::ok:
      break;
  }
  return "is well formed";
}

bool tell_skipped_packets(Report& report, const SkippedPackets& s, const LastWritten& last,
                          bool index_blamed) {
  std::string suspect;
  // A run of skipped packets always starts right after the last packet
  // written, since any packet between would have ended it. Once the index
  // has been blamed, later runs are its consequences.
  if (!index_blamed && last.any && last.needed < last.length) {
    suspect = "; the index looks damaged at entry " + std::to_string(last.number) + " (packet " +
              std::to_string(last.number) + "'s fields add up to " + std::to_string(last.needed) +
              " bytes, its entry says " + std::to_string(last.length) + ")";
  } else if (!index_blamed && s.last > s.first && s.first_needed > s.first_length) {
    suspect = "; the index looks damaged at entry " + std::to_string(s.first);
  }
  if (s.first == s.last) {
    report.warning("packet %" PRIu32 " (%" PRIu32 " bytes) %s (its fields need %" PRIu64
                   " bytes); packet skipped%s",
                   s.first, s.first_length, describe(s.first_status), s.first_needed,
                   suspect.c_str());
  } else {
    report.warning("packets %" PRIu32 " to %" PRIu32 " (%" PRIu32
                   " packets) skipped: packet %" PRIu32 " (%" PRIu32
                   " bytes) %s (its fields need %" PRIu64 " bytes)%s",
                   s.first, s.last, s.last - s.first + 1, s.first, s.first_length,
                   describe(s.first_status), s.first_needed, suspect.c_str());
  }
  return !suspect.empty();
}

void tell_unreadable_packets(Report& report, const UnreadablePackets& lost) {
  if (lost.first == lost.last) {
    report.warning("packet %" PRIu32 " (%" PRIu32 " bytes at byte %" PRIu64
                   ") holds bytes that could not be read; packet skipped",
                   lost.first, lost.first_length, lost.first_start);
  } else {
    report.warning("packets %" PRIu32 " to %" PRIu32 " (%" PRIu32
                   " packets, from byte %" PRIu64 ") hold bytes that could not be read; skipped",
                   lost.first, lost.last, lost.last - lost.first + 1, lost.first_start);
  }
}

void tell_unreadable_ranges(Report& report, const UnreadableRanges& unreadable) {
  constexpr std::size_t kShown = 5;
  const auto ranges = unreadable.ranges();
  std::uint64_t rest = 0;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    const auto& range = ranges[i];
    if (i < kShown) {
      report.warning("bytes %" PRIu64 " to %" PRIu64 " (%" PRIu64
                     " bytes) could not be read; skipped",
                     range.from, range.to - 1, range.to - range.from);
    } else {
      rest += range.to - range.from;
    }
  }
  if (ranges.size() > kShown) {
    report.warning("%zu more unreadable ranges skipped, %" PRIu64 " bytes",
                   ranges.size() - kShown, rest);
  }
}

void SkippedRanges::note(std::uint64_t from, std::uint64_t to, bool zeros) {
  if (count_ < shown_.size()) {
    shown_[static_cast<std::size_t>(count_)] = {from, to, zeros};
  }
  ++count_;
  bytes_ += to - from;
}

void SkippedRanges::tell(Report& report) const {
  const auto shown = static_cast<std::size_t>(std::min<std::uint64_t>(count_, shown_.size()));
  std::uint64_t shown_bytes = 0;
  for (std::size_t i = 0; i < shown; ++i) {
    const Range& range = shown_[i];
    report.warning("bytes %" PRIu64 " to %" PRIu64 " (%" PRIu64 " bytes) %s; skipped", range.from,
                   range.to - 1, range.to - range.from,
                   range.zeros ? "are zeros" : "hold no packet");
    shown_bytes += range.to - range.from;
  }
  if (count_ > shown) {
    report.warning("%" PRIu64 " more ranges without a packet skipped, %" PRIu64 " bytes",
                   count_ - shown, bytes_ - shown_bytes);
  }
}

// The command repeats what decides where the outputs go and which.
void suggest_rescue(Run& run) {
  const Settings& settings = run.settings;
  std::string command = "orvale --rescue";
  command.append(settings.to_stdout ? " -c" : "");
  if (!settings.streams.everything) {
    command.append(" -s ").append(settings.streams.spelled());
  }
  command.append(settings.parents ? " --parents" : "");
  if (!settings.output_dir.empty()) {
    command.append(" -o ").append(shell_word(settings.output_dir));
  }
  if (run.path.starts_with('-')) {
    command.append(" --");
  }
  command.append(" ").append(shell_word(run.path));
  run.report.notice(run.path, "rescue may recover more: %s", command.c_str());
}

void tell_extracted_share(Run& run, std::uint64_t listed, std::uint64_t covered,
                          std::uint64_t out_of_line) {
  const std::uint64_t input = run.window.known_size().value_or(run.window.bytes_read());
  const std::string read_wrong =
      out_of_line > 0 ? "; " + std::to_string(out_of_line) + " of them were read out of line" : "";
  run.report.notice(run.path,
                    "%" PRIu64 " of the %" PRIu64
                    " packets the index lists were extracted, from %" PRIu64
                    " of the input's %" PRIu64 " bytes%s",
                    run.extracted, listed, covered, input, read_wrong.c_str());
}

}  // namespace orvale
