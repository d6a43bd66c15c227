#include "audio/base64.h"

#include <cstdint>

namespace zt {
namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

// Audio events carry up to 3200 bytes each, many times a second: one
// allocation, three bytes to four characters per step.
std::string base64Encode(const void* data, size_t size) {
  const auto* in = static_cast<const uint8_t*>(data);
  std::string out((size + 2) / 3 * 4, '=');
  char* o = out.data();
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = kAlphabet[(v >> 6) & 63];
    *o++ = kAlphabet[v & 63];
  }
  const size_t left = size - i;
  if (left == 1) {
    const uint32_t v = uint32_t{in[i]} << 16;
    o[0] = kAlphabet[v >> 18];
    o[1] = kAlphabet[(v >> 12) & 63];
  } else if (left == 2) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8);
    o[0] = kAlphabet[v >> 18];
    o[1] = kAlphabet[(v >> 12) & 63];
    o[2] = kAlphabet[(v >> 6) & 63];
  }
  return out;
}

}  // namespace zt
