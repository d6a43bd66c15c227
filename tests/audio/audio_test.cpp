// The audio pipeline on its own: the libsoxr converter, ZTConverter's loop
// against a scripted converter, buffer bounds, slicing; then every sample type
// and common rate end to end, through uneven buffers and format changes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <limits>
#include <numbers>
#include <tuple>

#include "audio/ZTConverter.h"
#include "base/dispatch.h"
#include "output/ZTOutput.h"
#include "platform/soxr/soxr_converter.h"
#include "support/audio_events.h"

namespace zt {
namespace {

using namespace platform;
using test::parseAudioEvent;

// Sample value (full scale ±1) of a channel at an absolute frame.
using SampleFunction = std::function<double(uint32_t channel, uint64_t frame)>;

// Integer samples are rounded and clipped.
void store(SampleType type, double value, std::byte* at) {
  const auto put = [at](auto sample) { std::memcpy(at, &sample, sizeof sample); };
  switch (type) {
    case SampleType::Float32:
      return put(static_cast<float>(value));
    case SampleType::Float64:
      return put(value);
    case SampleType::Int16:
      return put(static_cast<int16_t>(std::clamp(std::lrint(value * 32768.0), -32768L, 32767L)));
    case SampleType::Int32:
      return put(static_cast<int32_t>(
          std::clamp(std::nearbyint(value * 2147483648.0), -2147483648.0, 2147483647.0)));
  }
}

PCMBuffer makeBuffer(const AudioFormat& format, uint32_t frames, const SampleFunction& fn,
                     uint64_t firstFrame = 0) {
  auto buffer = PCMBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  const size_t size = bytesPerSample(format.sampleType);
  const bool split = !format.interleaved && format.channelCount > 1;
  auto& list = buffer->mutableAudioBufferList()->buffers;
  for (uint32_t c = 0; c < format.channelCount; ++c) {
    auto* at = static_cast<std::byte*>(list[split ? c : 0].data) + (split ? 0 : size * c);
    for (uint32_t i = 0; i < frames; ++i, at += split ? size : size * format.channelCount)
      store(format.sampleType, fn(c, firstFrame + i), at);
  }
  return std::move(*buffer);
}

PCMBuffer makeWireBuffer(const std::vector<int16_t>& samples) {
  return makeBuffer(wireFormat(), static_cast<uint32_t>(samples.size()),
                    [&](uint32_t, uint64_t i) { return samples[i] / 32768.0; });
}

class TestPlatform : public Platform {
 public:
  using Factory = std::function<std::unique_ptr<AudioConverter>(const AudioFormat&, const AudioFormat&)>;
  explicit TestPlatform(Factory factory = &makeSoxrConverter) : factory_(std::move(factory)) {}
  CaptureDevices& captureDevices() override { std::abort(); }
  ScreenAccess& screenAccess() override { std::abort(); }
  ScreenCapture& screenCapture() override { std::abort(); }
  NotificationCenter& notificationCenter() override { std::abort(); }
  std::unique_ptr<AudioEngine> makeAudioEngine() override { std::abort(); }
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) override {
    return factory_(from, to);
  }

 private:
  Factory factory_;
};

// On a regular file, which takes every write: one flush writes everything.
class OutputCapture {
 public:
  OutputCapture() {
    char name[] = "/tmp/zt-output-XXXXXX";
    fd_ = mkstemp(name);
    unlink(name);
    sync(mainQueue(), [&] {
      output_ = std::make_unique<ZTOutput>(fd_, [](int status) { ADD_FAILURE() << "exited " << status; });
      output_->setAcceptingAudio(true);
    });
  }
  ~OutputCapture() {
    sync(mainQueue(), [&] { output_.reset(); });
    close(fd_);
  }
  ZTOutput* output() { return output_.get(); }
  // Every line written since the last call; a latched failure fails the test.
  std::vector<std::string> takeLines() {
    sync(mainQueue(), [&] {
      EXPECT_EQ(output_->stateForTesting().pendingError, "");
      output_->flush();
    });
    std::ifstream in("/proc/self/fd/" + std::to_string(fd_));
    in.seekg(static_cast<std::streamoff>(taken_));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line); taken_ += line.size() + 1) lines.push_back(line);
    return lines;
  }
  // The samples of those lines, all of which must be audio events.
  std::vector<int16_t> takeSamples(std::vector<size_t>* eventBytes = nullptr) {
    std::vector<int16_t> out;
    for (const std::string& line : takeLines()) {
      auto event = parseAudioEvent(line);
      if (!event) ADD_FAILURE() << "not an audio event: " << line.substr(0, 200);
      if (!event) continue;
      if (eventBytes) eventBytes->push_back(event->samples.size() * 2);
      out.insert(out.end(), event->samples.begin(), event->samples.end());
    }
    return out;
  }

 private:
  int fd_ = -1;
  size_t taken_ = 0;
  std::unique_ptr<ZTOutput> output_;
};

