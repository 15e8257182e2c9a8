#include "status/status_log.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "tests/child_process.h"

namespace qztap {
namespace {

using testing::ChildOutcome;
using testing::runInChild;

TEST(StatusLog, WritesEachMessageAsOneLineUnchanged) {
  const ChildOutcome outcome = runInChild([] {
    elog("");
    elog("Überwachung: Zugriff verweigert");
    elog("first\nsecond");
  });
  EXPECT_EQ(outcome.err, "\nÜberwachung: Zugriff verweigert\nfirst\nsecond\n");
  EXPECT_EQ(outcome.out, "");
}

TEST(StatusLog, FatalExitsWriteTheirLineAndCode) {
  struct Case {
    ExitStatus status;
    const char* description;
    const char* line;
  };
  const Case cases[] = {
      {ExitStatus::PermissionOrContentError, "denied", "PERMISSION_OR_CONTENT_ERROR: denied\n"},
      {ExitStatus::NoDisplay, "ignored", "NO_DISPLAY\n"},
      {ExitStatus::StartError, "", "START_ERROR: \n"},
      {ExitStatus::StreamStopped, "gone", "STREAM_STOPPED: gone\n"},
      {ExitStatus::OutputError, "No space left on device", "OUTPUT_ERROR: No space left on device\n"},
  };
  for (const Case& c : cases) {
    const ChildOutcome outcome = runInChild([&] { exitFatally(c.status, c.description); });
    EXPECT_EQ(outcome.exitCode, static_cast<int>(c.status));
    EXPECT_EQ(outcome.err, c.line);
  }
}

TEST(StatusLog, RacingFatalExitsReportExactlyOneCause) {
  for (int trial = 0; trial < 20; ++trial) {
    const ChildOutcome outcome = runInChild([] {
      std::vector<std::thread> threads;
      for (int i = 0; i < 4; ++i) {
        threads.emplace_back([] { exitFatally(ExitStatus::StreamStopped, "stopped"); });
      }
      exitFatally(ExitStatus::OutputError, "broken");
    });
    const bool stopped = outcome.exitCode == 5 && outcome.err == "STREAM_STOPPED: stopped\n";
    const bool broken = outcome.exitCode == 6 && outcome.err == "OUTPUT_ERROR: broken\n";
    EXPECT_TRUE(stopped || broken) << outcome.exitCode << " " << outcome.err;
  }
}

}  // namespace
}  // namespace qztap
