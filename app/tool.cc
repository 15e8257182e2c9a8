#include "app/tool.h"

#include <cstdio>
#include <thread>

#include "app/main_loop.h"
#include "audio/output_backlog.h"
#include "audio/pcm_writer.h"
#include "capture/audio_tap.h"

namespace qztap {
namespace {

constexpr std::string_view USAGE =
    "Usage: qztap\n"
    "\n"
    "Streams what this machine is playing to standard output as raw 16000 Hz mono\n"
    "32-bit float little-endian samples, with no header, until it is killed or its\n"
    "reader goes away. Takes no arguments and reads no configuration.\n"
    "\n"
    "Status lines on standard error:\n"
    "  CAPTURE_STARTED sr_req=48000->16000 mono   capture is running\n"
    "  PERMISSION_OR_CONTENT_ERROR: <text>        exit 2: no access to the audio\n"
    "  NO_DISPLAY                                 exit 3: no output device to capture\n"
    "  START_ERROR: <text>                        exit 4: capture could not start\n"
    "  STREAM_STOPPED: <text>                     exit 5: capture stopped\n"
    "  OUTPUT_ERROR: <text>                       exit 6: standard output failed\n"
    "A reader that closes standard output ends qztap by SIGPIPE (exit status 141\n"
    "in a shell). Code 1 is never used. A reader that falls behind loses nothing:\n"
    "up to 10 minutes of audio are kept for it; beyond that qztap ends with exit 6.\n"
    "See qztap(1).\n";

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
      printToStdout(USAGE);
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
