#include "mux/plan.h"

#include <algorithm>
#include <numeric>

namespace orvale {
namespace {

// Where each picture written stands in the timeline, which also holds the
// pictures of lost packets; with the audio clock's intervals for every
// timeline picture after the first, and the samples each lost run fills.
struct Slots {
  std::vector<std::uint64_t> of_picture;  // timeline place of each picture written
  std::vector<std::size_t> packet_of_picture;
  std::vector<ClockInterval> intervals;
  std::uint64_t count = 0;
};

// A lost packet is taken to have held a picture and the audio an average
// packet holds.
Slots lay_out(const RecordingClock& clock, std::uint32_t frame_samples, TimingPlan& plan) {
  Slots slots;
  const auto& packets = clock.packets;
  const std::uint64_t total_samples = std::accumulate(
      packets.begin(), packets.end(), std::uint64_t{0},
      [](std::uint64_t sum, const PacketClock& packet) { return sum + packet.samples; });
  const std::uint64_t average = packets.empty() ? 0 : total_samples / packets.size();
  std::int64_t samples = 0;
  std::int64_t gap_samples = 0;
  const auto add_slot = [&] {
    if (slots.count > 0) {
      slots.intervals.push_back({samples - frame_samples, samples});
    }
    ++slots.count;
  };
  for (std::size_t i = 0; i < packets.size(); ++i) {
    const PacketClock& packet = packets[i];
    if (i > 0 && packet.number > packets[i - 1].number + 1) {
      const std::uint64_t lost = packet.number - packets[i - 1].number - 1;
      plan.lost += lost;
      for (std::uint64_t k = 0; k < lost; ++k) {
        add_slot();
        samples += static_cast<std::int64_t>(average);
        gap_samples += static_cast<std::int64_t>(average);
      }
    }
    plan.packets[i].audio_gap = gap_samples;
    if (packet.picture) {
      slots.of_picture.push_back(slots.count);
      slots.packet_of_picture.push_back(i);
      add_slot();
    }
    samples += packet.samples;
  }
  return slots;
}

// The k-th picture of a run between IDR pictures, in decode order, is shown
// as the run's rank(k)-th: ranks of the picture order counts.
std::vector<std::uint64_t> display_places(const RecordingClock& clock, const Slots& slots) {
  const std::size_t pictures = slots.packet_of_picture.size();
  std::vector<std::uint64_t> place(pictures);
  std::size_t begin = 0;
  while (begin < pictures) {
    std::size_t end = begin + 1;
    while (end < pictures && !clock.packets[slots.packet_of_picture[end]].idr) {
      ++end;
    }
    std::vector<std::size_t> by_order(end - begin);
    std::iota(by_order.begin(), by_order.end(), begin);
    std::stable_sort(by_order.begin(), by_order.end(), [&](std::size_t a, std::size_t b) {
      return clock.packets[slots.packet_of_picture[a]].order <
             clock.packets[slots.packet_of_picture[b]].order;
    });
    for (std::size_t rank = 0; rank < by_order.size(); ++rank) {
      place[by_order[rank]] = begin + rank;
    }
    begin = end;
  }
  return place;
}

Timeline fit(const RecordingClock& clock, const Slots& slots, std::uint32_t sample_rate,
             std::optional<Rate> forced, TimingPlan& plan) {
  if (forced) {
    plan.source = TimingSource::forced;
    return constant_timeline(slots.count, *forced);
  }
  const bool clocked =
      sample_rate > 0 && std::any_of(clock.packets.begin(), clock.packets.end(),
                                     [](const PacketClock& packet) { return packet.samples > 0; });
  if (clocked) {
    plan.source = TimingSource::audio_clock;
    return fit_timeline(slots.intervals, sample_rate, clock.stream_rate);
  }
  if (clock.stream_rate && usable_rate(*clock.stream_rate)) {
    plan.source = TimingSource::stream_rate;
    return constant_timeline(slots.count, *clock.stream_rate);
  }
  plan.source = TimingSource::fallback_rate;
  return constant_timeline(slots.count, kFallbackRate);
}

}  // namespace

TimingPlan plan_times(const RecordingClock& clock, std::uint32_t sample_rate,
                      std::uint32_t frame_samples, std::optional<Rate> forced) {
  TimingPlan plan;
  plan.packets.resize(clock.packets.size());
  const Slots slots = lay_out(clock, frame_samples, plan);
  plan.slots = slots.count;
  plan.timeline = fit(clock, slots, sample_rate, forced, plan);
  const std::size_t pictures = slots.of_picture.size();
  if (pictures == 0) {
    return plan;
  }
  const std::vector<std::int64_t> ticks = picture_ticks(plan.timeline, slots.count + 1);
  const std::vector<std::uint64_t> place = display_places(clock, slots);
  // Decode times run behind the presentation times by as many pictures as
  // the stream reorders, so that none is decoded after it is shown.
  std::uint64_t depth = 0;
  for (std::size_t k = 0; k < pictures; ++k) {
    depth = std::max<std::uint64_t>(depth, k > place[k] ? k - place[k] : 0);
  }
  const std::int64_t first_step = ticks[1] - ticks[0];
  const auto decode_time = [&](std::size_t k) {
    return k >= depth ? ticks[slots.of_picture[k - depth]]
                      : ticks[0] - static_cast<std::int64_t>(depth - k) * first_step;
  };
  for (std::size_t k = 0; k < pictures; ++k) {
    const std::uint64_t slot = slots.of_picture[place[k]];
    PacketTimes& times = plan.packets[slots.packet_of_picture[k]];
    times.picture = true;
    times.pts = ticks[slot];
    times.dts = decode_time(k);
    times.duration = ticks[slot + 1] - ticks[slot];
  }
  return plan;
}

TimingPlan plan_recording(const RecordingClock& clock, const FileHeader& header,
                          std::optional<Rate> forced) {
  constexpr std::uint32_t kAacSamples = 1024;
  const bool aac = header.is_aac();
  std::uint32_t sample_rate = 0;
  if (header.audio_stream_count > 0) {
    sample_rate = aac ? header.audio_rate : clock.audio[0].mp3_rate;
  }
  const std::uint32_t frame_samples = aac ? kAacSamples : clock.audio[0].mp3_samples;
  return plan_times(clock, sample_rate, frame_samples, forced);
}

double video_seconds(const TimingPlan& plan) {
  if (plan.slots == 0) {
    return 0;
  }
  const std::vector<std::int64_t> ticks = picture_ticks(plan.timeline, plan.slots + 1);
  return static_cast<double>(ticks[plan.slots]) / static_cast<double>(kTicksPerSecond);
}

}  // namespace orvale
