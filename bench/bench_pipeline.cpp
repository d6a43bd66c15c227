// Measures the audio pipeline: throughput of conversion, framing and event
// serialization for 48 kHz stereo float capture in 10 ms buffers, and the
// conversion's quality (SNR, flatness, aliasing) beside `sox rate` on the
// same input. Prints figures; it asserts nothing.
#include <dispatch/dispatch.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

#include "audio/ZTConverter.h"
#include "base/dispatch.h"
#include "base/process_exit.h"
#include "platform/soxr/soxr_converter.h"

namespace {

using zt::platform::AudioFormat;
using zt::platform::PCMBuffer;
using zt::platform::SampleType;

constexpr double kPi = std::numbers::pi;
constexpr double kInputRate = 48000;
constexpr uint32_t kBufferFrames = 480;
const AudioFormat kInputFormat{SampleType::Float32, kInputRate, 2, true};

class BenchPlatform : public zt::platform::Platform {
 public:
  zt::platform::CaptureDevices& captureDevices() override { std::abort(); }
  zt::platform::ScreenAccess& screenAccess() override { std::abort(); }
  zt::platform::ScreenCapture& screenCapture() override { std::abort(); }
  zt::platform::NotificationCenter& notificationCenter() override { std::abort(); }
  std::unique_ptr<zt::platform::AudioEngine> makeAudioEngine() override { std::abort(); }
  std::unique_ptr<zt::platform::AudioConverter> makeConverter(const AudioFormat& from,
                                                              const AudioFormat& to) override {
    return zt::platform::makeSoxrConverter(from, to);
  }
};

double threadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double wallSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Interleaved stereo float frames of `seconds` of `fn(t)` on both channels.
std::vector<float> stereo(double seconds, const std::function<double(double)>& fn) {
  const auto frames = static_cast<size_t>(seconds * kInputRate);
  std::vector<float> samples(frames * 2);
  for (size_t i = 0; i < frames; ++i)
    samples[2 * i] = samples[2 * i + 1] = static_cast<float>(fn(i / kInputRate));
  return samples;
}

PCMBuffer bufferOf(const float* frames, uint32_t count) {
  auto buffer = PCMBuffer::make(kInputFormat, count);
  buffer->setFrameLength(count);
  std::memcpy(buffer->mutableAudioBufferList()->buffers[0].data, frames, count * 2 * sizeof(float));
  return std::move(*buffer);
}

// ---------------------------------------------------------------------------
// Throughput

// Everything a host would get goes into a pipe that a thread drains.
struct PipeSink {
  int fds[2] = {-1, -1};
  std::thread drain;
  std::atomic<uint64_t> bytes{0};
  PipeSink() {
    if (pipe(fds) != 0) std::abort();
    drain = std::thread([this] {
      std::vector<char> chunk(1 << 16);
      for (;;) {
        const ssize_t n = read(fds[0], chunk.data(), chunk.size());
        if (n > 0)
          bytes += static_cast<uint64_t>(n);
        else if (n == 0 || errno != EINTR)
          break;
      }
    });
  }
};

void measureThroughput() {
  const double audioSeconds = 600;
  const auto oneSecond = stereo(
      1.0, [](double t) { return 0.4 * std::sin(2 * kPi * 440 * t) + 0.2 * std::sin(2 * kPi * 3150 * t); });
  std::vector<PCMBuffer> buffers;
  for (size_t at = 0; at < kInputRate; at += kBufferFrames)
    buffers.push_back(bufferOf(&oneSecond[2 * at], kBufferFrames));
  const auto passes = static_cast<size_t>(audioSeconds);

  // The converter alone.
  {
    auto converter = zt::platform::makeSoxrConverter(kInputFormat, zt::platform::wireFormat());
    converter->setDownmix(true);
    auto output = PCMBuffer::make(zt::platform::wireFormat(), 416);
    uint64_t frames = 0;
    const double start = threadSeconds();
    for (size_t p = 0; p < passes; ++p) {
      for (const PCMBuffer& buffer : buffers) {
        const PCMBuffer* next = &buffer;
        for (;;) {
          std::optional<zt::platform::Error> error;
          const auto status =
              converter->convert(*output, &error, [&](uint32_t, zt::platform::ConverterInputStatus* s) {
                *s = next ? zt::platform::ConverterInputStatus::HaveData
                          : zt::platform::ConverterInputStatus::NoDataNow;
                return std::exchange(next, nullptr);
              });
          frames += output->frameLength();
          if (status != zt::platform::ConverterOutputStatus::HaveData) break;
        }
      }
    }
    const double cpu = threadSeconds() - start;
    std::printf(
        "throughput  soxr converter alone (downmix + resample + round): %8.0fx real time  (%llu frames "
        "out)\n",
        audioSeconds / cpu, static_cast<unsigned long long>(frames));
  }

  // The whole path: ZTConverter, framing into events, JSON serialization
  // and queueing in ZTOutput, whose main-queue writer sends it down a pipe.
  PipeSink sink;
  std::unique_ptr<zt::ZTOutput> output;
  zt::sync(zt::mainQueue(), [&] {
    output = std::make_unique<zt::ZTOutput>(sink.fds[1], [](int) {});
    output->setAcceptingAudio(true);
  });
  BenchPlatform platform;
  zt::ZTConverter converter(platform);
  bool ok = true;
  uint64_t waits = 0;
  const double wallStart = wallSeconds();
  const double start = threadSeconds();
  for (size_t p = 0; p < passes && ok; ++p) {
    for (const PCMBuffer& buffer : buffers) {
      ok = ok && converter.convert(buffer, "system", output.get());
      // Stay clear of the output's bound, as real capture at 1x always does;
      // a dropped event would flatter the figure.
      while (output->stateForTesting().queuedBytes > zt::ZTOutput::kMaxQueuedBytes / 2) {
        ++waits;
        std::this_thread::yield();
      }
    }
  }
  ok = ok && converter.finishSource("system", output.get());
  const double cpu = threadSeconds() - start;
  while (output->stateForTesting().queuedBytes > 0) std::this_thread::yield();
  const double wall = wallSeconds() - wallStart;
  const auto state = output->stateForTesting();
  std::printf("throughput  convert + frame + serialize + queue (converting thread CPU): %8.0fx real time\n",
              audioSeconds / cpu);
  std::printf(
      "            end to end through the pipe (wall clock, writer on the main queue): %8.0fx real time\n",
      audioSeconds / wall);
  std::printf(
      "            %.0f s of audio, %.1f MB of event lines, conversions %s, output error '%s', %llu waits\n",
      audioSeconds, sink.bytes.load() / 1e6, ok ? "ok" : "FAILED", state.pendingError.c_str(),
      static_cast<unsigned long long>(waits));
  zt::sync(zt::mainQueue(), [&] { output.reset(); });
  close(sink.fds[1]);
  sink.drain.join();
  close(sink.fds[0]);
}

// ---------------------------------------------------------------------------
// Quality

using Converter = std::function<std::vector<int16_t>(const std::vector<float>&)>;

// The helper's own path: 10 ms buffers through the converter ZTConverter
// uses, with the settings it applies, tail included. Framing is lossless,
// so the samples are what the host receives.
std::vector<int16_t> convertWithHelper(const std::vector<float>& input) {
  auto converter = zt::platform::makeSoxrConverter(kInputFormat, zt::platform::wireFormat());
  converter->setDownmix(true);
  converter->setPrimeMethod(zt::platform::ConverterPrimeMethod::None);
  auto output = PCMBuffer::make(zt::platform::wireFormat(), 2048);
  std::vector<int16_t> out;
  const size_t frames = input.size() / 2;
  auto drain = [&](const zt::platform::ConverterInputBlock& block) {
    for (;;) {
      std::optional<zt::platform::Error> error;
      const auto status = converter->convert(*output, &error, block);
      out.insert(out.end(), output->int16ChannelData(), output->int16ChannelData() + output->frameLength());
      if (status != zt::platform::ConverterOutputStatus::HaveData) return;
    }
  };
  for (size_t at = 0; at < frames; at += kBufferFrames) {
    const PCMBuffer buffer =
        bufferOf(&input[2 * at], static_cast<uint32_t>(std::min<size_t>(kBufferFrames, frames - at)));
    const PCMBuffer* next = &buffer;
    drain([&](uint32_t, zt::platform::ConverterInputStatus* s) {
      *s =
          next ? zt::platform::ConverterInputStatus::HaveData : zt::platform::ConverterInputStatus::NoDataNow;
      return std::exchange(next, nullptr);
    });
  }
  drain([](uint32_t, zt::platform::ConverterInputStatus* s) -> const PCMBuffer* {
    *s = zt::platform::ConverterInputStatus::EndOfStream;
    return nullptr;
  });
  return out;
}

// The same input through `sox ... channels 1 rate -h 16000`, dither off to
// match the helper's plain rounding.
std::vector<int16_t> convertWithSox(const std::vector<float>& input) {
  char dir[] = "/tmp/zt-bench-XXXXXX";
  if (!mkdtemp(dir)) return {};
  const std::string in = std::string(dir) + "/in.f32";
  const std::string out = std::string(dir) + "/out.s16";
  FILE* f = std::fopen(in.c_str(), "wb");
  std::fwrite(input.data(), sizeof(float), input.size(), f);
  std::fclose(f);
  const auto sox = zt::test::runProgram("sox", {"-D",
                                                "-t",
                                                "raw",
                                                "-r",
                                                "48000",
                                                "-e",
                                                "floating-point",
                                                "-b",
                                                "32",
                                                "-c",
                                                "2",
                                                in,
                                                "-t",
                                                "raw",
                                                "-e",
                                                "signed-integer",
                                                "-b",
                                                "16",
                                                "-c",
                                                "1",
                                                out,
                                                "channels",
                                                "1",
                                                "rate",
                                                "-h",
                                                "16000"});
  std::vector<int16_t> samples;
  if (sox.status == 0) {
    f = std::fopen(out.c_str(), "rb");
    int16_t chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, sizeof(int16_t), 4096, f)) > 0)
      samples.insert(samples.end(), chunk, chunk + n);
    std::fclose(f);
  }
  std::remove(in.c_str());
  std::remove(out.c_str());
  rmdir(dir);
  return samples;
}

