#include "status/status_log.h"

#include <mutex>
#include <string>

#include "status/standard_error.h"

namespace qztap {
namespace {

// The text a fatal line starts with; none for a status that ends the process without
// a line. No default: a new status must be given its line.
std::string_view statusPrefix(ExitStatus status) {
  switch (status) {
    case ExitStatus::MainLoopReturned:
      return "";
    case ExitStatus::PermissionOrContentError:
      return "PERMISSION_OR_CONTENT_ERROR: ";
    case ExitStatus::NoDisplay:
      return "NO_DISPLAY";
    case ExitStatus::StartError:
      return "START_ERROR: ";
    case ExitStatus::StreamStopped:
      return "STREAM_STOPPED: ";
    case ExitStatus::OutputError:
      return "OUTPUT_ERROR: ";
    case ExitStatus::ReaderGone:
      return "";
  }
  return "";
}

// Held while a line is written, and for good once a fatal exit has begun: no line
// can follow the one that names why the process ended.
std::mutex& statusLock() {
  static auto* lock = new std::mutex;  // never destroyed: fatal exits run no destructors
  return *lock;
}

void writeLine(std::string_view message) {
  // One write keeps the line whole.
  std::string line;
  line.reserve(message.size() + 1);
  line.append(message);
  line.push_back('\n');
  writeToStandardError(line);
}

}  // namespace

void elog(std::string_view message) {
  std::lock_guard hold(statusLock());
  writeLine(message);
}

std::string statusLine(ExitStatus status, std::string_view description) {
  std::string line(statusPrefix(status));
  if (!line.empty() && status != ExitStatus::NoDisplay) line.append(description);
  return line;
}

void exitFatally(ExitStatus status, std::string_view description) {
  // Never released: a thread that comes later, with a line or a cause of its own,
  // waits here until the process is gone.
  statusLock().lock();
  const std::string line = statusLine(status, description);
  if (!line.empty()) writeLine(line);
  endProcessNow(static_cast<int>(status));
}

}  // namespace qztap
