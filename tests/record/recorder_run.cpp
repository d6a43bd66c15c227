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

std::string parseWav(const std::string& b, Wav* wav) {
  if (b.size() < 44 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0) return "not RIFF/WAVE";
  if (le(b, 4, 4) + 8ull != b.size())
    return "the RIFF size does not match the length " + std::to_string(b.size());
  for (size_t at = 12; at + 8 <= b.size();) {
    const uint32_t size = le(b, at + 4, 4);
    if (at + 8 + size > b.size()) return "a chunk runs past the end";
    if (b.compare(at, 4, "fmt ") == 0 && size >= 16) {
      if (le(b, at + 8, 2) != 1 || le(b, at + 22, 2) != 16) return "not 16-bit PCM";
      wav->channels = le(b, at + 10, 2), wav->sampleRate = le(b, at + 12, 4);
    } else if (b.compare(at, 4, "data") == 0) {
      if (!wav->sampleRate) return "data before the format chunk";
      for (size_t i = 0; i + 1 < size; i += 2) wav->samples.push_back(int16_t(le(b, at + 8 + i, 2)));
      return "";
    }
    at += 8 + size + (size & 1);
  }
  return "no data chunk";
}

}  // namespace

Wav readWav(const std::string& path) {
  Wav wav;
  const std::string error = parseWav(readFile(path), &wav);
  if (error.empty()) return wav;
  ADD_FAILURE() << path << ": " << error;
  return {};
}

}  // namespace zt::test::record
