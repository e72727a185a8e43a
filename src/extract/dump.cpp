#include "extract/dump.h"

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <span>

#include "extract/container.h"
#include "extract/input.h"
#include "extract/le.h"
#include "streams/adts.h"
#include "streams/streams.h"

namespace orvale {
namespace {

// The texts scripts may match on stdout; the last two carry no newline.
constexpr const char* kErrorHeader = "error kvx header\n";
constexpr const char* kNotKvxavc = "not a kvxavc file\n";
constexpr const char* kCannotOpenOutput = "can not open output file\n";
constexpr const char* kMallocFail = "malloc fail";
constexpr const char* kReadIndexFail = "read index fail";

void say(const char* message) { std::fputs(message, stdout); }

struct CloseFile {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Everything one run owns; leaving scope releases all of it on every path.
struct Run {
  Run(std::FILE* file, const std::string& input_path, std::FILE* diagnostics)
      : path(input_path), input(file), report(path, diagnostics) {}

  const std::string& path;
  Input input;
  Report report;
  FileHeader header;
  Output video;
  std::array<Output, kAudioSlots> audio;
  ByteBuffer index;
  ByteBuffer packet;
};

[[nodiscard]] bool read_header(Run& run) {
  std::span<const std::uint8_t> view;
  // The packet buffer is free until the walk; the header needs no buffer of its own.
  const ReadStatus status = run.input.read(run.packet, kHeaderSize, view);
  if (status != ReadStatus::complete) {
    say(kErrorHeader);
    if (status == ReadStatus::read_error) {
      run.report.error(run.path, "read error: %s", std::strerror(run.input.error()));
    } else {
      run.report.error(run.path, "the input holds %zu bytes, too few for a kvxavc header",
                       view.size());
    }
    return false;
  }
  if (parse_header(view.first<kHeaderSize>(), run.header) != HeaderStatus::ok) {
    say(kNotKvxavc);
    run.report.error(run.path, "not a kvxavc file");
    return false;
  }
  if (run.header.audio_stream_count > kAudioSlots) {
    run.report.warning("%" PRIu32 " audio streams declared; only streams 0 to %" PRIu32
                       " are extracted",
                       run.header.audio_stream_count, kAudioSlots - 1);
  }
  return true;
}

[[nodiscard]] bool create_output(Run& run, Output& output, const std::string& name) {
  if (output.open(name)) {
    return true;
  }
  say(kCannotOpenOutput);
  run.report.error(name, "cannot create: %s", std::strerror(output.error()));
  return false;
}

[[nodiscard]] bool create_outputs(Run& run) {
  if (!create_output(run, run.video, run.path + ".264")) {
    return false;
  }
  const char* extension = run.header.is_aac() ? ".aac" : ".mp3";
  for (std::uint32_t s = 0; s < run.header.extracted_streams(); ++s) {
    if (!create_output(run, run.audio[s], run.path + "." + std::to_string(s) + extension)) {
      return false;
    }
  }
  return true;
}

[[nodiscard]] bool read_index(Run& run, std::span<const std::uint8_t>& index) {
  const std::uint32_t count = run.header.frame_count;
  if (count == 0) {
    say(kReadIndexFail);
    run.report.error(run.path, "the header lists no packets");
    return false;
  }
  const std::uint64_t size = kIndexEntrySize * count;
  switch (run.input.read(run.index, size, index)) {
    case ReadStatus::complete:
      return true;
    case ReadStatus::out_of_memory:
      say(kMallocFail);
      run.report.error(run.path, "out of memory for a frame index of %" PRIu32 " entries", count);
      return false;
    case ReadStatus::read_error:
      say(kReadIndexFail);
      run.report.error(run.path, "read error in the frame index: %s",
                       std::strerror(run.input.error()));
      return false;
    case ReadStatus::input_ended:
      break;
  }
  say(kReadIndexFail);
  run.report.error(run.path,
                   "the frame index of %" PRIu32 " entries needs %" PRIu64
                   " bytes, but the input ends at byte %" PRIu64,
                   count, size, run.input.offset());
  return false;
}

[[nodiscard]] bool report_output_failure(Run& run, const Output& output) {
  run.report.error(output.name(), "write failed: %s", std::strerror(output.error()));
  return false;
}

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

[[nodiscard]] bool write_audio(Run& run, std::uint32_t number, std::span<const std::uint8_t> packet,
                               const PacketLayout& layout) {
  std::uint64_t cursor = layout.audio_offset;
  for (std::uint32_t s = 0; s < run.header.extracted_streams(); ++s) {
    Output& output = run.audio[s];
    for (std::uint32_t j = 0; j < layout.audio_frames_per_stream; ++j) {
      const std::uint32_t length = audio_frame_length(layout, s, j);
      const auto frame = packet.subspan(static_cast<std::size_t>(cursor), length);
      cursor += length;
      const DumpStatus status = run.header.is_aac() ? dumpaac(output, frame, run.header.audio_rate)
                                                    : dumpmp3(output, frame);
      if (status == DumpStatus::output_failed) {
        return report_output_failure(run, output);
      }
      if (status == DumpStatus::frame_too_long) {
        run.report.warning(
            "packet %" PRIu32 ", stream %" PRIu32 ", frame %" PRIu32 ": an AAC frame of %" PRIu32
            " bytes is too long for an ADTS header (at most %" PRIu32 "); frame skipped",
            number, s, j, length, kMaxAdtsPayload);
      }
    }
  }
  return true;
}

// Writes one packet's video and audio; false only when an output failed.
[[nodiscard]] bool write_packet(Run& run, std::uint32_t number,
                                std::span<const std::uint8_t> packet) {
  PacketLayout layout;
  std::uint64_t needed = 0;
  const PacketStatus status = parse_packet(packet, run.header.audio_stream_count, layout, needed);
  if (status != PacketStatus::ok) {
    run.report.warning("packet %" PRIu32 " (%zu bytes) %s (its fields need %" PRIu64
                       " bytes); packet skipped",
                       number, packet.size(), describe(status), needed);
    return true;
  }
  if (dumpavc(run.video, layout.video) != DumpStatus::ok) {
    return report_output_failure(run, run.video);
  }
  return write_audio(run, number, packet, layout);
}

// An entry of length 0 ends the index; entries after it matter only if some
// of them are not empty, since then packets are being left out.
void check_index_tail(Run& run, std::span<const std::uint8_t> index, std::uint32_t number) {
  std::uint32_t skipped = 0;
  for (std::uint64_t at = (static_cast<std::uint64_t>(number) + 1) * kIndexEntrySize;
       at < index.size(); at += kIndexEntrySize) {
    skipped += packet_length(read_le32(index, at)) != 0 ? 1 : 0;
  }
  if (skipped > 0) {
    run.report.warning("packet %" PRIu32 " has length 0, which ends the index; %" PRIu32
                       " later packets are not extracted",
                       number, skipped);
  }
}

// False when the walk must stop with an error.
[[nodiscard]] bool walk(Run& run, std::span<const std::uint8_t> index) {
  for (std::uint32_t number = 0; number < run.header.frame_count; ++number) {
    const std::uint32_t length = packet_length(read_le32(index, number * kIndexEntrySize));
    if (length == 0) {
      check_index_tail(run, index, number);
      return true;
    }
    const std::uint64_t packet_start = run.input.offset();
    std::span<const std::uint8_t> packet;
    switch (run.input.read(run.packet, length, packet)) {
      case ReadStatus::complete:
        break;
      case ReadStatus::input_ended:
        run.report.warning("packet %" PRIu32 " (%" PRIu32 " bytes at byte %" PRIu64
                           ") is cut short: the input ends at byte %" PRIu64,
                           number, length, packet_start, run.input.offset());
        return true;
      case ReadStatus::read_error:
        run.report.error(run.path, "read error in packet %" PRIu32 ": %s", number,
                         std::strerror(run.input.error()));
        return false;
      case ReadStatus::out_of_memory:
        say(kReadIndexFail);
        run.report.error(run.path, "out of memory for packet %" PRIu32 " of %" PRIu32 " bytes",
                         number, length);
        return false;
    }
    if (!write_packet(run, number, packet)) {
      return false;
    }
  }
  return true;
}

[[nodiscard]] bool close_output(Run& run, Output& output) {
  return !output.is_open() || output.close() || report_output_failure(run, output);
}

[[nodiscard]] bool close_outputs(Run& run) {
  bool closed = close_output(run, run.video);
  for (Output& output : run.audio) {
    closed = close_output(run, output) && closed;
  }
  return closed;
}

}  // namespace

ExitStatus dump_stream(std::FILE* input, const std::string& path, std::FILE* diagnostics) {
  Run run(input, path, diagnostics);
  std::span<const std::uint8_t> index;
  if (read_header(run) && create_outputs(run) && read_index(run, index) && walk(run, index)) {
    (void)close_outputs(run);
  }
  return run.report.finish();
}

ExitStatus dump(const std::string& path) {
  const std::unique_ptr<std::FILE, CloseFile> input(std::fopen(path.c_str(), "rb"));
  if (!input) {
    Report report(path, stderr);
    report.error(path, "cannot open: %s", std::strerror(errno));
    return report.finish();
  }
  return dump_stream(input.get(), path);
}

}  // namespace orvale
