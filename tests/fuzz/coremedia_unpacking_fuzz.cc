// Unpacks sample buffers from the stand-in CoreMedia with a failure, or an odd answer,
// at any step: an invalid buffer, no format, a format that is not audio, any list
// size, a failed size query, a failed allocation, a failed fill with or without a
// block buffer handed out, a buffer count that disagrees with the memory. Checks that
// every block buffer handed out is released exactly once and every list freed, that
// nothing else is released or freed, and that what reaches the output lies within
// the list memory, is what CoreMedia wrote, and always arrives when the list is good.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "capture/coremedia_buffer.h"
#include "tests/apple_standin/coremedia_standin.h"
#include "tests/fuzz/fuzz_input.h"

namespace qztap::fuzzing {
namespace {

using testing::CoreMediaScript;

constexpr size_t MAX_CALLS = 4;
constexpr size_t MAX_SCRIPTED_BUFFERS = 64;
constexpr size_t LIST_HEADER = offsetof(AudioBufferList, mBuffers);

void require(bool holds, const char* what, size_t call) {
  if (holds) return;
  std::fprintf(stderr, "coremedia unpacking: %s (call %zu)\n", what, call);
  std::abort();
}

struct Received {
  int calls = 0;
  StreamOutputType type{};
  double rate = 0;
  std::vector<AudioEntry> entries;
};

class RecordingOutput final : public StreamOutput {
 public:
  void didOutputBuffer(StreamOutputType type, double streamRate,
                       std::span<const AudioEntry> entries) override {
    ++received.calls;
    received.type = type;
    received.rate = streamRate;
    received.entries.assign(entries.begin(), entries.end());
  }

  Received received;
};

StreamOutputType decodeType(FuzzInput& input) {
  const StreamOutputType types[] = {StreamOutputType::Audio, StreamOutputType::Audio,
                                    StreamOutputType::Audio, StreamOutputType::Screen,
                                    StreamOutputType::Microphone, static_cast<StreamOutputType>(7)};
  return types[input.below(std::size(types))];
}

// List sizes up to 64 KiB, most of them at or next to the size of a whole number of
// entries: the sizes where reading one entry too many would show.
size_t decodeListSize(FuzzInput& input) {
  if (input.below(4) == 0) return input.take<uint16_t>();
  const size_t whole = LIST_HEADER + sizeof(AudioBuffer) * input.below(70);
  const uint32_t nudge = input.below(3);
  return nudge == 0 && whole > 0 ? whole - 1 : whole + (nudge == 2 ? 1 : 0);
}

CoreMediaScript decodeScript(FuzzInput& input, bool& failAllocation) {
  CoreMediaScript script;
  script.valid = input.below(16) != 0;
  script.hasFormatDescription = input.below(16) != 0;
  if (input.below(16) == 0) {
    script.sampleRate.reset();
  } else if (input.flag()) {
    script.sampleRate = input.take<double>();
  }
  script.listSizeNeeded = decodeListSize(input);
  script.sizeQueryStatus = input.below(4) == 0 ? input.take<int32_t>() : 0;
  failAllocation = input.below(16) == 0;
  script.fillStatus = input.below(8) == 0 ? input.take<int32_t>() | 1 : 0;
  script.handsOutBlockBuffer = input.below(8) != 0;
  script.numberBuffers = input.below(4) == 0 ? input.take<uint32_t>() : input.below(9);
  const size_t scripted = std::min<size_t>(script.numberBuffers, MAX_SCRIPTED_BUFFERS);
  for (size_t i = 0; i < scripted; ++i) {
    AudioBuffer buffer{};
    buffer.mNumberChannels = input.below(3);
    buffer.mDataByteSize = input.take<uint32_t>();
    // Never dereferenced on the way through; only compared.
    buffer.mData = input.below(8) == 0 ? nullptr : reinterpret_cast<void*>(0x10000 + 0x100 * i);
    script.buffers.push_back(buffer);
  }
  return script;
}

void checkCall(StreamOutputType type, const CoreMediaScript& script, bool failAllocation,
               size_t call) {
  RecordingOutput output;
  testing::startRecording(script, failAllocation);
  forwardSampleBuffer(testing::standInSampleBuffer(), type, output);
  testing::stopRecording();
  const testing::Ownership& owned = testing::ownership();
  const Received& got = output.received;

  require(owned.blockBuffersReleased == owned.blockBuffersHandedOut,
          "a block buffer handed out was not released exactly once", call);
  require(owned.listsFreed == owned.listsAllocated, "list memory was not freed", call);
  require(owned.nullReleases == 0, "released NULL", call);
  require(owned.otherReleases == 0, "released something it does not own", call);
  require(owned.otherFrees == 0, "freed memory it did not allocate", call);
  require(got.calls <= 1, "one sample buffer reached the output more than once", call);

  if (type != StreamOutputType::Audio) {
    require(testing::trace().empty() && got.calls == 0, "a buffer that is not audio was read", call);
    return;
  }

  const size_t listSize = script.listSizeNeeded;
  const bool readable = script.valid && script.hasFormatDescription && script.sampleRate &&
                        listSize >= LIST_HEADER + sizeof(AudioBuffer) && !failAllocation &&
                        script.fillStatus == 0 && script.numberBuffers >= 1;
  require(got.calls == (readable ? 1 : 0),
          readable ? "a good list did not reach the output" : "an unreadable buffer reached the output",
          call);
  if (!readable) return;

  require(got.type == StreamOutputType::Audio, "forwarded as another type", call);
  require(std::bit_cast<uint64_t>(got.rate) == std::bit_cast<uint64_t>(*script.sampleRate),
          "the rate is not the stream description's", call);
  const size_t fitting = (listSize - LIST_HEADER) / sizeof(AudioBuffer);
  require(got.entries.size() == std::min<size_t>(script.numberBuffers, fitting),
          "the entries are not the list's buffers that fit its memory", call);
  for (size_t i = 0; i < got.entries.size() && i < script.buffers.size(); ++i) {
    require(got.entries[i].data == script.buffers[i].mData &&
                got.entries[i].byteSize == script.buffers[i].mDataByteSize,
            "an entry differs from the buffer CoreMedia wrote", call);
  }
}

}  // namespace
}  // namespace qztap::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qztap::fuzzing;
  FuzzInput input({data, size});
  for (size_t call = 0; call < MAX_CALLS && !input.empty(); ++call) {
    const qztap::StreamOutputType type = decodeType(input);
    bool failAllocation = false;
    const CoreMediaScript script = decodeScript(input, failAllocation);
    checkCall(type, script, failAllocation, call);
  }
  return 0;
}
