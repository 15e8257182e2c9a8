#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_service.h"

namespace qztap::testing {

// What the fake answers at each step of a start-up.
struct FakeScript {
  std::optional<ShareableContent> content = ShareableContent{{Display{"main"}}};
  std::optional<CaptureError> contentError;
  bool registrationSucceeds = true;
  std::optional<CaptureError> registrationError;
  std::optional<CaptureError> startError;
};

// Runs jobs one at a time, in order, on a thread of its own.
class SerialQueue {
 public:
  SerialQueue();
  ~SerialQueue();
  void post(std::function<void()> job);
  void drain();  // returns once every job posted so far has run

 private:
  void run();
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::function<void()>> jobs;
  bool busy = false;
  bool stopping = false;
  std::thread worker;
};

// A scriptable capture service: answers every step as the script says, calling the
// completions on threads of their own (detached: a fake lives until its process ends), and after a successful start delivers the
// buffers a test hands it on its serial delivery queue.
class FakeCaptureService final : public CaptureService {
 public:
  // Each step the fake is asked for is written as one line to `traceFd` as it
  // happens, so a test still sees them when the process ends right afterwards.
  FakeCaptureService(FakeScript fakeScript, int traceFd)
      : script(std::move(fakeScript)), trace(traceFd) {}

  void getShareableContent(
      bool excludingDesktopWindows, bool onScreenWindowsOnly,
      std::function<void(std::optional<ShareableContent>, std::optional<CaptureError>)> completion)
      override;
  std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override;

  // Delivers one buffer to the registered output on the delivery queue. The
  // samples are copied, one entry per channel.
  void deliver(StreamOutputType type, double rate, std::vector<std::vector<float>> channels);
  // Reports a stop to the delegate from a thread of its own.
  void stop(const CaptureError& error);
  void drainDeliveries() { deliveries.drain(); }


 private:
  friend class FakeCaptureStream;
  void note(const std::string& step) const;

  FakeScript script;
  int trace;
  StreamOutput* output = nullptr;
  StreamDelegate* delegate = nullptr;
  SerialQueue deliveries;
};

}  // namespace qztap::testing
