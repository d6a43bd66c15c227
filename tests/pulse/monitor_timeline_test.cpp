// Placing a monitor's frames in time from when its reads arrive.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/pulse/monitor_timeline.h"

using zt::platform::pulse::MonitorTimeline;

namespace {

// Reads of 30 ms blocks whose last frame was played at `played(k)`, each
// arriving 10 ms after that plus a delay of up to 25 ms that varies from
// read to read: the timeline places frames by the reads that came soonest.
TEST(MonitorTimeline, PlacesFramesByTheSoonestReads) {
  constexpr uint32_t kRate = 48000;
  constexpr size_t kBlock = 1440;
  const int64_t start = 5000000;
  MonitorTimeline timeline(kRate, 2);
  std::vector<float> block(kBlock * 2);
  uint64_t frames = 0;
  for (int k = 0; k < 40; ++k) {
    for (size_t i = 0; i < kBlock; ++i) block[2 * i] = block[2 * i + 1] = static_cast<float>(frames + i);
    frames += kBlock;
    const int64_t played = start + static_cast<int64_t>(frames * 1000000 / kRate);
    timeline.append(k % 7 == 3 ? nullptr : block.data(), kBlock, played + 10000 + (k * 7919) % 25000);
    EXPECT_EQ(timeline.timed(), k >= 5) << k;
  }
  // Frame f is placed at start + 10 ms + f / rate, to the frame.
  for (const uint64_t f : {0ull, 1000ull, 30000ull, 57599ull})
    EXPECT_NEAR(timeline.frameAt(start + 10000 + static_cast<int64_t>(f * 1000000 / kRate)), f, 1) << f;
  EXPECT_NEAR(timeline.timeOf(48000), start + 10000 + 1000000, 21);

  // Frames stay where they were read; a hole reads as silence.
  timeline.dropBefore(frames - 3 * kBlock);
  EXPECT_EQ(timeline.begin(), frames - 3 * kBlock);
  EXPECT_EQ(timeline.end(), frames);
  EXPECT_EQ(timeline.frame(frames - 1)[1], static_cast<float>(frames - 1));
  const uint64_t hole = 38 * kBlock;  // block 38 (k % 7 == 3) was a hole
  EXPECT_EQ(timeline.frame(hole + 5)[0], 0.0f);
  float two[4];
  timeline.copy(hole - 1, 2, two);
  EXPECT_EQ(two[0], static_cast<float>(hole - 1));
  EXPECT_EQ(two[2], 0.0f);

  // A steady stream keeps the last blocks while it runs on, well past the
  // room it first took: every frame stays whole and in order.
  std::vector<float> held(2 * kBlock * 2);
  for (int k = 0; k < 60; ++k) {
    for (size_t i = 0; i < kBlock; ++i) block[2 * i] = block[2 * i + 1] = static_cast<float>(frames + i);
    frames += kBlock;
    timeline.append(block.data(), kBlock, start + static_cast<int64_t>(frames * 1000000 / kRate) + 10000);
    timeline.dropBefore(frames - 2 * kBlock);
    timeline.copy(frames - 2 * kBlock, 2 * kBlock, held.data());
    for (size_t i = 0; i < 2 * kBlock; ++i)
      ASSERT_EQ(held[2 * i + 1], static_cast<float>(frames - 2 * kBlock + i)) << k << " " << i;
    ASSERT_EQ(timeline.frame(frames - kBlock - 1)[0], static_cast<float>(frames - kBlock - 1)) << k;
  }

  // Another source: no clock until it has seen enough reads again.
  timeline.resetClock();
  EXPECT_FALSE(timeline.timed());
}

}  // namespace
