// Runs zentrell-record and reads back what it wrote as a strict player would.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "support/child_process.h"

namespace zt::test::record {

using std::filesystem::exists;
using zt::test::ProgramRun;
using zt::test::runProgram;

// A fresh folder under /tmp, removed with the object.
struct TempDir {
  TempDir() { mkdtemp(path.data()); }
  ~TempDir() { runProgram("/bin/rm", {"-rf", path}); }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path = "/tmp/zt-record-XXXXXX";
};

inline void writeFile(const std::string& path, const std::string& text, bool executable = false) {
  std::ofstream(path, std::ios::binary) << text;
  if (executable) chmod(path.c_str(), 0755);
}

inline std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// What `sox --i -D` reads as the duration; negative when sox cannot read it.
inline double soxDuration(const std::string& path) {
  const ProgramRun run = runProgram("/usr/bin/env", {"sox", "--i", "-D", path}, {}, std::chrono::seconds(30));
  return run.status == 0 ? atof(run.out.c_str()) : -1;
}

// The samples of a file with the canonical 44-byte header of 16 kHz mono
// 16-bit PCM whose sizes agree with its length; else none and a failure.
inline std::vector<int16_t> readWav(const std::string& path) {
  const std::string b = readFile(path);
  const auto le = [&b](size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | uint8_t(b[at + i]);
    return v;
  };
  std::vector<int16_t> samples;
  if (b.size() < 44 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 8, "WAVEfmt ") != 0 ||
      b.compare(36, 4, "data") != 0 || le(20, 2) != 1 || le(22, 2) != 1 || le(24, 4) != 16000 ||
      le(34, 2) != 16 || le(4, 4) + 8ull != b.size() || le(40, 4) + 44ull != b.size()) {
    ADD_FAILURE() << path << " is not a complete 16 kHz mono 16-bit PCM WAVE file (" << b.size() << " bytes)";
    return samples;
  }
  for (size_t i = 44; i + 1 < b.size(); i += 2) samples.push_back(int16_t(le(i, 2)));
  return samples;
}

inline double wavSeconds(const std::string& path) { return readWav(path).size() / 16000.0; }

}  // namespace zt::test::record