using Status = ConverterOutputStatus;

constexpr auto kFull = Status::HaveData;
constexpr auto kDry = Status::InputRanDry;
constexpr auto kEnd = Status::EndOfStream;
constexpr auto kUnknown = static_cast<Status>(7);

const double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();

AudioFormat stereoFloat(double rate) { return AudioFormat{SampleType::Float32, rate, 2, true}; }

TEST(SoxrConverter, MakesOnlyWireConvertersFromFormatsInRange) {
  EXPECT_NE(makeSoxrConverter({SampleType::Int16, 8000, 1, false}, wireFormat()), nullptr);
  EXPECT_NE(makeSoxrConverter({SampleType::Float64, 192000, 8, false}, wireFormat()), nullptr);
  for (const AudioFormat& to :
       {AudioFormat{SampleType::Float32, 16000, 1, true}, AudioFormat{SampleType::Int16, 16000, 2, true},
        AudioFormat{SampleType::Int16, 44100, 1, true}})
    EXPECT_EQ(makeSoxrConverter(stereoFloat(48000), to), nullptr);
  for (const AudioFormat& bad :
       {stereoFloat(7999), stereoFloat(192001), stereoFloat(kNaN),
        AudioFormat{SampleType::Float32, 48000, 0, true}, AudioFormat{SampleType::Float32, 48000, 9, true},
        AudioFormat{static_cast<SampleType>(9), 48000, 2, true}})
    EXPECT_EQ(makeSoxrConverter(bad, wireFormat()), nullptr) << bad.sampleRate << " " << bad.channelCount;
}

TEST(SoxrConverter, RoundsToNearestAndClipsWithoutDither) {
  // At 16 kHz nothing is filtered, so the rounding shows sample by sample.
  auto converter = makeSoxrConverter(AudioFormat{SampleType::Float64, 16000, 1, true}, wireFormat());
  ASSERT_NE(converter, nullptr);
  // In LSB of the output.
  const double in[] = {0.4,    0.6,   -0.4,   -0.6,    100.3, -100.7, 32768,
                       -32768, 49152, -49152, 32766.6, kNaN,  kInf};
  const std::vector<int16_t> expected = {0, 1, 0, -1, 100, -101, 32767, -32768, 32767, -32768, 32767, 0, 0};
  const auto buffer = makeBuffer(converter->inputFormat(), std::size(in),
                                 [&](uint32_t, uint64_t i) { return in[i] / 32768; });
  const PCMBuffer* next = &buffer;
  bool ended = false;
  // The buffer once, then no data now; once `ended`, the end of the stream.
  const ConverterInputBlock block = [&](uint32_t, ConverterInputStatus* status) {
    using enum ConverterInputStatus;
    *status = next ? HaveData : ended ? EndOfStream : NoDataNow;
    return std::exchange(next, nullptr);
  };
  std::vector<int16_t> samples;
  auto output = PCMBuffer::make(wireFormat(), 64);
  for (const Status status : {Status::InputRanDry, Status::EndOfStream}) {
    std::optional<Error> error;
    EXPECT_EQ(converter->convert(*output, &error, block), status);
    samples.insert(samples.end(), output->int16ChannelData(),
                   output->int16ChannelData() + output->frameLength());
    ended = true;
  }
  EXPECT_EQ(samples, expected);
}

TEST(SoxrConverter, ReportsErrorsForBuffersItCannotUse) {
  const AudioFormat from = stereoFloat(48000);
  const auto good = makeBuffer(from, 480, [](uint32_t, uint64_t) { return 0.5; });
  const auto other = makeBuffer(stereoFloat(44100), 441, [](uint32_t, uint64_t) { return 0.5; });
  std::vector<float> shortStorage(100);
  const auto missing = PCMBuffer::wrapping(from, 480, AudioBufferList{{{2, 3840, nullptr}}});
  const auto shortBuffer = PCMBuffer::wrapping(from, 480, AudioBufferList{{{2, 400, shortStorage.data()}}});
  const auto noList = PCMBuffer::wrapping(from, 480, std::nullopt);
  auto wire = PCMBuffer::make(wireFormat(), 416);
  auto floatOutput = PCMBuffer::make(AudioFormat{SampleType::Float32, 16000, 1, true}, 416);
  const std::tuple<const char*, PCMBuffer*, const PCMBuffer*> cases[] = {
      {"float output", &*floatOutput, &good}, {"other format", &*wire, &other},
      {"no buffer", &*wire, nullptr},         {"no data", &*wire, &missing},
      {"short data", &*wire, &shortBuffer},   {"no list", &*wire, &noList}};
  for (const auto& [name, out, in] : cases) {
    std::optional<Error> error;
    const ConverterInputBlock block = [&](uint32_t, ConverterInputStatus* s) {
      *s = ConverterInputStatus::HaveData;
      return in;
    };
    EXPECT_EQ(makeSoxrConverter(from, wireFormat())->convert(*out, &error, block), Status::Error) << name;
    EXPECT_TRUE(error.has_value()) << name;
  }
}

