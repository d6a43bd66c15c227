#include "pulse/pulse_server.h"

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace zt::test::pulse {

bool onPipeWire() {
  const char* kind = std::getenv("ZT_TEST_SERVER");
  return kind && std::string(kind) == "pipewire";
}

// The demo's and the benchmarks' script prints the environment its clients need.
PulseServer::PulseServer(const std::string& script) {
  char templ[] = "/tmp/zt-pulse-XXXXXX";
  if (!mkdtemp(templ)) return;
  dir_ = templ;
  std::vector<std::string> args{ZT_SOUND_SERVER, "start", dir_, onPipeWire() ? "pipewire" : "pulseaudio"};
  if (!script.empty()) {
    std::ofstream(dir_ + "/test.pa")
        << "load-module module-native-protocol-unix auth-anonymous=1 socket=@DIR@/native\n"
        << script;
    args.push_back(dir_ + "/test.pa");
  }
  const ProgramRun run = runProgram("bash", args, {}, std::chrono::seconds(120));
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

void PulseServer::kill() { runProgram("bash", {ZT_SOUND_SERVER, "kill", dir_}); }

pid_t PulseServer::play(const std::string& sink, const std::string& rawFile, int latencyMs) {
  std::vector<std::string> args{"pacat",        "-d",           sink,   "--raw", "--format=float32le",
                                "--rate=48000", "--channels=1", rawFile};
  if (latencyMs > 0) args.push_back("--latency-msec=" + std::to_string(latencyMs));
  return startQuiet(args);
}

pid_t PulseServer::play(const std::string& sink, const std::vector<float>& signal, int latencyMs) {
  const std::string file = dir_ + "/" + sink + std::to_string(++files_) + ".raw";
  writeRaw(file, signal);
  return play(sink, file, latencyMs);
}

void PulseServer::stopPlayer(pid_t pid) { endProcess(pid); }

std::vector<float> tone(double frequency, double seconds, double rate, double amplitude) {
  return chirp(frequency, frequency, seconds, rate, amplitude);
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

std::vector<size_t> toneBreaks(const std::vector<float>& x, double frequency, double rate, size_t edge) {
  // sin(a + w) + sin(a - w) = 2 cos(w) sin(a): the residual stays at the
  // rounding level along an unbroken sine, and a single missing or repeated
  // sample moves it by about the amplitude times w.
  const double c = 2 * std::cos(2 * M_PI * frequency / rate);
  const auto loud = std::find_if(x.begin(), x.end(), [](float v) { return std::fabs(v) > 0.4f; });
  std::vector<size_t> found;
  for (size_t i = static_cast<size_t>(loud - x.begin()) + edge; i + edge < x.size(); ++i)
    if (std::fabs(x[i + 1] - c * x[i] + x[i - 1]) > 1e-3) found.push_back(i);
  return found;
}

}  // namespace zt::test::pulse
