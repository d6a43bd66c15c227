// The session controller: phases, generation tokens, the deadline, command
// acceptance, failures, and every transition from "prepare" to the end.
//
// Queues: everything runs on the main queue except the drain task and the
// conversion tasks (`_work`), system-audio admission (`_samples`),
// microphone admission (the engine's thread) and `stream(stream, error)`
// for a stream that stopped by itself (any thread).
#pragma once

#include <dispatch/dispatch.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "audio/ZTConverter.h"
#include "output/ZTOutput.h"
#include "platform/platform.h"

namespace zt {

enum class CapturePhase : uint64_t {
  Idle = 0,
  Preparing = 1,
  Prepared = 2,
  Starting = 3,
  StreamStarting = 4,
  Recording = 5,
  Stopping = 6,
  Paused = 7,
  Ended = 8,
};

class ZTCapture final : public platform::StreamOutput, public platform::StreamDelegate {
 public:
  static constexpr int kSlotCount = 4;
  static constexpr uint64_t kPhaseDeadlineSeconds = 10;
  static constexpr uint32_t kTapBufferFrames = 1024;

  // Main thread, before the main queue runs. The session is never
  // destroyed in the helper; tests may build several.
  explicit ZTCapture(ZTOutput* output, platform::Platform& platform = platform::defaultPlatform());
  ZTCapture(const ZTCapture&) = delete;
  ZTCapture& operator=(const ZTCapture&) = delete;

  // Main queue.
  void deadline(uint64_t seconds);
  void state(const std::string& word);
  void prepared();
  void command(const std::string& word);
  void fail(const std::string& code);
  void stop();

  // Preparation, main queue. Each query answers exactly once.
  using PermissionAnswer = std::function<void(bool granted)>;
  using DisplayAnswer =
      std::function<void(std::shared_ptr<platform::Display> display, std::optional<std::string> code)>;
  void microphonePermission(PermissionAnswer answer);
  void screenPermission(PermissionAnswer answer);
  void displayForCapture(DisplayAnswer answer);
  void shareableDisplay(DisplayAnswer answer);
  void beginPrepare();

  // Starting, main queue.
  void beginStart();
  void startDisplay(std::shared_ptr<platform::Display> display, uint64_t token);

  // Tear-down, main queue.
  void stopMicrophone();
  void closeAdmission();
  void closeAudio();
  void beginStop();
  void drained();

  // Admission: `microphone` on the engine's thread, `stream` on `_samples`.
  void microphone(const platform::PCMBuffer& buffer, uint64_t generation);
  void stream(platform::Stream* stream, std::shared_ptr<platform::SampleBuffer> buffer,
              int64_t type) override;

  // A stream that stopped by itself; any thread.
  void stream(platform::Stream* stream, const platform::Error& error) override;

  // For tests.
  CapturePhase phaseForTesting() const { return _phase; }
  dispatch_queue_t workQueueForTesting() const { return _work; }
  dispatch_queue_t samplesQueueForTesting() const { return _samples; }
  platform::Stream* activeStreamForTesting() const { return _activeStream.load(); }
  uint64_t audioGenerationForTesting() const { return _audioGeneration.load(); }
  // Free work slots, counted by taking and returning them all; call only
  // when no admission can run.
  int freeSlotsForTesting();

 private:
  void deadlineExpired();
  void streamStopped(std::shared_ptr<platform::Stream> stream, std::optional<platform::Error> error);
  void drainTask(uint64_t token);
  void drainFinished(uint64_t token, bool tailFailed);
  void preparationStep1(uint64_t token, bool granted);
  void preparationStep2(uint64_t token, bool granted);
  void preparationStep3(uint64_t token, std::shared_ptr<platform::Display> display,
                        std::optional<std::string> code);
  bool preparationIsCurrent(uint64_t token) const;
  bool startIsCurrent(uint64_t token) const;
  void buildMicrophone(uint64_t token, bool streamRunning);
  void inputFormatKnown(uint64_t token, bool streamRunning, platform::AudioFormat format);
  bool buildStream();
  void engineStarted(uint64_t token, bool streamRunning, bool started);
  void startCompleted(uint64_t token, std::optional<platform::Error> error);
  void openAdmission();
  void configurationChanged(uint64_t token);
  void sourceLostWhileStarting(uint64_t token, const char* code);
  void convertSystem(uint64_t snapshot, std::shared_ptr<platform::SampleBuffer> buffer, int64_t frames);
  void convertMicrophone(platform::PCMBuffer copy, uint64_t token);
  void returnSlot();

  ZTOutput* _output;
  platform::Platform& _platform;
  CapturePhase _phase = CapturePhase::Idle;
  bool _wantPaused = false;
  bool _wantEnd = false;
  bool _failed = false;
  bool _tapInstalled = false;
  bool _prepared = false;
  std::shared_ptr<platform::Display> _display;
  uint64_t _generation = 0;
  std::unique_ptr<platform::AudioEngine> _engine;
  std::shared_ptr<platform::Stream> _stream;
  std::shared_ptr<platform::NotificationObserver> _configurationObserver;
  std::unique_ptr<ZTConverter> _systemConverter;
  std::unique_ptr<ZTConverter> _microphoneConverter;
  dispatch_queue_t _samples;
  dispatch_queue_t _work;
  dispatch_queue_t _permissions;
  dispatch_semaphore_t _slots;
  dispatch_source_t _deadline;
  std::atomic<bool> _acceptWork{false};
  std::atomic<uint64_t> _audioGeneration{0};
  std::atomic<platform::Stream*> _activeStream{nullptr};
  std::mutex _admission;
};

}  // namespace zt
