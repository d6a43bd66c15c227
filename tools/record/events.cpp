#include "events.h"

#include <nlohmann/json.hpp>

#include "base64.h"

namespace zt::record {

Event parseEvent(const std::string& line) {
  Event event;
  const auto j = nlohmann::json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object() || !j.contains("event") || !j["event"].is_string()) return event;
  // Keys are matched by name; any order is fine.
  auto text = [&](const char* key) -> std::string {
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string();
  };
  const std::string kind = text("event");
  if (kind == "prepared") {
    event.kind = Event::Kind::Prepared;
  } else if (kind == "state") {
    event.state = text("state");
    if (!event.state.empty()) event.kind = Event::Kind::State;
  } else if (kind == "error") {
    event.code = text("code");
    if (!event.code.empty()) event.kind = Event::Kind::Error;
  } else if (kind == "audio") {
    event.source = text("source");
    auto pcm = base64Decode(text("audio"));
    if ((event.source == "system" || event.source == "microphone") && pcm && !pcm->empty() &&
        pcm->size() % 2 == 0) {
      event.pcm = std::move(*pcm);
      event.kind = Event::Kind::Audio;
    }
  }
  return event;
}

}  // namespace zt::record
