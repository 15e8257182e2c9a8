// The Linux capture stream: records the monitor of one sink at a time over libpulse.
//
// All stream callbacks run on the threaded main loop's one thread, named after the
// delivery queue: that thread is the serial queue the audio output is promised.
// Calls from the start-up thread take the loop lock and wait on the loop's signal.
//
// What a server may do that the stream guards against:
// - give a stream the channel of one it has just killed (PipeWire's does), so that a
//   late delete of the old stream ends the new one: the old stream is always deleted
//   before the next is created, and only one creation is outstanding at a time;
// - never answer a creation, or stop sending a stream's audio: a stream that has
//   delivered nothing for 2 s while the server still answers is replaced;
// - never tell a connection of a new default, or name a placeholder: the default is
//   also looked at through a new connection now and then (see pulse_sink_choice.h).

#include "capture/pulse/pulse_capture_stream.h"

#include <pthread.h>

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "audio/deinterleave.h"
#include "capture/pulse/pulse_connection.h"
#include "capture/pulse/pulse_sink_choice.h"

namespace qztap {
namespace {

// About 21 ms at 48 kHz: buffers arrive this often instead of the server's default.
constexpr uint32_t FRAGMENT_FRAMES = 1024;

// How often the stream looks again: for the default while it records no sink a default
// names, and for a stream that has gone quiet.
constexpr pa_usec_t CHECK_INTERVAL_USEC = 250 * PA_USEC_PER_MSEC;

// Every other check, 500 ms apart, looks at the default through a new connection.
constexpr unsigned LOOK_AFRESH_EVERY = 2;

// A stream that has delivered nothing for this long, while the server answers, is
// replaced: a null sink or a device delivers a fragment every 21 ms, silence included.
constexpr pa_usec_t QUIET_STREAM_USEC = 2 * PA_USEC_PER_SEC;

// Stream creations refused one after another: about 2 s of retries.
constexpr int FAILURES_BEFORE_STOP = 8;

struct StreamUnref {
  void operator()(pa_stream* stream) const { pa_stream_unref(stream); }
};
using StreamHandle = std::unique_ptr<pa_stream, StreamUnref>;

std::string defaultSinkOf(const pa_server_info& info) {
  return info.default_sink_name != nullptr ? info.default_sink_name : "";
}

const pa_subscription_mask_t SINK_AND_SERVER_EVENTS =
    static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK);

// Records the monitor of one sink at a time, following the default sink: when the
// user picks another output, or the recorded one disappears, recording moves to the
// new default's monitor with no stop and no status line. The server is never
// allowed to move the stream itself, since orphaned record streams may be moved to
// a microphone.
class PulseCaptureStream final : public CaptureStream {
 public:
  PulseCaptureStream(PulseConnection& serverConnection, std::string sinkName,
                     const StreamConfiguration& configuration, StreamDelegate& stopDelegate)
      : connection(serverConnection), delegate(stopDelegate), requestedSink(std::move(sinkName)) {
    sampleFormat.format = PA_SAMPLE_FLOAT32LE;
    sampleFormat.rate = static_cast<uint32_t>(configuration.sampleRate);
    sampleFormat.channels = static_cast<uint8_t>(configuration.channelCount);
  }

