#include "record/recorder_run.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace zt::test::record {

TempDir::TempDir() {
  char templ[] = "/tmp/zt-record-XXXXXX";
  if (mkdtemp(templ)) path_ = templ;
}

TempDir::~TempDir() {
  if (!path_.empty()) runProgram("/bin/rm", {"-rf", path_});
}

void writeFile(const std::string& path, const std::string& text, bool executable) {
  std::ofstream(path, std::ios::binary) << text;
  if (executable) chmod(path.c_str(), 0755);
}

std::string readFile(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

double soxDuration(const std::string& path) {
  const ProgramRun run = runProgram("/usr/bin/env", {"sox", "--i", "-D", path}, {}, std::chrono::seconds(30));
  return run.status == 0 ? atof(run.out.c_str()) : -1;
}

namespace {

uint32_t le(const std::string& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | uint8_t(b[at + i]);
  return v;
}

}  // namespace

Wav readWav(const std::string& path) {
  const std::string b = readFile(path);
  Wav wav;
  // The canonical 44-byte header, with sizes that agree with the length.
  if (b.size() < 44 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 8, "WAVEfmt ") != 0 ||
      b.compare(36, 4, "data") != 0 || le(b, 20, 2) != 1 || le(b, 34, 2) != 16 ||
      le(b, 4, 4) + 8ull != b.size() || le(b, 40, 4) + 44ull != b.size()) {
    ADD_FAILURE() << path << " is not a complete 16-bit PCM WAVE file (" << b.size() << " bytes)";
    return wav;
  }
  wav.channels = le(b, 22, 2), wav.sampleRate = le(b, 24, 4);
  for (size_t i = 44; i + 1 < b.size(); i += 2) wav.samples.push_back(int16_t(le(b, i, 2)));
  return wav;
}

}  // namespace zt::test::record
