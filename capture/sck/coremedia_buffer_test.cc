// The CoreMedia unpacking against a stand-in CoreMedia defined here, which answers for
// one sample buffer as each row scripts and notes every call, allocation and release in
// order. A row's expected trace thus shows what was obtained and what was given back.

#include "capture/sck/coremedia_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

struct opaqueCMSampleBuffer {};
struct opaqueCMFormatDescription {};
struct OpaqueCMBlockBuffer {};

namespace {

constexpr size_t listSizeFor(size_t entries) {
  return offsetof(AudioBufferList, mBuffers) + entries * sizeof(AudioBuffer);
}

// How the stand-in answers for its one sample buffer.
struct Script {
  bool valid = true;
  bool hasFormat = true;
  bool isAudio = true;
  double rate = 48000;
  size_t sizeNeeded = listSizeFor(2);  // reported by a query without the alignment flag
  size_t alignmentExtra = 0;           // what the alignment flag adds to the size needed
  OSStatus queryStatus = 0;
  OSStatus fillStatus = 0;          // of a fill given room enough
  bool handsOutBlockBuffer = true;  // also when the fill fails
  bool failAllocation = false;
  UInt32 numberBuffers = 2;
  std::vector<AudioBuffer> buffers;  // written as far as the list memory holds them
};

opaqueCMSampleBuffer sampleBuffer;
float interleaved[] = {1, 2, 3, 4, 5, 6, 7};
const opaqueCMFormatDescription formatDescription;
OpaqueCMBlockBuffer blockBuffer;
AudioStreamBasicDescription streamDescription;
Script script;
bool recording = false;
std::string trace;
std::vector<void*> liveLists;

void note(const std::string& step) {
  if (recording) trace += (trace.empty() ? "" : " ") + step;
}

}  // namespace

extern "C" {

Boolean CMSampleBufferIsValid(CMSampleBufferRef sbuf) {
  note("valid");
  return sbuf == &sampleBuffer && script.valid;
}

CMFormatDescriptionRef CMSampleBufferGetFormatDescription(CMSampleBufferRef) {
  note("format");
  return script.hasFormat ? &formatDescription : nullptr;
}

const AudioStreamBasicDescription* CMAudioFormatDescriptionGetStreamBasicDescription(
    CMAudioFormatDescriptionRef desc) {
  note("description");
  streamDescription.mSampleRate = script.rate;
  return desc == &formatDescription && script.isAudio ? &streamDescription : nullptr;
}

// Notes "query(flags)" or "fill(list size,flags)", with a "!" when any other argument
// is not what the unpacking is meant to pass.
OSStatus CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
    CMSampleBufferRef sbuf, size_t* sizeNeededOut, AudioBufferList* list, size_t listSize,
    CFAllocatorRef structureAllocator, CFAllocatorRef blockAllocator, uint32_t flags,
    CMBlockBufferRef* blockBufferOut) {
  const size_t needed = script.sizeNeeded + (flags & 1 ? script.alignmentExtra : 0);
  bool asMeant =
      sbuf == &sampleBuffer && structureAllocator == nullptr && blockAllocator == nullptr;
  if (list == nullptr) {
    asMeant = asMeant && sizeNeededOut != nullptr && *sizeNeededOut == 0 && listSize == 0 &&
              blockBufferOut == nullptr;
    note("query(" + std::to_string(flags) + ")" + (asMeant ? "" : "!"));
    if (sizeNeededOut != nullptr) *sizeNeededOut = needed;
    return script.queryStatus;
  }
  asMeant = asMeant && sizeNeededOut == nullptr && !liveLists.empty() && list == liveLists.back() &&
            blockBufferOut != nullptr && *blockBufferOut == nullptr;
  note("fill(" + std::to_string(listSize) + "," + std::to_string(flags) + ")" +
       (asMeant ? "" : "!"));
  if (script.handsOutBlockBuffer && blockBufferOut != nullptr) *blockBufferOut = &blockBuffer;
  if (listSize < needed) return kCMSampleBufferError_ArrayTooSmall;
  if (script.fillStatus != 0) return script.fillStatus;
  auto* memory = reinterpret_cast<unsigned char*>(list);
  std::memcpy(memory, &script.numberBuffers, sizeof(UInt32));
  for (size_t i = 0; i < script.buffers.size() && listSizeFor(i + 1) <= listSize; ++i) {
    std::memcpy(memory + listSizeFor(i), &script.buffers[i], sizeof(AudioBuffer));
  }
  return 0;
}

