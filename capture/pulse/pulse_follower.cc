#include "capture/pulse/pulse_follower.h"

#include <utility>

namespace qztap {

// PipeWire's calls itself "PulseAudio (on PipeWire x.y.z)".
DefaultViews defaultViewsOf(std::string_view serverName) {
  return serverName == "pulseaudio" ? DefaultViews::Shared : DefaultViews::PerConnection;
}

void PulseFollower::captureConfirmed() {
  capturing = true;
  // The default may have changed while the capture was starting.
  follow();
}

// A change the own connection was told of: it may be one its view misses, and on a
// server with one default it is the only time a new connection can tell anything new.
void PulseFollower::serverChanged() {
  follow();
  look();
}

void PulseFollower::defaultReported(std::string name, int64_t now) {
  ownView.report(std::move(name), now);
}

void PulseFollower::sinksListed(const std::vector<Sink>& sinks, int64_t now) {
  following = false;
  const SinkChoice choice =
      chooseSink(sinks, ownView, freshView, stream != Stream::None ? recorded.name : "");
  recordsStandIn = choice.sink && !choice.isDefault;
  if (choice.sink)
    record(*choice.sink, now);
  else
    dropStream();  // a time without sinks
  if (stream == Stream::None || recordsStandIn) checkSoon(now);
  if (std::exchange(followAgain, false)) follow();
}

void PulseFollower::lookEnded(std::optional<std::string> name, int64_t askedAt) {
  if (!looking) return;  // told twice: by its answer, and as its connection ended
  looking = false;
  if (name) {
    freshView.lookedAt(std::move(*name), askedAt);
    if (stream == Stream::None || freshView.name != recorded.name) follow();
  }
  if (std::exchange(lookAgain, false)) look();
}

void PulseFollower::serverAnswered(int64_t now) {
  probing = false;
  if (stream != Stream::None && now - heardAt >= QUIET_STREAM_US) {
    dropStream();
    follow();
  }
}

// After a recording stream ended: with its sink still there, the stream itself was
// stopped (killed by the server, or by the user through it); if not, recording follows
// the default.
void PulseFollower::sinkPresence(bool present) {
  if (present && stream == Stream::None) return actions.stop(StopCause::RecordingStopped);
  follow();
}

void PulseFollower::streamReady(int64_t now) {
  stream = Stream::Ready;
  heardAt = now;
  wasReady = true;
  failuresInARow = 0;
  if (!capturing) return;
  // The creation has settled: a sink chosen meanwhile is recorded now.
  if (std::optional<Sink> wanted = std::exchange(next, std::nullopt)) record(*wanted, now);
}

// One that never became ready was refused, or its sink went meanwhile: the next look at
// the default (on the event that comes with an unplug, or the next check) records again,
// and a capture whose streams keep being refused has stopped.
void PulseFollower::streamFailed(int64_t now) {
  stream = Stream::Ended;
  if (!capturing) return;
  if (std::optional<Sink> wanted = std::exchange(next, std::nullopt)) return record(*wanted, now);
  if (wasReady) return recordingEnded();
  if (++failuresInARow == FAILURES_BEFORE_STOP) return actions.stop(StopCause::StreamsFailing);
  dropStream();
  checkSoon(now);
}

void PulseFollower::streamMoved() {
  dropStream();
  follow();
}

void PulseFollower::streamHeard(int64_t now) { heardAt = now; }

// Looks for the default while no sink a default names is recorded, or through a new
// connection where views may lag; replaces a stream that has gone quiet once the server
// has answered. A stream that delivers needs no check until it could have gone quiet.
void PulseFollower::tick(int64_t now) {
  const bool standsIn = stream == Stream::None || recordsStandIn;
  const bool viewsMayLag = defaultViews == DefaultViews::PerConnection;
  if (++checks % LOOK_AFRESH_EVERY == 0 && (viewsMayLag || standsIn)) look();
  if (standsIn) follow();
  const int64_t quietAt = heardAt + QUIET_STREAM_US;
  if (stream != Stream::None && !probing && now >= quietAt) probing = actions.askServer();
  if (viewsMayLag || standsIn || now >= quietAt)
    checkSoon(now);
  else
    actions.checkBy(quietAt);
}

// Records `sink` from now on: at once, or once the stream being created is ready or has
// failed.
void PulseFollower::record(const Sink& sink, int64_t now) {
  if (stream != Stream::None && recorded.name == sink.name) {
    next.reset();
  } else if (stream == Stream::Creating) {
    next = sink;
  } else if (!switchTo(sink, now)) {
    actions.stop(StopCause::StreamsFailing);
  }
}

// Deletes the current stream, then opens one on the sink's monitor: in this order, since
// the server may give the new stream the old one's channel.
bool PulseFollower::switchTo(const Sink& sink, int64_t now) {
  dropStream();
  if (!actions.createStream(sink)) return false;
  stream = Stream::Creating;
  wasReady = false;
  recorded = sink;
  heardAt = now;
  return true;
}

void PulseFollower::dropStream() {
  next.reset();
  if (stream == Stream::None) return;
  actions.deleteStream();
  stream = Stream::None;
}

void PulseFollower::recordingEnded() {
  const std::string sinkName = recorded.name;
  dropStream();
  actions.askSinkPresent(sinkName);
}

// Asks for the default and the sinks, then records the sink chosen. One question at a
// time, so that a server that does not answer collects no requests; whatever asks
// meanwhile gets another once it is answered.
void PulseFollower::follow() {
  if (following) {
    followAgain = true;
    return;
  }
  following = actions.askDefaultAndSinks();
}

// One look through a new connection at a time, for the same reason.
void PulseFollower::look() {
  if (looking) {
    lookAgain = true;
    return;
  }
  looking = true;
  actions.lookAfresh();
}

}  // namespace qztap
