#include "tests/fuzz/start_up_plan.h"

#include "tests/fuzz/fuzz_input.h"

namespace qztap::fuzzing {
namespace {

using testing::AnswerTiming;
using testing::FakeScript;

constexpr size_t MAX_EVENTS = 16;
const char* const DESCRIPTIONS[] = {"", "denied", "two\nlines", "Zugriff verweigert – Ton"};

std::optional<CaptureError> maybeError(FuzzInput& input) {
  if (!input.flag()) return std::nullopt;
  return CaptureError{DESCRIPTIONS[input.below(std::size(DESCRIPTIONS))]};
}

AnswerTiming decodeTiming(FuzzInput& input) {
  const AnswerTiming timings[] = {AnswerTiming::OwnThread, AnswerTiming::Inline, AnswerTiming::Held};
  return timings[input.below(3)];
}

FakeScript decodeScript(FuzzInput& input) {
  FakeScript script;
  if (input.below(4) == 0) {
    script.content.reset();
  } else {
    const char* const names[] = {"first", "second", "third"};
    script.content = ShareableContent{};
    for (uint32_t i = input.below(4); i > 0; --i) script.content->displays.push_back({names[i - 1]});
  }
  script.contentError = input.below(4) == 0 ? maybeError(input) : std::nullopt;
  script.makesStream = input.below(8) != 0;
  script.registrationSucceeds = input.below(4) != 0;
  script.registrationError = maybeError(input);
  script.startError = input.below(3) == 0 ? maybeError(input) : std::nullopt;
  script.contentTiming = decodeTiming(input);
  script.startTiming = decodeTiming(input);
  return script;
}

Delivery decodeDelivery(FuzzInput& input, float& nextSample) {
  const StreamOutputType types[] = {StreamOutputType::Audio, StreamOutputType::Audio,
                                    StreamOutputType::Screen, StreamOutputType::Microphone};
  const double rates[] = {48000, 44100, 16000, 96000, 0, -1};
  Delivery delivery{types[input.below(4)], rates[input.below(6)], {}};
  const size_t frames = 1 + input.below(2048);
  delivery.channels.resize(1 + input.below(3), std::vector<float>(frames));
  for (std::vector<float>& channel : delivery.channels) {
    for (float& sample : channel) sample = nextSample++;
  }
  return delivery;
}

}  // namespace

Plan decodePlan(std::span<const uint8_t> bytes) {
  FuzzInput input(bytes);
  Plan plan{decodeScript(input), {}};
  float nextSample = 0;
  while (!input.empty() && plan.events.size() < MAX_EVENTS) {
    Event event{static_cast<EventKind>(input.below(7)), {}, {}, 0};
    switch (event.kind) {
      case EventKind::Deliver:
        event.delivery = decodeDelivery(input, nextSample);
        break;
      case EventKind::Stop:
      case EventKind::StopHere:
        event.stopText = "stop " + std::to_string(plan.events.size());
        break;
      case EventKind::Pause:
        event.pauseMicros = input.below(500);
        break;
      default:
        break;
    }
    plan.events.push_back(std::move(event));
  }
  return plan;
}

}  // namespace qztap::fuzzing
