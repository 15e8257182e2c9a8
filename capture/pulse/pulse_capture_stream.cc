// The Linux capture stream: the follower's decisions (pulse_follower.h) carried out over
// libpulse, with the stream itself in the recorder (pulse_recorder.h).
//
// All callbacks run on the threaded main loop's one thread, named after the delivery
// queue: that thread is the serial queue the audio output is promised. Calls from the
// start-up thread take the loop lock and wait on the loop's signal.

#include "capture/pulse/pulse_capture_stream.h"

#include <pthread.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "capture/pulse/pulse_connection.h"
#include "capture/pulse/pulse_follower.h"
#include "capture/pulse/pulse_recorder.h"
#include "capture/silence_filler.h"

namespace qztap {
namespace {

const pa_subscription_mask_t SINK_AND_SERVER_EVENTS =
    static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK);

// How often a silence is filled with zeros, as on the other systems.
constexpr int64_t SILENCE_TICK_US = 50'000;
constexpr int64_t TOLERANCE_US = SilenceTimeline::TOLERANCE / 10;

int64_t now() { return static_cast<int64_t>(pa_rtclock_now()); }

// A time on the monotonic clock in the silence timeline's units.
int64_t timelineTicks(int64_t microseconds) {
  return microseconds * (SilenceTimeline::TICKS_PER_SECOND / 1'000'000);
}

std::string defaultSinkOf(const pa_server_info& info) {
  return info.default_sink_name != nullptr ? info.default_sink_name : "";
}

class PulseCaptureStream final : public CaptureStream,
                                 private PulseFollowerActions,
                                 private PulseStreamListener {
 public:
  PulseCaptureStream(PulseConnection& serverConnection, std::string sinkName,
                     DefaultViews defaultViews, const StreamConfiguration& configuration,
                     StreamDelegate& stopDelegate)
      : connection(serverConnection),
        delegate(stopDelegate),
        requestedSink(std::move(sinkName)),
        requestedRate(static_cast<uint32_t>(configuration.sampleRate)),
        recorder(serverConnection, configuration, *this),
        follower(*this, defaultViews) {}

  Registration addStreamOutput(StreamOutput& output, StreamOutputType type,
                               const DeliveryQueue& queue) override {
    if (type != StreamOutputType::Audio) {
      return {false, CaptureError{"only audio output can be captured"}};
    }
    if (!recorder.formatIsValid()) return {false, CaptureError{pa_strerror(PA_ERR_INVALID)}};
    LoopLock lock(connection.loop);
    if (!connection.ready()) return {false, connection.lastError()};
    // The loop thread is the delivery queue; it takes the queue's name from inside.
    pa_mainloop_api_once(pa_threaded_mainloop_get_api(connection.loop),
                         &PulseCaptureStream::nameLoopThread, new std::string(queue.label));
    filler.emplace(output, requestedRate);
    recorder.deliverTo(*filler);
    return {true, std::nullopt};
  }

  // The completion runs under the loop lock, so no stop can be reported before the
  // start-up has heard that capture runs.
  void startCapture(std::function<void(std::optional<CaptureError>)> completion) override {
    LoopLock lock(connection.loop);
    completion(startRecording());
  }

 private:
  std::optional<CaptureError> startRecording() {
    if (!connection.ready()) return connection.lastError();

    std::optional<Sink> sink;
    const bool answered = connection.await(
        requestSinks(connection, &requestedSink, [&sink](const pa_sink_info* info) {
          if (info != nullptr) sink = sinkFrom(*info);
        }));
    if (!answered) return connection.lastError();
    if (!sink) return CaptureError{pa_strerror(PA_ERR_NOENTITY)};

    if (!follower.start(*sink, now())) return connection.lastError();
    for (;;) {
      const pa_stream_state_t state = recorder.state();
      if (state == PA_STREAM_READY) break;
      if (!PA_STREAM_IS_GOOD(state)) return connection.lastError();
      pa_threaded_mainloop_wait(connection.loop);
    }

    // The connection may have failed while we waited, before anyone listened for it.
    if (!connection.ready()) return connection.lastError();
    // From here on every failure is a stop, reported to the delegate.
    connection.onConnectionLost = [this] { delegate.didStopWithError(connection.lastError()); };
    pa_context_set_subscribe_callback(connection.context, &PulseCaptureStream::onEvent, this);
    PulseConnection::start(
        pa_context_subscribe(connection.context, SINK_AND_SERVER_EVENTS, nullptr, nullptr));
    // The timers are made only now, though audio and the follower may already have asked
    // to move them while the start-up waited for the stream: a check asked for stands.
    checkAt = std::min(checkAt, now() + PULSE_CHECK_INTERVAL_US);
    checkTimer = pa_context_rttime_new(connection.context, static_cast<pa_usec_t>(checkAt),
                                       &PulseCaptureStream::onCheck, this);
    heardAt = answeredAt = now();
    filler->start(timelineTicks(heardAt));
    silenceTickAt = heardAt + SILENCE_TICK_US;
    silenceTimer = pa_context_rttime_new(connection.context, static_cast<pa_usec_t>(silenceTickAt),
                                         &PulseCaptureStream::onSilenceTick, this);
    follower.captureConfirmed();
    return std::nullopt;
  }

  // The follower's questions, asked on the capture's own connection. The default and the
  // sinks are asked together: the server answers in order.
  bool askDefaultAndSinks() override {
    const bool asked =
        PulseConnection::start(requestServerInfo(connection, [this](const pa_server_info* info) {
          if (info != nullptr) follower.defaultReported(defaultSinkOf(*info), now());
        }));
    auto sinks = std::make_shared<std::vector<Sink>>();
    auto list = [this, sinks](const pa_sink_info* sink) {
      if (sink == nullptr) return follower.sinksListed(*sinks, now());
      sinks->push_back(sinkFrom(*sink));
    };
    return asked && PulseConnection::start(requestSinks(connection, nullptr, std::move(list)));
  }

  bool askServer() override {
    return PulseConnection::start(requestServerInfo(
        connection, [this](const pa_server_info*) { follower.serverAnswered(now()); }));
  }

  void askSinkPresent(const std::string& name) override {
    auto present = std::make_shared<bool>(false);
    auto answer = [this, present](const pa_sink_info* sink) {
      if (sink == nullptr) return follower.sinkPresence(*present);
      *present = true;
    };
    PulseConnection::start(requestSinks(connection, &name, std::move(answer)));
  }

  // A look at the default through a connection made for it alone: a connection's view
  // can lag behind the server's for good (see pulse_sink_choice.h), while one that
  // connects afterwards sees the default as it is. Started from the loop, never from
  // within the last look's callbacks, whose connection it lets go.
  void lookAfresh() override {
    pa_mainloop_api_once(pa_threaded_mainloop_get_api(connection.loop),
                         &PulseCaptureStream::startLook, this);
  }

  static void startLook(pa_mainloop_api*, void* self) {
    static_cast<PulseCaptureStream*>(self)->connectLookout();
  }

  void connectLookout() {
    letLookoutGo();
    lookout = std::make_unique<PulseConnection>();
    lookout->onConnectionLost = [this] { follower.lookEnded(std::nullopt, 0); };
    if (!lookout->connectBeside(connection, [this] { askLookout(); })) {
      follower.lookEnded(std::nullopt, 0);
    }
  }

  void askLookout() {
    const int64_t askedAt = now();
    auto answer = [this, askedAt](const pa_server_info* info) {
      std::optional<std::string> name;
      if (info != nullptr) name = defaultSinkOf(*info);
      lookout->onConnectionLost = nullptr;
      pa_context_disconnect(lookout->context);
      follower.lookEnded(std::move(name), askedAt);
    };
    if (!PulseConnection::start(requestServerInfo(*lookout, std::move(answer)))) {
      follower.lookEnded(std::nullopt, askedAt);
    }
  }

  // Done with the last look's connection: nothing may call back into it afterwards.
  void letLookoutGo() {
    if (!lookout || lookout->context == nullptr) return;
    pa_context_set_state_callback(lookout->context, nullptr, nullptr);
    pa_context_disconnect(lookout->context);
    pa_context_unref(lookout->context);
  }

  void checkBy(int64_t when) override {
    if (when >= checkAt) return;
    checkAt = when;
    if (checkTimer != nullptr) {
      pa_context_rttime_restart(connection.context, checkTimer, static_cast<pa_usec_t>(when));
    }
  }

  void deleteStream() override { recorder.deleteCurrent(); }
  bool createStream(const Sink& sink) override { return recorder.create(sink); }

  void stop(StopCause cause) override {
    delegate.didStopWithError(cause == StopCause::RecordingStopped ? streamError
                                                                   : connection.lastError());
  }

  void streamReady() override {
    answeredAt = now();
    follower.streamReady(answeredAt);
  }
  void streamFailed() override {
    streamError = connection.lastError();
    if (!connection.ready()) return;  // the connection's own callback reports it
    follower.streamFailed(now());
  }
  void streamMoved() override { follower.streamMoved(); }
  void streamHeard(int64_t durationUs) override {
    heardAt = answeredAt = now();
    follower.streamHeard(heardAt);
    filler->bufferComing(timelineTicks(heardAt - durationUs), timelineTicks(heardAt));
    // While audio comes, the silence tick is moved on before it is due, so that it never
    // wakes the loop for nothing: a silence still meets its first tick 200 to 250 ms in.
    const int64_t silenceFrom = heardAt + TOLERANCE_US;
    if (silenceTickAt <= silenceFrom) tickSilenceAt(silenceFrom + SILENCE_TICK_US);
  }

  void tickSilenceAt(int64_t when) {
    silenceTickAt = when;
    if (silenceTimer != nullptr) {
      pa_context_rttime_restart(connection.context, silenceTimer, static_cast<pa_usec_t>(when));
    }
  }

  // Zeros for a silence the server has made: a suspended sink's monitor (a laptop's
  // sleep suspends them all), a stream being replaced, or no sink at all. A running
  // stream sets the pace itself, whenever its audio comes: a sink that renders ahead hands
  // its monitor's audio over in bursts, which zeros would cut apart. Only as far as the
  // server is known to answer: one that does not (frozen) is no quiet room, and gets
  // nothing written for it. It is asked, one question at a time, while the silence lasts.
  void fillSilence() {
    const int64_t at = now();
    if (at - heardAt <= TOLERANCE_US) return;
    if (recorder.state() == PA_STREAM_READY && !recorder.suspended()) return;
    if (!askingServer) {
      askingServer =
          PulseConnection::start(requestServerInfo(connection, [this](const pa_server_info*) {
            askingServer = false;
            answeredAt = now();
          }));
    }
    filler->clockTick(timelineTicks(std::min(at, answeredAt)));
  }

  static void nameLoopThread(pa_mainloop_api*, void* label) {
    std::unique_ptr<std::string> name(static_cast<std::string*>(label));
    ::pthread_setname_np(::pthread_self(), name->c_str());
  }

  // New or removed sinks and a new default all call for another look at the default.
  static void onEvent(pa_context*, pa_subscription_event_type_t event, uint32_t, void* self) {
    const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if ((facility == PA_SUBSCRIPTION_EVENT_SERVER && kind == PA_SUBSCRIPTION_EVENT_CHANGE) ||
        (facility == PA_SUBSCRIPTION_EVENT_SINK && kind != PA_SUBSCRIPTION_EVENT_CHANGE)) {
      static_cast<PulseCaptureStream*>(self)->follower.serverChanged();
    }
  }

  static void onSilenceTick(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    auto* capture = static_cast<PulseCaptureStream*>(self);
    capture->tickSilenceAt(now() + SILENCE_TICK_US);
    capture->fillSilence();
  }

  // The follower asks for its next check from within the tick.
  static void onCheck(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    auto* capture = static_cast<PulseCaptureStream*>(self);
    capture->checkAt = std::numeric_limits<int64_t>::max();
    capture->follower.tick(now());
  }

  PulseConnection& connection;
  StreamDelegate& delegate;
  std::string requestedSink;
  uint32_t requestedRate;
  // Touched only on the loop thread, or under the loop lock.
  std::optional<SilenceFiller> filler;    // between the recorder and the output
  int64_t heardAt = 0;                    // the latest audio
  int64_t answeredAt = 0;                 // the latest audio or answer from the server
  bool askingServer = false;              // a question whether it answers is out
  pa_time_event* silenceTimer = nullptr;  // calls fillSilence() at `silenceTickAt`
  int64_t silenceTickAt = 0;
  PulseRecorder recorder;
  PulseFollower follower;
  CaptureError streamError;             // why the last stream that failed did
  pa_time_event* checkTimer = nullptr;  // calls tick() at `checkAt`, if it is due
  int64_t checkAt = std::numeric_limits<int64_t>::max();
  std::unique_ptr<PulseConnection> lookout;  // the connection of the latest look
};

}  // namespace

std::unique_ptr<CaptureStream> makePulseCaptureStream(PulseConnection& connection,
                                                      std::string sinkName,
                                                      DefaultViews defaultViews,
                                                      const StreamConfiguration& configuration,
                                                      StreamDelegate& delegate) {
  return std::make_unique<PulseCaptureStream>(connection, std::move(sinkName), defaultViews,
                                              configuration, delegate);
}

}  // namespace qztap
