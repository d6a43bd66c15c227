#include "audio/ZTConverter.h"

#include <cmath>
#include <limits>
#include <optional>

namespace zt {

using platform::ConverterInputBlock;
using platform::ConverterInputStatus;
using platform::ConverterOutputStatus;
using platform::PCMBuffer;

uint64_t ZTOutputCapacity(uint32_t frames, double sampleRate) {
  if (!std::isfinite(sampleRate) || sampleRate <= 0) return std::numeric_limits<uint64_t>::max();
  const double capacity = std::ceil(frames * kWireSampleRate / sampleRate) + kOutputSlackFrames;
  if (capacity >= 18446744073709551615.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(capacity);
}

ZTConverter::ZTConverter(platform::Platform& platform) : _platform(platform) {}

// Conversion queue. The converter keeps its state between calls, so the
// buffers of one source form one continuous signal; its filter delay comes
// out only in the tail that `finishSource` flushes.
bool ZTConverter::convert(const PCMBuffer& buffer, const std::string& source, ZTOutput* output) {
  if (!ZTValidBuffer(buffer)) return false;

  // A new format starts a new stream; the old one's tail goes out first so
  // that the audio stays in order.
  if (_converter && !(_converter->inputFormat() == buffer.format())) {
    if (!finishSource(source, output)) return false;
    _converter.reset();
  }
  if (!_converter) {
    std::unique_ptr<platform::AudioConverter> made =
        _platform.makeConverter(buffer.format(), platform::wireFormat());
    if (!made) return false;
    made->setDownmix(true);
    made->setPrimeMethod(platform::ConverterPrimeMethod::None);
    _converter = std::move(made);
  }

  // Room for the whole resampled buffer and some slack, so that one call
  // normally suffices.
  const uint64_t capacity = ZTOutputCapacity(buffer.frameLength(), buffer.format().sampleRate);
  if (capacity > kMaxOutputCapacity) return false;
  std::optional<PCMBuffer> converted =
      PCMBuffer::make(_converter->outputFormat(), static_cast<uint32_t>(capacity));
  if (!converted) return false;

  // The buffer is handed over once for the whole call, whatever the pass;
  // never reporting the end keeps the converter's state for the next buffer.
  bool handedOver = false;
  const ConverterInputBlock input = [&](uint32_t, ConverterInputStatus* status) -> const PCMBuffer* {
    if (handedOver) {
      *status = ConverterInputStatus::NoDataNow;
      return nullptr;
    }
    handedOver = true;
    *status = ConverterInputStatus::HaveData;
    return &buffer;
  };

  for (int pass = 1; pass <= kMaxConverterCalls; ++pass) {
    converted->setFrameLength(0);
    std::optional<platform::Error> error;
    const ConverterOutputStatus status = _converter->convert(*converted, &error, input);
    if (error || status == ConverterOutputStatus::Error) return false;
    if (!ZTEmitPCM(*converted, source, output)) return false;
    if (status == ConverterOutputStatus::InputRanDry || status == ConverterOutputStatus::EndOfStream)
      return true;
    if (status != ConverterOutputStatus::HaveData) return false;
    // A full buffer with nothing in it would never make progress.
    if (converted->frameLength() == 0) return false;
  }
  return false;
}

// Conversion queue. Leaves `_converter` in place: the owner either drops
// the whole object or, at a format change, replaces the converter.
bool ZTConverter::finishSource(const std::string& source, ZTOutput* output) {
  if (!_converter) return true;
  std::optional<PCMBuffer> tail = PCMBuffer::make(_converter->outputFormat(), kTailCapacityFrames);
  if (!tail) return false;

  const ConverterInputBlock endOfStream = [](uint32_t, ConverterInputStatus* status) -> const PCMBuffer* {
    *status = ConverterInputStatus::EndOfStream;
    return nullptr;
  };

  for (int pass = 1; pass <= kMaxConverterCalls; ++pass) {
    tail->setFrameLength(0);
    std::optional<platform::Error> error;
    const ConverterOutputStatus status = _converter->convert(*tail, &error, endOfStream);
    if (error || status == ConverterOutputStatus::Error) return false;
    if (!ZTEmitPCM(*tail, source, output)) return false;
    if (status == ConverterOutputStatus::EndOfStream) return true;
    if (status == ConverterOutputStatus::InputRanDry && tail->frameLength() == 0) return true;
    if (status != ConverterOutputStatus::HaveData && status != ConverterOutputStatus::InputRanDry)
      return false;
    if (tail->frameLength() == 0) return false;
  }
  return false;
}

}  // namespace zt
