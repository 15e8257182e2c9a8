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

// When the fake runs a completion: on a thread of its own right away, inside the
// request before it returns, or only once the test answers it.
enum class AnswerTiming { OwnThread, Inline, Held };

// What the fake answers at each step of a start-up.
struct FakeScript {
  std::optional<ShareableContent> content = ShareableContent{{Display{"main"}}};
  std::optional<CaptureError> contentError;
  bool makesStream = true;  // false: makeStream returns no stream
  bool registrationSucceeds = true;
  std::optional<CaptureError> registrationError;
  std::optional<CaptureError> startError;
  AnswerTiming contentTiming = AnswerTiming::OwnThread;
  AnswerTiming startTiming = AnswerTiming::OwnThread;
};

// The points a start-up passes, in this order, as far as the fake sees them.
enum class FakeStep : unsigned {
  ContentAsked = 1u << 0,
  ContentAnswered = 1u << 1,  // the first content completion has returned
  StreamMade = 1u << 2,       // the delegate is known
  OutputRegistered = 1u << 3, // registration succeeded: buffers can be delivered
  StartAsked = 1u << 4,
  StartAnswered = 1u << 5,    // the first start completion has returned
};

using ContentCompletion =
    std::function<void(std::optional<ShareableContent>, std::optional<CaptureError>)>;
using StartCompletion = std::function<void(std::optional<CaptureError>)>;

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
// completions when the script's timing says (threads it starts are detached: a fake
// lives until its process ends), and after a successful registration delivers the
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
  // Reports a stop to the delegate on the calling thread.
  void stopHere(const CaptureError& error);
  void drainDeliveries() { deliveries.drain(); }

  // Blocks until the start-up has passed `step`; forever if it never does (a
  // start-up that fails before it ends the process).
  void awaitStep(FakeStep step);

  // Run a Held completion with the script's answer, on the calling thread, once the
  // start-up has asked for it.
  void answerContent();
  void answerStart();
  // Run a completion once more, after its first answer has returned, as a service
  // that answers twice would; whatever timing it had.
  void answerContentAgain(std::optional<ShareableContent> content,
                          std::optional<CaptureError> error);
  void answerStartAgain(std::optional<CaptureError> error);

 private:
  friend class FakeCaptureStream;
  void note(const std::string& step) const;
  void pass(FakeStep step);
  void answerContentNow(const ContentCompletion& completion);
  void answerStartNow(const StartCompletion& completion);

  FakeScript script;
  int trace;
  // Guards what the start-up thread hands to the threads of the test.
  std::mutex mutex;
  std::condition_variable passed;
  unsigned steps = 0;
  StreamOutput* output = nullptr;
  StreamDelegate* delegate = nullptr;
  ContentCompletion contentCompletion;
  StartCompletion startCompletion;
  SerialQueue deliveries;
};

}  // namespace qztap::testing
