// An event: a flat dictionary of strings, serialized as one compact JSON
// object.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace zt {

using Event = std::map<std::string, std::string>;

// Compact JSON (no white space, standard escaping). Nothing when a key or a
// value is not valid UTF-8, which JSON text cannot carry.
std::optional<std::string> serializeEvent(const Event& event);

}  // namespace zt
