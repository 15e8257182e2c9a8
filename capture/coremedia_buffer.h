#pragma once

// Part of the macOS backend: never included by portable code.
#include <CoreMedia/CoreMedia.h>

#include "capture/capture_service.h"

namespace qztap {

// Hands the audio of one buffer the stream delivered to `output`: the sample rate of
// its stream description, as given, and one entry per AudioBuffer of its list, in list
// order. Buffers of other output types, and buffers that cannot be read, are dropped
// silently. Everything obtained along the way is released before it returns; the
// sample buffer stays the caller's. Called on the delivery queue.
void forwardSampleBuffer(CMSampleBufferRef sampleBuffer, StreamOutputType type,
                         StreamOutput& output);

}  // namespace qztap
