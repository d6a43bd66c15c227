// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks).
#pragma once

#include <cstddef>
#include <string>

namespace zt {

std::string base64Encode(const void* data, size_t size);

}  // namespace zt
