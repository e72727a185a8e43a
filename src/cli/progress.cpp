#include "cli/progress.h"

#include <algorithm>

#include "cli/text.h"
#include "outputs/interrupt.h"

namespace orvale {
namespace {

constexpr auto kQuietStart = std::chrono::seconds(1);
constexpr auto kRedrawEvery = std::chrono::milliseconds(250);
constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kGiB = kMiB * 1024.0;
constexpr double kGiBFrom = 10 * kGiB;

}  // namespace

// The quiet start counts from the invocation's start, not each input's: a
// batch of short inputs that lasts minutes still shows where it is.
Progress::Progress(std::FILE* sink, bool enabled, bool escapes)
    : sink_(sink), enabled_(enabled), escapes_(escapes), started_(Clock::now()) {}

void Progress::start_input(const std::string& name, std::size_t number, std::size_t count) {
  name_ = name;
  size_.reset();
  number_ = number;
  count_ = count;
  input_started_ = Clock::now();
  // A new input is drawn at its first read, however recent the last line.
  drawn_ = {};
}

void Progress::update(std::uint64_t offset) {
  if (!enabled_) {
    return;
  }
  const auto now = Clock::now();
  if (now - started_ < kQuietStart || (shown_ && now - drawn_ < kRedrawEvery)) {
    return;
  }
  draw(offset, now);
}

void Progress::draw(std::uint64_t offset, Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - input_started_).count();
  const double rate = seconds > 0 ? static_cast<double>(offset) / kMiB / seconds : 0.0;
  std::string line = formatted("orvale: %s", name_.c_str());
  if (count_ > 1) {
    line += formatted(" (%zu/%zu)", number_, count_);
  }
  if (size_ && *size_ > 0) {
    const double share = 100.0 * static_cast<double>(offset) / static_cast<double>(*size_);
    const auto size = static_cast<double>(*size_);
    // Tenths of a GiB are too coarse for the recordings most people have.
    const bool in_gib = size >= kGiBFrom;
    line += formatted(": %.0f%% of %.1f %s", share > 100.0 ? 100.0 : share,
                      size / (in_gib ? kGiB : kMiB), in_gib ? "GiB" : "MiB");
  } else {
    line += formatted(": %.1f MiB read", static_cast<double>(offset) / kMiB);
  }
  line += formatted(", %.0f MiB/s", rate);
  show(line);
  drawn_ = now;
}

// The previous text may have been longer: it is erased to the end of the
// line, or covered with spaces.
void Progress::show(const std::string& line) {
  const StderrInUse in_use;
  std::string text = "\r" + line;
  if (escapes_) {
    text += "\033[K";
  } else if (line.size() < width_) {
    text.append(width_ - line.size(), ' ');
    text += line.empty() ? "\r" : "";
  }
  width_ = line.empty() ? 0 : std::max(width_, line.size());
  std::fputs(text.c_str(), sink_);
  std::fflush(sink_);
  shown_ = !line.empty();
}

void Progress::clear() {
  if (shown_) {
    show("");
  }
}

}  // namespace orvale
