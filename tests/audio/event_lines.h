// Reading back what an output wrote: flat JSON objects of strings, and
// base64. Written independently of the code under test so that the tests
// check the encoder rather than agree with it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/base64_decode.h"

namespace zt::test {

// A compact JSON object whose values are all strings; nothing when the line
// is anything else.
std::optional<std::map<std::string, std::string>> parseFlatObject(const std::string& line);

}  // namespace zt::test
