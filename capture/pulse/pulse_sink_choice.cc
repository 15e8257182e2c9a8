#include "capture/pulse/pulse_sink_choice.h"

#include <utility>

namespace qztap {

void DefaultView::report(std::string reported, int64_t now) {
  if (reported == name) return;
  name = std::move(reported);
  since = now;
}

void DefaultView::lookedAt(std::string reported, int64_t askedAt) {
  name = std::move(reported);
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
