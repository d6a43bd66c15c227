// Strict base64 decoding, written apart from the encoder under test so that
// tests check it rather than agree with it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zt::test {

// RFC 4648: standard alphabet, padding required, no white space, zero bits
// under the padding. Nothing on any deviation.
std::optional<std::vector<uint8_t>> base64Decode(const std::string& text);

}  // namespace zt::test
