// A 16 kHz mono 16-bit PCM WAV file that is valid at every moment: the
// header is written first and its two size fields are rewritten after every
// append, so a recording cut short (even by SIGKILL) is still playable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zt::record {

class WavFile {
 public:
  static constexpr uint32_t kSampleRate = 16000;

  // Creates (or empties) `path`; nothing with the reason in `error`.
  static std::unique_ptr<WavFile> create(const std::string& path, std::string* error);
  ~WavFile();
  WavFile(const WavFile&) = delete;
  WavFile& operator=(const WavFile&) = delete;

  // Appends little-endian 16-bit samples (an even number of bytes), then
  // updates the header. False when the disk refuses or the file would
  // pass the 4 GiB that WAV sizes can express.
  bool append(const uint8_t* pcm, size_t bytes);
  uint64_t samples() const { return dataBytes_ / 2; }
  const std::string& path() const { return path_; }

 private:
  WavFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  bool writeSizes();

  int fd_;
  std::string path_;
  uint64_t dataBytes_ = 0;
};

}  // namespace zt::record
