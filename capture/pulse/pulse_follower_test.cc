#include "capture/pulse/pulse_follower.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace qztap {
namespace {

// What the follower asked of the capture, in order, as "; "-separated words.
class Capture final : public PulseFollowerActions {
 public:
  std::string asked;
  int64_t checkAt = 0;  // the latest check asked for

  bool askDefaultAndSinks() override { return note("ask"); }
  void lookAfresh() override { note("look"); }
  bool askServer() override { return note("probe"); }
  void askSinkPresent(const std::string& name) override { note("present? " + name); }
  void deleteStream() override { note("delete"); }
  bool createStream(const Sink& sink) override { return note("create " + sink.name); }
  void checkBy(int64_t when) override { checkAt = when; }
  void stop(StopCause cause) override {
    note(cause == StopCause::RecordingStopped ? "stop: recording stopped" : "stop: failing");
  }

 private:
  bool note(const std::string& what) {
    asked += (asked.empty() ? "" : "; ") + what;
    return true;
  }
};

Sink sink(const std::string& name) { return {name, name + ".monitor"}; }

// What the server tells the follower, or what its stream does. Each input comes 1 ms
// after the last; ticks come 250 ms apart.
using Input = std::function<void(PulseFollower&, int64_t& now)>;

Input changed() {
  return [](PulseFollower& follower, int64_t&) { follower.serverChanged(); };
}
// The own connection's answer: the default it names, then the sinks listed.
Input told(const std::string& name, const std::vector<std::string>& names) {
  std::vector<Sink> sinks;
  for (const std::string& listed : names) sinks.push_back(sink(listed));
  return [name, sinks](PulseFollower& follower, int64_t& now) {
    follower.defaultReported(name, now);
    follower.sinksListed(sinks, now);
  };
}
Input looked(const std::string& name) {
  return [name](PulseFollower& follower, int64_t& now) { follower.lookEnded(name, now); };
}
Input ticks(int count) {
  return [count](PulseFollower& follower, int64_t& now) {
    for (int tick = 0; tick < count; ++tick) follower.tick(now += PULSE_CHECK_INTERVAL_US);
  };
}
Input ready() {
  return [](PulseFollower& follower, int64_t& now) { follower.streamReady(now); };
}
Input failed() {
  return [](PulseFollower& follower, int64_t& now) { follower.streamFailed(now); };
}
Input heard() {
  return [](PulseFollower& follower, int64_t& now) { follower.streamHeard(now); };
}
Input answered() {
  return [](PulseFollower& follower, int64_t& now) { follower.serverAnswered(now); };
}
Input present(bool there) {
  return [there](PulseFollower& follower, int64_t&) { follower.sinkPresence(there); };
}
Input moved() {
  return [](PulseFollower& follower, int64_t&) { follower.streamMoved(); };
}

struct Step {
  Input input;
  const char* asks;  // what the follower asks in answer
};

struct Order {
  const char* what;
  DefaultViews views;
  std::vector<Step> steps;
};

const DefaultViews SHARED = DefaultViews::Shared, PER_CONNECTION = DefaultViews::PerConnection;
const std::vector<std::string> ALL = {"alpha", "beta", "gamma"};

// The capture records alpha, the default, among alpha, beta and gamma, since `now`.
void recordAlpha(PulseFollower& follower, int64_t now) {
  ASSERT_TRUE(follower.start(sink("alpha"), now));
  follower.streamReady(now);
  follower.captureConfirmed();
  told("alpha", ALL)(follower, now);
}

// Each order a server was seen to give, or a relay forces on it, from a capture recording
// alpha, the default, among alpha, beta and gamma: what the follower asks at each step.
TEST(PulseFollower, FollowsTheDefaultWhateverOrderTheServerGives) {
  const Order orders[] = {
      {"kill told late: the old stream deleted before the next is created",
       SHARED,
       {{changed(), "ask; look"}, {told("beta", {"beta", "gamma"}), "delete; create beta"}}},
      {"default named gone: a stand-in until a view names a listed sink",
       SHARED,
       {{changed(), "ask; look"},
        {told("alpha", {"beta", "gamma"}), "delete; create beta"},
        {looked("gamma"), "ask"},
        {told("alpha", {"beta", "gamma"}), ""},  // one creation at a time
        {ready(), "delete; create gamma"}}},
      {"the placeholder, in every view for a while",
       PER_CONNECTION,
       {{told("@DEFAULT_SINK@", {"beta", "gamma"}), "delete; create beta"},
        {ready(), ""},
        {ticks(2), "ask; look"},
        {looked("@DEFAULT_SINK@"), ""},
        {told("@DEFAULT_SINK@", {"beta", "gamma"}), "ask"},  // asked again meanwhile
        {ticks(2), "look"},
        {looked("gamma"), ""},
        {told("@DEFAULT_SINK@", {"beta", "gamma"}), "delete; create gamma; ask"}}},
      {"new default never told, though the change was",
       SHARED,
       {{changed(), "ask; look"},
        {told("alpha", ALL), ""},
        {looked("beta"), "ask"},
        {told("alpha", ALL), "delete; create beta"}}},
      {"new default never told, nor the change",
       PER_CONNECTION,
       {{ticks(1), ""},
        {ticks(1), "look"},
        {looked("beta"), "ask"},
        {told("alpha", ALL), "delete; create beta"}}},
      {"a change told while a look is out: looked at again",
       SHARED,
       {{changed(), "ask; look"},
        {changed(), ""},
        {looked("alpha"), "look"},
        {told("alpha", ALL), "ask"},
        {told("alpha", ALL), ""},
        {looked("beta"), "ask"},
        {told("alpha", ALL), "delete; create beta"}}},
      {"creation unanswered: replaced once the server answers",
       SHARED,
       {{told("beta", ALL), "delete; create beta"},
        {ticks(7), ""},
        {ticks(1), "probe"},
        {ticks(4), ""},  // one question at a time, to a server that may be frozen
        {answered(), "delete; ask"},
        {told("beta", ALL), "create beta"}}},
      {"creation refused: created again at the next check",
       SHARED,
       {{told("beta", ALL), "delete; create beta"},
        {failed(), "delete"},
        {ticks(1), "ask"},
        {told("beta", ALL), "create beta"}}},
      {"answer held across a kill: one creation at a time",
       SHARED,
       {{told("beta", ALL), "delete; create beta"},
        {changed(), "ask; look"},
        {told("gamma", {"alpha", "gamma"}), ""},
        {ready(), "delete; create gamma"}}},
      {"audio withheld: a quiet stream replaced once the server answers",
       SHARED,
       {{ticks(4), ""},
        {heard(), ""},
        {ticks(7), ""},
        {ticks(1), "probe"},
        {answered(), "delete; ask"},
        {told("alpha", ALL), "create alpha"}}},
      {"recording stopped while its sink is there",
       SHARED,
       {{failed(), "delete; present? alpha"}, {present(true), "stop: recording stopped"}}},
      {"recording ended as its sink went",
       SHARED,
       {{failed(), "delete; present? alpha"},
        {present(false), "ask"},
        {told("beta", {"beta", "gamma"}), "create beta"}}},
      {"moved off its monitor", SHARED, {{moved(), "delete; ask"}}},
      {"a time without sinks",
       SHARED,
       {{changed(), "ask; look"},
        {told("", {}), "delete"},
        {looked(""), "ask"},
        {ticks(2), "look"},
        {told("", {"delta"}), "create delta; ask"}}},
      {"no look while the default is recorded, where views are shared", SHARED, {{ticks(4), ""}}},
      {"a look every 500 ms, where views may lag",
       PER_CONNECTION,
       {{ticks(2), "look"}, {looked("alpha"), ""}, {ticks(2), "look"}}},
  };
  for (const Order& order : orders) {
    SCOPED_TRACE(order.what);
    Capture capture;
    PulseFollower follower(capture, order.views);
    int64_t now = 1'000'000;
    recordAlpha(follower, now);
    EXPECT_EQ(capture.asked, "create alpha; ask");
    for (size_t step = 0; step < order.steps.size(); ++step) {
      capture.asked.clear();
      order.steps[step].input(follower, now += 1'000);
      EXPECT_EQ(capture.asked, order.steps[step].asks) << "step " << step + 1;
    }
  }
}

// Streams refused over and over stop the capture; one that becomes ready starts the count
// again.
TEST(PulseFollower, StopsOnceEightStreamsInARowAreRefused) {
  Capture capture;
  PulseFollower follower(capture, SHARED);
  int64_t now = 0;
  follower.start(sink("alpha"), now);
  follower.captureConfirmed();
  auto refuse = [&](int times) {
    for (int refused = 0; refused < times; ++refused) {
      told("alpha", ALL)(follower, now);
      capture.asked.clear();
      follower.streamFailed(now);
    }
    return capture.asked;
  };
  EXPECT_EQ(refuse(PulseFollower::FAILURES_BEFORE_STOP - 1), "delete");
  told("alpha", ALL)(follower, now);
  follower.streamReady(now);
  follower.streamMoved();
  EXPECT_EQ(refuse(PulseFollower::FAILURES_BEFORE_STOP - 1), "delete");
  EXPECT_EQ(refuse(1), "stop: failing");
}

// The loop wakes for a check every 250 ms only while a check may find something: where
// views may lag, while no sink a default names is recorded, or once the stream is quiet;
// a stream that delivers is checked next when it could have gone quiet.
TEST(PulseFollower, WakesTheLoopOnlyWhileACheckMayFindSomething) {
  const int64_t SOON = PULSE_CHECK_INTERVAL_US, QUIET = PulseFollower::QUIET_STREAM_US;
  for (const DefaultViews views : {SHARED, PER_CONNECTION}) {
    Capture capture;
    PulseFollower follower(capture, views);
    int64_t now = 0;
    recordAlpha(follower, now);
    follower.streamHeard(now = 100'000);
    follower.tick(now = SOON);
    EXPECT_EQ(capture.checkAt, views == SHARED ? 100'000 + QUIET : now + SOON);
    follower.tick(now = 100'000 + QUIET);  // quiet: the server is asked
    EXPECT_EQ(capture.checkAt, now + SOON);
    follower.serverAnswered(now += 1'000);
    told("alpha", ALL)(follower, now += 1'000);
    follower.streamFailed(now += 1'000);  // refused
    EXPECT_EQ(capture.checkAt, now + SOON);
    told("alpha", {"beta"})(follower, now += 1'000);  // a stand-in
    EXPECT_EQ(capture.checkAt, now + SOON);
  }
}

TEST(PulseFollower, TrustsSharedViewsOnlyOnPulseAudio) {
  EXPECT_EQ(defaultViewsOf("pulseaudio"), DefaultViews::Shared);
  EXPECT_EQ(defaultViewsOf("PulseAudio (on PipeWire 0.3.65)"), DefaultViews::PerConnection);
}

}  // namespace
}  // namespace qztap
