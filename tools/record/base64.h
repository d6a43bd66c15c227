// Standard base64 (RFC 4648, with padding) to bytes, for audio payloads.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace zt::record {

// Nothing when the text is not well-formed standard base64.
std::optional<std::vector<uint8_t>> base64Decode(std::string_view text);

}  // namespace zt::record
