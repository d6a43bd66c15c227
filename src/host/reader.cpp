#include "host/reader.h"

#include <nlohmann/json.hpp>

namespace zt {

bool isAllowedCommand(const std::string& word) {
  return word == "prepare" || word == "start" || word == "pause" || word == "resume" || word == "stop";
}

std::optional<std::string> parseCommandLine(const std::string& line) {
  // The JSON parser would stop at a NUL and take what came before it.
  if (line.find('\0') != std::string::npos) return std::nullopt;
  const nlohmann::json value = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded() || !value.is_object() || value.size() != 1) return std::nullopt;
  const auto it = value.find("command");
  if (it == value.end() || !it->is_string()) return std::nullopt;
  std::string word = it->get<std::string>();
  if (!isAllowedCommand(word)) return std::nullopt;
  return word;
}

void CommandReader::refuse() {
  closed_ = true;
  handlers_.refuse();
}

void CommandReader::feed(const char* data, size_t size) {
  for (size_t i = 0; i < size && !closed_; ++i) {
    const char byte = data[i];
    if (byte != '\n') {
      lineBuffer_.push_back(byte);
      // Refused at the first byte past the limit, without waiting for a line
      // feed that may never come.
      if (lineBuffer_.size() > kMaxCommandLineBytes) refuse();
      continue;
    }
    std::string line;
    line.swap(lineBuffer_);
    const std::optional<std::string> word = parseCommandLine(line);
    if (!word) {
      refuse();
      break;
    }
    handlers_.command(*word);
    if (*word == "stop") closed_ = true;
  }
}

void CommandReader::finish() {
  if (closed_) return;
  closed_ = true;
  if (!lineBuffer_.empty())
    handlers_.refuse();
  else
    handlers_.endOfInput();
}

void CommandReader::fail() {
  if (closed_) return;
  refuse();
}

}  // namespace zt
