#pragma once

#include <span>
#include <string_view>

namespace qztap {

// The whole process: answers --help and --version, otherwise captures until the
// process is ended (by a fatal condition, a signal, or the reader leaving).
int runTool(std::span<const std::string_view> arguments);

}  // namespace qztap
