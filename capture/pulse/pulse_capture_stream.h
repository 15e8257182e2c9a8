#pragma once

#include <memory>
#include <string>

#include "capture/capture_service.h"
#include "capture/pulse/pulse_follower.h"

namespace qztap {

class PulseConnection;

// The Linux backend's stream: once started, records the monitor of `sinkName` and
// from then on follows the server's default sink, whose `defaultViews` it trusts so
// far; reports a stop to `delegate`.
std::unique_ptr<CaptureStream> makePulseCaptureStream(PulseConnection& connection,
                                                      std::string sinkName,
                                                      DefaultViews defaultViews,
                                                      const StreamConfiguration& configuration,
                                                      StreamDelegate& delegate);

}  // namespace qztap
