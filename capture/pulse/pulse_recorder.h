#pragma once

// One record stream's life on the Linux backend: created on a sink's monitor, its audio
// handed to the output as it comes, deleted. Only the backend's own files include this.

#include <memory>
#include <string>
#include <vector>

#include "capture/capture_service.h"
#include "capture/pulse/pulse_connection.h"
#include "capture/pulse/pulse_library.h"
#include "capture/pulse/pulse_sink_choice.h"

namespace qztap {

// Told what the current stream does; called on the loop thread.
class PulseStreamListener {
 public:
  virtual void streamReady() = 0;
  virtual void streamFailed() = 0;
  virtual void streamMoved() = 0;  // the server moved it off its sink's monitor
  // It is about to deliver a buffer of `durationUs` microseconds of audio.
  virtual void streamHeard(int64_t durationUs) = 0;

 protected:
  ~PulseStreamListener() = default;
};

// Records one sink's monitor at a time. The loop thread is the delivery queue: every
// buffer goes to the output from there. All calls on the loop thread, or under the loop
// lock.
class PulseRecorder {
 public:
  PulseRecorder(PulseConnection& connection, const StreamConfiguration& configuration,
                PulseStreamListener& listener);

  bool formatIsValid() const { return pa_sample_spec_valid(&sampleFormat) != 0; }
  void deliverTo(StreamOutput& streamOutput) { output = &streamOutput; }

  // Opens a stream on `sink`'s monitor; the current one must have been deleted. False if
  // the stream could not be asked for.
  bool create(const Sink& sink);
  // Hands on what the current stream holds, then lets it go.
  void deleteCurrent();
  // The current stream's state, PA_STREAM_UNCONNECTED without one.
  pa_stream_state_t state() const;
  // Whether the server has suspended the source the ready stream records, as it does with
  // a suspended sink's monitor: it delivers nothing until the sink resumes.
  bool suspended() const { return current && pa_stream_is_suspended(current.get()) == 1; }

 private:
  struct StreamUnref {
    void operator()(pa_stream* stream) const { pa_stream_unref(stream); }
  };
  using StreamHandle = std::unique_ptr<pa_stream, StreamUnref>;

  void deliverReadable(pa_stream* stream);
  void deliver(const float* frames, size_t frameCount, size_t channels, uint32_t rate);
  bool recordsOwnMonitor(pa_stream* stream) const;

  static void onStreamState(pa_stream* stream, void* self);
  static void onReadable(pa_stream* stream, size_t, void* self);
  static void onMoved(pa_stream* stream, void* self);
  static void disconnectOnceReady(pa_stream* stream, void*);

  PulseConnection& connection;
  PulseStreamListener& listener;
  StreamOutput* output = nullptr;
  pa_sample_spec sampleFormat{};
  StreamHandle current;
  std::string monitorSource;  // the monitor `current` records
  std::vector<float> planar;
  std::vector<AudioEntry> entries;
};

}  // namespace qztap
