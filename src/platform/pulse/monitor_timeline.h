// The audio a record stream on a monitor has read, frame by frame, with the
// time each frame was played: what lets the recording go over from one
// output's monitor to another's without losing or repeating audio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zt::platform::pulse {

class MonitorTimeline {
 public:
  MonitorTimeline(uint32_t rate, uint32_t channels) : rate_(rate), channels_(channels) {}

  // Appends `frames` interleaved frames (silence when `data` is null) read
  // at `arrivalUsec` on the loop's clock.
  void append(const float* data, size_t frames, int64_t arrivalUsec);
  // Forgets the clock (the stream now reads another source); the frames
  // stay.
  void resetClock();
  // Frames before `frame` are no longer needed.
  void dropBefore(uint64_t frame);

  // Read frames are numbered from 0; the timeline holds [begin, end).
  uint64_t begin() const { return begin_; }
  uint64_t end() const { return begin_ + count_; }
  const float* frame(uint64_t index) const { return &ring_[slot(index) * channels_]; }
  // Copies [from, from + frames) into `out` (interleaved), all inside the
  // timeline.
  void copy(uint64_t from, size_t frames, float* out) const;

  // Whether the clock has seen enough reads to place frames in time.
  bool timed() const;
  // The frame played at `usec`, and the time a frame was played, on the
  // loop's clock (both are as early as the server's handing over allows).
  int64_t frameAt(int64_t usec) const;
  int64_t timeOf(uint64_t frame) const;

 private:
  int64_t offset() const;
  size_t capacity() const { return ring_.size() / channels_; }
  // Where frame `index` (inside the timeline) sits in the ring.
  size_t slot(uint64_t index) const { return (head_ + static_cast<size_t>(index - begin_)) % capacity(); }
  void grow(size_t frames);

  uint32_t rate_;
  uint32_t channels_;
  // The frames, whole frames to a slot, in a ring that grows only when
  // they outgrow it: a stream appends and drops about a fragment per read,
  // and a ring does that without allocating or moving anything.
  std::vector<float> ring_;
  size_t head_ = 0;   // the slot of `begin_`
  size_t count_ = 0;  // frames held
  uint64_t begin_ = 0;
  // A server hands a monitor's audio over some time after it was played,
  // by an amount that varies from read to read with how its blocks fall;
  // the least (arrival - played frames) seen is the steadiest anchor. Two
  // windows of a second each let the anchor follow a stream that lost
  // audio or drifts.
  int64_t windowStart_ = 0;
  int64_t least_ = INT64_MAX;
  int64_t leastBefore_ = INT64_MAX;
  int reads_ = 0;
};

}  // namespace zt::platform::pulse
