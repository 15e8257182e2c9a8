#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/output_backlog.h"
#include "capture/capture_service.h"

namespace qztap::testing {

using ContentCompletion =
    std::function<void(std::optional<ShareableContent>, std::optional<CaptureError>)>;
using StartCompletion = std::function<void(std::optional<CaptureError>)>;

// What the fake answers at each step of a start-up.
struct FakeScript {
  std::optional<ShareableContent> content = ShareableContent{{Display{"first"}, Display{"second"}}};
  std::optional<CaptureError> contentError = std::nullopt;
  bool makesStream = true;  // false: makeStream returns no stream
  bool registrationSucceeds = true;
  std::optional<CaptureError> registrationError = std::nullopt;
  std::optional<CaptureError> startError = std::nullopt;
  // Completions run inside the request, before it returns; otherwise once a test
  // calls answerContent() or answerStart(), from any thread.
  bool answersInline = false;
};

// A scriptable capture service. Each completion runs twice: with the script's answer,
// then at once with the opposite one, as a service that answers twice would. Each
// request is written as one line to `trace` (unless null) as it comes, so a test still
// sees it when the process ends right afterwards.
class FakeCaptureService final : public CaptureService {
 public:
  FakeCaptureService(FakeScript fakeScript, OutputSink* traceOutput)
      : script(std::move(fakeScript)), trace(traceOutput) {}

  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override;
  std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override;

  // Each first waits, forever if need be, until the start-up has asked for content, asked
  // to start, registered its output or made a stream. The calling thread plays the
  // service's: deliver() is the delivery queue (one entry per channel).
  void answerContent();
  void answerStart();
  void deliver(StreamOutputType type, double rate, const std::vector<std::vector<float>>& channels);
  void stop(const CaptureError& error);

 private:
  friend class FakeCaptureStream;
  void note(const std::string& request) const;
  // Hand over a field that the start-up thread sets.
  template <typename T>
  void publish(T& field, T value);
  template <typename T>
  T await(const T& field);

  FakeScript script;
  OutputSink* trace;
  std::mutex mutex;
  std::condition_variable published;
  ContentCompletion contentCompletion;
  StartCompletion startCompletion;
  StreamOutput* output = nullptr;
  StreamDelegate* delegate = nullptr;
};

}  // namespace qztap::testing
