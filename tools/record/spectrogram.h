// Spectrogram pictures of the recorded files, drawn by sox when it is
// installed.
#pragma once

#include <string>

namespace zt::record {

// Runs `sox WAV -n spectrogram -t TITLE -o PNG`. False, with the reason in
// `error`, when sox is missing or fails.
bool writeSpectrogram(const std::string& wav, const std::string& png, const std::string& title,
                      std::string* error);

}  // namespace zt::record
