// zentrell-record: records the computer's sound and the microphone through
// zentrell-audio-helper into two WAV files. See helpText() for the use.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "helper_process.h"
#include "options.h"
#include "recorder.h"
#include "spectrogram.h"
#include "status_display.h"
#include "terminal_keys.h"

using namespace zt::record;

namespace {

int signalPipe[2] = {-1, -1};

// Signals only wake the event loop with their number; everything else
// happens there.
void onSignal(int sig) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(sig);
  (void)!write(signalPipe[1], &byte, 1);
  errno = saved;
}

bool installSignals() {
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGTSTP, SIGCONT, SIGWINCH}) {
    // A signal ignored on the way in stays ignored: nohup, or a shell that
    // starts a job in the background without job control, means it.
    struct sigaction before {};
    if (sigaction(sig, nullptr, &before) != 0) return false;
    if (before.sa_handler == SIG_IGN && sig != SIGCONT && sig != SIGWINCH) continue;
    if (sigaction(sig, &action, nullptr) != 0) return false;
  }
  // A helper that has gone shows as a failed write, not as our death.
  signal(SIGPIPE, SIG_IGN);
  return true;
}

bool isFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates `path` and its parents; `created` tells whether the folder
// itself is new.
bool makeFolder(const std::string& path, bool* created) {
  *created = !isFolder(path);
  for (size_t at = 0; at != std::string::npos;) {
    at = path.find('/', at + 1);
    const std::string partial = path.substr(0, at);
    if (!partial.empty() && mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return isFolder(path);
}

// A new folder in the current one, named after the local date and time.
bool makeNewFolder(std::string* path) {
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char stem[64];
  strftime(stem, sizeof stem, "recording-%Y-%m-%d-%H%M%S", &local);
  for (int n = 1; n < 100; ++n) {
    *path = n == 1 ? stem : std::string(stem) + "-" + std::to_string(n);
    if (mkdir(path->c_str(), 0755) == 0) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

// The first file of an earlier recording that this one would replace.
std::string fileInTheWay(const std::string& folder, bool spectrogram) {
  for (const char* name : {"system", "microphone"}) {
    const std::string wav = folder + "/" + name + ".wav";
    for (const std::string& path : {wav, WavFile::partialPath(wav), folder + "/" + name + ".png"}) {
      if (!spectrogram && path.ends_with(".png")) continue;
      if (access(path.c_str(), F_OK) == 0) return path;
    }
  }
  return {};
}

// A spectrogram beside each file of this recording: "system.png" for
// "system.wav".
void drawSpectrograms(const std::vector<std::string>& wavs, StatusDisplay& display) {
  for (const std::string& wav : wavs) {
    const std::string stem = wav.substr(0, wav.size() - 4), png = stem + ".png";
    const std::string name = stem.substr(stem.rfind('/') + 1);
    std::string error;
    if (writeSpectrogram(wav, png, "Zentrell " + name + " audio", &error))
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
  if (options->version) {
    puts("zentrell-record " ZT_RECORD_VERSION);
    return 0;
  }
  if (!installSignals()) {
    fprintf(stderr, "zentrell-record: cannot set up signal handling: %s\n", strerror(errno));
    return 1;
  }
  std::string folder = options->output;
  bool created = true;
  if (folder.empty() ? !makeNewFolder(&folder) : !makeFolder(folder, &created)) {
    fprintf(stderr, "zentrell-record: cannot create the folder %s: %s\n", folder.c_str(), strerror(errno));
    return 1;
  }
  // Leaves no empty folder of ours behind.
  auto tidy = [&] {
    if (created) rmdir(folder.c_str());
  };
  if (const std::string inTheWay = options->force ? "" : fileInTheWay(folder, options->spectrogram);
      !inTheWay.empty()) {
    // A partial file may be all that is left of a recording that was cut
    // short; --force would empty it.
    const bool cutShort = inTheWay.ends_with(".partial.wav");
    fprintf(stderr,
            "zentrell-record: %s exists, and a recording is never replaced unless asked.\n%s"
            "  What to do: choose another folder with --output DIR, leave --output out for a new one, or "
            "replace the files with --force.\n",
            inTheWay.c_str(),
            cutShort ? "  It holds a recording that was cut short, playable as it is: to keep it, rename it "
                       "or move it out of the folder first.\n"
                     : "");
    tidy();
    return 1;
  }
  const std::string helperPath = options->helper.empty() ? helperNextToSelf() : options->helper;
  auto helper = HelperProcess::start(helperPath, &error);
  if (!helper) {
    fprintf(stderr,
            "zentrell-record: %s\n  What to do: install zentrell-audio-helper in the same folder as "
            "zentrell-record, or give its path with --helper PATH.\n",
            error.c_str());
    tidy();
    return 1;
  }
  StatusDisplay display(isatty(1), terminalColumns(1));
  int status;
  std::vector<std::string> saved;
  {
    TerminalKeys keys;
    Recorder recorder(*options, folder, *helper, display, keys, signalPipe[0]);
    status = recorder.run();
    saved = recorder.savedFiles();
  }
  if (saved.empty()) tidy();
  if (options->spectrogram) drawSpectrograms(saved, display);
  return status;
}
