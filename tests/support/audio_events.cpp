#include "support/audio_events.h"

#include <nlohmann/json.hpp>

namespace zt::test {
namespace {

int sextet(char c) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const size_t at = alphabet.find(c);
  return at == std::string::npos ? -1 : static_cast<int>(at);
}

// RFC 4648: padding required, no white space, zero bits under the padding.
std::optional<std::vector<uint8_t>> base64Decode(const std::string& text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<uint8_t> out;
  for (size_t i = 0; i < text.size(); i += 4) {
    const size_t pads = text.size() - i == 4 ? text.size() - 1 - text.find_last_not_of('=') : 0;
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      const int s = k < 4 - pads ? sextet(text[i + k]) : 0;
      if (s < 0 || pads > 2) return std::nullopt;
      v = (v << 6) | static_cast<uint32_t>(s);
    }
    if ((pads == 1 && (v & 0xFF)) || (pads == 2 && (v & 0xFFFF))) return std::nullopt;
    for (size_t k = 0; k < 3 - pads; ++k) out.push_back(static_cast<uint8_t>(v >> (16 - 8 * k)));
  }
  return out;
}

}  // namespace

std::optional<AudioEvent> parseAudioEvent(const std::string& line) {
  const auto j = nlohmann::json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object() || j.size() != 3 || j.value("event", "") != "audio")
    return std::nullopt;
  AudioEvent event;
  event.source = j.value("source", "");
  if (event.source != "system" && event.source != "microphone") return std::nullopt;
  const auto bytes = base64Decode(j.value("audio", ""));
  if (!bytes || bytes->size() < 2 || bytes->size() > 3200 || bytes->size() % 2 != 0) return std::nullopt;
  for (size_t i = 0; i < bytes->size(); i += 2)
    event.samples.push_back(static_cast<int16_t>((*bytes)[i] | ((*bytes)[i + 1] << 8)));
  return event;
}

}  // namespace zt::test