// One call of the scripted converter.
struct Step {
  Status status;
  uint32_t frames = 0;
  bool fillError = false;
};

// Its n-th sample is n, so the output shows which calls' frames went out.
class ScriptedConverter : public AudioConverter {
 public:
  ScriptedConverter(AudioFormat in, AudioFormat out, std::deque<Step> steps)
      : in_(in), out_(out), steps_(std::move(steps)) {}
  const AudioFormat& inputFormat() const override { return in_; }
  const AudioFormat& outputFormat() const override { return out_; }
  void setDownmix(bool) override {}
  void setPrimeMethod(ConverterPrimeMethod) override {}
  Status convert(PCMBuffer& output, std::optional<Error>* error, const ConverterInputBlock& input) override {
    ConverterInputStatus status;
    input(64, &status);
    if (steps_.empty()) return Status::Error;
    const Step step = steps_.front();
    steps_.pop_front();
    output.setFrameLength(step.frames);
    if (int16_t* samples = output.int16ChannelData())
      for (uint32_t i = 0; i < step.frames; ++i) samples[i] = static_cast<int16_t>(written_++);
    if (step.fillError) *error = Error{"test", 1};
    return step.status;
  }

 private:
  AudioFormat in_, out_;
  std::deque<Step> steps_;
  int written_ = 0;
};

struct Scripted {
  explicit Scripted(std::deque<Step> steps, AudioFormat output = wireFormat())
      : platform([steps, output](const AudioFormat& from, const AudioFormat&) {
          return std::make_unique<ScriptedConverter>(from, output, steps);
        }) {}
  TestPlatform platform;
  OutputCapture capture;
  ZTConverter converter{platform};
  bool convert() {
    const AudioFormat format{SampleType::Float32, 48000, 2, true};
    return converter.convert(makeBuffer(format, 480, [](uint32_t, uint64_t) { return 0.0; }), "system",
                             capture.output());
  }
};

std::vector<int16_t> firstSamples(int count) {
  std::vector<int16_t> samples(count);
  for (int i = 0; i < count; ++i) samples[i] = static_cast<int16_t>(i);
  return samples;
}

// Frames of a failed call are dropped, but not those before an unknown
// status, which ends the loop. `finish` rows convert first (one dry call).
TEST(ZTConverter, ConvertAndFinishOutcomes) {
  std::deque<Step> nine(9, Step{kFull, 3}), sevenAndDry(7, Step{kFull, 3}), endless(9, Step{kFull, 1});
  sevenAndDry.push_back({kDry, 1});
  const struct {
    const char* name;
    std::deque<Step> steps;
    bool ok;
    int samples;
    bool finish = false;
    AudioFormat output = wireFormat();
  } cases[] = {
      {"end of stream", {{kEnd, 4}}, true, 4},
      {"error status", {{kFull, 10}, {Status::Error, 3}}, false, 10},
      {"error object", {{kFull, 10}, {kDry, 3, true}}, false, 10},
      {"unknown status", {{kFull, 10}, {kUnknown, 3}, {kDry, 5}}, false, 13},
      {"full and empty", {{kFull, 0}, {kDry, 1}}, false, 0},
      {"nine full passes", nine, false, 24},
      {"seven full passes and a dry one", sevenAndDry, true, 22},
      {"output without 16-bit data", {{kDry, 5}}, false, 0, false, {SampleType::Float32, 16000, 1, true}},
      {"finish drains to the end", {{kFull, 2048}, {kDry, 7}, {kEnd, 5}}, true, 2060, true},
      {"finish dry with nothing left", {{kDry, 0}}, true, 0, true},
      {"finish error status", {{Status::Error, 0}}, false, 0, true},
      {"finish error object", {{kEnd, 0, true}}, false, 0, true},
      {"finish full and empty", {{kFull, 0}, {kEnd, 0}}, false, 0, true},
      {"finish unknown status", {{kUnknown, 0}}, false, 0, true},
      {"finish never ends", endless, false, 8, true},
  };
  for (const auto& c : cases) {
    std::deque<Step> steps = c.steps;
    if (c.finish) steps.push_front({kDry, 0});
    Scripted s(steps, c.output);
    EXPECT_EQ(s.convert(), c.ok || c.finish) << c.name;
    if (c.finish) EXPECT_EQ(s.converter.finishSource("system", s.capture.output()), c.ok) << c.name;
    EXPECT_EQ(s.capture.takeSamples(), firstSamples(c.samples)) << c.name;
  }
}

