#include "support/audio_events.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace zt::test {
namespace {

// RFC 4648: padding required, no white space, zero bits under the padding.
std::optional<std::vector<uint8_t>> base64Decode(const std::string& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const size_t pads = text.size() - std::min(text.size(), text.find_last_not_of('=') + 1);
  if (text.size() % 4 != 0 || pads > 2) return std::nullopt;
  std::vector<uint8_t> out;
  uint32_t bits = 0, held = 0;
  for (size_t i = 0; i + pads < text.size(); ++i) {
    const size_t sextet = alphabet.find(text[i]);
    if (sextet == std::string::npos) return std::nullopt;
    bits = (bits << 6 | static_cast<uint32_t>(sextet)) & 0xFFF;
    held += 6;
    if (held >= 8) out.push_back(static_cast<uint8_t>(bits >> (held -= 8)));
  }
  if (bits & ((1u << held) - 1)) return std::nullopt;
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

SineFit fitSine(const std::vector<int16_t>& samples, double frequency, size_t skip) {
  SineFit fit;
  if (samples.size() < 2 * skip + 160) return fit;
  const double w = 2 * M_PI * frequency / 16000.0;
  // Least squares of a*sin + b*cos over the kept samples.
  double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
  for (size_t n = skip; n + skip < samples.size(); ++n) {
    const double s = std::sin(w * n), c = std::cos(w * n), y = samples[n] / 32768.0;
    ss += s * s;
    cc += c * c;
    sc += s * c;
    ys += y * s;
    yc += y * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (ys * cc - yc * sc) / det;
  const double b = (yc * ss - ys * sc) / det;
  fit.amplitude = std::hypot(a, b);
  double worst = 0;
  for (size_t start = skip; start + 160 + skip <= samples.size(); start += 160) {
    double sum = 0;
    for (size_t n = start; n < start + 160; ++n) {
      const double r = samples[n] / 32768.0 - (a * std::sin(w * n) + b * std::cos(w * n));
      sum += r * r;
    }
    worst = std::max(worst, std::sqrt(sum / 160));
  }
  fit.worstWindowResidual = fit.amplitude > 0 ? worst / fit.amplitude : 1;
  return fit;
}

}  // namespace zt::test
