#include "error_advice.h"

#include <map>

namespace zt::record {

namespace {

const std::map<std::string, ErrorAdvice>& table() {
  static const std::map<std::string, ErrorAdvice> advice{
      {"PROTOCOL_ERROR",
       {"The helper did not understand what the recorder sent it.",
        "Make sure --helper points to a zentrell-audio-helper from the same release as this recorder."}},
      {"INVALID_STATE",
       {"The helper was asked to do something it cannot do at this point of the recording.",
        "Record again; if it happens again, report it as a fault of the recorder."}},
      {"CAPTURE_TIMEOUT",
       {"Starting or stopping the audio capture took longer than 10 seconds.",
        "The sound system looks stuck or overloaded: check that it answers (pactl info), restart it if it "
        "does not, and record again."}},
      {"MICROPHONE_UNAVAILABLE",
       {"No microphone could be used: there is no default input device, it would not start, or it changed "
        "(unplugged or switched) during the recording.",
        "Connect a microphone and make it the default input (in the sound settings, or with pactl "
        "set-default-source NAME), then record again."}},
      {"SCREEN_PERMISSION_DENIED",
       {"Permission to capture the screen, which carries the computer's sound, was refused.",
        "Allow screen and audio recording for this program in the system's privacy settings, then record "
        "again."}},
      {"SYSTEM_AUDIO_UNAVAILABLE",
       {"The computer's sound output could not be captured: no sound server answered, the output could not "
        "be recorded, or its capture stopped by itself.",
        "Check that the sound server is running (pactl info must answer) and that an output device is "
        "selected, then record again."}},
      {"NO_DISPLAY",
       {"There is no sound output to capture from (no default output device, or no display).",
        "Select a default output device (in the sound settings, or with pactl set-default-sink NAME), then "
        "record again."}},
      {"MICROPHONE_PERMISSION_DENIED",
       {"Permission to use the microphone was refused.",
        "Allow microphone access for this program in the system's privacy settings, then record again."}},
      {"CAPTURE_START_FAILED",
       {"The capture of the computer's sound could not be started.",
        "Record again; if it keeps failing, restart the sound server (or the computer)."}},
      {"INTERNAL_ERROR",
       {"The helper hit an internal fault while writing an event.",
        "Record again; if it happens again, report it with the steps that led to it."}},
      {"CAPTURE_STOP_FAILED",
       {"The capture of the computer's sound did not stop cleanly.",
        "The files keep everything received until then; if sound misbehaves afterwards, restart the sound "
        "server."}},
      {"AUDIO_CONVERSION_FAILED",
       {"Captured audio could not be converted to 16 kHz mono.",
        "Record again; if it repeats, choose another input or output device, or another sample rate for "
        "it."}},
      {"AUDIO_BACKPRESSURE",
       {"The computer could not convert the captured audio fast enough, so the helper stopped rather than "
        "drop sound.",
        "Close programs that keep the processor busy, then record again."}},
      {"OUTPUT_BACKPRESSURE",
       {"The recorder did not take the helper's audio fast enough, and the helper's queue filled up.",
        "Write to a faster disk with --output, ease the load on the computer, then record again."}},
      {"OUTPUT_CLOSED",
       {"The helper lost its connection to the recorder.",
        "Record again; if it happens again, report it as a fault of the recorder."}},
  };
  return advice;
}

}  // namespace

ErrorAdvice adviceFor(const std::string& code, bool recorderWasStopped) {
  if (recorderWasStopped && code == "OUTPUT_BACKPRESSURE")
    return {
        "The recorder was stopped while the helper went on recording, and the audio it could not take "
        "filled the helper's queue.",
        "Record again without stopping the recorder with SIGSTOP (Ctrl-Z is fine: it pauses the "
        "capture first)."};
  const auto it = table().find(code);
  if (it != table().end()) return it->second;
  return {"The helper reported an error this recorder does not know: " + code + ".",
          "Use a recorder from the same release as the helper."};
}

const std::vector<std::string>& knownErrorCodes() {
  static const std::vector<std::string> codes = [] {
    std::vector<std::string> c;
    for (const auto& [code, advice] : table()) c.push_back(code);
    return c;
  }();
  return codes;
}

}  // namespace zt::record
