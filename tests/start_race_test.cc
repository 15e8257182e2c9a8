// The start-up thread, the delivery thread, stop callbacks and fatal exits running
// into each other. Each case repeats a race a few times; run under ThreadSanitizer,
// a race between them shows up as a report in the child's standard error.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <numeric>
#include <string>
#include <thread>

#include "capture/audio_tap.h"
#include "capture/handoff.h"
#include "tests/child_process.h"
#include "tests/fake_capture_service.h"

namespace qztap {
namespace {

using testing::AnswerTiming;
using testing::BODY_RETURNED;
using testing::ChildOutcome;
using testing::FakeCaptureService;
using testing::FakeScript;
using testing::FakeStep;
using testing::runInChild;

constexpr char STARTED[] = "CAPTURE_STARTED sr_req=48000->16000 mono\n";
constexpr int TRIALS = 20;

// Runs the start-up on a thread of its own, as the tool does, while `drive` plays
// the service's side on the child's main thread. `drive` gets a way to wait until
// start() has returned.
ChildOutcome raceInChild(const FakeScript& script,
                         const std::function<void(FakeCaptureService&, std::function<void()>)>& drive) {
  return runInChild([&] {
    // Never destroyed: callbacks may still be running when the child ends.
    auto* service = new FakeCaptureService(script, -1);
    auto* tap = new AudioTap(*service, STDOUT_FILENO);
    auto* started = new Handoff<bool>;
    std::thread([tap, started] {
      tap->start();
      started->put(true);
    }).detach();
    drive(*service, [started] { started->take(); });
  });
}

FakeScript heldStart(std::optional<CaptureError> startError = std::nullopt) {
  FakeScript script;
  script.startTiming = AnswerTiming::Held;
  script.startError = std::move(startError);
  return script;
}

// Buffer `b` of a 48 kHz ramp: sample k of the stream is k in both channels.
std::vector<std::vector<float>> rampBuffer(int b, size_t frames = 960) {
  std::vector<float> channel(frames);
  std::iota(channel.begin(), channel.end(), static_cast<float>(static_cast<size_t>(b) * frames));
  return {channel, channel};
}

std::vector<float> floatsOf(const std::string& bytes) {
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  return samples;
}

TEST(StartRaces, BuffersDeliveredWhileTheStartIsAnsweredAllArriveInOrder) {
  for (int trial = 0; trial < TRIALS; ++trial) {
    SCOPED_TRACE(trial);
    const ChildOutcome outcome = raceInChild(heldStart(), [](FakeCaptureService& service,
                                                             const std::function<void()>& awaitStarted) {
      service.awaitStep(FakeStep::OutputRegistered);
      std::thread answer([&service] { service.answerStart(); });
      for (int b = 0; b < 30; ++b) service.deliver(StreamOutputType::Audio, 48000, rampBuffer(b));
      answer.join();
      awaitStarted();
      service.drainDeliveries();
    });
    EXPECT_EQ(outcome.exitCode, BODY_RETURNED);
    EXPECT_EQ(outcome.err, STARTED);
    const std::vector<float> samples = floatsOf(outcome.out);
    ASSERT_EQ(samples.size(), 30u * 960 / 3);
    EXPECT_EQ(samples[0], 0.0f);
    for (size_t m = 1; m < samples.size(); ++m) {
      ASSERT_EQ(samples[m], static_cast<float>(3 * m - 1)) << m;
    }
  }
}

TEST(StartRaces, AStopRacingAFailingStartEndsWithOneOfTheirLines) {
  for (int trial = 0; trial < TRIALS; ++trial) {
    SCOPED_TRACE(trial);
    const ChildOutcome outcome = raceInChild(
        heldStart(CaptureError{"refused"}), [](FakeCaptureService& service, const auto&) {
          service.awaitStep(FakeStep::StartAsked);
          for (int b = 0; b < 5; ++b) service.deliver(StreamOutputType::Audio, 48000, rampBuffer(b));
          service.stop(CaptureError{"gone"});
          service.answerStart();
          for (;;) ::pause();
        });
    const bool failed = outcome.exitCode == 4 && outcome.err == "START_ERROR: refused\n";
    const bool stopped = outcome.exitCode == 5 && outcome.err == "STREAM_STOPPED: gone\n";
    EXPECT_TRUE(failed || stopped) << outcome.exitCode << " " << outcome.err;
  }
}

TEST(StartRaces, AStopRacingASuccessfulStartLeavesItsLineLast) {
  // The window is a few microseconds wide: more trials than elsewhere to hit it.
  for (int trial = 0; trial < 5 * TRIALS; ++trial) {
    SCOPED_TRACE(trial);
    const ChildOutcome outcome =
        raceInChild(heldStart(), [](FakeCaptureService& service, const auto&) {
          service.awaitStep(FakeStep::StartAsked);
          service.stop(CaptureError{"gone"});
          service.answerStart();
          for (;;) ::pause();
        });
    EXPECT_EQ(outcome.exitCode, 5);
    // Whether capture got to start is a matter of timing; a line after the fatal
    // one is not.
    const std::string stopped = "STREAM_STOPPED: gone\n";
    EXPECT_TRUE(outcome.err == stopped || outcome.err == STARTED + stopped) << outcome.err;
  }
}

TEST(StartRaces, AnOutputFailureRacingStopsFromTwoThreadsEndsWithOneLine) {
  for (int trial = 0; trial < TRIALS; ++trial) {
    SCOPED_TRACE(trial);
    const ChildOutcome outcome =
        raceInChild(FakeScript{}, [](FakeCaptureService& service, const std::function<void()>& awaitStarted) {
          awaitStarted();
          // Standard output that cannot be written: the first buffer ends the process.
          ::dup2(::open("/dev/null", O_RDONLY), STDOUT_FILENO);
          service.deliver(StreamOutputType::Audio, 48000, rampBuffer(0));
          service.stop(CaptureError{"gone"});
          service.stopHere(CaptureError{"gone here"});
        });
    const bool broken = outcome.exitCode == 6 && outcome.err == std::string(STARTED) +
                                                                    "OUTPUT_ERROR: " +
                                                                    std::strerror(EBADF) + "\n";
    const bool stopped =
        outcome.exitCode == 5 && (outcome.err == std::string(STARTED) + "STREAM_STOPPED: gone\n" ||
                                  outcome.err == std::string(STARTED) + "STREAM_STOPPED: gone here\n");
    EXPECT_TRUE(broken || stopped) << outcome.exitCode << " " << outcome.err;
  }
}

TEST(StartRaces, AnswersThatComeTwiceFromOtherThreadsAreIgnored) {
  for (int trial = 0; trial < TRIALS; ++trial) {
    SCOPED_TRACE(trial);
    FakeScript script = heldStart();
    script.contentTiming = AnswerTiming::Held;
    const ChildOutcome outcome =
        raceInChild(script, [](FakeCaptureService& service, const std::function<void()>& awaitStarted) {
          std::thread content([&service] { service.answerContent(); });
          std::thread contentAgain(
              [&service] { service.answerContentAgain(std::nullopt, CaptureError{"late"}); });
          std::thread start([&service] { service.answerStart(); });
          std::thread startAgain([&service] { service.answerStartAgain(CaptureError{"late"}); });
          for (std::thread* t : {&content, &contentAgain, &start, &startAgain}) t->join();
          awaitStarted();
        });
    EXPECT_EQ(outcome.exitCode, BODY_RETURNED);
    EXPECT_EQ(outcome.err, STARTED);
  }
}

}  // namespace
}  // namespace qztap