// The bounds never read samples: one small block backs every buffer. `last`
// overrides the last buffer's size; 0 leaves it without data.
AudioBufferList listOf(uint32_t buffers, uint32_t bytesEach, std::optional<uint32_t> last = std::nullopt) {
  static std::vector<std::byte> backing(64);
  AudioBufferList list;
  for (uint32_t i = 0; i < buffers; ++i) list.buffers.push_back({1, bytesEach, backing.data()});
  if (last) list.buffers.back() = {1, *last, *last ? backing.data() : nullptr};
  return list;
}

TEST(ZTValidBuffer, EveryBoundAtItsEdge) {
  const AudioBufferList one = listOf(1, 3840);
  // Frames, channels, rate, buffers, valid.
  const std::tuple<uint32_t, uint32_t, double, std::optional<AudioBufferList>, bool> cases[] = {
      {0, 2, 48000, one, false},
      {1, 2, 48000, one, true},
      {16384, 2, 48000, one, true},
      {16385, 2, 48000, one, false},
      {480, 0, 48000, one, false},
      {480, 8, 48000, one, true},
      {480, 9, 48000, one, false},
      {480, 2, 8000, one, true},
      {480, 2, 7999.999, one, false},
      {480, 2, 192000, one, true},
      {480, 2, 192000.001, one, false},
      {480, 2, kNaN, one, false},
      {480, 2, 48000, std::nullopt, false},
      {480, 2, 48000, listOf(0, 0), false},
      {480, 8, 48000, listOf(8, 1920), true},
      {480, 8, 48000, listOf(9, 1920), false},
      {480, 3, 48000, listOf(3, 1920, 0), false},
      // The byte total is cumulative, and a 32-bit sum would wrap.
      {480, 2, 48000, listOf(2, 524288), true},
      {480, 2, 48000, listOf(2, 524288, 524289), false},
      {480, 2, 48000, listOf(2, 0x80000000u), false},
  };
  for (const auto& c : cases) {
    const auto& [frames, channels, rate, list, valid] = c;
    const auto buffer = PCMBuffer::wrapping({SampleType::Float32, rate, channels, true}, frames, list);
    EXPECT_EQ(ZTValidBuffer(buffer), valid) << "case " << &c - cases;
  }
}

// Little-endian slices of at most 3200 bytes; malformed buffers send nothing.
TEST(ZTEmitPCM, Slices) {
  std::vector<int16_t> samples(16123);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 37 % 65536 - 32768);
  const std::pair<size_t, std::vector<size_t>> cases[] = {
      {0, {}},
      {1600, {3200}},
      {1601, {3200, 2}},
      {16123, {3200, 3200, 3200, 3200, 3200, 3200, 3200, 3200, 3200, 3200, 246}}};
  for (const auto& [frames, eventBytes] : cases) {
    OutputCapture capture;
    const std::vector<int16_t> sent(samples.begin(), samples.begin() + frames);
    EXPECT_TRUE(ZTEmitPCM(makeWireBuffer(sent), "system", capture.output()));
    std::vector<size_t> bytes;
    EXPECT_EQ(capture.takeSamples(&bytes), sent);
    EXPECT_EQ(bytes, eventBytes) << frames;
  }
  OutputCapture capture;
  ZTEmitPCM(makeWireBuffer({0x0102, -2}), "system", capture.output());
  EXPECT_EQ(capture.takeLines(),
            std::vector<std::string>{"{\"audio\":\"AgH+/w==\",\"event\":\"audio\",\"source\":\"system\"}"});
  const AudioBufferList list{{{1, 16, samples.data()}}};
  const AudioFormat stereo{SampleType::Int16, 16000, 2, true};
  EXPECT_FALSE(ZTEmitPCM(PCMBuffer::wrapping(wireFormat(), 9, list), "system", capture.output()));
  EXPECT_FALSE(ZTEmitPCM(PCMBuffer::wrapping(stereo, 4, list), "system", capture.output()));
  EXPECT_TRUE(ZTEmitPCM(PCMBuffer::wrapping(wireFormat(), 8, list), "system", capture.output()));
  EXPECT_EQ(capture.takeSamples(), std::vector<int16_t>(samples.begin(), samples.begin() + 8));
}