struct Fit {
  double amplitude = 0;
  double residualRms = 0;
};

// Least squares of sin, cos and a constant at `hz` over [begin, end).
Fit fitTone(const std::vector<int16_t>& y, size_t begin, size_t end, double hz) {
  const double w = 2 * kPi * hz / 16000;
  double m[3][4] = {};
  for (size_t k = begin; k < end; ++k) {
    const double b[3] = {std::sin(w * k), std::cos(w * k), 1.0};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) m[r][c] += b[r] * b[c];
      m[r][3] += b[r] * y[k];
    }
  }
  for (int p = 0; p < 3; ++p)
    for (int r = p + 1; r < 3; ++r) {
      const double f = m[r][p] / m[p][p];
      for (int c = p; c < 4; ++c) m[r][c] -= f * m[p][c];
    }
  double x[3];
  for (int r = 2; r >= 0; --r) {
    double s = m[r][3];
    for (int c = r + 1; c < 3; ++c) s -= m[r][c] * x[c];
    x[r] = s / m[r][r];
  }
  double residual = 0;
  for (size_t k = begin; k < end; ++k) {
    const double e = y[k] - (x[0] * std::sin(w * k) + x[1] * std::cos(w * k) + x[2]);
    residual += e * e;
  }
  return Fit{std::hypot(x[0], x[1]), std::sqrt(residual / (end - begin))};
}

