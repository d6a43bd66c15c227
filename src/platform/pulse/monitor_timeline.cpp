#include "platform/pulse/monitor_timeline.h"

#include <algorithm>
#include <cstring>

namespace zt::platform::pulse {

namespace {
constexpr int64_t kWindowUsec = 1000000;
// A handful of reads: the least arrival among them has met one of the
// server's blocks at its start.
constexpr int kReadsToTime = 6;
}  // namespace

// Room for `frames` frames in all, with an eighth to spare so that the
// usual swing of a read or two does not grow it again; the frames held keep
// their order from slot 0.
void MonitorTimeline::grow(size_t frames) {
  const size_t held = count_;
  std::vector<float> ring((frames + frames / 8) * channels_);
  if (held > 0) copy(begin_, held, ring.data());
  ring_ = std::move(ring);
  head_ = 0;
}

void MonitorTimeline::append(const float* data, size_t frames, int64_t arrivalUsec) {
  if (frames == 0) return;
  if (count_ + frames > capacity()) grow(count_ + frames);
  // At most two runs: up to the ring's end, then from its start.
  size_t done = 0;
  while (done < frames) {
    const size_t at = (head_ + count_) % capacity();
    const size_t run = std::min(frames - done, capacity() - at);
    float* out = &ring_[at * channels_];
    if (data)
      std::memcpy(out, data + done * channels_, run * channels_ * sizeof(float));
    else
      std::memset(out, 0, run * channels_ * sizeof(float));
    count_ += run;
    done += run;
  }
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
  if (drop == 0) return;
  head_ = drop == count_ ? 0 : slot(begin_ + drop);
  count_ -= static_cast<size_t>(drop);
  begin_ += drop;
}

void MonitorTimeline::copy(uint64_t from, size_t frames, float* out) const {
  size_t done = 0;
  while (done < frames) {
    const size_t at = slot(from + done);
    const size_t run = std::min(frames - done, capacity() - at);
    std::memcpy(out + done * channels_, &ring_[at * channels_], run * channels_ * sizeof(float));
    done += run;
  }
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
