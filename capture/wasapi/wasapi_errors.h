#pragma once

// What the Windows capture reports for a call that failed: the audio client's own codes
// by name, any other code by the system's text for it.

#include <windows.h>

#include "capture/capture_service.h"

namespace qztap {

CaptureError describeHresult(HRESULT code);

}  // namespace qztap
