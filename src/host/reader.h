// Line assembly and checking of host commands, apart from any descriptor so
// that it can be fed bytes directly.
//
// Main queue only (the helper feeds it from the read source's handler).
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace zt {

inline constexpr size_t kMaxCommandLineBytes = 4096;
inline constexpr size_t kReadChunkBytes = 4096;

// True for one of the five command words.
bool isAllowedCommand(const std::string& word);

// The command word of one line, or nothing when the line is not a JSON
// object with exactly one entry, "command", holding an allowed word.
std::optional<std::string> parseCommandLine(const std::string& line);

class CommandReader {
 public:
  struct Handlers {
    std::function<void(const std::string& word)> command;  // each valid line, in order
    std::function<void()> refuse;                          // a refused line or a broken input
    std::function<void()> endOfInput;                      // input ended between lines
  };

  explicit CommandReader(Handlers handlers) : handlers_(std::move(handlers)) {}

  // Scans one read's bytes. Bytes after the point where the reader closes
  // are dropped.
  void feed(const char* data, size_t size);
  // The input ended: a pending partial line is refused, else the end is
  // reported.
  void finish();
  // A read failed for good.
  void fail();
  // Closes without a report (a signal arrived).
  void close() { closed_ = true; }

  bool closed() const { return closed_; }

 private:
  void refuse();

  Handlers handlers_;
  std::string lineBuffer_;
  bool closed_ = false;
};

}  // namespace zt
