#include "support/helper_run.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace zt::test {

std::unique_ptr<Child> startSim(const json& scenario, ChildOptions options) {
  // Left in place: the child reads it at start-up, and names never repeat.
  char name[] = "/tmp/zt-scenario-XXXXXX";
  close(mkstemp(name));
  std::ofstream(name) << scenario.dump();
  options.env["ZT_SIM_SCENARIO"] = name;
  return std::make_unique<Child>(ZT_SIM_HELPER_PATH, options);
}

RunResult collect(Child& child, std::chrono::milliseconds timeout, RunResult result) {
  for (auto& line : child.out().rest(timeout)) result.lines.push_back(std::move(line));
  result.status = child.finish(std::chrono::seconds(5));
  for (const auto& line : result.lines)
    if (!isAudioLine(line)) result.control.push_back(json::parse(line, nullptr, false));
  result.stderrText = child.stderrText();
  return result;
}

RunResult runSim(const std::string& input, const json& scenario, ChildOptions options) {
  auto child = startSim(scenario, options);
  if (options.stdinFd == -1) child->write(input);
  child->closeStdin();
  return collect(*child);
}

RunResult runScript(const json& scenario, const std::string& script) {
  using Clock = std::chrono::steady_clock;
  auto child = startSim(scenario);
  Clock::time_point lastSent;
  RunResult result;
  auto listen = [&](int ms, const std::string& until) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (auto line = child->out().next(leftUntil(end))) {
      result.lines.push_back(*line);
      const json j = json::parse(*line, nullptr, false);
      if (!until.empty() && j.is_object() && (j.value("event", "") == until || j.value("state", "") == until))
        return;
    }
  };
  std::istringstream words(script);
  for (std::string word; words >> word;) {
    if (word[0] == '=') {
      listen(15000, word.substr(1));
    } else if (word.rfind("wait", 0) == 0) {
      listen(std::stoi(word.substr(4)), "");
    } else {
      lastSent = Clock::now();
      word == "INT" ? child->signal(SIGINT) : word == "TERM" ? child->signal(SIGTERM) : child->send(word);
    }
  }
  child->closeStdin();
  result = collect(*child, std::chrono::seconds(30), std::move(result));
  result.afterLastSent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastSent);
  return result;
}

std::string commandLine(const std::string& word) { return json{{"command", word}}.dump() + "\n"; }
json stateEvent(const std::string& word) { return {{"event", "state"}, {"state", word}}; }
json errorEvent(const std::string& code) { return {{"event", "error"}, {"code", code}}; }

void expectWellFormedLines(const RunResult& result) {
  for (const auto& line : result.lines) {
    const json value = json::parse(line, nullptr, false);
    ASSERT_TRUE(value.is_object()) << line;
    for (const auto& [key, v] : value.items()) ASSERT_TRUE(v.is_string()) << line;
    // Compact: re-serializing gives the same bytes up to key order.
    EXPECT_EQ(value.dump().size(), line.size()) << line;
  }
}

}  // namespace zt::test
