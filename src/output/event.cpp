#include "output/event.h"

#include <cstdint>

namespace zt {
namespace {

bool isValidUtf8(const std::string& s) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const auto c = static_cast<uint8_t>(s[i]);
    size_t extra;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= n) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto cc = static_cast<uint8_t>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += extra + 1;
  }
  return true;
}

bool needsEscape(uint8_t c) { return c < 0x20 || c == '"' || c == '\\'; }

void appendString(std::string& out, const std::string& s) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('"');
  size_t run = 0;  // start of the current run of bytes that need no escape
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<uint8_t>(s[i]);
    if (!needsEscape(c)) continue;
    // Audio payloads are long runs of plain characters: copy runs whole.
    out.append(s, run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(s, run, s.size() - run);
  out.push_back('"');
}

}  // namespace

std::optional<std::string> serializeEvent(const Event& event) {
  size_t estimate = 2;
  for (const auto& [key, value] : event) {
    if (!isValidUtf8(key) || !isValidUtf8(value)) return std::nullopt;
    estimate += key.size() + value.size() + 6;
  }
  std::string out;
  out.reserve(estimate);
  out.push_back('{');
  bool first = true;
  for (const auto& [key, value] : event) {
    if (!first) out.push_back(',');
    first = false;
    appendString(out, key);
    out.push_back(':');
    appendString(out, value);
  }
  out.push_back('}');
  return out;
}

}  // namespace zt
