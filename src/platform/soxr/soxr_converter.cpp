#include "platform/soxr/soxr_converter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace zt::platform {
namespace {

constexpr uint32_t kMaxChannels = 8;
constexpr double kMinRate = 8000;
constexpr double kMaxRate = 192000;
// Resampled samples taken from libsoxr per call; any size works, this one
// keeps the scratch small and the call count low.
constexpr size_t kScratchFrames = 4096;
// A stuck resampler (no input taken, no output given) is an error rather
// than an endless loop.
constexpr int kMaxIdleCalls = 4;

const char* const kConverterDomain = "ZTSoxrConverter";
enum ConverterErrorCode : int64_t {
  kBadOutputBuffer = 1,
  kBadInputBuffer = 2,
  kMissingInput = 3,
  kResamplerFailed = 4,
  kBadInputStatus = 5,
};

struct SoxrDeleter {
  void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};
using SoxrHandle = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter>;

bool isSupportedInput(const AudioFormat& format) {
  return format.channelCount >= 1 && format.channelCount <= kMaxChannels &&
         std::isfinite(format.sampleRate) && format.sampleRate >= kMinRate && format.sampleRate <= kMaxRate &&
         bytesPerSample(format.sampleType) != 0;
}

// Samples as a fraction of full scale. A non-finite float would poison the
// filter's history for the rest of the stream, so it counts as silence.
template <class T>
double toUnit(T sample);
template <>
double toUnit(float sample) {
  return std::isfinite(sample) ? sample : 0.0;
}
template <>
double toUnit(double sample) {
  return std::isfinite(sample) ? sample : 0.0;
}
template <>
double toUnit(int16_t sample) {
  return sample / 32768.0;
}
template <>
double toUnit(int32_t sample) {
  return sample / 2147483648.0;
}

template <class T>
T load(const std::byte* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

int16_t toWireSample(double unit) {
  const double scaled = unit * 32768.0;
  if (scaled >= 32767.0) return 32767;
  if (scaled <= -32768.0) return -32768;
  return static_cast<int16_t>(std::lrint(scaled));
}

class SoxrConverter final : public AudioConverter {
 public:
  SoxrConverter(const AudioFormat& from, const AudioFormat& to, SoxrHandle resampler)
      : input_(from), output_(to), resampler_(std::move(resampler)), scratch_(kScratchFrames) {}

  const AudioFormat& inputFormat() const override { return input_; }
  const AudioFormat& outputFormat() const override { return output_; }
  void setDownmix(bool downmix) override { downmix_ = downmix; }
  // libsoxr assumes silence before the first frame and after the last one
  // and holds back its filter delay until the end of the stream, which is
  // the None behaviour. It has no other, so every method behaves so.
  void setPrimeMethod(ConverterPrimeMethod) override {}

  ConverterOutputStatus convert(PCMBuffer& output, std::optional<Error>* error,
                                const ConverterInputBlock& input) override;

 private:
  ConverterOutputStatus fail(PCMBuffer& output, uint32_t written, std::optional<Error>* error,
                             ConverterErrorCode code);
  uint32_t takePending(int16_t* into, uint32_t room);
  uint32_t inputFramesFor(uint32_t outputFrames) const;
  bool readable(const PCMBuffer& buffer) const;
  void mixToMono(const PCMBuffer& buffer);
  template <class T>
  void mixToMonoAs(const PCMBuffer& buffer);
  bool resample(const PCMBuffer& buffer);
  bool drainResampler();
  void keep(size_t frames);

  AudioFormat input_;
  AudioFormat output_;
  SoxrHandle resampler_;
  bool downmix_ = false;

  std::vector<float> mono_;
  std::vector<float> scratch_;
  // Converted samples that did not fit in the caller's buffer; they go out
  // first on the next call.
  std::vector<int16_t> pending_;
  size_t pendingStart_ = 0;
  // The input block reported the end: no more input is asked for.
  bool endOfInput_ = false;
  // After the end, libsoxr has given out its whole tail.
  bool drained_ = false;
};

ConverterOutputStatus SoxrConverter::convert(PCMBuffer& output, std::optional<Error>* error,
                                             const ConverterInputBlock& input) {
  output.setFrameLength(0);
  int16_t* samples = output.int16ChannelData();
  if (!(output.format() == output_) || samples == nullptr) return fail(output, 0, error, kBadOutputBuffer);
  const uint32_t capacity = output.frameCapacity();
  uint32_t written = 0;
  for (;;) {
    written += takePending(samples + written, capacity - written);
    if (written == capacity) {
      output.setFrameLength(written);
      return ConverterOutputStatus::HaveData;
    }
    if (drained_) {
      output.setFrameLength(written);
      return ConverterOutputStatus::EndOfStream;
    }
    if (endOfInput_) {
      if (!drainResampler()) return fail(output, written, error, kResamplerFailed);
      continue;
    }
    auto status = ConverterInputStatus::NoDataNow;
    const PCMBuffer* buffer = input ? input(inputFramesFor(capacity - written), &status) : nullptr;
    switch (status) {
      case ConverterInputStatus::HaveData:
        if (buffer == nullptr) return fail(output, written, error, kMissingInput);
        if (!readable(*buffer)) return fail(output, written, error, kBadInputBuffer);
        if (!resample(*buffer)) return fail(output, written, error, kResamplerFailed);
        break;
      case ConverterInputStatus::NoDataNow:
        output.setFrameLength(written);
        return ConverterOutputStatus::InputRanDry;
      case ConverterInputStatus::EndOfStream:
        endOfInput_ = true;
        break;
      default:
        return fail(output, written, error, kBadInputStatus);
    }
  }
}

ConverterOutputStatus SoxrConverter::fail(PCMBuffer& output, uint32_t written, std::optional<Error>* error,
                                          ConverterErrorCode code) {
  output.setFrameLength(written);
  if (error) *error = Error{kConverterDomain, code};
  return ConverterOutputStatus::Error;
}

uint32_t SoxrConverter::takePending(int16_t* into, uint32_t room) {
  const size_t available = pending_.size() - pendingStart_;
  const auto count = static_cast<uint32_t>(std::min<size_t>(available, room));
  std::copy_n(pending_.data() + pendingStart_, count, into);
  pendingStart_ += count;
  if (pendingStart_ == pending_.size()) {
    pending_.clear();
    pendingStart_ = 0;
  }
  return count;
}

// What the block is told it should hand over: enough input to fill the rest
// of the output. Only a hint; any amount is taken.
uint32_t SoxrConverter::inputFramesFor(uint32_t outputFrames) const {
  const double frames = std::ceil(outputFrames * input_.sampleRate / output_.sampleRate);
  return frames >= 4294967295.0 ? 4294967295u : static_cast<uint32_t>(frames);
}

bool SoxrConverter::readable(const PCMBuffer& buffer) const {
  if (!(buffer.format() == input_)) return false;
  const AudioBufferList* list = buffer.audioBufferList();
  if (list == nullptr || list->numberBuffers() != input_.bufferCount()) return false;
  const uint64_t bytesNeeded = static_cast<uint64_t>(buffer.frameLength()) * input_.bytesPerFrameInBuffer();
  for (const AudioBuffer& b : list->buffers) {
    if (buffer.frameLength() > 0 && b.data == nullptr) return false;
    if (b.dataByteSize < bytesNeeded) return false;
  }
  return true;
}

template <class T>
void SoxrConverter::mixToMonoAs(const PCMBuffer& buffer) {
  const uint32_t frames = buffer.frameLength();
  const uint32_t channels = input_.channelCount;
  const uint32_t mixed = downmix_ ? channels : 1;
  const double gain = 1.0 / mixed;
  const auto& buffers = buffer.audioBufferList()->buffers;
  mono_.assign(frames, 0.0);
  if (input_.interleaved || channels == 1) {
    const auto* base = static_cast<const std::byte*>(buffers[0].data);
    for (uint32_t i = 0; i < frames; ++i) {
      const std::byte* frame = base + static_cast<size_t>(i) * channels * sizeof(T);
      double sum = 0;
      for (uint32_t c = 0; c < mixed; ++c) sum += toUnit(load<T>(frame + c * sizeof(T)));
      mono_[i] = sum * gain;
    }
    return;
  }
  for (uint32_t c = 0; c < mixed; ++c) {
    const auto* base = static_cast<const std::byte*>(buffers[c].data);
    for (uint32_t i = 0; i < frames; ++i)
      mono_[i] += toUnit(load<T>(base + static_cast<size_t>(i) * sizeof(T)));
  }
  if (mixed > 1)
    for (float& sample : mono_) sample = static_cast<float>(sample * gain);
}

// Downmix averages the channels, so a signal on any one channel reaches the
// output (at 1/n of its level) and channels in opposite phase cancel.
// Without downmix the first channel is taken alone.
void SoxrConverter::mixToMono(const PCMBuffer& buffer) {
  switch (input_.sampleType) {
    case SampleType::Float32:
      return mixToMonoAs<float>(buffer);
    case SampleType::Float64:
      return mixToMonoAs<double>(buffer);
    case SampleType::Int16:
      return mixToMonoAs<int16_t>(buffer);
    case SampleType::Int32:
      return mixToMonoAs<int32_t>(buffer);
  }
}

// Hands the whole buffer to libsoxr; whatever it gives back is kept until
// the caller has room for it.
bool SoxrConverter::resample(const PCMBuffer& buffer) {
  mixToMono(buffer);
  size_t consumed = 0;
  int idleCalls = 0;
  while (consumed < mono_.size()) {
    size_t taken = 0;
    size_t produced = 0;
    if (soxr_process(resampler_.get(), mono_.data() + consumed, mono_.size() - consumed, &taken,
                     scratch_.data(), scratch_.size(), &produced) != nullptr)
      return false;
    consumed += taken;
    keep(produced);
    idleCalls = (taken == 0 && produced == 0) ? idleCalls + 1 : 0;
    if (idleCalls == kMaxIdleCalls) return false;
  }
  return true;
}

// Asks libsoxr for more of its tail (no input means end of input to it).
bool SoxrConverter::drainResampler() {
  size_t produced = 0;
  if (soxr_process(resampler_.get(), nullptr, 0, nullptr, scratch_.data(), scratch_.size(), &produced) !=
      nullptr)
    return false;
  keep(produced);
  if (produced == 0) drained_ = true;
  return true;
}

void SoxrConverter::keep(size_t frames) {
  if (frames == 0) return;
  if (pendingStart_ > 0) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(pendingStart_));
    pendingStart_ = 0;
  }
  const size_t start = pending_.size();
  pending_.resize(start + frames);
  for (size_t i = 0; i < frames; ++i) pending_[start + i] = toWireSample(scratch_[i]);
}

}  // namespace

std::unique_ptr<AudioConverter> makeSoxrConverter(const AudioFormat& from, const AudioFormat& to) {
  if (!(to == wireFormat()) || !isSupportedInput(from)) return nullptr;
  // Single precision: its 24-bit mantissa is far finer than the 16-bit
  // output, and it halves the filter's work.
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  // High quality: a 20-bit filter, flat to 0.01 dB up to 91% of the output
  // band and fully stopped at 8 kHz, well past what 16-bit output can show.
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  // One thread: conversion runs on the caller's serial queue. Small DFT
  // blocks keep each burst of output (and the latency) short, so a
  // conversion of a short buffer finishes in a few calls.
  soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  runtime.log2_min_dft_size = 10;
  runtime.log2_large_dft_size = 10;
  soxr_error_t error = nullptr;
  SoxrHandle resampler(soxr_create(from.sampleRate, to.sampleRate, 1, &error, &io, &quality, &runtime));
  if (error != nullptr || !resampler) return nullptr;
  return std::make_unique<SoxrConverter>(from, to, std::move(resampler));
}

}  // namespace zt::platform
