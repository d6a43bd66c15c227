#include "audio/event_lines.h"

namespace zt::test {
namespace {

bool readString(const std::string& s, size_t& i, std::string& out) {
  if (i >= s.size() || s[i] != '"') return false;
  ++i;
  out.clear();
  while (i < s.size()) {
    const char c = s[i++];
    if (c == '"') return true;
    if (static_cast<unsigned char>(c) < 0x20) return false;
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (i >= s.size()) return false;
    const char e = s[i++];
    switch (e) {
      case '"':
        out.push_back('"');
        break;
      case '\\':
        out.push_back('\\');
        break;
      case '/':
        out.push_back('/');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'b':
        out.push_back('\b');
        break;
      case 'f':
        out.push_back('\f');
        break;
      default:
        return false;  // \u escapes never occur in these tests' events
    }
  }
  return false;
}

}  // namespace

std::optional<std::map<std::string, std::string>> parseFlatObject(const std::string& line) {
  std::map<std::string, std::string> object;
  size_t i = 0;
  if (line.empty() || line[i++] != '{') return std::nullopt;
  if (i < line.size() && line[i] == '}') return i + 1 == line.size() ? std::optional(object) : std::nullopt;
  for (;;) {
    std::string key;
    std::string value;
    if (!readString(line, i, key)) return std::nullopt;
    if (i >= line.size() || line[i++] != ':') return std::nullopt;
    if (!readString(line, i, value)) return std::nullopt;
    if (!object.emplace(key, value).second) return std::nullopt;
    if (i >= line.size()) return std::nullopt;
    const char next = line[i++];
    if (next == '}') return i == line.size() ? std::optional(object) : std::nullopt;
    if (next != ',') return std::nullopt;
  }
}

}  // namespace zt::test
