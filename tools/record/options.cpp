#include "options.h"

#include <getopt.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace zt::record {

namespace {

// A positive, finite number of seconds, or nothing.
std::optional<double> parseSeconds(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (*text == '\0' || *end != '\0' || !std::isfinite(value) || value <= 0 || value > 86400)
    return std::nullopt;
  return value;
}

enum LongOnly { kHelper = 256, kSpectrogram, kVersion };

const option kLongOptions[] = {
    {"duration", required_argument, nullptr, 'd'},
    {"output", required_argument, nullptr, 'o'},
    {"force", no_argument, nullptr, 'f'},
    {"spectrogram", no_argument, nullptr, kSpectrogram},
    {"helper", required_argument, nullptr, kHelper},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

std::optional<Options> parseOptions(int argc, char** argv, std::string* error) {
  Options options;
  opterr = 0;  // the messages are ours
  optind = 0;
  for (;;) {
    const int before = optind;
    const int c = getopt_long(argc, argv, ":d:o:fyh", kLongOptions, nullptr);
    if (c == -1) break;
    // The option in error as it was typed. getopt_long moves past a long
    // option's word whatever happens, but stays on a word of grouped short
    // options until its last letter; optopt holds a long option's value,
    // not a letter.
    auto typed = [&] {
      const std::string word = optind > std::max(before, 1) ? argv[optind - 1] : "";
      return word.starts_with("--") ? word : std::string("-") + char(optopt);
    };
    switch (c) {
      case 'd':
        options.duration = parseSeconds(optarg);
        if (!options.duration) {
          *error = "--duration wants a number of seconds greater than 0, not \"" + std::string(optarg) + "\"";
          return std::nullopt;
        }
        break;
      case 'o':
        options.output = optarg;
        if (options.output.empty()) {
          *error = "--output needs a folder";
          return std::nullopt;
        }
        break;
      case 'f':
      case 'y':
        options.force = true;
        break;
      case kSpectrogram:
        options.spectrogram = true;
        break;
      case kHelper:
        options.helper = optarg;
        break;
      case 'h':
        options.help = true;
        break;
      case kVersion:
        options.version = true;
        break;
      case ':':
        *error = typed() + " needs a value";
        return std::nullopt;
      default:
        *error = "unknown option \"" + typed() + "\"";
        return std::nullopt;
    }
  }
  if (optind < argc) {
    *error = "unexpected argument \"" + std::string(argv[optind]) + "\"";
    return std::nullopt;
  }
  return options;
}

std::string helpText() {
  return R"(Usage: zentrell-record [-d SECONDS] [-o DIR] [-f] [--spectrogram] [--helper PATH]

Records the computer's sound output ("system") and the default microphone at
the same time through zentrell-audio-helper, into two WAV files:
  DIR/system.wav       what the computer plays (the monitor of the default output)
  DIR/microphone.wav   the default microphone
Both are 16 kHz, mono, 16-bit PCM. While recording they are named
system.partial.wav and microphone.partial.wav, and their headers are kept up
to date after every piece of audio, so they stay playable even if the
recorder is killed; they get their names when the recording is complete.
Nothing is written before the capture has started, and a source that
delivered no audio leaves no file.

Options:
  -d, --duration SECONDS  Record this many seconds of audio, then stop (time
                          spent paused does not count). Without it, record
                          until Ctrl-C or q.
  -o, --output DIR        Folder for the WAV files (created if missing).
                          Default: a new folder in the current one, named
                          after the date and time, like
                          recording-2024-05-01-143000.
  -f, -y, --force         Replace the files of an earlier recording in DIR,
                          once the new one has finished (a recording that
                          fails keeps its partial files instead). Without
                          it, the recorder refuses to start when one of the
                          files it would write exists.
      --spectrogram       When the recording is complete, also write
                          DIR/system.png and DIR/microphone.png, spectrograms
                          made by sox (needs sox installed).
      --helper PATH       The helper executable to run. Default: the
                          zentrell-audio-helper in the recorder's own folder.
  -h, --help              Show this text.
      --version           Show the version.

While recording:
  On a terminal, one status line shows the recorded time (the audio received,
  pauses left out), a level meter with the peak level in dBFS for each source
  (0 dBFS is full scale), and the helper's state; it fits the width of the
  terminal. When the output is not a terminal, a progress line is printed
  every second instead.
  When standard input is a terminal, keys work: space pauses and resumes, q
  stops. Ctrl-C stops too; a second Ctrl-C abandons the recording at once
  (the files keep what was written). Ctrl-Z pauses the capture before the
  recorder stops; after fg it resumes. Run in the background (with &, or
  bg after Ctrl-Z), the recorder goes on recording but takes no keys and
  draws no status line until fg.

Exit status:
  0    the recording finished and its files are complete
  1    the recording failed: the helper reported an error (explained on the
       screen with what to do about it), could not be started, or ended
       without finishing; or a file of an earlier recording is in the way
  2    wrong command line
  130  stopped by Ctrl-C (SIGINT); 143 for SIGTERM, 129 for SIGHUP
)";
}

}  // namespace zt::record
