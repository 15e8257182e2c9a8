// Standard output on Windows: WriteFile on its handle, so the stream is binary whatever
// the console or the parent set up.

#include <windows.h>

#include "audio/pcm_writer.h"
#include "status/status_log.h"
#include "status/windows_message.h"

namespace qztap {

void HandleOutput::writeAll(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
      bytes = bytes.subspan(written);
      continue;
    }
    const DWORD error = ::GetLastError();
    switch (error) {
      case ERROR_NO_DATA:             // the pipe is being closed
      case ERROR_BROKEN_PIPE:         // its read end is closed
      case ERROR_PIPE_NOT_CONNECTED:  // its reader has gone
        endByBrokenPipe();
      default:
        exitFatally(ExitStatus::OutputError, windowsMessage(error));
    }
  }
}

OutputSink& standardOutput() {
  static auto* output = new HandleOutput(::GetStdHandle(STD_OUTPUT_HANDLE));
  return *output;
}

void endByBrokenPipe() { exitFatally(ExitStatus::ReaderGone); }

}  // namespace qztap
