#include "support/pipe_reader.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace zt::test {

std::chrono::milliseconds leftUntil(std::chrono::steady_clock::time_point deadline) {
  return std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                    deadline - std::chrono::steady_clock::now()));
}

std::optional<std::string> LineReader::next(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    if (eof_) return std::nullopt;
    const auto left = leftUntil(deadline);
    if (left.count() <= 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[65536];
    const ssize_t n = read(fd_, chunk, sizeof chunk);
    if (n > 0)
      buffer_.append(chunk, static_cast<size_t>(n));
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
      eof_ = true;
  }
}

std::vector<std::string> LineReader::rest(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::string> lines;
  while (auto line = next(leftUntil(deadline))) lines.push_back(std::move(*line));
  return lines;
}

}  // namespace zt::test