double dB(double ratio) { return 20 * std::log10(ratio); }

struct Quality {
  double snr = 0;
  double flatMin = 1e9, flatMax = -1e9;
  double aliasWorst = -1e9;
  double aliasWorstHz = 0;
  size_t lengthError = 0;
};

Quality measureQuality(const Converter& convert) {
  Quality q;
  const double seconds = 2.0;
  const auto expected = static_cast<size_t>(seconds * 16000);
  auto tone = [&](double hz, double dBFS) {
    const double a = std::pow(10, dBFS / 20);
    auto out = convert(stereo(seconds, [=](double t) { return a * std::sin(2 * kPi * hz * t); }));
    q.lengthError =
        std::max(q.lengthError, out.size() > expected ? out.size() - expected : expected - out.size());
    out.resize(expected);
    return out;
  };
  const size_t begin = 4000, end = expected - 4000;

  // SNR of a 1 kHz tone at -1 dBFS: everything that is not the tone counts.
  {
    const auto out = tone(1000, -1);
    const Fit fit = fitTone(out, begin, end, 1000);
    q.snr = dB(fit.amplitude / std::sqrt(2) / fit.residualRms);
  }
  // Level of tones across the pass band, at -6 dBFS, against their input.
  for (double hz :
       {50.0, 100.0, 200.0, 500.0, 1000.0, 2000.0, 3000.0, 4000.0, 5000.0, 6000.0, 6500.0, 7000.0}) {
    const double level =
        dB(fitTone(tone(hz, -6), begin, end, hz).amplitude / (32768 * std::pow(10, -6.0 / 20)));
    q.flatMin = std::min(q.flatMin, level);
    q.flatMax = std::max(q.flatMax, level);
  }
  // Tones above the output's band, at -1 dBFS: whatever comes out is
  // aliasing (or imaging) and is measured as its total level in dBFS.
  for (double hz :
       {8500.0, 9000.0, 10000.0, 12000.0, 14000.0, 15500.0, 16000.0, 18000.0, 20000.0, 22000.0, 23000.0}) {
    const auto out = tone(hz, -1);
    double energy = 0;
    for (size_t k = begin; k < end; ++k) energy += double(out[k]) * out[k];
    const double rms = std::sqrt(energy / (end - begin));
    // Relative to a full-scale sine; a silent output is below any figure.
    const double level = rms > 0 ? dB(rms * std::sqrt(2) / 32768) : -200;
    if (level > q.aliasWorst) q.aliasWorst = level, q.aliasWorstHz = hz;
  }
  return q;
}

