#include "capture/audio_tap.h"

#include <gtest/gtest.h>

#include <numeric>
#include <set>
#include <string>
#include <thread>

#include "audio/pcm_writer.h"
#include "capture/handoff.h"
#include "status/status_log.h"
#include "tests/child_process.h"
#include "tests/fake_capture_service.h"

namespace qztap {
namespace {

using testing::BODY_RETURNED;
using testing::ChildOutcome;
using testing::FakeCaptureService;
using testing::FakeScript;
using Play = std::function<void(FakeCaptureService&)>;

const std::string STARTED = "CAPTURE_STARTED sr_req=48000->16000 mono\n";
const std::string GENERIC = "The operation could not be completed.";
const std::string DISK_FULL = "No space left on device";

// Fails as a write to a full disk does.
class FullOutput final : public OutputSink {
 public:
  size_t writeWithoutWaiting(std::span<const std::byte>) override { fail(); }
  void writeAll(std::span<const std::byte>) override { fail(); }

 private:
  [[noreturn]] static void fail() { exitFatally(ExitStatus::OutputError, DISK_FULL); }
};

enum class Output { Standard, Full };

// Runs the real start-up in a child process against a fake that traces its requests
// to standard output if `traced`, while `serve` plays the service on a thread of its
// own; `afterStart` runs once start() has returned and `serve` is done. The audio goes
// to standard output as the tool writes it (made on first use, here in the child), or
// to an output that fails.
ChildOutcome startInChild(const FakeScript& script, const Play& serve, const Play& afterStart = {},
                          bool traced = false, Output output = Output::Standard) {
  return testing::runInChild([&] {
    OutputSink& standard = standardOutput();
    // Never destroyed: callbacks may still be running when the child ends.
    auto* service = new FakeCaptureService(script, traced ? &standard : nullptr);
    auto* backlog = new OutputBacklog(output == Output::Full ? *new FullOutput : standard, 1 << 20);
    auto* tap = new AudioTap(*service, *backlog);
    // Detached: a thread that has finished and is never joined is a leak to
    // ThreadSanitizer, and the start-up may end the process at any point.
    auto* served = new Handoff<bool>;
    std::thread([&serve, service, served] { serve(*service), served->put(true); }).detach();
    tap->start();
    served->take();
    if (afterStart) afterStart(*service);
    // Where nothing is written without waiting (Windows), the backlog's writer writes it all.
    backlog->finish();
  });
}

void answerBoth(FakeCaptureService& service) {
  service.answerContent();
  service.answerStart();
}

TEST(AudioTapStart, EachOutcomeWritesItsLineAndExitCode) {
  const CaptureError denied{"Zugriff verweigert – Bildschirmaufnahme"};
  const struct {
    const char* name;
    FakeScript script;
    int exitCode;
    std::string line;
  } cases[] = {
      {"content error",
       {.content = std::nullopt, .contentError = denied},
       2,
       "PERMISSION_OR_CONTENT_ERROR: " + denied.description},
      {"content and error",
       {.contentError = denied},
       2,
       "PERMISSION_OR_CONTENT_ERROR: " + denied.description},
      {"neither", {.content = std::nullopt}, 2, "PERMISSION_OR_CONTENT_ERROR: " + GENERIC},
      {"no display", {.content = ShareableContent{}}, 3, "NO_DISPLAY"},
      {"no stream", {.makesStream = false}, 4, "START_ERROR: " + GENERIC},
      {"registration error",
       {.registrationSucceeds = false, .registrationError = denied},
       4,
       "START_ERROR: " + denied.description},
      {"registration without error", {.registrationSucceeds = false}, 4, "START_ERROR: " + GENERIC},
      {"start error",
       {.startError = CaptureError{"refused\nby policy"}},
       4,
       "START_ERROR: refused\nby policy"},
      {"empty description", {.startError = CaptureError{""}}, 4, "START_ERROR: "},
      {"started", {}, BODY_RETURNED, "CAPTURE_STARTED sr_req=48000->16000 mono"},
  };
  // Content with desktop windows, on-screen only; the first display, no window excluded,
  // audio at 48000 Hz in 2 channels without qztap's own, a 2x2 video side at 1/1 s; the
  // audio output on "qz.audio".
  const std::string requests =
      "content 0 1\nstream first 0 1 48000 2 1 2 2 1 1\nregister 1 qz.audio\nstart\n";
  for (const auto& c : cases) {
    for (const bool answersInline : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (answersInline ? ", inline" : ", answered later"));
      FakeScript script = c.script;
      script.answersInline = answersInline;
      const ChildOutcome outcome =
          startInChild(script, answersInline ? Play([](FakeCaptureService&) {}) : answerBoth, {},
                       /*traced=*/true);
      EXPECT_EQ(outcome.exitCode, c.exitCode);
      EXPECT_EQ(outcome.err, c.line + "\n");
      if (c.exitCode == BODY_RETURNED) {
        EXPECT_EQ(outcome.out, requests);
      }
    }
  }
}

// Delivers `buffers` buffers of a 48 kHz stereo ramp, frame k holding k in both
// channels, each between buffers of the other output types, which must be ignored.
void deliverRamp(FakeCaptureService& service, int buffers) {
  const std::vector<std::vector<float>> noise(2, std::vector<float>(960, 1e6f));
  std::vector<float> channel(960);
  for (int b = 0; b < buffers; ++b) {
    std::iota(channel.begin(), channel.end(), static_cast<float>(b * 960));
    service.deliver(StreamOutputType::Screen, 48000, noise);
    service.deliver(StreamOutputType::Audio, 48000, {channel, channel});
    service.deliver(StreamOutputType::Microphone, 48000, noise);
  }
}

// The start-up thread, the delivery queue, stops and fatal exits running into each
// other, each case many times. Under ThreadSanitizer a data race among them shows up
// as a report on the child's standard error.
TEST(AudioTapRaces, EachEndsWithOneOfItsEndingsAndTheAudioInOrder) {
  const FakeScript succeeds;
  const FakeScript fails{.startError = CaptureError{"refused"}};
  const std::string stopped = "5 STREAM_STOPPED: gone\n";
  const std::string stoppedAfterStart = "5 " + STARTED + "STREAM_STOPPED: gone\n";
  // The ramp converted: output m is input frame 3m - 1, frame -1 reading as frame 0.
  std::vector<float> samples(30 * 960 / 3);
  for (size_t m = 1; m < samples.size(); ++m) samples[m] = static_cast<float>(3 * m - 1);
  const std::string converted(reinterpret_cast<const char*>(samples.data()), samples.size() * 4);
  const Play stopWhileStarting = [](FakeCaptureService& s) {
    s.answerContent();
    std::thread stopping([&s] { s.stop({"gone"}); });
    s.answerStart();
    stopping.join();
  };
  const struct {
    const char* name;
    const FakeScript& script;
    Play serve;
    Play afterStart;
    std::set<std::string> endings;  // exit code and standard error
    Output output = Output::Standard;
  } cases[] = {
      {"buffers delivered while the start is answered",
       succeeds,
       [](FakeCaptureService& s) {
         s.answerContent();
         std::thread answering([&s] { s.answerStart(); });
         deliverRamp(s, 30);
         answering.join();
       },
       {},
       {std::to_string(BODY_RETURNED) + " " + STARTED}},
      {"a stop racing a failing start",
       fails,
       stopWhileStarting,
       {},
       {"4 START_ERROR: refused\n", stopped}},
      {"a stop racing a successful start",
       succeeds,
       stopWhileStarting,
       {},
       {stopped, stoppedAfterStart}},
      // The service has confirmed the start; the start line may not be out yet.
      {"a stop right after the start is confirmed",
       succeeds,
       [](FakeCaptureService& s) { answerBoth(s), s.stop({"gone"}); },
       {},
       {stoppedAfterStart}},
      {"a stop while audio flows",
       succeeds,
       answerBoth,
       [](FakeCaptureService& s) {
         std::thread stopping([&s] { s.stop({"gone"}); });
         deliverRamp(s, 30);
         stopping.join();
       },
       {stoppedAfterStart}},
      {"an output failure racing two stops",
       succeeds,
       answerBoth,
       [](FakeCaptureService& s) {
         std::thread stopping([&s] { s.stop({"gone"}); });
         deliverRamp(s, 1);
         s.stop({"gone here"});
       },
       {"6 " + STARTED + "OUTPUT_ERROR: " + DISK_FULL + "\n", stoppedAfterStart,
        "5 " + STARTED + "STREAM_STOPPED: gone here\n"},
       Output::Full},
  };
  for (const auto& c : cases) {
    for (int trial = 0; trial < 20; ++trial) {
      SCOPED_TRACE(std::string(c.name) + ", trial " + std::to_string(trial));
      const ChildOutcome outcome = startInChild(c.script, c.serve, c.afterStart, false, c.output);
      const std::string ending = std::to_string(outcome.exitCode) + " " + outcome.err;
      EXPECT_TRUE(c.endings.count(ending)) << ending;
      // All 30 buffers when nothing ended the child; otherwise whole samples, in order.
      const size_t size = outcome.exitCode == BODY_RETURNED ? converted.size() : outcome.out.size();
      EXPECT_TRUE(outcome.out == converted.substr(0, size / 4 * 4)) << outcome.out.size();
    }
  }
}

}  // namespace
}  // namespace qztap
