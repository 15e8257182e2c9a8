#include "app/main_loop.h"
#include "audio/pcm_writer.h"

namespace qztap {

// Signal dispositions and masks are inherited: a parent that ignored SIGPIPE must not
// leave us capturing for a reader that has gone.
void prepareProcess() { restoreBrokenPipeSignal(); }

// Nothing is ever posted to the main thread, so its loop only has to notice the
// reader of standard output leaving.
void runMainLoop(int out) {
  waitForReaderToLeave(out);
  endByBrokenPipe();
}

}  // namespace qztap
