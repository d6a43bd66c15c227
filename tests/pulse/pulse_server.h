// A private sound server per test: PulseAudio, or (with ZT_TEST_SERVER set
// to "pipewire") PipeWire with WirePlumber and its PulseAudio server on a
// private session bus; plus the signals the tests play into it and the
// measurements they take of what comes back.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace zt::test::pulse {

// Default-output sink "speakers", a second sink "micsink" whose monitor is
// remapped into the default source "virtualmic"; all at 48 kHz stereo.
std::string standardScript();
// The same outputs, but the microphone is a 440 Hz sine source, so that no
// sink hides behind it.
std::string sineMicScript(bool withHeadphones);

// True when the tests run against PipeWire.
bool onPipeWire();

// PipeWire's PulseAudio server has no sine source, and its session manager
// makes a stand-in output whenever none is left.
#define ZT_SKIP_ON_PIPEWIRE()                                                  \
  do {                                                                         \
    if (::zt::test::pulse::onPipeWire())                                       \
      GTEST_SKIP() << "needs a sine source or a server with no output at all"; \
  } while (0)

class PulseServer {
 public:
  // Starts the server on `script`, PulseAudio's configuration commands (the
  // text "@DIR@" stands for the server's own folder; on PipeWire each
  // command goes through pactl once the server is up), and points this
  // process's environment at it.
  explicit PulseServer(const std::string& script);
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  bool ready() const { return ready_; }
  const std::string& dir() const { return dir_; }
  // Runs `pactl` with `args`; answers its exit status.
  int pactl(const std::string& args, std::string* output = nullptr);
  // The index of the first module whose line holds `needle`.
  std::string moduleOf(const std::string& needle);
  // SIGKILL, and wait for it (on PipeWire, every process of the server).
  void kill();
  // Plays a raw float32 mono 48 kHz file into `sink` in the background,
  // asking for `latencyMs` of playback latency; answers the player's pid.
  pid_t play(const std::string& sink, const std::string& rawFile, int latencyMs = 50);
  // Ends a player started by `play` (if still running) and reaps it.
  static void stopPlayer(pid_t pid);
  // Waits for a player to end by itself.
  static bool waitPlayer(pid_t pid, std::chrono::milliseconds timeout);

 private:
  std::string dir_;
  bool ready_ = false;
};

// Mono float signals at `rate`.
std::vector<float> tone(double frequency, double seconds, double rate, double amplitude = 0.5);
std::vector<float> chirp(double f0, double f1, double seconds, double rate, double amplitude = 0.5);
void writeRaw(const std::string& path, const std::vector<float>& samples);
std::vector<float> readRawS16(const std::string& path);

// Estimated amplitude of the `frequency` component of `x`.
double toneLevel(const std::vector<float>& x, double frequency, double rate);
double rms(const std::vector<float>& x);
// Where a recorded sine of `frequency` stops continuing itself sample by
// sample (a gap, a repeat, a jump): each sample must follow from the two
// before it. Answers the indexes found, from `from` on.
std::vector<size_t> sineBreaks(const std::vector<float>& x, double frequency, double rate, size_t from = 0);

// The best normalized cross-correlation of `reference` inside `captured`
// and the offset where it is found. The search is coarse (energy onset)
// then exact around it.
struct Match {
  double ncc = 0;
  long offset = -1;
};
Match findSignal(const std::vector<float>& captured, const std::vector<float>& reference);

// Polls `done` every 20 ms until it answers true or `timeout` passes.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

}  // namespace zt::test::pulse
