#pragma once

#include <memory>
#include <string>

#include "capture/capture_service.h"

namespace qztap {

class PulseConnection;

// The Linux backend's stream: once started, records the monitor of `sinkName` and
// from then on follows the server's default sink; reports a stop to `delegate`.
std::unique_ptr<CaptureStream> makePulseCaptureStream(PulseConnection& connection,
                                                      std::string sinkName,
                                                      const StreamConfiguration& configuration,
                                                      StreamDelegate& delegate);

}  // namespace qztap
