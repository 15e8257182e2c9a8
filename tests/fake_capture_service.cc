#include "tests/fake_capture_service.h"

namespace qztap::testing {

class FakeCaptureStream final : public CaptureStream {
 public:
  explicit FakeCaptureStream(FakeCaptureService& owner) : service(owner) {}

  Registration addStreamOutput(StreamOutput& output, StreamOutputType type,
                               const DeliveryQueue& queue) override {
    service.note("register " + std::to_string(static_cast<int64_t>(type)) + " " + queue.label);
    if (!service.script.registrationSucceeds) return {false, service.script.registrationError};
    service.publish(service.output, &output);
    return {true, std::nullopt};
  }

  void startCapture(StartCompletion completion) override {
    service.note("start");
    service.publish(service.startCompletion, std::move(completion));
    if (service.script.answersInline) service.answerStart();
  }

 private:
  FakeCaptureService& service;
};

void FakeCaptureService::getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                             ContentCompletion completion) {
  note("content " + std::to_string(excludingDesktopWindows) + " " +
       std::to_string(onScreenWindowsOnly));
  publish(contentCompletion, std::move(completion));
  if (script.answersInline) answerContent();
}

std::unique_ptr<CaptureStream> FakeCaptureService::makeStream(const ContentFilter& filter,
                                                              const StreamConfiguration& c,
                                                              StreamDelegate& streamDelegate) {
  // Appended rather than prefixed: GCC 12 at -O3 warns falsely (-Wrestrict) on
  // " " + std::to_string(...).
  auto text = [](auto value) { return std::string(" ").append(std::to_string(value)); };
  note("stream " + filter.display.name + text(filter.excludedWindows.size()) +
       text(c.capturesAudio) + text(c.sampleRate) + text(c.channelCount) +
       text(c.excludesCurrentProcessAudio) + text(c.width) + text(c.height) +
       text(c.minimumFrameInterval.value) + text(c.minimumFrameInterval.timescale));
  if (!script.makesStream) return nullptr;
  publish(delegate, &streamDelegate);
  return std::make_unique<FakeCaptureStream>(*this);
}

void FakeCaptureService::answerContent() {
  const ContentCompletion completion = await(contentCompletion);
  completion(script.content, script.contentError);
  const bool failed = script.contentError || !script.content;
  completion(failed ? std::optional(ShareableContent{{Display{"late"}}}) : std::nullopt,
             failed ? std::nullopt : std::optional(CaptureError{"late"}));
}

void FakeCaptureService::answerStart() {
  const StartCompletion completion = await(startCompletion);
  completion(script.startError);
  completion(script.startError ? std::nullopt : std::optional(CaptureError{"late"}));
}

void FakeCaptureService::deliver(StreamOutputType type, double rate,
                                 const std::vector<std::vector<float>>& channels) {
  std::vector<AudioEntry> entries;
  for (const std::vector<float>& channel : channels) {
    entries.push_back({channel.data(), static_cast<uint32_t>(channel.size() * sizeof(float))});
  }
  await(output)->didOutputBuffer(type, rate, entries);
}

void FakeCaptureService::stop(const CaptureError& error) {
  await(delegate)->didStopWithError(error);
}

void FakeCaptureService::note(const std::string& request) const {
  const std::string line = request + "\n";
  if (trace != nullptr) trace->writeAll(std::as_bytes(std::span(line)));
}

template <typename T>
void FakeCaptureService::publish(T& field, T value) {
  std::lock_guard lock(mutex);
  field = std::move(value);
  published.notify_all();
}

template <typename T>
T FakeCaptureService::await(const T& field) {
  std::unique_lock lock(mutex);
  published.wait(lock, [&] { return static_cast<bool>(field); });
  return field;
}

}  // namespace qztap::testing
