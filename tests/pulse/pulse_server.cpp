#include "pulse/pulse_server.h"

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/child_process.h"

namespace zt::test::pulse {

std::string standardScript() {
  return "load-module module-native-protocol-unix auth-anonymous=1 socket=@DIR@/native\n"
         "load-module module-null-sink sink_name=speakers rate=48000 channels=2\n"
         "load-module module-null-sink sink_name=micsink rate=48000 channels=2\n"
         "load-module module-remap-source source_name=virtualmic master=micsink.monitor rate=48000 "
         "channels=2\n"
         "set-default-sink speakers\n"
         "set-default-source virtualmic\n";
}

std::string sineMicScript(bool withHeadphones) {
  std::string s =
      "load-module module-native-protocol-unix auth-anonymous=1 socket=@DIR@/native\n"
      "load-module module-null-sink sink_name=speakers rate=48000 channels=2\n";
  if (withHeadphones) s += "load-module module-null-sink sink_name=headphones rate=48000 channels=2\n";
  s += "load-module module-sine-source source_name=virtualmic rate=48000 frequency=440\n"
       "set-default-sink speakers\n"
       "set-default-source virtualmic\n";
  return s;
}

bool onPipeWire() {
  const char* kind = std::getenv("ZT_TEST_SERVER");
  return kind && std::string(kind) == "pipewire";
}

// The server starts through the same script as the demo's and the
// benchmarks', which prints the environment its clients need; this
// process's backend and every tool the test starts are among them.
PulseServer::PulseServer(const std::string& script) {
  char templ[] = "/tmp/zt-pulse-XXXXXX";
  if (!mkdtemp(templ)) return;
  dir_ = templ;
  std::ofstream(dir_ + "/test.pa") << script;
  const ProgramRun run = runProgram(
      "bash", {ZT_SOUND_SERVER, "start", dir_, onPipeWire() ? "pipewire" : "pulseaudio", dir_ + "/test.pa"},
      {}, std::chrono::seconds(120));
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);)
    if (const auto eq = line.find('='); line.rfind("export ", 0) == 0 && eq != std::string::npos)
      setenv(line.substr(7, eq - 7).c_str(), line.substr(eq + 1).c_str(), 1);
  ready_ = run.status == 0;
  if (!ready_) std::fprintf(stderr, "%s", run.err.c_str());
}

PulseServer::~PulseServer() {
  if (dir_.empty()) return;
  runProgram("bash", {ZT_SOUND_SERVER, "stop", dir_});
  // A server that did not come up keeps its logs.
  if (ready_) runProgram("rm", {"-rf", dir_});
}

int PulseServer::pactl(const std::string& args, std::string* output) {
  std::vector<std::string> argv;
  std::istringstream words(args);
  for (std::string word; words >> word;) argv.push_back(word);
  const ProgramRun run = runProgram("pactl", argv);
  if (output) *output = run.out;
  return run.status;
}

std::string PulseServer::moduleOf(const std::string& needle) {
  std::string modules;
  pactl("list short modules", &modules);
  std::istringstream lines(modules);
  for (std::string line; std::getline(lines, line);)
    if (line.find(needle) != std::string::npos) return line.substr(0, line.find('\t'));
  return "";
}

void PulseServer::kill() { runProgram("bash", {ZT_SOUND_SERVER, "kill", dir_}); }

pid_t PulseServer::play(const std::string& sink, const std::string& rawFile, int latencyMs) {
  return startQuiet({"pacat", "--playback", "-d", sink, "--raw", "--format=float32le", "--rate=48000",
                     "--channels=1", "--latency-msec=" + std::to_string(latencyMs), rawFile});
}

void PulseServer::stopPlayer(pid_t pid) { endProcess(pid); }

bool PulseServer::waitPlayer(pid_t pid, std::chrono::milliseconds timeout) {
  return waitProcess(pid, timeout);
}

std::vector<float> tone(double frequency, double seconds, double rate, double amplitude) {
  std::vector<float> x(static_cast<size_t>(seconds * rate));
  for (size_t i = 0; i < x.size(); ++i)
    x[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * frequency * i / rate));
  return x;
}

