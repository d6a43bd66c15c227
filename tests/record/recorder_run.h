// Runs zentrell-record as a person or a script would, and reads back what
// it wrote the way a strict player would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace zt::test::record {

using zt::test::ProgramRun;
using zt::test::runProgram;

// A fresh folder under /tmp, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& text, bool executable = false);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
// What `sox --i -D` reads as the duration; negative when sox cannot read it.
double soxDuration(const std::string& path);

struct Wav {
  uint16_t channels = 0;
  uint32_t sampleRate = 0;
  std::vector<int16_t> samples;
  double seconds() const { return sampleRate ? double(samples.size()) / sampleRate : 0; }
};

// A RIFF/WAVE file of 16-bit samples whose sizes agree with its length; an
// empty Wav and a test failure otherwise.
Wav readWav(const std::string& path);

}  // namespace zt::test::record