CMTime CMSampleBufferGetPresentationTimeStamp(CMSampleBufferRef) { return CMTime{}; }

// Exact for the times used here.
CMTime CMTimeConvertScale(CMTime time, int32_t newTimescale, CMTimeRoundingMethod) {
  return CMTime{time.value * newTimescale / time.timescale, newTimescale, time.flags, time.epoch};
}

void CFRelease(CFTypeRef cf) {
  note(cf == &blockBuffer ? "release" : cf == nullptr ? "release-null" : "release-other");
}

// The list memory, seen by wrapping malloc and free at link time (--wrap): only calls
// from this program's own objects come here, not the C++ library's.
void* __real_malloc(size_t size);
void __real_free(void* memory);

void* __wrap_malloc(size_t size) {
  if (!recording) return __real_malloc(size);
  note("alloc(" + std::to_string(size) + ")");
  if (script.failAllocation) return nullptr;
  liveLists.push_back(__real_malloc(size));
  return liveLists.back();
}

void __wrap_free(void* memory) {
  const auto live = std::find(liveLists.begin(), liveLists.end(), memory);
  note(live != liveLists.end() ? "free" : "free-other");
  if (live != liveLists.end()) liveLists.erase(live);
  __real_free(memory);
}

}  // extern "C"

namespace qztap {
namespace {

struct RecordingOutput final : StreamOutput {
  void didOutputBuffer(StreamOutputType type, double streamRate,
                       std::span<const AudioEntry> delivered) override {
    note(type == StreamOutputType::Audio ? "deliver" : "deliver-other");
    rate = streamRate;
    entries.assign(delivered.begin(), delivered.end());
    for (size_t i = 0; i < planesToCopy && i < delivered.size(); ++i) {
      if (delivered[i].data == nullptr) continue;
      const auto* samples = static_cast<const float*>(delivered[i].data);
      planes.emplace_back(samples, samples + delivered[i].byteSize / sizeof(float));
    }
  }
  double rate = 0;
  std::vector<AudioEntry> entries;
  size_t planesToCopy = 0;  // entries whose samples live only as long as the call
  std::vector<std::vector<float>> planes;
};

TEST(CoreMediaBuffer, EachBufferIsDroppedOrDeliveredWithEverythingGivenBack) {
  const std::string filled = "valid format description query(0) alloc(40) fill(40,1)";
  struct Row {
    const char* name;
    void (*change)(Script&);
    std::string trace;
    size_t delivered;  // how many entries reach the output; 0: dropped
    StreamOutputType type = StreamOutputType::Audio;
    // What the entries taken apart from the first buffer hold, if it is interleaved.
    std::vector<std::vector<float>> planes = {};
  };
  const auto same = [](Script&) {};
  const Row rows[] = {
      // Dropped, which leaves the conversion's state as it was: nothing reaches it.
      {"screen buffer", same, "", 0, StreamOutputType::Screen},
      {"microphone buffer", same, "", 0, StreamOutputType::Microphone},
      {"invalid buffer", [](Script& s) { s.valid = false; }, "valid", 0},
      {"no format description", [](Script& s) { s.hasFormat = false; }, "valid format", 0},
      {"format not audio", [](Script& s) { s.isAudio = false; }, "valid format description", 0},
      {"size 0", [](Script& s) { s.sizeNeeded = 0; }, "valid format description query(0)", 0},
      {"size short of one entry", [](Script& s) { s.sizeNeeded = listSizeFor(1) - 1; },
       "valid format description query(0)", 0},
      {"allocation fails", [](Script& s) { s.failAllocation = true; },
       "valid format description query(0) alloc(40)", 0},
      {"fill fails without a block buffer",
       [](Script& s) { s.fillStatus = -12731, s.handsOutBlockBuffer = false; }, filled + " free",
       0},
      {"fill fails after handing out a block buffer", [](Script& s) { s.fillStatus = -12731; },
       filled + " release free", 0},
      {"zero buffers", [](Script& s) { s.numberBuffers = 0; }, filled + " release free", 0},
      {"too small even for a size asked with the fill's flags",
       [](Script& s) { s.fillStatus = kCMSampleBufferError_ArrayTooSmall; },
       filled + " release free query(1) alloc(40) fill(40,1) release free", 0},
      // Delivered, at the stream's rate as given: the handler decides what it is worth.
      {"planar stereo", same, filled + " deliver release free", 2},
      {"size query status ignored", [](Script& s) { s.queryStatus = -50, s.rate = 44100; },
       filled + " deliver release free", 2},
      {"fill without a block buffer", [](Script& s) { s.handsOutBlockBuffer = false, s.rate = 0; },
       filled + " deliver free", 2},
      {"alignment needs more room than the first query said",
       [](Script& s) { s.alignmentExtra = 16, s.rate = std::numeric_limits<double>::quiet_NaN(); },
       filled + " release free query(1) alloc(56) fill(56,1) deliver release free", 2},
      {"more entries claimed than the memory holds",
       [](Script& s) { s.numberBuffers = 3, s.sizeNeeded = listSizeFor(2) + 8, s.rate = -1; },
       "valid format description query(0) alloc(48) fill(48,1) deliver release free", 2},
      {"entries of one channel as written",
       [](Script& s) {
         s.buffers = {{1, 8192, &s}, {0, 3, nullptr}, {1, 4098, &s.rate}};
         s.numberBuffers = 3, s.sizeNeeded = listSizeFor(3);
         s.rate = std::numeric_limits<double>::infinity();
       },
       "valid format description query(0) alloc(56) fill(56,1) deliver release free", 3},
      // Interleaved channels, each taken apart into a plane, one buffer's after the
      // other's; an incomplete last frame, and a buffer without data, give nothing.
      {"interleaved stereo",
       [](Script& s) {
         s.buffers = {{2, 28, interleaved}, {2, 12, interleaved + 1}};
       },
       filled + " deliver release free",
       4,
       StreamOutputType::Audio,
       {{1, 3, 5}, {2, 4, 6}, {2}, {3}}},
      {"interleaved without data",
       [](Script& s) {
         s.buffers[1] = {3, 8, nullptr};
       },
       filled + " deliver release free", 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    script = Script{};
    script.buffers = {{1, 4096, &sampleBuffer}, {1, 4096, &blockBuffer}, {1, 4, &trace}};
    row.change(script);
    RecordingOutput output;
    output.planesToCopy = row.planes.size();
    trace.clear();
    recording = true;
    forwardSampleBuffer(&sampleBuffer, row.type, output);
    recording = false;

    EXPECT_EQ(trace, row.trace);
    ASSERT_EQ(output.entries.size(), row.delivered);
    EXPECT_EQ(output.planes, row.planes);
    // Past the planes of the first buffer, entries are the buffers as scripted.
    const size_t taken = row.planes.empty() ? 0 : row.planes.size() - 1;
    for (size_t i = row.planes.size(); i < row.delivered; ++i) {
      EXPECT_EQ(output.entries[i].data, script.buffers[i - taken].mData) << "entry " << i;
      EXPECT_EQ(output.entries[i].byteSize, script.buffers[i - taken].mDataByteSize)
          << "entry " << i;
    }
    if (row.delivered > 0) {
      EXPECT_EQ(std::bit_cast<uint64_t>(output.rate), std::bit_cast<uint64_t>(script.rate));
    }
  }
}

// A time is taken only when it is a number.
TEST(CoreMediaBuffer, TimesAreTakenOnlyWhenNumbers) {
  EXPECT_EQ(timelineTicks({3, 2, kCMTimeFlags_Valid | kCMTimeFlags_HasBeenRounded, 0}), 15'000'000);
  for (CMTimeFlags flags : {0u, kCMTimeFlags_Valid | kCMTimeFlags_PositiveInfinity,
                            kCMTimeFlags_Valid | kCMTimeFlags_NegativeInfinity,
                            kCMTimeFlags_Valid | kCMTimeFlags_Indefinite}) {
    EXPECT_EQ(timelineTicks({3, 2, flags, 0}), std::nullopt) << flags;
  }
}

}  // namespace
}  // namespace qztap
