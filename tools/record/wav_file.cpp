#include "wav_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <array>

namespace zt::record {

namespace {

constexpr size_t kHeaderBytes = 44;
constexpr off_t kRiffSizeAt = 4;
constexpr off_t kDataSizeAt = 40;
// The largest data size whose RIFF size (data + 36) still fits 32 bits.
constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - 36;

void put16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool pwriteAll(int fd, const uint8_t* data, size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

std::array<uint8_t, kHeaderBytes> header() {
  std::array<uint8_t, kHeaderBytes> h{};
  memcpy(&h[0], "RIFF", 4);
  put32(&h[4], 36);  // RIFF size with no data yet
  memcpy(&h[8], "WAVE", 4);
  memcpy(&h[12], "fmt ", 4);
  put32(&h[16], 16);                        // fmt chunk size
  put16(&h[20], 1);                         // PCM
  put16(&h[22], 1);                         // mono
  put32(&h[24], WavFile::kSampleRate);      // sample rate
  put32(&h[28], WavFile::kSampleRate * 2);  // byte rate
  put16(&h[32], 2);                         // block align
  put16(&h[34], 16);                        // bits per sample
  memcpy(&h[36], "data", 4);
  put32(&h[40], 0);
  return h;
}

}  // namespace

std::unique_ptr<WavFile> WavFile::create(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + strerror(errno);
    return nullptr;
  }
  const auto h = header();
  if (!pwriteAll(fd, h.data(), h.size(), 0)) {
    *error = "cannot write " + path + ": " + strerror(errno);
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<WavFile>(new WavFile(fd, path));
}

WavFile::~WavFile() { close(fd_); }

bool WavFile::append(const uint8_t* pcm, size_t bytes) {
  if (bytes == 0) return true;
  if (bytes % 2 != 0 || dataBytes_ + bytes > kMaxDataBytes) return false;
  // Samples first, sizes after: the header never claims bytes that are not
  // on disk yet, whenever the process is stopped.
  if (!pwriteAll(fd_, pcm, bytes, static_cast<off_t>(kHeaderBytes + dataBytes_))) return false;
  dataBytes_ += bytes;
  return writeSizes();
}

bool WavFile::writeSizes() {
  uint8_t size[4];
  put32(size, static_cast<uint32_t>(dataBytes_ + 36));
  if (!pwriteAll(fd_, size, 4, kRiffSizeAt)) return false;
  put32(size, static_cast<uint32_t>(dataBytes_));
  return pwriteAll(fd_, size, 4, kDataSizeAt);
}

}  // namespace zt::record