  Registration addStreamOutput(StreamOutput& newOutput, StreamOutputType type,
                               const DeliveryQueue& queue) override {
    if (type != StreamOutputType::Audio) {
      return {false, CaptureError{"only audio output can be captured"}};
    }
    if (!pa_sample_spec_valid(&sampleFormat)) return {false, CaptureError{pa_strerror(PA_ERR_INVALID)}};
    LoopLock lock(connection.loop);
    if (!connection.ready()) return {false, connection.lastError()};
    // The loop thread is the delivery queue; it takes the queue's name from inside.
    pa_mainloop_api_once(pa_threaded_mainloop_get_api(connection.loop),
                         &PulseCaptureStream::nameLoopThread, new std::string(queue.label));
    output = &newOutput;
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
    const bool answered = connection.await(requestSinks(
        connection, &requestedSink, [&sink](const pa_sink_info* info) {
          if (info != nullptr) sink = sinkFrom(*info);
        }));
    if (!answered) return connection.lastError();
    if (!sink) return CaptureError{pa_strerror(PA_ERR_NOENTITY)};

    if (!switchTo(*sink)) return connection.lastError();
    for (;;) {
      const pa_stream_state_t state = pa_stream_get_state(current.get());
      if (state == PA_STREAM_READY) break;
      if (!PA_STREAM_IS_GOOD(state)) return connection.lastError();
      pa_threaded_mainloop_wait(connection.loop);
    }

    // The connection may have failed while we waited, before anyone listened for it.
    if (!connection.ready()) return connection.lastError();
    // From here on every failure is a stop, reported to the delegate.
    capturing = true;
    connection.onConnectionLost = [this] { delegate.didStopWithError(connection.lastError()); };
    pa_context_set_subscribe_callback(connection.context, &PulseCaptureStream::onEvent, this);
    PulseConnection::start(
        pa_context_subscribe(connection.context, SINK_AND_SERVER_EVENTS, nullptr, nullptr));
    pa_context_rttime_new(connection.context, pa_rtclock_now() + CHECK_INTERVAL_USEC,
                          &PulseCaptureStream::onCheck, this);
    // The default may have changed while we were starting.
    follow();
    return std::nullopt;
  }

  // Records `sink` from now on: at once, or once the stream being created is ready or
  // has failed.
  void record(const Sink& sink) {
    if (current && recordedSink.name == sink.name) {
      next.reset();
    } else if (current && pa_stream_get_state(current.get()) == PA_STREAM_CREATING) {
      next = sink;
    } else if (!switchTo(sink)) {
      delegate.didStopWithError(connection.lastError());
    }
  }

