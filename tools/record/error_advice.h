// What each error code of the helper means to a person, and what to do.
#pragma once

#include <string>
#include <vector>

namespace zt::record {

struct ErrorAdvice {
  std::string meaning;  // one sentence
  std::string action;   // what to do about it
};

// Every code the helper can send has its own advice; an unknown code gets a
// general one that names it. `recorderWasStopped`: the recorder was stopped
// (SIGSTOP) during the recording, which explains a full output queue.
ErrorAdvice adviceFor(const std::string& code, bool recorderWasStopped = false);

// The codes with advice of their own, for the tests and the help text.
const std::vector<std::string>& knownErrorCodes();

}  // namespace zt::record
