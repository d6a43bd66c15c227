// Reads newline-ended lines from a descriptor with a deadline.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zt::test {

// What is left of the time until `deadline`, never negative.
std::chrono::milliseconds leftUntil(std::chrono::steady_clock::time_point deadline);

class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // The next whole line, or nothing at the deadline or the end of input.
  std::optional<std::string> next(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Every line until the end of input (or the deadline).
  std::vector<std::string> rest(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Bytes received after the last newline.
  const std::string& partial() const { return buffer_; }

 private:
  int fd_;
  std::string buffer_;
  bool eof_ = false;
};

}  // namespace zt::test
