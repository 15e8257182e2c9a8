// Runs the real start-up against the fake capture service in a forked child, with the
// service's answers, their timing, deliveries and stops decoded from the input and
// played in the input's order by the child's main thread while start() runs on a
// thread of its own. The parent then checks how the child ended: exactly one status
// line for the scripted failure or for a stop (after CAPTURE_STARTED at most), or
// CAPTURE_STARTED alone; and standard output a prefix of what the delivered audio
// converts to, all of it when nothing ended the child early.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "capture/audio_tap.h"
#include "capture/handoff.h"
#include "tests/child_process.h"
#include "tests/fake_capture_service.h"
#include "tests/fuzz/start_up_plan.h"

namespace qztap::fuzzing {
namespace {

using testing::AnswerTiming;
using testing::BODY_RETURNED;
using testing::ChildOutcome;
using testing::FakeCaptureService;
using testing::FakeScript;
using testing::FakeStep;

constexpr char STARTED[] = "CAPTURE_STARTED sr_req=48000->16000 mono\n";
constexpr char GENERIC[] = "The operation could not be completed.";

// The service's side, played on the child's main thread.
class Driver {
 public:
  Driver(const Plan& plan, FakeCaptureService& fake, Handoff<bool>& startUpReturned)
      : script(plan.script), service(fake), started(startUpReturned) {}

  void play(const std::vector<Event>& events) {
    for (const Event& event : events) perform(event);
    // Whatever the input left unanswered is answered now, so every start-up ends.
    awaitStarted();
    service.drainDeliveries();
    // A stop on its way ends the process; returning could beat it.
    if (stopped) {
      for (;;) ::pause();
    }
  }

 private:
  void perform(const Event& event) {
    switch (event.kind) {
      case EventKind::AnswerContent:
        if (script.contentTiming == AnswerTiming::Held && !contentAnswered) {
          answerContent();
        } else if (script.contentError || !script.content) {
          service.answerContentAgain(ShareableContent{{Display{"late"}}}, std::nullopt);
        } else {
          service.answerContentAgain(std::nullopt, CaptureError{"late"});
        }
        break;
      case EventKind::AnswerStart:
        answerContent();
        if (script.startTiming == AnswerTiming::Held && !startAnswered) {
          answerStart();
        } else {
          service.answerStartAgain(script.startError ? std::nullopt
                                                     : std::optional(CaptureError{"late"}));
        }
        break;
      case EventKind::Deliver:
        answerContent();
        service.awaitStep(FakeStep::OutputRegistered);
        service.deliver(event.delivery.type, event.delivery.rate, event.delivery.channels);
        break;
      case EventKind::Stop:
      case EventKind::StopHere:
        answerContent();
        service.awaitStep(FakeStep::StreamMade);
        stopped = true;
        if (event.kind == EventKind::Stop) {
          service.stop(CaptureError{event.stopText});
        } else {
          service.stopHere(CaptureError{event.stopText});
        }
        break;
      case EventKind::AwaitStarted:
        awaitStarted();
        break;
      case EventKind::Pause:
        ::usleep(event.pauseMicros);
        break;
    }
  }

  // Answer a Held completion if nothing has yet; a start-up that fails before asking
  // ends the process while these wait.
  void answerContent() {
    if (script.contentTiming != AnswerTiming::Held || contentAnswered) return;
    contentAnswered = true;
    service.answerContent();
  }

  void answerStart() {
    answerContent();
    if (script.startTiming != AnswerTiming::Held || startAnswered) return;
    startAnswered = true;
    service.answerStart();
  }

  void awaitStarted() {
    answerStart();
    if (startReturned) return;
    started.take();
    startReturned = true;
  }

