#pragma once

// The Linux capture's decisions: which sink to record, when to look at the default, and
// when to replace a stream. Free of libpulse: the capture passes in what the server said
// and the time, in microseconds on the monotonic clock, and does what the follower asks.
//
// What a server may do that the follower guards against:
// - give a stream the channel of one it has just killed (PipeWire's does), so that a
//   late delete of the old stream ends the new one: the old stream is always deleted
//   before the next is created, and only one creation is outstanding at a time;
// - never answer a creation, refuse it, or stop sending a stream's audio: a stream that
//   has delivered nothing for 2 s while the server still answers is replaced, and one
//   refused is created again at the next check;
// - never tell a connection of a new default, or name a placeholder: the default is also
//   looked at through a new connection (see pulse_sink_choice.h), whenever the own one
//   is told of a change and, on a server whose connections' views may lag, every 500 ms.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/pulse/pulse_sink_choice.h"

namespace qztap {

// How often the follower's checks come while it has something to check: it looks for the
// default again while it records no sink a default names, or through a new connection
// where views may lag, and checks a stream that has gone quiet.
inline constexpr int64_t PULSE_CHECK_INTERVAL_US = 250'000;

// Whether a connection's view of the default can be trusted to follow the server's.
enum class DefaultViews {
  // PulseAudio: one default in the server, read by every connection's question, and
  // every change told to every connection that listens. A new connection can tell
  // something new only after the capture's own has been told of a change.
  Shared,
  // PipeWire's pulse server, or one not known: each connection keeps a view of its own,
  // which can fall behind untold (see pulse_sink_choice.h).
  PerConnection,
};

// The views of the server that calls itself `serverName` in its server info.
DefaultViews defaultViewsOf(std::string_view serverName);

// Why the capture stopped.
enum class StopCause {
  StreamsFailing,    // streams could not be created, or were refused over and over
  RecordingStopped,  // the recording stream was stopped while its sink was still there
};

// What the follower asks of the capture. Each call comes from within one of the
// follower's own calls, on the capture's loop thread.
class PulseFollowerActions {
 public:
  // Asks the capture's own connection for the default, then for the sinks: answered
  // through defaultReported() and then sinksListed(). False if it could not be asked.
  virtual bool askDefaultAndSinks() = 0;
  // Asks for the default through a connection made for that alone: lookEnded().
  virtual void lookAfresh() = 0;
  // Asks the server anything, to learn whether it still answers: serverAnswered().
  // False if it could not be asked.
  virtual bool askServer() = 0;
  // Asks whether the sink `name` is still there: sinkPresence().
  virtual void askSinkPresent(const std::string& name) = 0;
  // Hands on what the current stream holds, then lets it go.
  virtual void deleteStream() = 0;
  // Opens a stream on `sink`'s monitor: streamReady() or streamFailed() follows.
  // False if it could not even be asked for.
  virtual bool createStream(const Sink& sink) = 0;
  // Calls tick() at `when` at the latest: a wake-up of the loop, which the follower asks
  // for only when there may be something to check.
  virtual void checkBy(int64_t when) = 0;
  // The capture has stopped.
  virtual void stop(StopCause cause) = 0;

 protected:
  ~PulseFollowerActions() = default;
};

// Records the monitor of one sink at a time, following the default sink: when the user
// picks another output, or the recorded one disappears, recording moves to the new
// default's monitor with no stop and no status line.
class PulseFollower {
 public:
  // Stops after this many streams in a row fail before becoming ready: about 2 s of checks.
  static constexpr int FAILURES_BEFORE_STOP = 8;
  // A stream that has delivered nothing for this long, while the server answers, is
  // replaced: a null sink or a device delivers a fragment every 21 ms, silence included.
  static constexpr int64_t QUIET_STREAM_US = 2'000'000;
  // Where a connection's view may lag, every other check looks through a new connection.
  static constexpr unsigned LOOK_AFRESH_EVERY = 2;

  PulseFollower(PulseFollowerActions& capture, DefaultViews views)
      : actions(capture), defaultViews(views) {}

  // The start-up records `sink`; false if no stream could be asked for. Until
  // captureConfirmed(), a failed stream is the start-up's to report.
  bool start(const Sink& sink, int64_t now) { return switchTo(sink, now); }
  // The start-up has told that capture runs: from now on every failure is a stop.
  void captureConfirmed();

  // What the server told or answered.
  void serverChanged();  // a sink came or went, or the default changed
  void defaultReported(std::string name, int64_t now);  // on the capture's own connection
  void sinksListed(const std::vector<Sink>& sinks, int64_t now);
  // The look through a connection of its own is over: the default it was told when it
  // asked at `askedAt`, or none if it learnt nothing.
  void lookEnded(std::optional<std::string> name, int64_t askedAt);
  void serverAnswered(int64_t now);
  void sinkPresence(bool present);

  // What the current stream did.
  void streamReady(int64_t now);
  void streamFailed(int64_t now);
  void streamMoved();             // the server moved it off its sink's monitor
  void streamHeard(int64_t now);  // it delivered audio

  // When asked for through checkBy(): every PULSE_CHECK_INTERVAL_US while there is
  // something to check, else once the stream would have been quiet for QUIET_STREAM_US.
  void tick(int64_t now);

 private:
  enum class Stream { None, Creating, Ready, Ended };

  void record(const Sink& sink, int64_t now);
  bool switchTo(const Sink& sink, int64_t now);
  void dropStream();
  void follow();
  void look();
  void recordingEnded();
  void checkSoon(int64_t now) { actions.checkBy(now + PULSE_CHECK_INTERVAL_US); }

  PulseFollowerActions& actions;
  const DefaultViews defaultViews;
  bool capturing = false;
  Stream stream = Stream::None;  // records `recorded`'s monitor, or is being created to
  Sink recorded;
  std::optional<Sink> next;     // to record once the stream being created has settled
  int64_t heardAt = 0;          // when the stream was created, became ready, or delivered
  bool wasReady = false;        // the stream became ready: a failure now is a stop of it
  bool recordsStandIn = false;  // no default names what the stream records
  DefaultView ownView, freshView;
  bool following = false, followAgain = false;  // a question on the own connection is out
  bool looking = false, lookAgain = false;      // a look through a new connection is out
  bool probing = false;    // the stream is quiet: is the server still answering?
  int failuresInARow = 0;  // streams that failed before becoming ready
  unsigned checks = 0;
};

}  // namespace qztap
