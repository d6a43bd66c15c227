#include "pulse/pulse_server.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace zt::test::pulse {

namespace {

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Runs argv with stdout captured (optional) and stderr discarded.
int run(const std::vector<std::string>& args, std::string* output) {
  int pipefd[2] = {-1, -1};
  if (output && pipe(pipefd) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(output ? pipefd[1] : null, 1);
    dup2(null, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (output) {
    close(pipefd[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0) output->append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

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

PulseServer::PulseServer(const std::string& script) {
  char templ[] = "/tmp/zt-pulse-XXXXXX";
  if (!mkdtemp(templ)) return;
  dir_ = templ;
  // The server, this process's backend and every client tool find each
  // other through these.
  setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  setenv("HOME", dir_.c_str(), 1);
  if (onPipeWire())
    startPipeWire(script);
  else
    startPulseAudio(script);
}

pid_t PulseServer::spawn(const std::vector<std::string>& args, const std::string& log) {
  const pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    int out = open((dir_ + "/" + log).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null, 0);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (pid > 0) pids_.push_back(pid);
  return pid;
}

void PulseServer::startPulseAudio(const std::string& script) {
  {
    std::ofstream f(dir_ + "/server.pa");
    f << replaceAll(script, "@DIR@", dir_);
  }
  setenv("PULSE_RUNTIME_PATH", dir_.c_str(), 1);
  setenv("PULSE_SERVER", ("unix:" + dir_ + "/native").c_str(), 1);
  spawn({"pulseaudio", "-n", "-F", dir_ + "/server.pa", "--exit-idle-time=-1", "--daemonize=no",
         "--system=no", "--disallow-exit", "--use-pid-file=no", "--log-target=stderr"},
        "server.log");
  ready_ = waitUntil([this] { return pactl("info") == 0; }, std::chrono::seconds(20));
}

// Needs no user session: a private bus for WirePlumber, and the runtime
// folder where PipeWire and its PulseAudio server put their sockets. As
// root, PipeWire finds no realtime service and runs without one.
void PulseServer::startPipeWire(const std::string& script) {
  setenv("PULSE_RUNTIME_PATH", (dir_ + "/pulse").c_str(), 1);
  setenv("PULSE_SERVER", ("unix:" + dir_ + "/pulse/native").c_str(), 1);
  setenv("PIPEWIRE_RUNTIME_DIR", dir_.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
  setenv("XDG_STATE_HOME", (dir_ + "/state").c_str(), 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir_ + "/bus").c_str(), 1);
  spawn({"dbus-daemon", "--session", "--address=unix:path=" + dir_ + "/bus", "--nofork", "--nopidfile"},
        "dbus.log");
  struct stat st;
  if (!waitUntil([&] { return stat((dir_ + "/bus").c_str(), &st) == 0; }, std::chrono::seconds(10))) return;
  spawn({"pipewire"}, "pipewire.log");
  // The session manager gives up when PipeWire is not there yet.
  if (!waitUntil([&] { return stat((dir_ + "/pipewire-0").c_str(), &st) == 0; }, std::chrono::seconds(10)))
    return;
  spawn({"wireplumber"}, "wireplumber.log");
  spawn({"pipewire-pulse"}, "pipewire-pulse.log");
  if (!waitUntil([this] { return pactl("info") == 0; }, std::chrono::seconds(20))) return;
  std::string wantedSink;
  std::istringstream lines(replaceAll(script, "@DIR@", dir_));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line.find("module-native-protocol-unix") != std::string::npos) continue;
    if (line.rfind("set-default-sink ", 0) == 0) wantedSink = line.substr(17);
    // Right after start-up the server may not take commands yet, and a
    // default can be set only once the session manager runs.
    if (!waitUntil([&] { return pactl(line) == 0; }, std::chrono::seconds(20))) {
      std::fprintf(stderr, "the server refused '%s' (logs in %s)\n", line.c_str(), dir_.c_str());
      return;
    }
  }
  // The session manager applies a new default a moment later.
  ready_ =
      wantedSink.empty() || waitUntil(
                                [&] {
                                  std::string info;
                                  return pactl("info", &info) == 0 &&
                                         info.find("Default Sink: " + wantedSink + "\n") != std::string::npos;
                                },
                                std::chrono::seconds(10));
}

PulseServer::~PulseServer() {
  for (auto it = pids_.rbegin(); it != pids_.rend(); ++it) {
    const pid_t pid = *it;
    ::kill(pid, SIGTERM);
    if (!waitUntil([pid] { return waitpid(pid, nullptr, WNOHANG) == pid; }, std::chrono::seconds(5))) {
      ::kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  // A server that did not come up keeps its logs.
  if (!dir_.empty() && ready_) run({"rm", "-rf", dir_}, nullptr);
}

int PulseServer::pactl(const std::string& args, std::string* output) {
  std::vector<std::string> argv{"pactl"};
  size_t start = 0;
  while (start < args.size()) {
    size_t end = args.find(' ', start);
    if (end == std::string::npos) end = args.size();
    if (end > start) argv.push_back(args.substr(start, end - start));
    start = end + 1;
  }
  return run(argv, output);
}

void PulseServer::kill() {
  for (auto it = pids_.rbegin(); it != pids_.rend(); ++it) {
    ::kill(*it, SIGKILL);
    waitpid(*it, nullptr, 0);
  }
  pids_.clear();
}

pid_t PulseServer::play(const std::string& sink, const std::string& rawFile, int latencyMs) {
  const std::string latency = "--latency-msec=" + std::to_string(latencyMs);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execlp("pacat", "pacat", "--playback", "-d", sink.c_str(), "--raw", "--format=float32le", "--rate=48000",
           "--channels=1", latency.c_str(), rawFile.c_str(), (char*)nullptr);
    _exit(127);
  }
  return pid;
}

void PulseServer::stopPlayer(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

bool PulseServer::waitPlayer(pid_t pid, std::chrono::milliseconds timeout) {
  return waitUntil([pid] { return waitpid(pid, nullptr, WNOHANG) == pid; }, timeout);
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
