#include "level_meter.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace zt::record {

void LevelMeter::add(const uint8_t* pcm, size_t bytes) {
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    const int sample = static_cast<int16_t>(pcm[i] | (pcm[i + 1] << 8));
    const int magnitude = std::abs(sample);  // -32768 gives 32768: full scale
    if (magnitude > window_) window_ = magnitude;
  }
  if (window_ > overall_) overall_ = window_;
}

double LevelMeter::takeWindowPeakDb() {
  const double db = toDb(window_);
  window_ = 0;
  return db;
}

double LevelMeter::overallPeakDb() const { return toDb(overall_); }

double LevelMeter::toDb(int peak) {
  if (peak <= 0) return -std::numeric_limits<double>::infinity();
  return 20.0 * std::log10(peak / 32768.0);
}

}  // namespace zt::record
