// A 16 kHz mono 16-bit PCM WAV file, written through libsndfile under a
// temporary name ("system.partial.wav" for "system.wav") and given its name
// only when complete. The header is brought up to date after every append,
// so a recording cut short, even by SIGKILL, is still a playable file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

typedef struct sf_private_tag SNDFILE;

namespace zt::record {

class WavFile {
 public:
  static constexpr uint32_t kSampleRate = 16000;

  // "DIR/system.partial.wav" for "DIR/system.wav".
  static std::string partialPath(const std::string& path);

  // Creates the partial file of `path`. An existing partial file is
  // replaced only when `replace` is set; otherwise nothing is created, with
  // the reason in `error`.
  static std::unique_ptr<WavFile> create(const std::string& path, bool replace, std::string* error);
  // Closes the file and leaves the partial file as it is.
  ~WavFile();
  WavFile(const WavFile&) = delete;
  WavFile& operator=(const WavFile&) = delete;

  // Appends little-endian 16-bit samples (an even number of bytes), then
  // updates the header. False when the disk refuses or the file would
  // pass the 4 GiB that WAV sizes can express.
  bool append(const uint8_t* pcm, size_t bytes);
  uint64_t samples() const { return samples_; }
  // The name the complete file gets.
  const std::string& path() const { return path_; }

  // Closes the file and renames it to path(); an existing file there is
  // replaced only when `replace` is set. False, with the reason in `error`,
  // when it keeps its partial name.
  bool complete(bool replace, std::string* error);
  // Closes and deletes the partial file.
  void discard();

 private:
  WavFile(SNDFILE* file, std::string path) : file_(file), path_(std::move(path)) {}
  void close();

  SNDFILE* file_;
  std::string path_;
  uint64_t samples_ = 0;
};

}  // namespace zt::record
