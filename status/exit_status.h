#pragma once

namespace qztap {

// Every way the process can end on its own. The numbers are the process exit codes
// callers rely on; 1 and anything not listed are never used.
enum class ExitStatus : int {
  MainLoopReturned = 0,
  PermissionOrContentError = 2,  // the capture content query failed
  NoDisplay = 3,                 // the content lists nothing to capture
  StartError = 4,                // output registration or capture start failed
  StreamStopped = 5,             // the running capture stream stopped
  OutputError = 6,               // standard output can no longer be written
  ReaderGone = 141,  // where no SIGPIPE ends the process: the status a shell shows for one
};

}  // namespace qztap
