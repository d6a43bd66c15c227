#include "support/base64_decode.h"

namespace zt::test {
namespace {

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::optional<std::vector<uint8_t>> base64Decode(const std::string& text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int pads = 0;
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=') {
        // Padding only at the end of the last group, and at most two.
        if (!last || k < 2) return std::nullopt;
        ++pads;
        v <<= 6;
        continue;
      }
      if (pads > 0) return std::nullopt;
      const int s = sextet(c);
      if (s < 0) return std::nullopt;
      v = (v << 6) | static_cast<uint32_t>(s);
    }
    out.push_back(static_cast<uint8_t>(v >> 16));
    if (pads < 2) out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    if (pads < 1) out.push_back(static_cast<uint8_t>(v & 0xFF));
    // Canonical form: bits under the padding are zero.
    if (pads == 1 && (v & 0xFF) != 0) return std::nullopt;
    if (pads == 2 && (v & 0xFFFF) != 0) return std::nullopt;
  }
  return out;
}

}  // namespace zt::test
