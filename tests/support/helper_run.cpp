#include "support/helper_run.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

#ifndef ZT_SIM_HELPER_PATH
#define ZT_SIM_HELPER_PATH ""
#endif

namespace zt::test {

ScenarioFile::ScenarioFile(const json& scenario) {
  char name[] = "/tmp/zt-scenario-XXXXXX";
  const int fd = mkstemp(name);
  close(fd);
  path_ = name;
  std::ofstream(path_) << scenario.dump();
}

ScenarioFile::~ScenarioFile() { unlink(path_.c_str()); }

namespace {
// Scenario files live as long as the children that read them at start-up;
// keeping them for the whole test run is simplest. Tests start children
// from several threads.
std::mutex scenarioFilesLock;
std::vector<std::unique_ptr<ScenarioFile>>& scenarioFiles() {
  static auto* files = new std::vector<std::unique_ptr<ScenarioFile>>();
  return *files;
}
}  // namespace

std::unique_ptr<Child> startSim(const json& scenario, ChildOptions options) {
  auto file = std::make_unique<ScenarioFile>(scenario);
  options.env["ZT_SIM_SCENARIO"] = file->path();
  {
    std::lock_guard lock(scenarioFilesLock);
    scenarioFiles().push_back(std::move(file));
  }
  return std::make_unique<Child>(ZT_SIM_HELPER_PATH, options);
}

RunResult collect(Child& child, std::chrono::milliseconds timeout) {
  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    auto line = child.out().next(left);
    if (!line) break;
    result.lines.push_back(*line);
  }
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  result.status = child.wait(std::max(left, std::chrono::milliseconds(1)));
  if (result.status == -1) child.signal(SIGKILL);
  for (const auto& line : result.lines) {
    if (isAudioLine(line)) continue;
    result.control.push_back(json::parse(line, nullptr, false));
  }
  result.stderrText = child.stderrText();
  return result;
}

RunResult runSim(const std::string& input, const json& scenario, ChildOptions options,
                 std::chrono::milliseconds timeout) {
  auto child = startSim(scenario, options);
  if (options.stdinFd < 0) {
    child->write(input);
    child->closeStdin();
  }
  return collect(*child, timeout);
}

RunResult prepareThen(const std::string& then, const json& scenario) {
  auto child = startSim(scenario);
  child->write(commandLine("prepare"));
  std::vector<std::string> first;
  for (;;) {
    auto line = child->out().next(std::chrono::seconds(20));
    if (!line) break;
    first.push_back(*line);
    if (!isAudioLine(*line)) break;
  }
  child->write(then);
  child->closeStdin();
  RunResult result = collect(*child);
  for (auto it = first.rbegin(); it != first.rend(); ++it) {
    result.lines.insert(result.lines.begin(), *it);
    if (!isAudioLine(*it)) result.control.insert(result.control.begin(), json::parse(*it, nullptr, false));
  }
  return result;
}

std::vector<std::string> controlTexts(const RunResult& result) {
  std::vector<std::string> texts;
  for (const auto& c : result.control) texts.push_back(c.is_discarded() ? "<invalid>" : c.dump());
  return texts;
}

json command(const std::string& word) { return json{{"command", word}}; }
json stateEvent(const std::string& word) { return {{"event", "state"}, {"state", word}}; }
json errorEvent(const std::string& code) { return {{"event", "error"}, {"code", code}}; }
std::string commandLine(const std::string& word) { return command(word).dump() + "\n"; }

void expectWellFormedLines(const RunResult& result) {
  for (const auto& line : result.lines) {
    const json value = json::parse(line, nullptr, false);
    ASSERT_FALSE(value.is_discarded()) << line;
    ASSERT_TRUE(value.is_object()) << line;
    for (const auto& [key, v] : value.items()) ASSERT_TRUE(v.is_string()) << line;
    // Compact: re-serializing gives the same bytes up to key order.
    EXPECT_EQ(value.dump().size(), line.size()) << line;
    EXPECT_EQ(line.find('\r'), std::string::npos);
  }
}

}  // namespace zt::test
