// The sample writer on Windows: WriteFile on the standard output's handle, which
// bypasses the C runtime's text mode, so the stream is binary whatever the console
// or the parent set up.

#include <io.h>
#include <windows.h>

#include "audio/pcm_writer.h"
#include "status/status_log.h"
#include "status/windows_message.h"

namespace qztap {

void writeSamples(int out, std::span<const float> samples) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(out));
  const auto* next = reinterpret_cast<const char*>(samples.data());
  size_t left = samples.size_bytes();
  while (left > 0) {
    DWORD written = 0;
    if (::WriteFile(handle, next, static_cast<DWORD>(left), &written, nullptr)) {
      next += written;
      left -= written;
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

void endByBrokenPipe() { exitFatally(ExitStatus::ReaderGone); }

}  // namespace qztap
