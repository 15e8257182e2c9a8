#pragma once

#include <string>
#include <string_view>

#include "status/exit_status.h"

namespace qztap {

// Writes `message` plus one line feed to standard error in a single write.
// Callable from any thread; a failed write is ignored.
void elog(std::string_view message);

// The status line for `status`, without its line feed: its keyword, then `description`
// where the keyword takes one. Empty for a status that ends the process without a
// line, and for a number that names no status.
std::string statusLine(ExitStatus status, std::string_view description);

// Writes the status line for `status` (its keyword, then `description` where the
// keyword takes one) and ends the process at once with the status's exit code.
// Safe from any thread while audio flows: no destructors or atexit handlers run,
// and if several threads race here only the first one's line is written.
[[noreturn]] void exitFatally(ExitStatus status, std::string_view description = {});

}  // namespace qztap