std::vector<float> chirp(double f0, double f1, double seconds, double rate, double amplitude) {
  std::vector<float> x(static_cast<size_t>(seconds * rate));
  const double k = (f1 - f0) / seconds;
  for (size_t i = 0; i < x.size(); ++i) {
    const double t = i / rate;
    x[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * (f0 * t + 0.5 * k * t * t)));
  }
  return x;
}

void writeRaw(const std::string& path, const std::vector<float>& samples) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(samples.data()),
          static_cast<std::streamsize>(samples.size() * sizeof(float)));
}

std::vector<float> readRawS16(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::vector<float> x;
  int16_t s;
  while (f.read(reinterpret_cast<char*>(&s), sizeof s)) x.push_back(s / 32768.0f);
  return x;
}

double toneLevel(const std::vector<float>& x, double frequency, double rate) {
  if (x.empty()) return 0;
  double re = 0, im = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double phase = 2 * M_PI * frequency * i / rate;
    re += x[i] * std::cos(phase);
    im -= x[i] * std::sin(phase);
  }
  return 2 * std::sqrt(re * re + im * im) / x.size();
}

double rms(const std::vector<float>& x) {
  double sum = 0;
  for (float v : x) sum += double(v) * v;
  return x.empty() ? 0 : std::sqrt(sum / x.size());
}

std::vector<size_t> sineBreaks(const std::vector<float>& x, double frequency, double rate, size_t from) {
  // sin(a + w) + sin(a - w) = 2 cos(w) sin(a): the residual stays at the
  // float rounding level along an unbroken sine, and a single missing or
  // repeated sample moves it by about the amplitude times w.
  const double c = 2 * std::cos(2 * M_PI * frequency / rate);
  std::vector<size_t> found;
  for (size_t i = std::max<size_t>(from, 1); i + 1 < x.size(); ++i)
    if (std::fabs(x[i + 1] - c * x[i] + x[i - 1]) > 1e-3) found.push_back(i);
  return found;
}

namespace {

// Where the signal's energy first reaches a third of its strongest 10 ms
// (at 16 kHz): a lone click before the signal does not count.
long onset(const std::vector<float>& x) {
  constexpr size_t kWindow = 160;
  if (x.size() < kWindow) return -1;
  std::vector<double> energy(x.size() / kWindow, 0.0);
  for (size_t w = 0; w < energy.size(); ++w)
    for (size_t i = 0; i < kWindow; ++i) energy[w] += double(x[w * kWindow + i]) * x[w * kWindow + i];
  const double peak = *std::max_element(energy.begin(), energy.end());
  if (peak <= 0) return -1;
  for (size_t w = 0; w < energy.size(); ++w)
    if (energy[w] >= peak / 9) return static_cast<long>(w * kWindow);
  return -1;
}

double nccAt(const std::vector<float>& captured, const std::vector<float>& reference, long offset) {
  double xy = 0, xx = 0, yy = 0;
  for (size_t i = 0; i < reference.size(); ++i) {
    const long j = offset + static_cast<long>(i);
    const double x = (j >= 0 && j < static_cast<long>(captured.size())) ? captured[j] : 0.0;
    const double y = reference[i];
    xy += x * y;
    xx += x * x;
    yy += y * y;
  }
  return (xx > 0 && yy > 0) ? xy / std::sqrt(xx * yy) : 0;
}

}  // namespace

Match findSignal(const std::vector<float>& captured, const std::vector<float>& reference) {
  Match best;
  const long c = onset(captured), r = onset(reference);
  if (c < 0 || r < 0) return best;
  const long guess = c - r;
  // The fine pass must reach past the coarse step's worst miss by more than
  // a period of the highest frequency (5 samples for 3 kHz at 16 kHz), or a
  // chirp's side lobe wins.
  constexpr long kSpan = 1600, kStep = 2, kFine = 8;
  long coarse = guess;
  for (long off = guess - kSpan; off <= guess + kSpan; off += kStep) {
    const double v = nccAt(captured, reference, off);
    if (v > best.ncc) best = Match{v, off};
    coarse = best.offset;
  }
  for (long off = coarse - kFine; off <= coarse + kFine; ++off) {
    const double v = nccAt(captured, reference, off);
    if (v > best.ncc) best = Match{v, off};
  }
  return best;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace zt::test::pulse
