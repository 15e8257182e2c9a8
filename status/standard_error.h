#pragma once

#include <string_view>

namespace qztap {

// The two things the status log needs from the operating system, one file per platform.

// Writes all of `text` to standard error, retrying partial writes; a failure is ignored.
void writeToStandardError(std::string_view text);

// Ends the process at once with `code`: no destructors, atexit handlers or library
// clean-up run, since other threads may still be using what they would free.
[[noreturn]] void endProcessNow(int code);

}  // namespace qztap
