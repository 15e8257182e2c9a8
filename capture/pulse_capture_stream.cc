// The Linux capture stream: records the monitor of one sink at a time over libpulse.
//
// All stream callbacks run on the threaded main loop's one thread, named after the
// delivery queue: that thread is the serial queue the audio output is promised.
// Calls from the start-up thread take the loop lock and wait on the loop's signal.

#include "capture/pulse_capture_stream.h"

#include <pthread.h>

#include <cstring>
#include <utility>
#include <vector>

#include "capture/pulse_connection.h"

namespace qztap {
namespace {

// About 21 ms at 48 kHz: buffers arrive this often instead of the server's default.
constexpr uint32_t FRAGMENT_FRAMES = 1024;

// How long to wait before looking for the default sink again while nothing is recorded.
constexpr pa_usec_t FOLLOW_RETRY_USEC = 250 * PA_USEC_PER_MSEC;

struct StreamUnref {
  void operator()(pa_stream* stream) const { pa_stream_unref(stream); }
};
using StreamHandle = std::unique_ptr<pa_stream, StreamUnref>;

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

    if (!record(*sink)) return connection.lastError();
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
    PulseConnection::detach(pa_context_subscribe(
        connection.context,
        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK),
        nullptr, nullptr));
    // The default may have changed while we were starting.
    followDefaultSink();
    return std::nullopt;
  }

  // Opens a record stream on the sink's monitor and makes it the current one,
  // after handing on what the previous stream still holds.
  bool record(const Sink& sink) {
    StreamHandle next(pa_stream_new(connection.context, "qztap", &sampleFormat, nullptr));
    if (!next) return false;
    pa_stream_set_state_callback(next.get(), &PulseCaptureStream::onStreamState, this);
    pa_stream_set_read_callback(next.get(), &PulseCaptureStream::onReadable, this);
    pa_stream_set_moved_callback(next.get(), &PulseCaptureStream::onMoved, this);

    pa_buffer_attr attributes;
    std::memset(&attributes, 0xff, sizeof attributes);  // -1: the server's choice
    attributes.fragsize = static_cast<uint32_t>(FRAGMENT_FRAMES * pa_frame_size(&sampleFormat));
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(next.get(), sink.monitorSource.c_str(), &attributes, flags) < 0) {
      return false;
    }

    if (current) {
      if (pa_stream_get_state(current.get()) == PA_STREAM_READY) deliverReadable(current.get());
      release(std::move(current));
    }
    current = std::move(next);
    recordedSink = sink;
    recording = true;
    return true;
  }

  static void release(StreamHandle stream) {
    pa_stream_set_state_callback(stream.get(), nullptr, nullptr);
    pa_stream_set_read_callback(stream.get(), nullptr, nullptr);
    pa_stream_set_moved_callback(stream.get(), nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream.get()))) pa_stream_disconnect(stream.get());
  }

  // Moves to the default sink unless that is what we are recording already.
  void followDefaultSink() {
    PulseConnection::detach(requestServerInfo(connection, [this](const pa_server_info* info) {
      if (info == nullptr || info->default_sink_name == nullptr) return lookAgainSoon();
      std::string name = info->default_sink_name;
      if (recording && name == recordedSink.name) return;
      PulseConnection::detach(requestSinks(connection, &name, [this](const pa_sink_info* sink) {
        if (sink == nullptr) return lookAgainSoon();  // gone again, or not there yet
        if (recording && recordedSink.name == sink->name) return;
        if (!record(sinkFrom(*sink))) delegate.didStopWithError(connection.lastError());
      }));
    }));
  }

  // While nothing is recorded, looks for the default again shortly: servers differ in
  // whether, and when, they announce a new default after the recorded sink went away.
  void lookAgainSoon() {
    if (recording || retry != nullptr) return;
    retry = pa_context_rttime_new(connection.context, pa_rtclock_now() + FOLLOW_RETRY_USEC,
                                  &PulseCaptureStream::onRetry, this);
  }

  static void onRetry(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                      void* self) {
    auto* capture = static_cast<PulseCaptureStream*>(self);
    api->time_free(event);
    capture->retry = nullptr;
    if (!capture->recording) capture->followDefaultSink();
  }

  // The current stream ended without our asking. If its sink is gone, recording
  // follows the default; if the sink is still there, the stream itself failed.
  void onRecordingEnded() {
    if (!connection.ready()) return;  // the connection's own callback reports it
    CaptureError why = connection.lastError();
    PulseConnection::detach(
        requestSinks(connection, &recordedSink.name, [this, why](const pa_sink_info* sink) {
          if (sink != nullptr) {
            if (!recording) delegate.didStopWithError(why);
            return;
          }
          followDefaultSink();
        }));
    recording = false;
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
    entries.resize(channels);
    for (size_t c = 0; c < channels; ++c) {
      float* channel = planar.data() + c * frameCount;
      for (size_t f = 0; f < frameCount; ++f) channel[f] = frames[f * channels + c];
      entries[c] = AudioEntry{channel, static_cast<uint32_t>(frameCount * sizeof(float))};
    }
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
    release(std::move(capture->current));
    capture->recording = false;
    capture->followDefaultSink();
  }

  static void onStreamState(pa_stream* stream, void* self) {
    auto* capture = static_cast<PulseCaptureStream*>(self);
    pa_threaded_mainloop_signal(capture->connection.loop, 0);
    if (!capture->capturing || stream != capture->current.get()) return;
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) capture->onRecordingEnded();
  }

  static void onEvent(pa_context*, pa_subscription_event_type_t event, uint32_t index,
                      void* self) {
    auto* capture = static_cast<PulseCaptureStream*>(self);
    const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER && kind == PA_SUBSCRIPTION_EVENT_CHANGE) {
      capture->followDefaultSink();
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK && kind == PA_SUBSCRIPTION_EVENT_REMOVE &&
               index == capture->recordedSink.index) {
      capture->recording = false;
      capture->followDefaultSink();
    }
  }

  PulseConnection& connection;
  StreamDelegate& delegate;
  StreamOutput* output = nullptr;
  pa_sample_spec sampleFormat{};
  std::string requestedSink;

  // Touched only on the loop thread, or under the loop lock.
  bool capturing = false;  // start confirmed: failures are stops from now on
  bool recording = false;  // `current` records `recordedSink`'s monitor
  StreamHandle current;
  Sink recordedSink;
  pa_time_event* retry = nullptr;  // a pending lookAgainSoon()
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
