#include "options.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

namespace zt::record {

namespace {

// A positive, finite number of seconds, or nothing.
std::optional<double> parseSeconds(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value) || value <= 0 || value > 86400)
    return std::nullopt;
  return value;
}

// Matches "--name VALUE" and "--name=VALUE" at argv[*i]; moves *i past a
// separate value.
enum class Match { No, Yes, MissingValue };
Match takeValue(int argc, char** argv, int* i, std::string_view name, std::string* value) {
  const std::string_view arg = argv[*i];
  if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
    *value = std::string(arg.substr(name.size() + 1));
    return Match::Yes;
  }
  if (arg != name) return Match::No;
  if (*i + 1 >= argc) return Match::MissingValue;
  *value = argv[++*i];
  return Match::Yes;
}

}  // namespace

std::optional<Options> parseOptions(int argc, char** argv, std::string* error) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      continue;
    }
    if (arg == "--spectrogram") {
      options.spectrogram = true;
      continue;
    }
    bool matched = false;
    for (std::string_view name : {"--helper", "--output", "--duration"}) {
      std::string value;
      const Match m = takeValue(argc, argv, &i, name, &value);
      if (m == Match::No) continue;
      if (m == Match::MissingValue) {
        *error = std::string(name) + " needs a value";
        return std::nullopt;
      }
      matched = true;
      if (name == "--helper") {
        options.helper = value;
      } else if (name == "--output") {
        options.output = value;
      } else {
        options.duration = parseSeconds(value);
        if (!options.duration) {
          *error = "--duration wants a number of seconds greater than 0, not \"" + value + "\"";
          return std::nullopt;
        }
      }
      break;
    }
    if (!matched) {
      *error = "unknown argument \"" + std::string(arg) + "\"";
      return std::nullopt;
    }
  }
  if (options.output.empty()) {
    *error = "--output needs a folder";
    return std::nullopt;
  }
  return options;
}

std::string helpText() {
  return R"(Usage: zentrell-record [--duration SECONDS] [--output DIR] [--spectrogram] [--helper PATH]

Records the computer's sound output ("system") and the default microphone at
the same time through zentrell-audio-helper, into two WAV files:
  DIR/system.wav       what the computer plays (the monitor of the default output)
  DIR/microphone.wav   the default microphone
Both are 16 kHz, mono, 16-bit PCM. Their headers are kept up to date after
every piece of audio, so the files stay playable even if the recorder is
killed in the middle of a recording.

Options:
  --duration SECONDS  Record this many seconds of audio, then stop (time spent
                      paused does not count). Without it, record until Ctrl-C
                      or q.
  --output DIR        Folder for the WAV files (created if missing; existing
                      system.wav and microphone.wav are replaced).
                      Default: ./recording
  --spectrogram       When the recording is complete, also write
                      DIR/system.png and DIR/microphone.png, spectrograms made
                      by sox (needs sox installed).
  --helper PATH       The helper executable to run. Default: the
                      zentrell-audio-helper in the recorder's own folder.
  -h, --help          Show this text.

While recording:
  On a terminal, one status line shows the elapsed time, a level meter with
  the peak level in dBFS for each source (0 dBFS is full scale), and the
  helper's state. Keys: space pauses and resumes, q stops. Ctrl-C stops too;
  a second Ctrl-C abandons the recording at once (the files keep what was
  written).
  When the output is not a terminal, a progress line is printed every second
  instead, and the keys are not read.

Exit status:
  0  the recording finished and both files are complete
  1  the recording failed: the helper reported an error (explained on the
     screen with what to do about it), could not be started, or ended
     without finishing
  2  wrong command line
)";
}

}  // namespace zt::record
