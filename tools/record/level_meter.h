// Peak level of one source, in dBFS (0 dBFS is a full-scale sample).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt::record {

class LevelMeter {
 public:
  // Little-endian 16-bit samples.
  void add(const uint8_t* pcm, size_t bytes);
  // The peak since the last call (the display's refresh period), in dBFS.
  double takeWindowPeakDb();
  // The peak of the whole recording, in dBFS.
  double overallPeakDb() const;

  // -infinity for silence.
  static double toDb(int peak);

 private:
  int window_ = 0;
  int overall_ = 0;
};

}  // namespace zt::record
