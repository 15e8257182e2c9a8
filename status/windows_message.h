#pragma once

#include <cstdint>
#include <string>

namespace qztap {

// The system's text for a Windows error code or HRESULT, in UTF-8 without the
// trailing line break; "error 0x…" when the system has none. Windows builds only.
std::string windowsMessage(uint32_t code);

}  // namespace qztap
