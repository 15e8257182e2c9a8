#include "capture/pulse/pulse_sink_choice.h"

#include <utility>

namespace qztap {

void DefaultView::report(const char* reported) {
  std::string now = reported != nullptr ? reported : "";
  if (now == name) return;
  name = std::move(now);
  since = pa_rtclock_now();
}

void DefaultView::lookedAt(const char* reported, pa_usec_t askedAt) {
  name = reported != nullptr ? reported : "";
  since = askedAt;
}

SinkChoice chooseSink(const std::vector<Sink>& listed, const DefaultView& one,
                      const DefaultView& other, const std::string& recorded) {
  auto find = [&listed](const std::string& name) -> const Sink* {
    for (const Sink& sink : listed) {
      if (!name.empty() && sink.name == name) return &sink;
    }
    return nullptr;
  };
  const bool otherIsNewer = other.since > one.since;
  for (const DefaultView* view : {otherIsNewer ? &other : &one, otherIsNewer ? &one : &other}) {
    if (const Sink* sink = find(view->name)) return {*sink, true};
  }
  if (const Sink* sink = find(recorded)) return {*sink, false};
  if (!listed.empty()) return {listed.front(), false};
  return {};
}

}  // namespace qztap
