// The recorder's command line.
#pragma once

#include <optional>
#include <string>

namespace zt::record {

struct Options {
  std::string helper;              // empty: the helper next to this executable
  std::string output;              // empty: a new folder named after the date and time
  std::optional<double> duration;  // seconds of audio; none: until Ctrl-C or q
  bool force = false;              // replace files of an earlier recording
  bool spectrogram = false;
  bool help = false;
  bool version = false;
};

// The options, or nothing with the reason in `error`.
std::optional<Options> parseOptions(int argc, char** argv, std::string* error);

std::string helpText();

}  // namespace zt::record
