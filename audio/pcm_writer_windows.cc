// Standard output on Windows: WriteFile on its handle, which bypasses the C runtime's
// text mode, so the stream is binary whatever the console or the parent set up.

#include <windows.h>

#include "audio/pcm_writer.h"
#include "status/status_log.h"
#include "status/windows_message.h"

namespace qztap {
namespace {

// Every write may wait: an anonymous pipe cannot be written without waiting unless
// its mode is changed, which would change it for the parent too. So the backlog's
// writer does all the writing.
class HandleOutput final : public OutputSink {
 public:
  explicit HandleOutput(HANDLE handle) : out(handle) {}

  size_t writeWithoutWaiting(std::span<const std::byte>) override { return 0; }

  void writeAll(std::span<const std::byte> bytes) override {
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

 private:
  HANDLE out;  // never closed
};

}  // namespace

OutputSink& standardOutput() {
  static auto* output = new HandleOutput(::GetStdHandle(STD_OUTPUT_HANDLE));
  return *output;
}

void endByBrokenPipe() { exitFatally(ExitStatus::ReaderGone); }

}  // namespace qztap
