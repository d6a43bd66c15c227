// A private sound server per test (PulseAudio, or PipeWire's PulseAudio
// server with ZT_TEST_SERVER=pipewire), and the signals played into it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/child_process.h"

namespace zt::test::pulse {

using zt::test::waitUntil;

bool onPipeWire();

class PulseServer {
 public:
  // Starts the server on `script`, PulseAudio commands after the native protocol's
  // ("@DIR@": the server's folder), and points this process's environment at it.
  // Without one: default output "speakers", a second sink "micsink" whose monitor
  // is remapped into the default source "virtualmic"; all at 48 kHz stereo.
  explicit PulseServer(const std::string& script = "");
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  bool ready() const { return ready_; }
  const std::string& dir() const { return dir_; }
  int pactl(const std::string& args, std::string* output = nullptr);
  // SIGKILL to every process of the server, and waits for them.
  void kill();
  // Plays a raw float32 mono 48 kHz file or signal into `sink` in the
  // background at `latencyMs` (0: the server's default buffer).
  pid_t play(const std::string& sink, const std::string& rawFile, int latencyMs = 50);
  pid_t play(const std::string& sink, const std::vector<float>& signal, int latencyMs = 50);
  static void stopPlayer(pid_t pid);

 private:
  std::string dir_;
  bool ready_ = false;
  int files_ = 0;
};

// Mono float signals at `rate`.
std::vector<float> tone(double frequency, double seconds, double rate, double amplitude = 0.5);
std::vector<float> chirp(double f0, double f1, double seconds, double rate, double amplitude = 0.5);
void writeRaw(const std::string& path, const std::vector<float>& samples);

// The amplitude of the `frequency` component of `x`.
double toneLevel(const std::vector<float>& x, double frequency, double rate);
// Where a recorded tone breaks (a gap, a repeat, a jump), leaving out
// `edge` samples after its onset and before its end, where filters ring.
std::vector<size_t> toneBreaks(const std::vector<float>& x, double frequency, double rate, size_t edge);

}  // namespace zt::test::pulse
