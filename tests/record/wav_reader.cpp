#include "record/wav_reader.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace zt::test::record {

namespace {

uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

double level(const std::vector<float>& x, double frequency, double rate) {
  double re = 0, im = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double phase = 2 * M_PI * frequency * i / rate;
    re += x[i] * std::cos(phase);
    im -= x[i] * std::sin(phase);
  }
  return std::sqrt(re * re + im * im);
}

}  // namespace

std::optional<Wav> readWav(const std::string& path, std::string* error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    *error = "cannot open " + path;
    return std::nullopt;
  }
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  Wav wav;
  wav.fileSize = bytes.size();
  if (bytes.size() < 44 || memcmp(&bytes[0], "RIFF", 4) != 0 || memcmp(&bytes[8], "WAVE", 4) != 0) {
    *error = "not a RIFF/WAVE file";
    return std::nullopt;
  }
  wav.riffSize = le32(&bytes[4]);
  if (uint64_t(wav.riffSize) + 8 != bytes.size()) {
    *error = "RIFF size " + std::to_string(wav.riffSize) + " does not match the file length " +
             std::to_string(bytes.size());
    return std::nullopt;
  }
  bool haveFormat = false;
  for (size_t at = 12; at + 8 <= bytes.size();) {
    const uint32_t size = le32(&bytes[at + 4]);
    if (at + 8 + size > bytes.size()) {
      *error = "a chunk runs past the end of the file";
      return std::nullopt;
    }
    if (memcmp(&bytes[at], "fmt ", 4) == 0 && size >= 16) {
      wav.format = le16(&bytes[at + 8]);
      wav.channels = le16(&bytes[at + 10]);
      wav.sampleRate = le32(&bytes[at + 12]);
      wav.bitsPerSample = le16(&bytes[at + 22]);
      haveFormat = true;
    } else if (memcmp(&bytes[at], "data", 4) == 0) {
      if (!haveFormat || wav.bitsPerSample != 16) {
        *error = "data before a 16-bit format chunk";
        return std::nullopt;
      }
      wav.dataSize = size;
      for (size_t i = 0; i + 1 < size; i += 2)
        wav.samples.push_back(static_cast<int16_t>(le16(&bytes[at + 8 + i])) / 32768.0f);
      return wav;
    }
    at += 8 + size + (size & 1);
  }
  *error = "no data chunk";
  return std::nullopt;
}

double dominantFrequency(const std::vector<float>& x, double rate) {
  double best = 0, bestLevel = -1;
  for (double f = 50; f <= 7950; f += 10) {
    const double l = level(x, f, rate);
    if (l > bestLevel) {
      bestLevel = l;
      best = f;
    }
  }
  return best;
}

}  // namespace zt::test::record
