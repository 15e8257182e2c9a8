#include <windows.h>

#include "app/main_loop.h"
#include "status/standard_error.h"

namespace qztap {
namespace {

// Ctrl-C, Ctrl-Break and the console closing end the process quietly, with the code
// Windows gives a process that Ctrl-C ended.
BOOL WINAPI endOnConsoleEvent(DWORD) { endProcessNow(static_cast<int>(STATUS_CONTROL_C_EXIT)); }

}  // namespace

void prepareProcess() { ::SetConsoleCtrlHandler(&endOnConsoleEvent, TRUE); }

// Nothing is posted to the main thread, and a reader that leaves is noticed by the
// next write: the capture writes at least every few milliseconds, silence included.
void runMainLoop(int) {
  for (;;) ::Sleep(INFINITE);
}

}  // namespace qztap
