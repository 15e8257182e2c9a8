#include "app/tool.h"

#include <cstdio>
#include <string>
#include <thread>

#include "app/main_loop.h"
#include "audio/output_backlog.h"
#include "audio/pcm_writer.h"
#include "capture/audio_tap.h"
#include "status/exit_status.h"
#include "status/status_log.h"

namespace qztap {
namespace {

constexpr std::string_view USAGE_HEAD =
    "Usage: qztap\n"
    "\n"
    "Streams what this machine is playing to standard output as raw 16000 Hz mono\n"
    "32-bit float little-endian samples, with no header, until it is killed or its\n"
    "reader goes away. Takes no arguments and reads no configuration.\n"
    "\n"
    "Status lines on standard error:\n";

// The width of the status lines' column, so that what each means lines up beside it.
constexpr size_t MEANING_COLUMN = 43;

// What each status says to someone reading --help. No default: a new status must be
// explained.
std::string_view meaning(ExitStatus status) {
  switch (status) {
    case ExitStatus::MainLoopReturned:
    case ExitStatus::ReaderGone:
      return "";
    case ExitStatus::PermissionOrContentError:
      return "no access to the audio";
    case ExitStatus::NoDisplay:
      return "no output device to capture";
    case ExitStatus::StartError:
      return "capture could not start";
    case ExitStatus::StreamStopped:
      return "capture stopped";
    case ExitStatus::OutputError:
      return "standard output failed";
  }
  return "";
}

std::string exitCode(ExitStatus status) { return std::to_string(static_cast<int>(status)); }

// The status lines, exit codes and backlog come from what the process ends by, so
// that the documents can be checked against this text.
std::string usage() {
  std::string text(USAGE_HEAD);
  const auto row = [&text](std::string_view line, std::string_view explained) {
    text.append("  ").append(line);
    text.append(line.size() < MEANING_COLUMN ? MEANING_COLUMN - line.size() : 1, ' ');
    text.append(explained).append("\n");
  };
  row(CAPTURE_STARTED_LINE, "capture is running");
  // Exit codes run from 0 to 255: each that a status ends the process with, by a line, gets a row.
  for (int code = 0; code <= 255; ++code) {
    const auto status = static_cast<ExitStatus>(code);
    const std::string line = statusLine(status, "<text>");
    if (!line.empty()) row(line, "exit " + exitCode(status) + ": " + std::string(meaning(status)));
  }
  const size_t keptMinutes = BACKLOG_CAPACITY / OUTPUT_BYTES_PER_SECOND / 60;
  text += "A reader that closes standard output ends qztap by SIGPIPE (exit status " +
          exitCode(ExitStatus::ReaderGone) +
          "\nin a shell). Code 1 is never used. A reader that falls behind loses nothing:\n"
          "up to " +
          std::to_string(keptMinutes) +
          " minutes of audio are kept for it; beyond that qztap ends with exit " +
          exitCode(ExitStatus::OutputError) + ".\nSee qztap(1).\n";
  return text;
}

constexpr int STANDARD_OUTPUT = 1;

void printToStdout(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// Created once and never destroyed, so that no destructor can run while the
// capture threads still use it.
AudioTap* tap = nullptr;

}  // namespace

int runTool(std::span<const std::string_view> arguments) {
  // Callers pass no arguments; anything but these two is ignored.
  for (std::string_view argument : arguments) {
    if (argument == "--help" || argument == "-h") {
      printToStdout(usage());
      return 0;
    }
    if (argument == "--version") {
      printToStdout("qztap " QZTAP_VERSION "\n");
      return 0;
    }
  }

  prepareProcess();

  auto* backlog = new OutputBacklog(standardOutput(), BACKLOG_CAPACITY);
  tap = new AudioTap(*makePlatformCaptureService().release(), *backlog);
  std::thread([] { tap->start(); }).detach();

  runMainLoop(STANDARD_OUTPUT);
}

}  // namespace qztap
