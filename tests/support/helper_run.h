// Runs the helper (on the scripted platform unless told otherwise) with a
// scenario and standard input, and collects what a host would see.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace zt::test {

using nlohmann::json;

// Writes `scenario` to a temporary file for ZT_SIM_SCENARIO; removed with
// the object.
class ScenarioFile {
 public:
  explicit ScenarioFile(const json& scenario);
  ~ScenarioFile();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct RunResult {
  int status = -1;
  std::vector<std::string> lines;  // every line, audio included, in order
  std::vector<json> control;       // every non-audio event, parsed
  std::string stderrText;
};

// Spawns the simulated helper with `scenario`.
std::unique_ptr<Child> startSim(const json& scenario = json::object(), ChildOptions options = {});

// Sends `input`, closes standard input, and reads to the end.
RunResult runSim(const std::string& input, const json& scenario = json::object(), ChildOptions options = {},
                 std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Sends "prepare", waits for its outcome, then sends `then` and closes
// standard input; the result holds every event from the first on.
RunResult prepareThen(const std::string& then, const json& scenario = json::object());

// Reads to the end from a running child.
RunResult collect(Child& child, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The non-audio events as compact strings, for readable comparisons.
std::vector<std::string> controlTexts(const RunResult& result);

json command(const std::string& word);

// The events a host expects, for comparisons.
using Events = std::vector<json>;
json stateEvent(const std::string& word);
json errorEvent(const std::string& code);
inline const json kPrepared = {{"event", "prepared"}};
inline const json kEnded = {{"event", "state"}, {"state", "ended"}};
std::string commandLine(const std::string& word);

// Every line is compact JSON of one flat object of strings, as the protocol
// promises.
void expectWellFormedLines(const RunResult& result);

}  // namespace zt::test
