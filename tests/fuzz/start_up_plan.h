#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tests/fake_capture_service.h"

namespace qztap::fuzzing {

// What the child's main thread does, in the service's place, while start() runs.
enum class EventKind { AnswerContent, AnswerStart, Deliver, Stop, StopHere, AwaitStarted, Pause };

struct Delivery {
  StreamOutputType type;
  double rate;
  std::vector<std::vector<float>> channels;
};

struct Event {
  EventKind kind;
  Delivery delivery;     // Deliver
  std::string stopText;  // Stop, StopHere
  unsigned pauseMicros;  // Pause
};

// One start-up: how the service answers each step (the script) and what it does
// meanwhile, in order.
struct Plan {
  testing::FakeScript script;
  std::vector<Event> events;
};

// Decodes any bytes into a plan of at most 16 events.
Plan decodePlan(std::span<const uint8_t> bytes);

}  // namespace qztap::fuzzing
