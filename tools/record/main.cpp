// zentrell-record: records the computer's sound and the microphone through
// zentrell-audio-helper into two WAV files. See helpText() for the use.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "helper_process.h"
#include "options.h"
#include "recorder.h"
#include "spectrogram.h"
#include "status_display.h"
#include "terminal_keys.h"
#include "wav_file.h"

using namespace zt::record;

namespace {

int signalPipe[2] = {-1, -1};

// Signals only wake the event loop; everything else happens there.
void onSignal(int) {
  const int saved = errno;
  const char byte = 1;
  (void)!write(signalPipe[1], &byte, 1);
  errno = saved;
}

bool installSignals() {
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP})
    if (sigaction(sig, &action, nullptr) != 0) return false;
  // A helper that has gone shows as a failed write, not as our death.
  signal(SIGPIPE, SIG_IGN);
  return true;
}

bool makeFolder(const std::string& path) {
  std::string partial;
  for (size_t at = 0; at != std::string::npos;) {
    at = path.find('/', at + 1);
    partial = path.substr(0, at);
    if (!partial.empty() && mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void drawSpectrograms(const std::string& folder, StatusDisplay& display) {
  for (const char* name : {"system", "microphone"}) {
    const std::string wav = folder + "/" + name + ".wav", png = folder + "/" + name + ".png";
    std::string error;
    if (writeSpectrogram(wav, png, std::string("Zentrell ") + name + " audio", &error))
      display.note("Saved " + png);
    else
      fprintf(stderr, "zentrell-record: no spectrogram: %s\n", error.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const auto options = parseOptions(argc, argv, &error);
  if (!options) {
    fprintf(stderr, "zentrell-record: %s\nTry zentrell-record --help.\n", error.c_str());
    return 2;
  }
  if (options->help) {
    fputs(helpText().c_str(), stdout);
    return 0;
  }
  if (!installSignals()) {
    fprintf(stderr, "zentrell-record: cannot set up signal handling: %s\n", strerror(errno));
    return 1;
  }
  if (!makeFolder(options->output)) {
    fprintf(stderr, "zentrell-record: cannot create the folder %s: %s\n", options->output.c_str(),
            strerror(errno));
    return 1;
  }
  auto system = WavFile::create(options->output + "/system.wav", &error);
  auto microphone = system ? WavFile::create(options->output + "/microphone.wav", &error) : nullptr;
  if (!microphone) {
    fprintf(stderr, "zentrell-record: %s\n", error.c_str());
    return 1;
  }
  const std::string helperPath = options->helper.empty() ? helperNextToSelf() : options->helper;
  auto helper = HelperProcess::start(helperPath, &error);
  if (!helper) {
    fprintf(stderr,
            "zentrell-record: %s\n  What to do: build it (bash tools/build.sh build) or install it next to "
            "zentrell-record, or give its path with --helper PATH.\n",
            error.c_str());
    return 1;
  }
  StatusDisplay display(isatty(1));
  int status;
  {
    TerminalKeys keys;
    char length[64] = "until Ctrl-C";
    if (options->duration) snprintf(length, sizeof length, "for %g s", *options->duration);
    display.note("Recording into " + options->output + " (" + length +
                 (keys.active() ? "; space pauses, q stops)" : "; Ctrl-C stops)"));
    Recorder recorder(*options, *helper, *system, *microphone, display, keys, signalPipe[0]);
    status = recorder.run();
  }
  if (status == 0 && options->spectrogram) drawSpectrograms(options->output, display);
  return status;
}
