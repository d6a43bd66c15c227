// The sample-rate and channel converter every backend hands out, built on
// libsoxr.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace zt::platform {

// A converter from `from` to the wire format (16 kHz mono Int16,
// interleaved). Takes 1 to 8 channels at 8000 to 192000 Hz in any sample
// type, interleaved or not. Nothing when `to` is not the wire format, when
// `from` is outside that range, or when libsoxr cannot build the resampler.
std::unique_ptr<AudioConverter> makeSoxrConverter(const AudioFormat& from, const AudioFormat& to);

}  // namespace zt::platform
