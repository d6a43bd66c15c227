#include "platform/sim/scenario.h"

#include <nlohmann/json.hpp>

namespace zt::sim {
namespace {

using nlohmann::json;

template <class T, class Parse>
Sequence<T> sequenceOf(const json& value, Parse parse) {
  std::vector<T> values;
  if (value.is_array()) {
    for (const auto& v : value) values.push_back(parse(v));
  } else {
    values.push_back(parse(value));
  }
  return Sequence<T>(std::move(values));
}

Answer parseAnswer(const json& j) {
  Answer a;
  if (j.is_string()) {
    const std::string s = j.get<std::string>();
    a.kind = s == "never" ? Answer::Kind::Never : s == "error" ? Answer::Kind::Error : Answer::Kind::Ok;
    return a;
  }
  const std::string kind = j.value("result", "ok");
  a.kind = kind == "never" ? Answer::Kind::Never : kind == "error" ? Answer::Kind::Error : Answer::Kind::Ok;
  a.delayMs = j.value("delayMs", 0);
  if (j.contains("error")) {
    a.kind = Answer::Kind::Error;
    a.error.domain = j["error"].value("domain", "SimulatedErrorDomain");
    a.error.code = j["error"].value("code", int64_t{1});
  }
  return a;
}

platform::AudioFormat parseFormat(const json& j) {
  platform::AudioFormat f;
  const std::string type = j.value("type", "float32");
  f.sampleType = type == "int16"     ? platform::SampleType::Int16
                 : type == "int32"   ? platform::SampleType::Int32
                 : type == "float64" ? platform::SampleType::Float64
                                     : platform::SampleType::Float32;
  f.sampleRate = j.value("rate", 48000.0);
  f.channelCount = j.value("channels", 2u);
  f.interleaved = j.value("interleaved", true);
  return f;
}

AudioScript parseAudio(const json& j) {
  AudioScript a;
  if (j.is_null()) return a;
  a.enabled = true;
  if (j.contains("format")) {
    const json& f = j["format"];
    if (f.is_array())
      for (const auto& v : f) a.formats.push_back(parseFormat(v));
    else
      a.formats.push_back(parseFormat(f));
  }
  a.buffersPerFormat = j.value("buffersPerFormat", 0);
  if (j.contains("frames")) {
    a.frames.clear();
    if (j["frames"].is_array())
      for (const auto& v : j["frames"]) a.frames.push_back(v.get<uint32_t>());
    else
      a.frames.push_back(j["frames"].get<uint32_t>());
  }
  a.frequency = j.value("frequency", 1000.0);
  a.amplitude = j.value("amplitude", 0.5);
  a.speed = j.value("speed", 1.0);
  a.bufferCount = j.value("buffers", int64_t{-1});
  return a;
}

EngineScript parseEngine(const json& j) {
  EngineScript e;
  if (j.contains("inputFormat")) e.inputFormat = parseFormat(j["inputFormat"]);
  if (j.contains("formatQuery")) e.formatQuery = parseAnswer(j["formatQuery"]);
  if (j.contains("start")) e.start = parseAnswer(j["start"]);
  e.startFails = j.value("startFails", false);
  e.configurationChangeAfterMs = j.value("configurationChangeAfterMs", -1);
  if (j.contains("audio")) e.audio = parseAudio(j["audio"]);
  return e;
}

StreamScript parseStream(const json& j) {
  StreamScript s;
  s.addOutputFails = j.value("addOutputFails", false);
  if (j.contains("start")) s.start = parseAnswer(j["start"]);
  if (j.contains("stop")) s.stop = parseAnswer(j["stop"]);
  s.stopsByItselfAfterMs = j.value("stopsByItselfAfterMs", -1);
  s.framesAtStop = j.value("framesAtStop", 0u);
  if (j.contains("audio")) s.audio = parseAudio(j["audio"]);
  return s;
}

}  // namespace

std::optional<Scenario> Scenario::fromJSON(const std::string& text) {
  const json j = json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  try {
    Scenario s;
    if (j.contains("microphoneStatus"))
      s.microphoneStatus = sequenceOf<int>(j["microphoneStatus"], [](const json& v) { return v.get<int>(); });
    if (j.contains("microphoneRequest")) s.microphoneRequest = parseAnswer(j["microphoneRequest"]);
    if (j.contains("screenPreflight"))
      s.screenPreflight = sequenceOf<bool>(j["screenPreflight"], [](const json& v) { return v.get<bool>(); });
    s.screenRequest = j.value("screenRequest", true);
    s.screenRequestDelayMs = j.value("screenRequestDelayMs", 0);
    s.microphonePresent = j.value("microphonePresent", true);
    if (j.contains("microphoneQuery")) s.microphoneQuery = parseAnswer(j["microphoneQuery"]);
    s.displayCount = j.value("displays", 1);
    if (j.contains("content")) s.content = parseAnswer(j["content"]);
    if (j.contains("engines")) s.engines = sequenceOf<EngineScript>(j["engines"], parseEngine);
    if (j.contains("streams")) s.streams = sequenceOf<StreamScript>(j["streams"], parseStream);
    if (j.contains("converter")) {
      const json& c = j["converter"];
      s.converter.stallMs = c.value("stallMs", 0);
      s.converter.failConvertAfter = c.value("failConvertAfter", int64_t{-1});
      s.converter.failTail = c.value("failTail", false);
    }
    return s;
  } catch (const nlohmann::json::exception&) {
    // A field of the wrong type; the scenario is unusable.
    return std::nullopt;
  }
}

}  // namespace zt::sim