  // Deletes the current stream, then opens one on the sink's monitor: in this order,
  // since the server may give the new stream the old one's channel.
  bool switchTo(const Sink& sink) {
    dropCurrent();
    StreamHandle stream(pa_stream_new(connection.context, "qztap", &sampleFormat, nullptr));
    if (!stream) return false;
    pa_stream_set_state_callback(stream.get(), &PulseCaptureStream::onStreamState, this);
    pa_stream_set_read_callback(stream.get(), &PulseCaptureStream::onReadable, this);
    pa_stream_set_moved_callback(stream.get(), &PulseCaptureStream::onMoved, this);

    pa_buffer_attr attributes;
    std::memset(&attributes, 0xff, sizeof attributes);  // -1: the server's choice
    attributes.fragsize = static_cast<uint32_t>(FRAGMENT_FRAMES * pa_frame_size(&sampleFormat));
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream.get(), sink.monitorSource.c_str(), &attributes, flags) < 0) {
      return false;
    }
    current = std::move(stream);
    currentWasReady = false;
    recordedSink = sink;
    heardAt = pa_rtclock_now();
    return true;
  }

  // Lets the current stream go, after handing on what it still holds.
  void dropCurrent() {
    next.reset();
    if (!current) return;
    if (pa_stream_get_state(current.get()) == PA_STREAM_READY) deliverReadable(current.get());
    pa_stream_set_read_callback(current.get(), nullptr, nullptr);
    pa_stream_set_moved_callback(current.get(), nullptr, nullptr);
    // One still being created has no channel to delete yet: it is deleted once ready.
    pa_stream_set_state_callback(current.get(), &PulseCaptureStream::disconnectOnceReady, nullptr);
    disconnectOnceReady(current.get(), nullptr);
    current.reset();
  }

  static void disconnectOnceReady(pa_stream* stream, void*) {
    if (pa_stream_get_state(stream) != PA_STREAM_READY) return;
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
  }

  // Asks for the default and the sinks, then records the sink chosen. One look at a
  // time, so that a server that does not answer collects no requests; whatever asks
  // meanwhile gets another look once it is done.
  void follow() {
    if (following) {
      followAgain = true;
      return;
    }
    following = PulseConnection::start(
        requestServerInfo(connection, [this](const pa_server_info* info) {
          if (info != nullptr) ownView.report(defaultSinkOf(*info), pa_rtclock_now());
          auto sinks = std::make_shared<std::vector<Sink>>();
          following = PulseConnection::start(
              requestSinks(connection, nullptr, [this, sinks](const pa_sink_info* sink) {
                if (sink != nullptr) {
                  sinks->push_back(sinkFrom(*sink));
                  return;
                }
                following = false;
                settle(*sinks);
              }));
        }));
  }

  void settle(const std::vector<Sink>& sinks) {
    const SinkChoice choice =
        chooseSink(sinks, ownView, freshView, current ? recordedSink.name : "");
    recordsStandIn = choice.sink && !choice.isDefault;
    if (choice.sink) record(*choice.sink);
    else dropCurrent();  // a time without sinks
    if (followAgain) {
      followAgain = false;
      follow();
    }
  }

  // A look at the default through a connection made for it alone: a connection's
  // view can lag behind the server's for good (see pulse_sink_choice.h), while one
  // that connects afterwards sees the default as it is. One look at a time.
  void lookAfresh() {
    if (lookout && lookout->context != nullptr) {
      if (PA_CONTEXT_IS_GOOD(pa_context_get_state(lookout->context))) return;
      // Done with: disconnected, or failed. Nothing may call back into it afterwards.
      pa_context_set_state_callback(lookout->context, nullptr, nullptr);
      pa_context_unref(lookout->context);
    }
    lookout = std::make_unique<PulseConnection>();
    lookout->connectBeside(connection, [this] {
      const pa_usec_t askedAt = pa_rtclock_now();
      PulseConnection::start(
          requestServerInfo(*lookout, [this, askedAt](const pa_server_info* info) {
            pa_context_disconnect(lookout->context);
            if (info == nullptr) return;
            freshView.lookedAt(defaultSinkOf(*info), askedAt);
            if (!current || freshView.name != recordedSink.name) follow();
          }));
    });
  }

  // Every CHECK_INTERVAL_USEC: looks for the default while no sink a default names is
  // recorded, and replaces a stream that has gone quiet once the server has answered.
  void check() {
    if (++checks % LOOK_AFRESH_EVERY == 0) lookAfresh();
    if (!current || recordsStandIn) follow();
    if (!current || probing || pa_rtclock_now() - heardAt < QUIET_STREAM_USEC) return;
    probing = PulseConnection::start(requestServerInfo(connection, [this](const pa_server_info*) {
      probing = false;
      if (current && pa_rtclock_now() - heardAt >= QUIET_STREAM_USEC) {
        dropCurrent();
        follow();
      }
    }));
  }

  // The current stream failed. One that never became ready was refused, or its sink
  // went meanwhile: the next look at the default (on the event that comes with an
  // unplug, or the next check) records again, and a capture whose streams keep being
  // refused has stopped.
  void onStreamFailed() {
    if (!connection.ready()) return;  // the connection's own callback reports it
    if (currentWasReady) return onRecordingEnded();
    if (++failuresInARow == FAILURES_BEFORE_STOP) {
      return delegate.didStopWithError(connection.lastError());
    }
    dropCurrent();
  }

  // The running stream ended without our asking. If its sink is still there, the
  // stream itself was stopped (killed by the server, or by the user through it); if
  // not, recording follows the default.
  void onRecordingEnded() {
    CaptureError why = connection.lastError();
    const std::string sinkName = recordedSink.name;
    dropCurrent();
    PulseConnection::start(
        requestSinks(connection, &sinkName, [this, why](const pa_sink_info* sink) {
          if (sink != nullptr) {
            if (!current) delegate.didStopWithError(why);
            return;
          }
          follow();
        }));
  }

  // Hands every complete fragment the stream holds to the output, one buffer each.
  void deliverReadable(pa_stream* stream) {
    const pa_sample_spec* streamFormat = pa_stream_get_sample_spec(stream);
    const size_t channels = streamFormat->channels;
    while (pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      if (data != nullptr) {
        heardAt = pa_rtclock_now();
        deliver(static_cast<const float*>(data), bytes / (channels * sizeof(float)), channels,
                streamFormat->rate);
      }
      // data == nullptr with bytes > 0 is a hole in the stream: dropped.
      pa_stream_drop(stream);
    }
  }

  // De-interleaves the server's frames into one planar entry per channel.
  void deliver(const float* frames, size_t frameCount, size_t channels, uint32_t rate) {
    planar.resize(frameCount * channels);
    entries.clear();
    deinterleave(frames, frameCount, channels, planar.data(), entries);
    output->didOutputBuffer(StreamOutputType::Audio, rate, entries);
  }

  bool recordsOwnMonitor(pa_stream* stream) const {
    const char* device = pa_stream_get_device_name(stream);
    return device != nullptr && recordedSink.monitorSource == device;
  }

  static void nameLoopThread(pa_mainloop_api*, void* label) {
    std::unique_ptr<std::string> name(static_cast<std::string*>(label));
    ::pthread_setname_np(::pthread_self(), name->c_str());
  }

  static void onReadable(pa_stream* stream, size_t, void* self) {
    auto* capture = static_cast<PulseCaptureStream*>(self);
    if (stream != capture->current.get()) return;
    if (!capture->recordsOwnMonitor(stream)) {
      // Moved by the server despite being told not to: never pass that audio on.
      onMoved(stream, self);
      return;
    }
    capture->deliverReadable(stream);
  }

  static void onMoved(pa_stream* stream, void* self) {
    auto* capture = static_cast<PulseCaptureStream*>(self);
    if (stream != capture->current.get() || capture->recordsOwnMonitor(stream)) return;
    capture->dropCurrent();
    capture->follow();
  }

  static void onStreamState(pa_stream* stream, void* self) {
    auto* capture = static_cast<PulseCaptureStream*>(self);
    pa_threaded_mainloop_signal(capture->connection.loop, 0);
    if (stream != capture->current.get()) return;
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY) {
      capture->heardAt = pa_rtclock_now();
      capture->currentWasReady = true;
      capture->failuresInARow = 0;
    }
    if (!capture->capturing) return;
    if (state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state)) {
      // The creation has settled: a sink chosen meanwhile is recorded now.
      if (std::optional<Sink> wanted = std::exchange(capture->next, std::nullopt)) {
        return capture->record(*wanted);
      }
    }
    if (!PA_STREAM_IS_GOOD(state)) capture->onStreamFailed();
  }

  // New or removed sinks and a new default all call for another look at the default.
  static void onEvent(pa_context*, pa_subscription_event_type_t event, uint32_t, void* self) {
    const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if ((facility == PA_SUBSCRIPTION_EVENT_SERVER && kind == PA_SUBSCRIPTION_EVENT_CHANGE) ||
        (facility == PA_SUBSCRIPTION_EVENT_SINK && kind != PA_SUBSCRIPTION_EVENT_CHANGE)) {
      static_cast<PulseCaptureStream*>(self)->follow();
    }
  }

  static void onCheck(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* self) {
    auto* capture = static_cast<PulseCaptureStream*>(self);
    pa_context_rttime_restart(capture->connection.context, event,
                              pa_rtclock_now() + CHECK_INTERVAL_USEC);
    capture->check();
  }

  PulseConnection& connection;
  StreamDelegate& delegate;
  StreamOutput* output = nullptr;
  pa_sample_spec sampleFormat{};
  std::string requestedSink;

  std::unique_ptr<PulseConnection> lookout;  // the connection of the latest fresh look

  // Touched only on the loop thread, or under the loop lock.
  bool capturing = false;  // start confirmed: failures are stops from now on
  StreamHandle current;    // records `recordedSink`'s monitor, or is being created to
  Sink recordedSink;
  std::optional<Sink> next;     // to record once `current` has been created
  pa_usec_t heardAt = 0;        // when `current` was created or last delivered audio
  bool recordsStandIn = false;  // no default names what `current` records
  DefaultView ownView, freshView;
  bool following = false, followAgain = false;  // a look at the default is under way
  bool probing = false;  // `current` is quiet: is the server still answering?
  bool currentWasReady = false;
  int failuresInARow = 0;  // streams that failed before becoming ready
  unsigned checks = 0;
  std::vector<float> planar;
  std::vector<AudioEntry> entries;
};

}  // namespace

std::unique_ptr<CaptureStream> makePulseCaptureStream(PulseConnection& connection,
                                                      std::string sinkName,
                                                      const StreamConfiguration& configuration,
                                                      StreamDelegate& delegate) {
  return std::make_unique<PulseCaptureStream>(connection, std::move(sinkName), configuration,
                                              delegate);
}

}  // namespace qztap
