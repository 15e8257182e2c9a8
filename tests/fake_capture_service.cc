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
    service.output = &output;
    return {true, std::nullopt};
  }

  void startCapture(std::function<void(std::optional<CaptureError>)> completion) override {
    service.note("start");
    std::thread([completion, error = service.script.startError] { completion(error); }).detach();
  }

 private:
  FakeCaptureService& service;
};

void FakeCaptureService::getShareableContent(
    bool excludingDesktopWindows, bool onScreenWindowsOnly,
    std::function<void(std::optional<ShareableContent>, std::optional<CaptureError>)> completion) {
  note("content desktop=" + std::to_string(excludingDesktopWindows) +
       " onscreen=" + std::to_string(onScreenWindowsOnly));
  std::thread([completion, content = script.content, error = script.contentError] {
    completion(content, error);
  }).detach();
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
  delegate = &streamDelegate;
  return std::make_unique<FakeCaptureStream>(*this);
}

void FakeCaptureService::note(const std::string& step) const {
  const std::string line = step + "\n";
  if (trace >= 0 && ::write(trace, line.data(), line.size()) < 0) std::abort();
}

void FakeCaptureService::deliver(StreamOutputType type, double rate,
                                 std::vector<std::vector<float>> channels) {
  deliveries.post([this, type, rate, channels = std::move(channels)] {
    std::vector<AudioEntry> entries;
    for (const std::vector<float>& channel : channels) {
      entries.push_back({channel.data(), static_cast<uint32_t>(channel.size() * sizeof(float))});
    }
    output->didOutputBuffer(type, rate, entries);
  });
}

void FakeCaptureService::stop(const CaptureError& error) {
  std::thread([this, error] { delegate->didStopWithError(error); }).detach();
}

}  // namespace qztap::testing
