// Runs the helper on the scripted platform and collects what a host sees.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace zt::test {

using nlohmann::json;
using Events = std::vector<json>;

struct RunResult {
  int status = -1;
  std::vector<std::string> lines;  // every line, audio included, in order
  Events control;                  // every non-audio event, parsed
  std::string stderrText;
  std::chrono::milliseconds afterLastSent{0};  // from the last command or signal to the end
};

std::unique_ptr<Child> startSim(const json& scenario = json::object(), ChildOptions options = {});
// Reads on after the lines `result` has, to the end (or the deadline); waits for the exit.
RunResult collect(Child& child, std::chrono::milliseconds timeout = std::chrono::seconds(30),
                  RunResult result = {});
// Sends `input`, closes standard input, and reads to the end.
RunResult runSim(const std::string& input, const json& scenario = json::object(), ChildOptions options = {});
// Runs words: a command, "INT" or "TERM" (the signal), "waitN" (reads for N ms) or
// "=E" (reads until the event or state E); then reads to the end.
RunResult runScript(const json& scenario, const std::string& script);

std::string commandLine(const std::string& word);
json stateEvent(const std::string& word);
json errorEvent(const std::string& code);
inline const json kPrepared = {{"event", "prepared"}};
inline const json kEnded = {{"event", "state"}, {"state", "ended"}};

// Every line is compact JSON of one flat object of strings.
void expectWellFormedLines(const RunResult& result);

}  // namespace zt::test
