#include "platform/pulse/monitor_timeline.h"

#include <algorithm>

namespace zt::platform::pulse {

namespace {
constexpr int64_t kWindowUsec = 1000000;
// A handful of reads: the least arrival among them has met one of the
// server's blocks at its start.
constexpr int kReadsToTime = 6;
}  // namespace

void MonitorTimeline::append(const float* data, size_t frames, int64_t arrivalUsec) {
  if (frames == 0) return;
  const size_t samples = frames * channels_;
  if (data)
    samples_.insert(samples_.end(), data, data + samples);
  else
    samples_.resize(samples_.size() + samples, 0.0f);
  if (arrivalUsec - windowStart_ >= kWindowUsec) {
    leastBefore_ = least_;
    least_ = INT64_MAX;
    windowStart_ = arrivalUsec;
  }
  const int64_t played = static_cast<int64_t>(end() * 1000000 / rate_);
  least_ = std::min(least_, arrivalUsec - played);
  ++reads_;
}

void MonitorTimeline::resetClock() {
  least_ = leastBefore_ = INT64_MAX;
  windowStart_ = 0;
  reads_ = 0;
}

void MonitorTimeline::dropBefore(uint64_t frame) {
  if (frame <= begin_) return;
  const uint64_t drop = std::min(frame, end()) - begin_;
  samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(drop * channels_));
  begin_ += drop;
}

void MonitorTimeline::copy(uint64_t from, size_t frames, float* out) const {
  const auto first = samples_.begin() + static_cast<std::ptrdiff_t>((from - begin_) * channels_);
  std::copy(first, first + static_cast<std::ptrdiff_t>(frames * channels_), out);
}

bool MonitorTimeline::timed() const { return reads_ >= kReadsToTime; }

int64_t MonitorTimeline::offset() const { return std::min(least_, leastBefore_); }

int64_t MonitorTimeline::frameAt(int64_t usec) const {
  const int64_t since = usec - offset();
  // Rounded to the nearest frame either side of the anchor.
  return (since * rate_ + (since >= 0 ? 500000 : -500000)) / 1000000;
}

int64_t MonitorTimeline::timeOf(uint64_t frame) const {
  return offset() + static_cast<int64_t>(frame * 1000000 / rate_);
}

}  // namespace zt::platform::pulse