constexpr double kAmplitude = 0.5;
constexpr double kFullScale = 32768;
// A chirp never repeats, so a lost or repeated block cannot hide as in a tone.
constexpr double kStartHz = 200;
constexpr double kEndHz = 3000;
constexpr double kSeconds = 1.1;
// Output samples either side of an edge that the filter's response spreads over.
constexpr size_t kEdgeSamples = 256;
// The smallest, the tap sizes, odd sizes, the largest allowed.
constexpr uint32_t kBufferSizes[] = {1, 480, 7, 1024, 441, 4096, 160, 16384, 333, 2048, 4410, 97};

double chirp(double t) {
  return kAmplitude *
         std::sin(2 * std::numbers::pi * (kStartHz * t + (kEndHz - kStartHz) / (2 * kSeconds) * t * t));
}

// Two channels carry 1.5 and 0.5 of the chirp: only their average is the signal.
std::vector<int16_t> convertSegments(const std::vector<std::pair<AudioFormat, double>>& segments) {
  TestPlatform platform;
  OutputCapture capture;
  ZTConverter converter(platform);
  double startSeconds = 0;
  size_t sizeIndex = 0;
  for (const auto& [format, seconds] : segments) {
    const double rate = format.sampleRate;
    const auto frames = static_cast<uint64_t>(std::llround(seconds * rate));
    const bool stereo = format.channelCount == 2;
    const auto fn = [&](uint32_t channel, uint64_t frame) {
      return (stereo ? 1.5 - channel : 1.0) * chirp(startSeconds + frame / rate);
    };
    for (uint64_t at = 0; at < frames;) {
      const auto n = static_cast<uint32_t>(
          std::min<uint64_t>(kBufferSizes[sizeIndex++ % std::size(kBufferSizes)], frames - at));
      EXPECT_TRUE(converter.convert(makeBuffer(format, n, fn, at), "system", capture.output()));
      at += n;
    }
    startSeconds += seconds;
  }
  EXPECT_TRUE(converter.finishSource("system", capture.output()));
  return capture.takeSamples();
}

void expectEverySampleInItsPlace(SampleType type, double rate) {
  // Each segment changes rate, layout or channels.
  const double nextRate = rate == 44100 ? 48000 : 44100;
  const auto out = convertSegments({{AudioFormat{type, rate, 2, true}, 0.4},
                                    {AudioFormat{type, nextRate, 2, false}, 0.4},
                                    {AudioFormat{type, rate, 1, true}, 0.3}});
  const std::vector<size_t> changes = {6400, 12800};
  ASSERT_NEAR(static_cast<double>(out.size()), kSeconds * 16000, 4);
  // The largest error against the chirp delayed by `delay` samples.
  auto worstError = [&](double delay, bool atChanges) {
    double worst = 0;
    for (size_t k = kEdgeSamples; k + kEdgeSamples < out.size(); ++k) {
      const bool nearChange = std::any_of(changes.begin(), changes.end(), [&](size_t at) {
        return k + kEdgeSamples >= at && k < at + kEdgeSamples;
      });
      if (nearChange == atChanges)
        worst = std::max(worst, std::abs(out[k] - kFullScale * chirp((k - delay) / 16000.0)));
    }
    return worst;
  };
  // The delay that fits best, searched in twentieths of a sample.
  double bestDelay = 0, best = worstError(0, false);
  for (int d = -40; d <= 40; ++d) {
    const double error = worstError(d / 20.0, false);
    if (error < best) best = error, bestDelay = d / 20.0;
  }
  // A misplaced block, wrong level or lost channel would be off by hundreds.
  EXPECT_LE(best, 8) << "at delay " << bestDelay;
  // A change cut near a peak leaves about half of it, never more.
  EXPECT_LE(worstError(bestDelay, true), 0.6 * kAmplitude * kFullScale);
}

TEST(Fidelity, EverySampleIsInItsPlace) {
  for (const SampleType type :
       {SampleType::Float32, SampleType::Float64, SampleType::Int16, SampleType::Int32}) {
    for (const double rate : {8000.0, 44100.0, 48000.0, 96000.0}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(type)) + " at " + std::to_string(rate));
      expectEverySampleInItsPlace(type, rate);
    }
  }
}

}  // namespace
}  // namespace zt
