#include "tests/fake_capture_service.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace qztap::testing {

SerialQueue::SerialQueue() : worker([this] { run(); }) {}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  changed.notify_all();
  worker.join();
}

void SerialQueue::post(std::function<void()> job) {
  {
    std::lock_guard lock(mutex);
    jobs.push_back(std::move(job));
  }
  changed.notify_all();
}

void SerialQueue::drain() {
  std::unique_lock lock(mutex);
  changed.wait(lock, [this] { return jobs.empty() && !busy; });
}

void SerialQueue::run() {
  std::unique_lock lock(mutex);
  for (;;) {
    changed.wait(lock, [this] { return stopping || !jobs.empty(); });
    if (jobs.empty()) return;
    std::function<void()> job = std::move(jobs.front());
    jobs.pop_front();
    busy = true;
    lock.unlock();
    job();
    lock.lock();
    busy = false;
    changed.notify_all();
  }
}

class FakeCaptureStream final : public CaptureStream {
 public:
  explicit FakeCaptureStream(FakeCaptureService& owner) : service(owner) {}

  Registration addStreamOutput(StreamOutput& output, StreamOutputType type,
                               const DeliveryQueue& queue) override {
    service.note("register type=" + std::to_string(static_cast<int64_t>(type)) +
                 " queue=" + queue.label);
    if (!service.script.registrationSucceeds) return {false, service.script.registrationError};
    {
      std::lock_guard lock(service.mutex);
      service.output = &output;
    }
    service.pass(FakeStep::OutputRegistered);
    return {true, std::nullopt};
  }

  void startCapture(StartCompletion completion) override {
    service.note("start");
    {
      std::lock_guard lock(service.mutex);
      service.startCompletion = completion;
    }
    service.pass(FakeStep::StartAsked);
    switch (service.script.startTiming) {
      case AnswerTiming::OwnThread:
        std::thread([this, completion] { service.answerStartNow(completion); }).detach();
        break;
      case AnswerTiming::Inline:
        service.answerStartNow(completion);
        break;
      case AnswerTiming::Held:
        break;
    }
  }

 private:
  FakeCaptureService& service;
};

void FakeCaptureService::getShareableContent(
    bool excludingDesktopWindows, bool onScreenWindowsOnly,
    std::function<void(std::optional<ShareableContent>, std::optional<CaptureError>)> completion) {
  note("content desktop=" + std::to_string(excludingDesktopWindows) +
       " onscreen=" + std::to_string(onScreenWindowsOnly));
  {
    std::lock_guard lock(mutex);
    contentCompletion = completion;
  }
  pass(FakeStep::ContentAsked);
  switch (script.contentTiming) {
    case AnswerTiming::OwnThread:
      std::thread([this, completion] { answerContentNow(completion); }).detach();
      break;
    case AnswerTiming::Inline:
      answerContentNow(completion);
      break;
    case AnswerTiming::Held:
      break;
  }
}

std::unique_ptr<CaptureStream> FakeCaptureService::makeStream(
    const ContentFilter& filter, const StreamConfiguration& configuration,
    StreamDelegate& streamDelegate) {
  const StreamConfiguration& c = configuration;
  note("stream display=" + filter.display.name +
       " excluded=" + std::to_string(filter.excludedWindows.size()) +
       " audio=" + std::to_string(c.capturesAudio) + " rate=" + std::to_string(c.sampleRate) +
       " channels=" + std::to_string(c.channelCount) +
       " excludeSelf=" + std::to_string(c.excludesCurrentProcessAudio) +
       " size=" + std::to_string(c.width) + "x" + std::to_string(c.height) +
       " interval=" + std::to_string(c.minimumFrameInterval.value) + "/" +
       std::to_string(c.minimumFrameInterval.timescale));
  if (!script.makesStream) return nullptr;
  {
    std::lock_guard lock(mutex);
    delegate = &streamDelegate;
  }
  pass(FakeStep::StreamMade);
  return std::make_unique<FakeCaptureStream>(*this);
}

void FakeCaptureService::note(const std::string& step) const {
  const std::string line = step + "\n";
  if (trace >= 0 && ::write(trace, line.data(), line.size()) < 0) std::abort();
}

void FakeCaptureService::deliver(StreamOutputType type, double rate,
                                 std::vector<std::vector<float>> channels) {
  deliveries.post([this, type, rate, channels = std::move(channels)] {
    StreamOutput* target = nullptr;
    {
      std::lock_guard lock(mutex);
      target = output;
    }
    std::vector<AudioEntry> entries;
    for (const std::vector<float>& channel : channels) {
      entries.push_back({channel.data(), static_cast<uint32_t>(channel.size() * sizeof(float))});
    }
    target->didOutputBuffer(type, rate, entries);
  });
}

void FakeCaptureService::stop(const CaptureError& error) {
  std::thread([this, error] { stopHere(error); }).detach();
}

void FakeCaptureService::stopHere(const CaptureError& error) {
  StreamDelegate* target = nullptr;
  {
    std::lock_guard lock(mutex);
    target = delegate;
  }
  target->didStopWithError(error);
}

void FakeCaptureService::pass(FakeStep step) {
  {
    std::lock_guard lock(mutex);
    steps |= static_cast<unsigned>(step);
  }
  passed.notify_all();
}

void FakeCaptureService::awaitStep(FakeStep step) {
  std::unique_lock lock(mutex);
  passed.wait(lock, [&] { return (steps & static_cast<unsigned>(step)) != 0; });
}

void FakeCaptureService::answerContentNow(const ContentCompletion& completion) {
  completion(script.content, script.contentError);
  pass(FakeStep::ContentAnswered);
}

void FakeCaptureService::answerStartNow(const StartCompletion& completion) {
  completion(script.startError);
  pass(FakeStep::StartAnswered);
}

void FakeCaptureService::answerContent() {
  awaitStep(FakeStep::ContentAsked);
  std::unique_lock lock(mutex);
  const ContentCompletion completion = contentCompletion;
  lock.unlock();
  answerContentNow(completion);
}

void FakeCaptureService::answerStart() {
  awaitStep(FakeStep::StartAsked);
  std::unique_lock lock(mutex);
  const StartCompletion completion = startCompletion;
  lock.unlock();
  answerStartNow(completion);
}

void FakeCaptureService::answerContentAgain(std::optional<ShareableContent> content,
                                            std::optional<CaptureError> error) {
  awaitStep(FakeStep::ContentAnswered);
  std::unique_lock lock(mutex);
  const ContentCompletion completion = contentCompletion;
  lock.unlock();
  completion(std::move(content), std::move(error));
}

void FakeCaptureService::answerStartAgain(std::optional<CaptureError> error) {
  awaitStep(FakeStep::StartAnswered);
  std::unique_lock lock(mutex);
  const StartCompletion completion = startCompletion;
  lock.unlock();
  completion(std::move(error));
}

}  // namespace qztap::testing
