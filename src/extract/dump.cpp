#include "extract/dump.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <span>

#include "extract/container.h"
#include "extract/progress.h"
#include "extract/run.h"
#include "extract/walk.h"
#include "streams/adts.h"

namespace orvale {
namespace {

// The texts scripts may match on stdout.
constexpr const char* kErrorHeader = "error kvx header\n";
constexpr const char* kNotKvxavc = "not a kvxavc file\n";
constexpr const char* kCannotOpenOutput = "can not open output file\n";
constexpr const char* kMallocFail = "malloc fail\n";
constexpr const char* kReadIndexFail = "read index fail\n";

void say(Progress* progress, const char* message) {
  if (progress != nullptr) {
    progress->clear();
  }
  std::fputs(message, stdout);
  std::fflush(stdout);
}

void observe_progress(void* progress, std::uint64_t offset) {
  static_cast<Progress*>(progress)->update(offset);
}

struct CloseDescriptor {
  explicit CloseDescriptor(int descriptor) : fd(descriptor) {}
  CloseDescriptor(const CloseDescriptor&) = delete;
  CloseDescriptor& operator=(const CloseDescriptor&) = delete;
  ~CloseDescriptor() { ::close(fd); }
  int fd;
};

[[nodiscard]] bool read_header(Run& run, Progress* progress) {
  if (!run.window.allocate()) {
    say(progress, kMallocFail);
    run.report.error(run.path, "out of memory for the input window");
    return false;
  }
  const ReadStatus status = run.window.fill(kHeaderSize);
  if (status != ReadStatus::complete) {
    say(progress, kErrorHeader);
    if (status == ReadStatus::read_error) {
      run.report.error(run.path, "read error: %s", std::strerror(run.window.error()));
    } else {
      run.report.error(run.path, "the input holds %zu bytes, too few for a kvxavc header",
                       run.window.data().size());
    }
    return false;
  }
  if (parse_header(run.window.data().first<kHeaderSize>(), run.header) != HeaderStatus::ok) {
    say(progress, kNotKvxavc);
    run.report.error(run.path, "not a kvxavc file");
    return false;
  }
  run.window.consume(kHeaderSize);
  const FileHeader& header = run.header;
  if (header.audio_stream_count > kAudioSlots) {
    run.report.warning("%" PRIu32 " audio streams declared; only streams 0 to %" PRIu32
                       " are extracted",
                       header.audio_stream_count, kAudioSlots - 1);
  }
  if (header.is_aac() && header.audio_stream_count > 0 && !is_adts_rate(header.audio_rate)) {
    run.report.warning("the audio rate of %" PRIu32
                       " Hz has no ADTS sampling frequency index; the ADTS headers say 48000 Hz",
                       header.audio_rate);
  }
  return true;
}

std::string output_base(const std::string& path, const Settings& settings) {
  if (settings.output_dir.empty()) {
    return path;
  }
  return (std::filesystem::path(settings.output_dir) / std::filesystem::path(path).filename())
      .string();
}

// Refuses an output that is the input itself, another output of this run, or
// a file an earlier input of this invocation wrote.
[[nodiscard]] bool check_identity(Run& run, const Output& output, const struct stat& input,
                                  const Session& session, Progress* progress) {
  if (!output.is_regular()) {
    return true;
  }
  const auto same = [&](const Output& other) {
    return &other != &output && other.is_open() && other.is_regular() &&
           other.device() == output.device() && other.inode() == output.inode();
  };
  if (output.device() == input.st_dev && output.inode() == input.st_ino) {
    say(progress, kCannotOpenOutput);
    run.report.error(output.name(), "is the input itself; nothing written");
    return false;
  }
  if (same(run.video) || std::any_of(run.audio.begin(), run.audio.end(), same)) {
    say(progress, kCannotOpenOutput);
    run.report.error(output.name(), "is the same file as another output of this input");
    return false;
  }
  if (session.written_before(output.device(), output.inode())) {
    run.report.error(output.name(),
                     "was already written by an earlier input of this run; input refused");
    return false;
  }
  return true;
}

[[nodiscard]] bool open_output(Run& run, Output& output, const std::string& name,
                               Progress* progress) {
  if (output.open(name)) {
    return true;
  }
  say(progress, kCannotOpenOutput);
  run.report.error(name, "cannot create: %s", std::strerror(output.error()));
  return false;
}

[[nodiscard]] bool open_outputs(Run& run, int fd, const Settings& settings, const Session& session,
                                Progress* progress) {
  const std::string base = output_base(run.path, settings);
  if (!open_output(run, run.video, base + ".264", progress)) {
    return false;
  }
  const char* extension = run.header.is_aac() ? ".aac" : ".mp3";
  for (std::uint32_t s = 0; s < run.header.extracted_streams(); ++s) {
    std::string name = base;
    name += '.';
    name += std::to_string(s);
    name += extension;
    if (!open_output(run, run.audio[s], name, progress)) {
      return false;
    }
  }
  struct stat input {};
  if (::fstat(fd, &input) != 0) {
    run.report.error(run.path, "cannot examine the input: %s", std::strerror(errno));
    return false;
  }
  if (!check_identity(run, run.video, input, session, progress)) {
    return false;
  }
  return std::all_of(run.audio.begin(), run.audio.end(), [&](const Output& output) {
    return !output.is_open() || check_identity(run, output, input, session, progress);
  });
}

[[nodiscard]] bool read_index(Run& run, Progress* progress) {
  const std::uint32_t count = run.header.frame_count;
  if (count == 0) {
    say(progress, kReadIndexFail);
    run.report.error(run.path, "the header lists no packets");
    return false;
  }
  const std::uint64_t size = kIndexEntrySize * count;
  switch (run.window.read_into(run.index_buffer, size, run.index)) {
    case ReadStatus::complete:
      return true;
    case ReadStatus::out_of_memory:
      say(progress, kMallocFail);
      run.report.error(run.path, "out of memory for a frame index of %" PRIu32 " entries", count);
      return false;
    case ReadStatus::read_error:
      say(progress, kReadIndexFail);
      run.report.error(run.path, "read error in the frame index: %s",
                       std::strerror(run.window.error()));
      return false;
    case ReadStatus::input_ended:
      break;
  }
  say(progress, kReadIndexFail);
  run.report.error(run.path,
                   "the frame index of %" PRIu32 " entries needs %" PRIu64
                   " bytes, but the input ends at byte %" PRIu64,
                   count, size, run.window.bytes_read());
  return false;
}

template <typename Action>
void for_each_open_output(Run& run, Action&& action) {
  if (run.video.is_open()) {
    action(run.video);
  }
  for (Output& output : run.audio) {
    if (output.is_open()) {
      action(output);
    }
  }
}

// Closes the outputs of a run that got as far as writing, or gives back
// untouched those of a run that failed before it wrote anything.
void finish_outputs(Run& run, bool walked, Session& session) {
  // A walk that wrote nothing yet succeeded (only empty entries) still owes
  // the user empty outputs; a failure to begin them is reported there.
  if (!run.begun && walked) {
    (void)begin_outputs(run);
  }
  if (!run.begun) {
    for_each_open_output(run, [](Output& output) { output.discard(); });
    return;
  }
  for_each_open_output(run, [&](Output& output) {
    if (output.is_regular()) {
      session.remember_written(output.device(), output.inode());
    }
    // A failure met during the walk was told there.
    const bool told = output.error() != 0;
    if (!output.close() && !told) {
      (void)report_output_failure(run, output);
    }
  });
}

}  // namespace

bool report_output_failure(Run& run, const Output& output) {
  run.report.error(output.name(), "write failed: %s", std::strerror(output.error()));
  return false;
}

bool begin_outputs(Run& run) {
  bool begun = true;
  for_each_open_output(run, [&](Output& output) {
    if (begun && !output.begin()) {
      begun = report_output_failure(run, output);
    }
  });
  run.begun = true;
  return begun;
}

bool flush_borrowed(Run& run) {
  bool flushed = true;
  for_each_open_output(run, [&](Output& output) {
    if (flushed && output.holds_borrowed() && !output.flush()) {
      flushed = report_output_failure(run, output);
    }
  });
  return flushed;
}

std::uint64_t bytes_taken(Run& run) {
  std::uint64_t taken = 0;
  for_each_open_output(run, [&](const Output& output) { taken += output.taken(); });
  return taken;
}

bool Session::written_before(dev_t device, ino_t inode) const {
  return written_.contains({device, inode});
}

void Session::remember_written(dev_t device, ino_t inode) { written_.emplace(device, inode); }

ExitStatus dump_descriptor(int fd, const std::string& path, const Settings& settings,
                           Session& session, std::FILE* diagnostics, std::size_t window_size) {
  Progress* progress = session.progress();
  Run run(fd, path, diagnostics, progress, window_size);
  if (progress != nullptr) {
    progress->set_size(run.window.known_size());
    run.window.observe(&observe_progress, progress);
  }
  const bool walked = read_header(run, progress) &&
                      open_outputs(run, fd, settings, session, progress) &&
                      (settings.rescue ? rescue(run) : read_index(run, progress) && walk(run));
  finish_outputs(run, walked, session);
  return run.report.finish();
}

ExitStatus dump(const std::string& path, const Settings& settings, Session& session) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Report report(path, stderr, session.progress());
    report.error(path, "cannot open: %s", std::strerror(errno));
    return report.finish();
  }
  const CloseDescriptor input(fd);
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    Report report(path, stderr, session.progress());
    report.error(path, "is a directory, not a kvxavc file");
    return report.finish();
  }
  return dump_descriptor(fd, path, settings, session);
}

}  // namespace orvale
