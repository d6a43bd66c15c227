#include "wav_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sndfile.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <vector>

namespace zt::record {

namespace {

// The most samples whose RIFF size (44-byte header + data - 8) still fits
// 32 bits.
constexpr uint64_t kMaxSamples = (0xFFFFFFFFull - 36) / 2;

// Renames without ever replacing a file: renameat2 where the file system
// has it, a hard link otherwise.
bool renameNoReplace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (link(from, to) != 0) return false;
  unlink(from);
  return true;
}

}  // namespace

std::string WavFile::partialPath(const std::string& path) {
  const std::string suffix = ".wav";
  const bool wav =
      path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
  return (wav ? path.substr(0, path.size() - suffix.size()) : path) + ".partial.wav";
}

std::unique_ptr<WavFile> WavFile::create(const std::string& path, bool replace, std::string* error) {
  const std::string partial = partialPath(path);
  const int fd = open(partial.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL), 0644);
  if (fd < 0) {
    *error = "cannot create " + partial + ": " + strerror(errno);
    return nullptr;
  }
  SF_INFO info{};
  info.samplerate = kSampleRate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  // libsndfile owns the descriptor from here, and closes it on failure too.
  SNDFILE* file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
  if (!file) {
    *error = "cannot write " + partial + ": " + sf_strerror(nullptr);
    unlink(partial.c_str());
    return nullptr;
  }
  // Samples first, header after, on every write: the header never claims
  // samples that are not on disk yet, whenever the process is stopped.
  sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
  sf_command(file, SFC_UPDATE_HEADER_NOW, nullptr, 0);
  return std::unique_ptr<WavFile>(new WavFile(file, path));
}

WavFile::~WavFile() { close(); }

void WavFile::close() {
  if (file_) sf_close(file_);
  file_ = nullptr;
}

bool WavFile::append(const uint8_t* pcm, size_t bytes) {
  if (bytes == 0) return true;
  const size_t count = bytes / 2;
  if (!file_ || bytes % 2 != 0 || samples_ + count > kMaxSamples) return false;
  std::vector<short> samples(count);
  for (size_t i = 0; i < count; ++i)
    samples[i] = static_cast<short>(static_cast<uint16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8)));
  errno = 0;
  if (sf_write_short(file_, samples.data(), static_cast<sf_count_t>(count)) != static_cast<sf_count_t>(count))
    return false;
  samples_ += count;
  return true;
}

bool WavFile::complete(bool replace, std::string* error) {
  close();
  const std::string partial = partialPath(path_);
  const bool renamed =
      replace ? rename(partial.c_str(), path_.c_str()) == 0 : renameNoReplace(partial.c_str(), path_.c_str());
  if (!renamed) *error = "cannot rename " + partial + " to " + path_ + ": " + strerror(errno);
  return renamed;
}

void WavFile::discard() {
  close();
  unlink(partialPath(path_).c_str());
}

}  // namespace zt::record
