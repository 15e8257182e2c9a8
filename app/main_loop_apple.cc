#include <CoreFoundation/CoreFoundation.h>
#include <unistd.h>

#include <thread>

#include "app/main_loop.h"
#include "audio/pcm_writer.h"
#include "status/exit_status.h"

namespace qztap {

// Signal dispositions and masks are inherited: a parent that ignored SIGPIPE must not
// leave us capturing for a reader that has gone.
void prepareProcess() { restoreBrokenPipeSignal(); }

// The main thread runs the main run loop, as the frameworks expect of a process that
// uses them. Watching for the reader of standard output is left to a thread of its
// own, blocked in the same wait as on other platforms, so that there is one such wait
// to get right rather than a second one built on the run loop.
void runMainLoop(int out) {
  std::thread([out] {
    waitForReaderToLeave(out);
    endByBrokenPipe();
  }).detach();
  CFRunLoopRun();
  // Only CFRunLoopStop ends the loop, and nothing calls it. Capture threads may still
  // be running, so nothing is torn down on the way out.
  ::_exit(static_cast<int>(ExitStatus::MainLoopReturned));
}

}  // namespace qztap
