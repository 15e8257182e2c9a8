#include "capture/audio_tap.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <numeric>
#include <string>

#include "tests/child_process.h"
#include "tests/fake_capture_service.h"

namespace qztap {
namespace {

using testing::BODY_RETURNED;
using testing::ChildOutcome;
using testing::FakeCaptureService;
using testing::FakeScript;
using testing::runInChild;

constexpr char STARTED[] = "CAPTURE_STARTED sr_req=48000->16000 mono\n";
constexpr char CONTENT[] = "content desktop=0 onscreen=1\n";
constexpr char STREAM[] =
    "stream display=first excluded=0 audio=1 rate=48000 channels=2 excludeSelf=1 size=2x2 "
    "interval=1/1\n";
constexpr char REGISTER[] = "register type=1 queue=qz.audio\n";

// Runs the real start-up against a fake in a child process, the fake tracing each
// step to `traceFd`; `afterStart` runs there once start() has returned.
ChildOutcome startInChild(const FakeScript& script, int traceFd,
                          std::function<void(FakeCaptureService&)> afterStart = {}) {
  return runInChild([&] {
    // Never destroyed: callbacks may still be running when the child ends.
    auto* service = new FakeCaptureService(script, traceFd);
    auto* tap = new AudioTap(*service, STDOUT_FILENO);
    tap->start();
    if (afterStart) afterStart(*service);
  });
}

FakeScript withDisplays() {
  FakeScript script;
  script.content = ShareableContent{{Display{"first"}, Display{"second"}}};
  return script;
}

TEST(AudioTapStart, EachFailureWritesOneLineAndExitsWithItsCode) {
  const CaptureError denied{"Zugriff verweigert – Bildschirmaufnahme"};
  struct Case {
    const char* name;
    FakeScript script;
    int exitCode;
    std::string line;
    std::string steps;  // what the start-up asked for before it ended
  };
  std::vector<Case> cases;
  auto add = [&](const char* name, int code, std::string line, std::string steps,
                 const std::function<void(FakeScript&)>& change) {
    FakeScript script = withDisplays();
    change(script);
    cases.push_back({name, script, code, std::move(line), std::move(steps)});
  };
  const std::string generic = "The operation could not be completed.";
  add("content error", 2, "PERMISSION_OR_CONTENT_ERROR: " + denied.description, CONTENT,
      [&](FakeScript& s) { s.content.reset(), s.contentError = denied; });
  add("content and error", 2, "PERMISSION_OR_CONTENT_ERROR: " + denied.description, CONTENT,
      [&](FakeScript& s) { s.contentError = denied; });
  add("neither content nor error", 2, "PERMISSION_OR_CONTENT_ERROR: " + generic, CONTENT,
      [](FakeScript& s) { s.content.reset(); });
  add("no display", 3, "NO_DISPLAY", CONTENT, [](FakeScript& s) { s.content->displays.clear(); });
  add("registration error", 4, "START_ERROR: no output",
      std::string(CONTENT) + STREAM + REGISTER, [](FakeScript& s) {
        s.registrationSucceeds = false, s.registrationError = CaptureError{"no output"};
      });
  add("registration without error", 4, "START_ERROR: " + generic,
      std::string(CONTENT) + STREAM + REGISTER,
      [](FakeScript& s) { s.registrationSucceeds = false; });
  add("start error", 4, "START_ERROR: refused\nby policy",
      std::string(CONTENT) + STREAM + REGISTER + "start\n",
      [](FakeScript& s) { s.startError = CaptureError{"refused\nby policy"}; });
  add("empty description", 4, "START_ERROR: ", std::string(CONTENT) + STREAM + REGISTER + "start\n",
      [](FakeScript& s) { s.startError = CaptureError{""}; });

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ChildOutcome outcome = startInChild(c.script, STDOUT_FILENO);
    EXPECT_EQ(outcome.signal, 0);
    EXPECT_EQ(outcome.exitCode, c.exitCode);
    EXPECT_EQ(outcome.err, c.line + "\n");
    EXPECT_EQ(outcome.out, c.steps);
  }
}

TEST(AudioTapStart, StartsTheFirstDisplayOnceAndReportsIt) {
  const ChildOutcome outcome = startInChild(withDisplays(), STDOUT_FILENO);
  EXPECT_EQ(outcome.exitCode, BODY_RETURNED);
  EXPECT_EQ(outcome.err, STARTED);
  EXPECT_EQ(outcome.out, std::string(CONTENT) + STREAM + REGISTER + "start\n");
}

std::vector<float> ramp(float first, size_t count) {
  std::vector<float> samples(count);
  std::iota(samples.begin(), samples.end(), first);
  return samples;
}

std::vector<float> floatsOf(const std::string& bytes) {
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  return samples;
}

TEST(AudioTapDelivery, AudioBuffersReachStdoutAndOtherTypesAreIgnored) {
  const ChildOutcome outcome = startInChild(withDisplays(), -1, [](FakeCaptureService& service) {
    service.deliver(StreamOutputType::Screen, 48000, {ramp(100, 1024)});
    for (int buffer = 0; buffer < 3; ++buffer) {
      service.deliver(StreamOutputType::Audio, 48000, {ramp(1024.0f * static_cast<float>(buffer), 1024)});
    }
    service.deliver(StreamOutputType::Microphone, 48000, {ramp(100, 1024)});
    service.drainDeliveries();
  });
  EXPECT_EQ(outcome.exitCode, BODY_RETURNED);
  EXPECT_EQ(outcome.err, STARTED);
  const std::vector<float> samples = floatsOf(outcome.out);
  ASSERT_EQ(samples.size(), 342u + 341u + 341u);
  // With a ratio of 3 the output is x[3m - 1], and x[-1] stands in as x[0].
  EXPECT_EQ(samples[0], 0.0f);
  for (size_t m = 1; m < samples.size(); ++m) ASSERT_EQ(samples[m], 3.0f * static_cast<float>(m) - 1) << m;
}

TEST(AudioTapDelivery, AStopWhileAudioFlowsEndsWithOneLine) {
  const ChildOutcome outcome = startInChild(withDisplays(), -1, [](FakeCaptureService& service) {
    for (int buffer = 0; buffer < 200; ++buffer) {
      service.deliver(StreamOutputType::Audio, 44100, {ramp(0, 441), ramp(1, 441)});
      if (buffer == 100) service.stop(CaptureError{"The display was disconnected."});
    }
    service.drainDeliveries();
    for (;;) ::pause();
  });
  EXPECT_EQ(outcome.exitCode, 5);
  EXPECT_EQ(outcome.err, std::string(STARTED) + "STREAM_STOPPED: The display was disconnected.\n");
  EXPECT_EQ(outcome.out.size() % sizeof(float), 0u);
}

}  // namespace
}  // namespace qztap