  const FakeScript& script;
  FakeCaptureService& service;
  Handoff<bool>& started;
  bool contentAnswered = false;
  bool startAnswered = false;
  bool startReturned = false;
  bool stopped = false;
};

void runStartUp(const Plan& plan) {
  // libFuzzer's alarm handler is inherited; the child's time limit needs the default.
  ::signal(SIGALRM, SIG_DFL);
  // Never destroyed: callbacks may still be running when the child ends.
  auto* service = new FakeCaptureService(plan.script, -1);
  auto* tap = new AudioTap(*service, STDOUT_FILENO);
  auto* started = new Handoff<bool>;
  std::thread([tap, started] {
    tap->start();
    started->put(true);
  }).detach();
  Driver(plan, *service, *started).play(plan.events);
}

// How the child may end: the line of the scripted failure, if any, and the lines of
// the stops that can fire (only once a stream exists).
struct Expectation {
  std::optional<std::pair<int, std::string>> failure;
  std::vector<std::string> stopLines;
  std::string samples;  // what every audio delivery converts to, in order
};

std::string describe(const std::optional<CaptureError>& error) {
  return error ? error->description : GENERIC;
}

std::string convert(const std::vector<Event>& events) {
  std::FILE* file = std::tmpfile();
  const int fd = ::fileno(file);
  SampleBufferHandler handler(fd);
  for (const Event& event : events) {
    if (event.kind != EventKind::Deliver || event.delivery.type != StreamOutputType::Audio) continue;
    std::vector<AudioEntry> entries;
    for (const std::vector<float>& channel : event.delivery.channels) {
      entries.push_back({channel.data(), static_cast<uint32_t>(channel.size() * sizeof(float))});
    }
    handler.handle(event.delivery.rate, entries);
  }
  std::string bytes(static_cast<size_t>(::lseek(fd, 0, SEEK_END)), '\0');
  if (::pread(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) std::abort();
  std::fclose(file);
  return bytes;
}

Expectation expect(const Plan& plan) {
  const FakeScript& s = plan.script;
  Expectation expectation;
  if (s.contentError) {
    expectation.failure = {2, "PERMISSION_OR_CONTENT_ERROR: " + s.contentError->description};
  } else if (!s.content) {
    expectation.failure = {2, std::string("PERMISSION_OR_CONTENT_ERROR: ") + GENERIC};
  } else if (s.content->displays.empty()) {
    expectation.failure = {3, "NO_DISPLAY"};
  } else if (!s.makesStream) {
    expectation.failure = {4, std::string("START_ERROR: ") + GENERIC};
  } else if (!s.registrationSucceeds) {
    expectation.failure = {4, "START_ERROR: " + describe(s.registrationError)};
  } else if (s.startError) {
    expectation.failure = {4, "START_ERROR: " + s.startError->description};
  }
  const bool streamMade = !s.contentError && s.content && !s.content->displays.empty() && s.makesStream;
  for (const Event& event : plan.events) {
    const bool stop = event.kind == EventKind::Stop || event.kind == EventKind::StopHere;
    if (stop && streamMade) expectation.stopLines.push_back("STREAM_STOPPED: " + event.stopText);
  }
  expectation.samples = convert(plan.events);
  return expectation;
}

[[noreturn]] void fail(const char* what, const ChildOutcome& outcome) {
  std::fprintf(stderr, "start-up: %s\nexit %d, signal %d, %zu bytes out, standard error:\n%s\n",
               what, outcome.exitCode, outcome.signal, outcome.out.size(), outcome.err.c_str());
  std::abort();
}

void check(const Expectation& expected, const ChildOutcome& outcome) {
  if (outcome.signal != 0) fail("the child was ended by a signal", outcome);
  if (expected.samples.compare(0, outcome.out.size(), outcome.out) != 0) {
    fail("standard output is not a prefix of the converted deliveries", outcome);
  }
  if (expected.failure && outcome.exitCode == expected.failure->first &&
      outcome.err == expected.failure->second + "\n") {
    return;
  }
  if (outcome.exitCode == 5) {
    for (const std::string& line : expected.stopLines) {
      if (outcome.err == line + "\n") return;
      // Capture may have started before the stop, unless the start was to fail.
      if (!expected.failure && outcome.err == STARTED + line + "\n") return;
    }
  }
  if (!expected.failure && expected.stopLines.empty() && outcome.exitCode == BODY_RETURNED &&
      outcome.err == STARTED) {
    if (outcome.out.size() != expected.samples.size()) fail("delivered audio went missing", outcome);
    return;
  }
  fail("the child did not end as its script allows", outcome);
}

}  // namespace
}  // namespace qztap::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qztap::fuzzing;
  const Plan plan = decodePlan({data, size});
  const Expectation expected = expect(plan);
  check(expected, qztap::testing::runInChild([&] { runStartUp(plan); }, 20));
  return 0;
}
