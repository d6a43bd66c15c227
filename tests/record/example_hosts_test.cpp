// The two minimal hosts of the guide, run as they are printed, against the
// scripted helper and against the real helper on a private server: each
// stops once both sources have delivered the seconds asked for, and finds
// its helper the ways the guide describes.
#include <gtest/gtest.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <map>

#include "pulse/pulse_server.h"
#include "record/recorder_run.h"

using namespace zt::test;
using namespace zt::test::record;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

struct Host {
  const char* name;
  const char* interpreter;
  const char* file;
};

const Host kHosts[] = {{"node", "node", "minimal_host.js"}, {"python", "python3", "minimal_host.py"}};

const std::string kExamples = std::string(ZT_SOURCE_DIR) + "/docs/examples/";

// Runs one host script with `env` added and answers its summary line.
json runHost(const Host& host, const std::string& script, const std::map<std::string, std::string>& env,
             double seconds, std::string* log) {
  const ProgramRun run =
      runProgram("/usr/bin/env", {host.interpreter, script, std::to_string(seconds)}, env, 90s);
  *log = "status " + std::to_string(run.status) + "\n" + run.out + run.err;
  if (run.status == 127)
    ADD_FAILURE() << host.interpreter << " is not installed (bash tools/setup.sh installs it)";
  // The summary is the last line of standard output.
  std::string out = run.out;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  const json summary = json::parse(out.substr(out.rfind('\n') + 1), nullptr, false);
  const bool clean =
      summary.is_object() && summary.value("ended", false) && summary.value("exitStatus", -1) == 0;
  EXPECT_EQ(run.status, clean ? 0 : 1) << *log;
  return summary;
}

// During development the host is told where the helper is.
json runHost(const Host& host, const std::string& helper, double seconds, std::string* log) {
  return runHost(host, kExamples + host.file, {{"ZENTRELL_HELPER", helper}}, seconds, log);
}

class ExampleHosts : public ::testing::TestWithParam<Host> {};

}  // namespace

TEST_P(ExampleHosts, CountTheSamplesOfTheScriptedHelper) {
  TempDir dir;
  writeFile(dir / "scenario.json", json{{"streams", {{"audio", {{"frequency", 1000}}}}},
                                        {"engines", {{"audio", {{"frequency", 440}}}}}}
                                       .dump());
  setenv("ZT_SIM_SCENARIO", (dir / "scenario.json").c_str(), 1);
  std::string log;
  const json summary = runHost(GetParam(), ZT_SIM_HELPER_PATH, 2, &log);
  unsetenv("ZT_SIM_SCENARIO");
  ASSERT_TRUE(summary.is_object()) << log;
  EXPECT_EQ(summary["ended"], true) << log;
  EXPECT_EQ(summary["exitStatus"], 0) << log;
  EXPECT_TRUE(summary["error"].is_null()) << log;
  // 2 s at 16 kHz, and what was under way when the stop arrived.
  for (const char* source : {"system", "microphone"}) {
    EXPECT_GE(summary["samples"][source].get<double>(), 32000) << source << "\n" << log;
    EXPECT_LT(summary["samples"][source].get<double>(), 32000 + 0.3 * 16000) << source << "\n" << log;
  }
}

TEST_P(ExampleHosts, RecordFromAPrivateServer) {
  TempDir dir;
  pulse::PulseServer server(pulse::standardScript());
  ASSERT_TRUE(server.ready());
  pulse::writeRaw(dir / "tone.raw", pulse::tone(1000, 60, 48000));
  const pid_t player = server.play("speakers", dir / "tone.raw");
  // As an application ships them: the helper beside the host's script.
  writeFile(dir / GetParam().file, readFile(kExamples + GetParam().file));
  ASSERT_EQ(symlink(ZT_HELPER_PATH, (dir / "zentrell-audio-helper").c_str()), 0);
  std::string log;
  const json summary = runHost(GetParam(), dir / GetParam().file, {}, 3, &log);
  pulse::PulseServer::stopPlayer(player);
  ASSERT_TRUE(summary.is_object()) << log;
  EXPECT_EQ(summary["ended"], true) << log;
  EXPECT_EQ(summary["exitStatus"], 0) << log;
  // However late the server starts delivering, 3 s of each source.
  for (const char* source : {"system", "microphone"}) {
    const double seconds = summary["samples"][source].get<double>() / 16000;
    EXPECT_GE(seconds, 3.0) << source << "\n" << log;
    EXPECT_LT(seconds, 3.4) << source << "\n" << log;
  }
}

TEST_P(ExampleHosts, ReportTheHelpersError) {
  // No server at all: the helper refuses at "prepare".
  TempDir dir;
  setenv("PULSE_SERVER", ("unix:" + dir / "no-server").c_str(), 1);
  std::string log;
  const json summary = runHost(GetParam(), ZT_HELPER_PATH, 1, &log);
  unsetenv("PULSE_SERVER");
  ASSERT_TRUE(summary.is_object()) << log;
  EXPECT_EQ(summary["error"], "SYSTEM_AUDIO_UNAVAILABLE") << log;
  EXPECT_EQ(summary["exitStatus"], 1) << log;
  EXPECT_NE(log.find("helper error: SYSTEM_AUDIO_UNAVAILABLE"), std::string::npos) << log;
}

TEST_P(ExampleHosts, SayWhenTheHelperIsMissing) {
  // Neither told, nor beside the script, nor on PATH.
  TempDir dir;
  for (const std::string& helper : {dir / "gone", std::string()}) {
    const ProgramRun run =
        runProgram("/usr/bin/env", {GetParam().interpreter, kExamples + GetParam().file, "1"},
                   {{"ZENTRELL_HELPER", helper}}, 30s);
    EXPECT_EQ(run.status, 1) << run.err;
    const std::string shown = helper.empty() ? "zentrell-audio-helper" : helper;
    EXPECT_NE(run.err.find("zentrell-audio-helper not found (" + shown + "): install it"), std::string::npos)
        << run.err;
  }
}

INSTANTIATE_TEST_SUITE_P(Guide, ExampleHosts, ::testing::ValuesIn(kHosts),
                         [](const auto& info) { return std::string(info.param.name); });
