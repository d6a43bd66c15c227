// "prepare" through the real process against scripted permissions, devices
// and displays: every outcome, in the order the checks run.
#include <gtest/gtest.h>

#include "support/helper_run.h"

namespace zt::test {
namespace {

json streamError(const char* domain, int code) { return {{"error", {{"domain", domain}, {"code", code}}}}; }

TEST(Prepare, EveryOutcomeInCheckOrder) {
  const std::string micDenied = "MICROPHONE_PERMISSION_DENIED", screenDenied = "SCREEN_PERMISSION_DENIED";
  const std::pair<json, std::string> cases[] = {
      {json::object(), ""},  // empty: prepared
      {{{"microphoneStatus", 0}, {"microphoneRequest", "error"}}, micDenied},
      {{{"microphoneStatus", 2}}, micDenied},
      {{{"microphoneStatus", 7}}, micDenied},
      {{{"microphoneStatus", 2}, {"screenPreflight", false}, {"microphonePresent", false}}, micDenied},
      {{{"screenPreflight", {false, true}}}, ""},
      {{{"screenPreflight", false}, {"screenRequest", false}}, screenDenied},
      // The request said yes, the second preflight no.
      {{{"screenPreflight", false}, {"screenRequest", true}}, screenDenied},
      {{{"screenPreflight", false}, {"screenRequest", false}, {"microphonePresent", false}}, screenDenied},
      {{{"microphonePresent", false}, {"displays", 0}}, "MICROPHONE_UNAVAILABLE"},
      {{{"content", streamError("SCStreamErrorDomain", -3801)}}, screenDenied},
      {{{"content", streamError("SCStreamErrorDomain", -3802)}}, "SYSTEM_AUDIO_UNAVAILABLE"},
      {{{"content", streamError("NSOSStatusErrorDomain", -3801)}}, "SYSTEM_AUDIO_UNAVAILABLE"},
      {{{"displays", 0}}, "NO_DISPLAY"},
      {{{"microphoneStatus", 0},
        {"microphoneRequest", {{"result", "ok"}, {"delayMs", 200}}},
        {"content", {{"delayMs", 200}}}},
       ""},
  };
  for (const auto& [scenario, code] : cases) {
    SCOPED_TRACE(scenario.dump());
    const RunResult r = runScript(scenario, "prepare =prepared stop");
    EXPECT_EQ(r.control, (Events{code.empty() ? kPrepared : errorEvent(code), kEnded}));
    EXPECT_EQ(r.status, code.empty() ? 0 : 1);
    EXPECT_EQ(r.stderrText, "");
  }
}

}  // namespace
}  // namespace zt::test
