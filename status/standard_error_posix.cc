#include <unistd.h>

#include <cerrno>

#include "status/standard_error.h"

namespace qztap {

void writeToStandardError(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<size_t>(written));
  }
}

void endProcessNow(int code) { ::_exit(code); }

}  // namespace qztap
