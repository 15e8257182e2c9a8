#include <windows.h>

#include "status/standard_error.h"

namespace qztap {

void writeToStandardError(std::string_view text) {
  const HANDLE standardError = ::GetStdHandle(STD_ERROR_HANDLE);
  while (!text.empty()) {
    DWORD written = 0;
    if (!::WriteFile(standardError, text.data(), static_cast<DWORD>(text.size()), &written,
                     nullptr)) {
      return;
    }
    text.remove_prefix(written);
  }
}

void endProcessNow(int code) {
  // Not ExitProcess: that detaches every DLL while the audio thread may still be
  // inside one of them.
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
  for (;;) ::Sleep(INFINITE);
}

}  // namespace qztap
