#pragma once

// Part of the macOS backend: never included by portable code.
#include <CoreMedia/CoreMedia.h>

#include <cstdint>
#include <optional>

#include "capture/capture_service.h"
#include "capture/silence_timeline.h"

namespace qztap {

// Hands the audio of one buffer the stream delivered to `output`: the sample rate of
// its stream description, as given, and one entry per channel, in list order: an
// AudioBuffer of one channel as it is, one of interleaved channels taken apart. Buffers of other
// output types, and buffers that cannot be read, are dropped silently. Everything obtained along
// the way is released before it returns; the sample buffer stays the caller's. Called on the
// delivery queue.
void forwardSampleBuffer(CMSampleBufferRef sampleBuffer, StreamOutputType type,
                         StreamOutput& output);

// A time on the stream's clock in the timeline's units; none unless it is a number
// (valid, neither infinite nor indefinite).
std::optional<int64_t> timelineTicks(CMTime time);

// When the first frame of `sampleBuffer` was captured, if it says.
std::optional<int64_t> captureTimeOf(CMSampleBufferRef sampleBuffer);

}  // namespace qztap
