// System audio: a record stream on the monitor of the server's default
// output, following that output when it changes, delivered as sample
// buffers on the queue the session names.
#pragma once

#include <dispatch/dispatch.h>
#include <pulse/pulseaudio.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/pulse/monitor_timeline.h"
#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/pulse_loop.h"

namespace zt::platform::pulse {

// Interleaved float32 frames copied out of the record stream. While it
// lives it counts in `inFlight`: handed over and not yet done with.
class PulseSampleBuffer final : public SampleBuffer {
 public:
  PulseSampleBuffer(std::vector<float> samples, uint32_t channels, double sampleRate,
                    std::shared_ptr<std::atomic<int>> inFlight = nullptr)
      : samples_(std::move(samples)),
        channels_(channels),
        sampleRate_(sampleRate),
        inFlight_(std::move(inFlight)) {
    if (inFlight_) ++*inFlight_;
  }
  ~PulseSampleBuffer() override {
    if (inFlight_) --*inFlight_;
  }
  bool dataIsReady() const override { return true; }
  int64_t numSamples() const override;
  std::optional<StreamDescription> streamDescription() const override;
  int32_t copyPCMData(int64_t offset, int64_t frames, AudioBufferList& into) const override;

 private:
  std::vector<float> samples_;
  uint32_t channels_;
  double sampleRate_;
  std::shared_ptr<std::atomic<int>> inFlight_;
};

class PulseStream final : public Stream,
                          public std::enable_shared_from_this<PulseStream>,
                          private ConnectionUser {
 public:
  PulseStream(const StreamConfiguration& configuration, StreamDelegate* delegate);
  ~PulseStream() override;

  bool addStreamOutput(StreamOutput* output, int64_t type, dispatch_queue_t queue) override;
  void removeStreamOutput(StreamOutput* output, int64_t type) override;
  void startCapture(StreamCompletion completion) override;
  void stopCapture(StreamCompletion completion) override;

  // Loop thread, lock held. Another connection of this process found the
  // server gone: every running stream stops on its own now, before that
  // connection reports anything, so that a lost server reads as lost system
  // audio whichever connection notices first.
  static void serverLost(int error);

  // The largest buffer handed to an output, in frames: the most a sample
  // buffer may carry.
  static constexpr size_t kMaxFramesPerBuffer = 16384;
  // The least time between two deliveries while recording, in
  // microseconds: every delivery costs a thread hop, a conversion call and
  // an event line. Below the loop's spacing of its wakeups, so that each
  // wakeup of a steady recording delivers.
  static constexpr uint64_t kMinDeliveryUsec = 20000;

 private:
  enum class Phase { Idle, Starting, Running, Stopping, Ended };

  struct Output {
    StreamOutput* output;
    dispatch_queue_t queue;
  };
  struct Delivery {
    PulseStream* stream;
    StreamOutput* output;
    std::shared_ptr<SampleBuffer> buffer;
  };
  static void deliver(void* context);
  bool hasOutput(StreamOutput* output);

  // A record stream kept on the monitor of an output that is not the
  // default, reading all along and keeping its latest audio. A server moves
  // the players to a new default output at once, and that output renders
  // ahead as far as they allow (a player with a default buffer: two
  // seconds) into its monitor before a stream moved there after the event
  // could hear it: already being there is the only way not to lose that.
  struct Standby {
    PulseStream* owner;
    pa_stream* stream;
    std::string monitor;
    MonitorTimeline timeline;
    uint64_t until = UINT64_MAX;  // its frames from here on came from elsewhere
  };
  // The going over from the stream that recorded the old default to the
  // standby that records the new one: the old stream's audio alone up to
  // `sumFrom`, then both added (when the players moved lies in there, and
  // each stream carries them on one side of it only) until the old one has
  // fallen silent, then the new stream's alone.
  struct Join {
    Standby* from;      // the old stream; null once it is gone
    uint64_t next;      // its next frame to hand over
    uint64_t sumFrom;   // its frames from here on are added to the new ones
    uint64_t sumLeast;  // the adding goes on at least up to here
    uint64_t sumMost;   // and at most up to here
    uint64_t quiet;     // frames in a row the old stream has been silent
    uint64_t to;        // the new stream's frame played with `sumFrom`
    int64_t deadline;   // past this, what the old stream has not read counts as silence
  };

  // Loop thread (or lock held).
  void reconcile();
  void finishReconcile();
  void connectRecord();
  void dropRecord();
  void failStart(int error);
  void stopOnOwn(int error);
  void finishStop();
  void dispose();
  void emit(const void* data, size_t bytes);
  void pump();
  void syncStandbys();
  void openStandby(const std::string& monitor);
  void closeStandby(Standby* standby);
  void loseStandby(Standby* standby);
  void finishJoin();
  void endJoin();
  void watchStandby(Standby* standby);
  Standby* standbyOn(const std::string& monitor);
  // `news`: when the server told of the new default, on the loop's clock.
  void switchTo(Standby* standby, int64_t news);
  void deliverAfterThisPass();
  void deliverGathered();
  static void onDeliveryDue(pa_mainloop_api* api, pa_defer_event* event, void* userdata);
  void flushGathered();
  void post(const float* samples, size_t frames);
  void connectionState(pa_context* context, pa_context_state_t state) override;
  void connectionEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index) override;
  static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata);
  static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* userdata);
  static void onMoveDone(pa_context* context, int success, void* userdata);
  static void onStreamState(pa_stream* stream, void* userdata);
  static void onStreamRead(pa_stream* stream, size_t bytes, void* userdata);
  static void onStreamMoved(pa_stream* stream, void* userdata);
  static void onStandbyState(pa_stream* stream, void* userdata);
  static void onStandbyRead(pa_stream* stream, size_t bytes, void* userdata);
  static void onStandbyMoved(pa_stream* stream, void* userdata);
  static void onStartTimeout(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv,
                             void* userdata);

  const uint32_t rate_;
  const uint8_t channels_;
  StreamDelegate* const delegate_;

  std::mutex outputsMutex_;
  std::vector<Output> outputs_;

  // Everything below is guarded by the loop lock.
  Phase phase_ = Phase::Idle;
  pa_context* context_ = nullptr;
  pa_stream* record_ = nullptr;
  pa_time_event* startTimer_ = nullptr;
  // Enabled by a read; delivers once the loop's pass is done.
  pa_defer_event* deliveryDue_ = nullptr;
  pa_operation* pending_ = nullptr;  // the reconcile step under way
  bool reconciling_ = false;
  bool reconcileAgain_ = false;
  std::string defaultSink_;            // the sink found by the reconcile under way
  std::string foundMonitor_;           // its monitor, as the sink query answers
  std::vector<std::string> monitors_;  // every output's monitor, as the sink query answers
  int64_t changeSeen_ = 0;             // when the server told of the change the pass is for
  int misses_ = 0;
  int recordFailures_ = 0;       // record streams lost in a row without data
  std::string target_;           // the monitor the recording belongs on
  bool onTarget_ = false;        // the record stream reads from `target_`
  bool recordMovable_ = false;   // the record stream was made movable (it was never a standby)
  std::vector<float> gathered_;  // recorded, not yet delivered (interleaved)
  MonitorTimeline timeline_;     // what the record stream read, not yet gathered
  std::vector<float> pumped_;    // room for what a pump takes out of the timelines
  std::vector<std::unique_ptr<Standby>> standbys_;
  std::optional<Join> join_;
  // Buffers delivered and not yet released by whoever took them.
  std::shared_ptr<std::atomic<int>> inFlight_ = std::make_shared<std::atomic<int>>(0);
  pa_usec_t lastDelivery_ = 0;
  StreamCompletion startCompletion_;
  StreamCompletion stopCompletion_;
};

class PulseScreenCapture final : public ScreenCapture {
 public:
  void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                           ShareableContentCompletion completion) override;
  std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& configuration,
                                     StreamDelegate* delegate) override;
};

}  // namespace zt::platform::pulse
