// "prepare" through the real process against scripted permissions, devices
// and displays.
#include <gtest/gtest.h>

#include "support/helper_run.h"

namespace zt::test {
namespace {

struct Case {
  const char* name;
  json scenario;
  std::string code;  // empty: prepared
};

TEST(Prepare, EveryOutcomeInCheckOrder) {
  const json declined = {{"error", {{"domain", "SCStreamErrorDomain"}, {"code", -3801}}}};
  const std::vector<Case> cases = {
      {"authorized", json::object(), ""},
      {"prompt declined",
       {{"microphoneStatus", 0}, {"microphoneRequest", "error"}},
       "MICROPHONE_PERMISSION_DENIED"},
      {"denied", {{"microphoneStatus", 2}}, "MICROPHONE_PERMISSION_DENIED"},
      {"unknown status", {{"microphoneStatus", 7}}, "MICROPHONE_PERMISSION_DENIED"},
      // Microphone refusal comes before everything else.
      {"denied before screen",
       {{"microphoneStatus", 2}, {"screenPreflight", false}, {"microphonePresent", false}},
       "MICROPHONE_PERMISSION_DENIED"},
      {"screen request granted", {{"screenPreflight", {false, true}}}, ""},
      {"screen request refused",
       {{"screenPreflight", false}, {"screenRequest", false}},
       "SCREEN_PERMISSION_DENIED"},
      {"screen request yes, second preflight no",
       {{"screenPreflight", false}, {"screenRequest", true}},
       "SCREEN_PERMISSION_DENIED"},
      {"screen before microphone presence",
       {{"screenPreflight", false}, {"screenRequest", false}, {"microphonePresent", false}},
       "SCREEN_PERMISSION_DENIED"},
      {"no microphone", {{"microphonePresent", false}, {"displays", 0}}, "MICROPHONE_UNAVAILABLE"},
      {"declined screen capture", {{"content", declined}}, "SCREEN_PERMISSION_DENIED"},
      {"other code in the stream domain",
       {{"content", {{"error", {{"domain", "SCStreamErrorDomain"}, {"code", -3802}}}}}},
       "SYSTEM_AUDIO_UNAVAILABLE"},
      {"same code in another domain",
       {{"content", {{"error", {{"domain", "NSOSStatusErrorDomain"}, {"code", -3801}}}}}},
       "SYSTEM_AUDIO_UNAVAILABLE"},
      {"no display", {{"displays", 0}}, "NO_DISPLAY"},
      {"late answers",
       {{"microphoneStatus", 0},
        {"microphoneRequest", {{"result", "ok"}, {"delayMs", 200}}},
        {"content", {{"delayMs", 200}}}},
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = prepareThen(commandLine("stop"), c.scenario);
    EXPECT_EQ(r.control, (Events{c.code.empty() ? kPrepared : errorEvent(c.code), kEnded}));
    EXPECT_EQ(r.status, c.code.empty() ? 0 : 1);
    EXPECT_EQ(r.stderrText, "");
  }
}

}  // namespace
}  // namespace zt::test
