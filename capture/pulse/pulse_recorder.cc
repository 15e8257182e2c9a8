#include "capture/pulse/pulse_recorder.h"

#include <cstring>
#include <utility>

#include "audio/deinterleave.h"

namespace qztap {
namespace {

// About 21 ms at 48 kHz: buffers arrive this often instead of the server's default.
constexpr uint32_t FRAGMENT_FRAMES = 1024;

}  // namespace

PulseRecorder::PulseRecorder(PulseConnection& serverConnection,
                             const StreamConfiguration& configuration,
                             PulseStreamListener& streamListener)
    : connection(serverConnection), listener(streamListener) {
  sampleFormat.format = PA_SAMPLE_FLOAT32LE;
  sampleFormat.rate = static_cast<uint32_t>(configuration.sampleRate);
  sampleFormat.channels = static_cast<uint8_t>(configuration.channelCount);
}

// The server is never allowed to move the stream itself, since orphaned record streams
// may be moved to a microphone.
bool PulseRecorder::create(const Sink& sink) {
  StreamHandle stream(pa_stream_new(connection.context, "qztap", &sampleFormat, nullptr));
  if (!stream) return false;
  pa_stream_set_state_callback(stream.get(), &PulseRecorder::onStreamState, this);
  pa_stream_set_read_callback(stream.get(), &PulseRecorder::onReadable, this);
  pa_stream_set_moved_callback(stream.get(), &PulseRecorder::onMoved, this);

  pa_buffer_attr attributes;
  std::memset(&attributes, 0xff, sizeof attributes);  // -1: the server's choice
  attributes.fragsize = static_cast<uint32_t>(FRAGMENT_FRAMES * pa_frame_size(&sampleFormat));
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(stream.get(), sink.monitorSource.c_str(), &attributes, flags) < 0) {
    return false;
  }
  current = std::move(stream);
  monitorSource = sink.monitorSource;
  return true;
}

void PulseRecorder::deleteCurrent() {
  if (!current) return;
  if (pa_stream_get_state(current.get()) == PA_STREAM_READY) deliverReadable(current.get());
  pa_stream_set_read_callback(current.get(), nullptr, nullptr);
  pa_stream_set_moved_callback(current.get(), nullptr, nullptr);
  // One still being created has no channel to delete yet: it is deleted once ready.
  pa_stream_set_state_callback(current.get(), &PulseRecorder::disconnectOnceReady, nullptr);
  disconnectOnceReady(current.get(), nullptr);
  current.reset();
}

pa_stream_state_t PulseRecorder::state() const {
  return current ? pa_stream_get_state(current.get()) : PA_STREAM_UNCONNECTED;
}

void PulseRecorder::disconnectOnceReady(pa_stream* stream, void*) {
  if (pa_stream_get_state(stream) != PA_STREAM_READY) return;
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_disconnect(stream);
}

// Hands every complete fragment the stream holds to the output, one buffer each. Each
// libpulse call here makes a system call (its check for a fork), 47 times a second: the
// stream's format is the one it was created with (no PA_STREAM_FIX_* flag), and a peek
// that finds nothing ends the loop.
void PulseRecorder::deliverReadable(pa_stream* stream) {
  const size_t channels = sampleFormat.channels;
  for (;;) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
    if (data != nullptr) {
      const size_t frames = bytes / (channels * sizeof(float));
      listener.streamHeard(static_cast<int64_t>(frames * 1'000'000 / sampleFormat.rate));
      deliver(static_cast<const float*>(data), frames, channels, sampleFormat.rate);
    }
    // data == nullptr with bytes > 0 is a hole in the stream: dropped.
    pa_stream_drop(stream);
  }
}

// De-interleaves the server's frames into one planar entry per channel.
void PulseRecorder::deliver(const float* frames, size_t frameCount, size_t channels,
                            uint32_t rate) {
  planar.resize(frameCount * channels);
  entries.clear();
  deinterleave(frames, frameCount, channels, planar.data(), entries);
  output->didOutputBuffer(StreamOutputType::Audio, rate, entries);
}

bool PulseRecorder::recordsOwnMonitor(pa_stream* stream) const {
  const char* device = pa_stream_get_device_name(stream);
  return device != nullptr && monitorSource == device;
}

void PulseRecorder::onStreamState(pa_stream* stream, void* self) {
  auto* recorder = static_cast<PulseRecorder*>(self);
  pa_threaded_mainloop_signal(recorder->connection.loop, 0);  // for a start-up waiting
  if (stream != recorder->current.get()) return;
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY)
    recorder->listener.streamReady();
  else if (!PA_STREAM_IS_GOOD(state))
    recorder->listener.streamFailed();
}

void PulseRecorder::onReadable(pa_stream* stream, size_t, void* self) {
  auto* recorder = static_cast<PulseRecorder*>(self);
  if (stream != recorder->current.get()) return;
  if (!recorder->recordsOwnMonitor(stream)) {
    // Moved by the server despite being told not to: never pass that audio on.
    onMoved(stream, self);
    return;
  }
  recorder->deliverReadable(stream);
}

void PulseRecorder::onMoved(pa_stream* stream, void* self) {
  auto* recorder = static_cast<PulseRecorder*>(self);
  if (stream != recorder->current.get() || recorder->recordsOwnMonitor(stream)) return;
  recorder->listener.streamMoved();
}

}  // namespace qztap
