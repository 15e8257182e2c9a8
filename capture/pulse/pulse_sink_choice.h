#pragma once

// Which sink the Linux backend records, from what the server's connections say. Plain
// values only: the follower's decisions reach it without a server.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qztap {

// One output device of the server, as far as recording it is concerned.
struct Sink {
  std::string name;
  std::string monitorSource;  // the sink's own monitor, never a server alias
};

// The default sink as a connection reported it, and the time from which that holds, in
// microseconds on the monotonic clock. A long-lived connection's view can lag behind the
// server's for good: PipeWire 0.3.65's pulse server at times tells its clients neither of
// a new default nor its name, and names a placeholder, "@DEFAULT_SINK@", after an unplug;
// a client that connects afterwards is told the default as it is. So the capture keeps
// two views: its own connection's, which holds from when it last changed (a change is
// news the server did send), and that of the latest connection made just to look, which
// holds from when it asked.
struct DefaultView {
  std::string name;  // empty until reported
  int64_t since = 0;

  // Reported on the capture's own connection at `now`.
  void report(std::string reported, int64_t now);
  // Reported by a connection that asked at `askedAt`.
  void lookedAt(std::string reported, int64_t askedAt);
};

struct SinkChoice {
  std::optional<Sink> sink;  // none: there is no sink at all
  bool isDefault = false;    // false: a stand-in until a view names a listed sink
};

// Among the listed sinks: the default as named by the view that holds from later, else
// by the other; if neither names a listed sink (a placeholder, or a sink not listed
// yet), the sink recorded now while it is listed, else the first one listed.
SinkChoice chooseSink(const std::vector<Sink>& listed, const DefaultView& one,
                      const DefaultView& other, const std::string& recorded);

}  // namespace qztap
