#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "audio/buffer_handler.h"

namespace qztap {

// The seam between the start-up and the platform's capture service: everything the
// start-up asks of the platform, and everything the platform calls back. Each real
// backend implements it in a file of its own; tests script a fake of it.

// An error as the service reports it; its description goes into the status line.
struct CaptureError {
  std::string description;
};

// Something whose output can be captured: a display, or a sound server's output device.
struct Display {
  std::string name;
};

struct ShareableContent {
  std::vector<Display> displays;  // in the service's order; may be empty
};

struct FrameInterval {
  int64_t value = 0;
  int32_t timescale = 0;
};

// What the stream is asked for. Fields the start-up does not set keep these defaults.
struct StreamConfiguration {
  bool capturesAudio = false;
  int64_t sampleRate = 48000;
  int64_t channelCount = 2;
  bool excludesCurrentProcessAudio = false;
  size_t width = 0;
  size_t height = 0;
  FrameInterval minimumFrameInterval;
};

struct ContentFilter {
  Display display;
  std::vector<std::string> excludedWindows;
};

enum class StreamOutputType : int64_t { Screen = 0, Audio = 1, Microphone = 2 };

// The serial queue on which the stream delivers buffers to an output.
struct DeliveryQueue {
  std::string label;
};

// Receives the stream's buffers, one call at a time on the delivery queue.
class StreamOutput {
 public:
  virtual void didOutputBuffer(StreamOutputType type, double streamRate,
                               std::span<const AudioEntry> entries) = 0;

 protected:
  ~StreamOutput() = default;
};

// Told when a stream stops with an error, on a thread of the service's choosing.
class StreamDelegate {
 public:
  virtual void didStopWithError(const CaptureError& error) = 0;

 protected:
  ~StreamDelegate() = default;
};

struct Registration {
  bool succeeded = false;
  std::optional<CaptureError> error;  // a failure may come without one
};

class CaptureStream {
 public:
  virtual ~CaptureStream() = default;

  // Registers `output` for buffers of `type` delivered on `queue`.
  virtual Registration addStreamOutput(StreamOutput& output, StreamOutputType type,
                                       const DeliveryQueue& queue) = 0;

  // Starts capture; `completion` runs once, on any thread, with no error once
  // capture is running or with the error that prevented it.
  virtual void startCapture(std::function<void(std::optional<CaptureError>)> completion) = 0;
};

class CaptureService {
 public:
  virtual ~CaptureService() = default;

  // Asks for what can be captured; `completion` runs once, on any thread.
  virtual void getShareableContent(
      bool excludingDesktopWindows, bool onScreenWindowsOnly,
      std::function<void(std::optional<ShareableContent>, std::optional<CaptureError>)>
          completion) = 0;

  // A stream that is not capturing yet and reports a stop to `delegate`.
  virtual std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                    const StreamConfiguration& configuration,
                                                    StreamDelegate& delegate) = 0;
};

// The capture service of the platform this binary was built for.
std::unique_ptr<CaptureService> makePlatformCaptureService();

}  // namespace qztap