void printQuality(const char* name, const Quality& q) {
  std::printf(
      "%-28s SNR %6.2f dB | flatness 50 Hz-7 kHz %+.4f..%+.4f dB (spread %.4f dB) | "
      "worst 8.5-23 kHz tone out %s dBFS at %.0f Hz | length off by %zu\n",
      name, q.snr, q.flatMin, q.flatMax, q.flatMax - q.flatMin,
      q.aliasWorst <= -200 ? "silent (< -150)" : std::to_string(q.aliasWorst).substr(0, 7).c_str(),
      q.aliasWorstHz, q.lengthError);
}

void run() {
  std::printf(
      "Zentrell audio pipeline: 48 kHz stereo Float32 in 10 ms buffers -> 16 kHz mono Int16 events\n\n");
  measureThroughput();
  std::printf("\nquality (targets: SNR >= 95 dB, flatness within 0.1 dB, aliasing <= -100 dBFS)\n");
  printQuality("helper (libsoxr HQ)", measureQuality(convertWithHelper));
  const auto probe = convertWithSox(std::vector<float>(9600, 0.0f));
  if (probe.empty())
    std::printf("sox: not available or failed; no comparison\n");
  else
    printQuality("sox -D ... rate -h 16000", measureQuality(convertWithSox));
}

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  std::thread([] {
    run();
    std::fflush(stdout);
    zt::terminateProcess(0);
  }).detach();
  dispatch_main();
}
