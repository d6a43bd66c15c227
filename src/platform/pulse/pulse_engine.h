// The microphone: a record stream on the server's default source, handed to
// the tap in buffers of at least the tap's size (everything read so far, up
// to kMaxTapFrames), and the configuration-change notifications the session
// treats as a lost microphone.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/pulse_loop.h"

namespace zt::platform::pulse {

// The callbacks registered for one engine's configuration changes. Guarded
// by the loop lock; called on the loop thread with that lock held, so a
// removal under the lock is final.
struct ObserverList {
  uint64_t nextId = 1;
  std::vector<std::pair<uint64_t, std::function<void()>>> entries;
};

class PulseEngine final : public AudioEngine, private ConnectionUser {
 public:
  // The largest buffer handed to the tap, in frames.
  static constexpr uint32_t kMaxTapFrames = 16384;
  // The room the gathering buffer starts with: a fragment or two of steady
  // recording. It doubles only for a backlog, so a recording does not keep
  // (and fill with zeros) the largest buffer's 128 kB per channel pair.
  static constexpr uint32_t kFirstPendingFrames = 4096;

  PulseEngine() = default;
  ~PulseEngine() override;

  using AudioEngine::inputFormat;
  using AudioEngine::start;
  // Owner's thread. Connects when needed and asks the server for its default
  // source; answers within about two seconds even when the server is silent.
  void inputFormat(FormatCompletion completion) override;
  void installTap(uint32_t bus, uint32_t bufferSize, const AudioFormat& format, TapBlock block) override;
  void removeTap(uint32_t bus) override;
  void prepare() override {}
  // Owner's thread. Answers once the server accepts or refuses the record
  // stream, or after about three seconds.
  void start(StartCompletion completion) override;
  void stop() override;

  // Any thread but the loop's own (or the loop thread from inside a
  // callback); see NotificationCenter.
  uint64_t addObserver(std::function<void()> callback);
  std::weak_ptr<ObserverList> observers() const { return observers_; }

 private:
  void teardownStream();

  // Lock held (loop thread or the owner's).
  bool connect();
  void askDefaults();
  void finishFormat(AudioFormat format);
  void finishStart(bool started);
  static void onDefaults(pa_context* context, const pa_server_info* info, void* userdata);
  static void onSource(pa_context* context, const pa_source_info* info, int eol, void* userdata);
  static void onFormatTimeout(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                              void* userdata);
  static void onStartTimeout(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                             void* userdata);

  // Loop thread, lock held.
  void postConfigurationChange();
  void checkDefaultSource();
  void consume(const void* data, size_t bytes);
  bool growPending(uint32_t channels);
  void handOver();
  void connectionState(pa_context* context, pa_context_state_t state) override;
  void connectionEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index) override;
  static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata);
  static void onStreamState(pa_stream* stream, void* userdata);
  static void onStreamRead(pa_stream* stream, size_t bytes, void* userdata);

  // Everything below is guarded by the loop lock.
  std::shared_ptr<ObserverList> observers_ = std::make_shared<ObserverList>();
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  pa_operation* serverQuery_ = nullptr;
  bool queryAgain_ = false;
  std::optional<SourceDetails> source_;
  TapBlock tap_;
  uint32_t tapFrames_ = 1024;
  std::optional<AudioFormat> tapFormat_;
  std::optional<PCMBuffer> pending_;
  uint32_t pendingFrames_ = 0;
  uint32_t pendingRate_ = 48000;
  pa_usec_t lastHandover_ = 0;
  bool stopping_ = false;
  // The context has been ready: its failure is a lost server, not a failed
  // connection attempt.
  bool connected_ = false;
  FormatCompletion formatCompletion_;
  pa_operation* formatQuery_ = nullptr;
  pa_time_event* formatTimer_ = nullptr;
  std::optional<SourceDetails> foundSource_;
  StartCompletion startCompletion_;
  pa_time_event* startTimer_ = nullptr;
};

class PulseObserver final : public NotificationObserver {
 public:
  PulseObserver(std::weak_ptr<ObserverList> list, uint64_t id) : list_(std::move(list)), id_(id) {}
  // Any thread; takes the loop lock.
  void remove();

 private:
  std::weak_ptr<ObserverList> list_;
  uint64_t id_ = 0;
};

class PulseNotificationCenter final : public NotificationCenter {
 public:
  std::shared_ptr<NotificationObserver> addEngineConfigurationObserver(
      AudioEngine* engine, std::function<void()> callback) override;
  void removeObserver(const std::shared_ptr<NotificationObserver>& observer) override;
};

}  // namespace zt::platform::pulse
