#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string_view>

#include "audio/buffer_handler.h"
#include "audio/output_backlog.h"
#include "capture/capture_service.h"

namespace qztap {

// The one status line that is not fatal, written once capture runs.
inline constexpr std::string_view CAPTURE_STARTED_LINE = "CAPTURE_STARTED sr_req=48000->16000 mono";

// The program's one capture: starts the stream, converts what it delivers and ends
// the process when it stops. Lives for the whole process.
class AudioTap final : public StreamOutput, public StreamDelegate {
 public:
  AudioTap(CaptureService& captureService, OutputBacklog& outputBacklog)
      : service(captureService), backlog(outputBacklog), handler(outputBacklog) {}

  // Opens and starts the capture stream; returns once capture runs, after writing
  // CAPTURE_STARTED_LINE. Every failure ends the process with its status line.
  // Runs once, off the main thread.
  void start();

  // On the delivery queue: converts audio buffers and hands them to the backlog.
  void didOutputBuffer(StreamOutputType type, double streamRate,
                       std::span<const AudioEntry> entries) override;

  // Ends the process with STREAM_STOPPED, whenever it is called, once the audio
  // captured so far is out.
  void didStopWithError(const CaptureError& error) override;

  const ResamplerState& resamplerState() const { return handler.resamplerState(); }

 private:
  CaptureService& service;
  // The running stream; set once capture has started and never read: it only keeps
  // the stream alive.
  std::unique_ptr<CaptureStream> stream;
  OutputBacklog& backlog;
  SampleBufferHandler handler;  // the resampler state

  // A stop that comes after the service has confirmed the start, but before the start-up
  // has said so, waits for that line: a reader never sees a stop of a capture it was not
  // told had started.
  std::mutex startMutex;
  std::condition_variable startReported;
  bool startConfirmed = false;
  bool startWritten = false;
};

}  // namespace qztap
