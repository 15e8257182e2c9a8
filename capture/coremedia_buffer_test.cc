#include "capture/coremedia_buffer.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cstddef>
#include <functional>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "audio/buffer_handler.h"
#include "tests/apple_standin/coremedia_standin.h"

namespace qztap {
namespace {

using testing::CoreMediaScript;

constexpr size_t listSizeFor(size_t entries) {
  return offsetof(AudioBufferList, mBuffers) + entries * sizeof(AudioBuffer);
}

struct Delivery {
  StreamOutputType type;
  double rate;
  std::vector<AudioEntry> entries;
};

// Notes each buffer it is handed and passes it on to a real handler writing into an
// in-memory file. The handler has already converted one frame, so that a state left
// untouched is told apart from a fresh one.
class HandlerOutput final : public StreamOutput {
 public:
  HandlerOutput() : fd(::memfd_create("samples", 0)), handler(fd) {
    const float frame = 0.25f;
    const AudioEntry first{&frame, sizeof frame};
    handler.handle(48000, {&first, 1});
  }
  ~HandlerOutput() { ::close(fd); }

  void didOutputBuffer(StreamOutputType type, double rate,
                       std::span<const AudioEntry> entries) override {
    testing::noteStep("deliver");
    deliveries.push_back({type, rate, {entries.begin(), entries.end()}});
    handler.handle(rate, entries);
  }

  size_t samplesWritten() const {
    return static_cast<size_t>(::lseek(fd, 0, SEEK_END)) / sizeof(float);
  }

  int fd;
  SampleBufferHandler handler;
  std::vector<Delivery> deliveries;
};

// Runs one buffer through the unpacking, recording everything the stand-in sees.
void forward(const CoreMediaScript& script, StreamOutputType type, HandlerOutput& output,
             bool failAllocation = false) {
  testing::startRecording(script, failAllocation);
  forwardSampleBuffer(testing::standInSampleBuffer(), type, output);
  testing::stopRecording();
}

CoreMediaScript listOf(std::vector<AudioBuffer> buffers) {
  CoreMediaScript script;
  script.listSizeNeeded = listSizeFor(buffers.size());
  script.numberBuffers = static_cast<UInt32>(buffers.size());
  script.buffers = std::move(buffers);
  return script;
}

std::vector<std::string> readingThe(std::vector<std::string> rest) {
  std::vector<std::string> steps = {"valid", "format", "description"};
  steps.insert(steps.end(), rest.begin(), rest.end());
  return steps;
}

void expectSameEntries(const std::vector<AudioEntry>& actual,
                       const std::vector<AudioEntry>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(actual[i].data, expected[i].data) << "entry " << i;
    EXPECT_EQ(actual[i].byteSize, expected[i].byteSize) << "entry " << i;
  }
}

void expectEverythingGivenBack() {
  const testing::Ownership& owned = testing::ownership();
  EXPECT_EQ(owned.blockBuffersReleased, owned.blockBuffersHandedOut);
  EXPECT_EQ(owned.listsFreed, owned.listsAllocated);
  EXPECT_EQ(owned.nullReleases, 0);
  EXPECT_EQ(owned.otherReleases, 0);
  EXPECT_EQ(owned.otherFrees, 0);
}

TEST(CoreMediaBuffer, EachBufferIsDroppedOrDeliveredWithEverythingGivenBack) {
  std::vector<float> left(1024), right(1024), interleaved(2048);
  std::iota(left.begin(), left.end(), 0.0f);
  std::iota(right.begin(), right.end(), 2.0f);
  std::iota(interleaved.begin(), interleaved.end(), 0.0f);
  auto buffer = [](std::vector<float>& samples, UInt32 bytes, UInt32 channels = 1) {
    return AudioBuffer{channels, bytes, samples.data()};
  };
  const AudioBuffer noData{1, 4096, nullptr};
  auto entry = [](const AudioBuffer& b) { return AudioEntry{b.mData, b.mDataByteSize}; };
  const AudioBuffer l = buffer(left, 4096), r = buffer(right, 4096);
  const std::vector<AudioEntry> stereo = {entry(l), entry(r)};

  const std::vector<std::string> delivered2 = readingThe(
      {"size query", "allocate 40", "fill", "deliver", "release block buffer", "free list"});
  struct Case {
    std::string name;
    CoreMediaScript script;
    std::vector<std::string> steps;
    std::vector<AudioEntry> entries;  // what reaches the output, if anything does
    int64_t framesConverted;          // 0: the handler's state stays as it was
    StreamOutputType type = StreamOutputType::Audio;
    bool failAllocation = false;
  };
  std::vector<Case> cases;
  auto add = [&](std::string name, std::vector<AudioBuffer> buffers,
                 const std::function<void(Case&)>& change, std::vector<std::string> steps,
                 std::vector<AudioEntry> entries, int64_t frames) {
    Case c{std::move(name), listOf(std::move(buffers)), std::move(steps), std::move(entries),
           frames};
    change(c);
    cases.push_back(std::move(c));
  };
  auto same = [](Case&) {};

  // Dropped before anything reaches the output.
  add("screen buffer", {l, r}, [](Case& c) { c.type = StreamOutputType::Screen; }, {}, {}, 0);
  add("microphone buffer", {l, r}, [](Case& c) { c.type = StreamOutputType::Microphone; }, {},
      {}, 0);
  add("invalid buffer", {l, r}, [](Case& c) { c.script.valid = false; }, {"valid"}, {}, 0);
  add("no format description", {l, r}, [](Case& c) { c.script.hasFormatDescription = false; },
      {"valid", "format"}, {}, 0);
  add("no stream description", {l, r}, [](Case& c) { c.script.sampleRate.reset(); },
      readingThe({}), {}, 0);
  add("size below 1", {l, r}, [](Case& c) { c.script.listSizeNeeded = 0; },
      readingThe({"size query"}), {}, 0);
  add("size below one entry", {l, r}, [](Case& c) { c.script.listSizeNeeded = listSizeFor(1) - 1; },
      readingThe({"size query"}), {}, 0);
  add("allocation fails", {l, r}, [](Case& c) { c.failAllocation = true; },
      readingThe({"size query", "allocate 40"}), {}, 0);
  add("fill fails without a block buffer", {l, r},
      [](Case& c) { c.script.fillStatus = -12737, c.script.handsOutBlockBuffer = false; },
      readingThe({"size query", "allocate 40", "fill", "free list"}), {}, 0);
  add("fill fails after handing out a block buffer", {l, r},
      [](Case& c) { c.script.fillStatus = -12737; },
      readingThe({"size query", "allocate 40", "fill", "release block buffer", "free list"}), {},
      0);
  add("zero buffers", {l, r}, [](Case& c) { c.script.numberBuffers = 0; },
      readingThe({"size query", "allocate 40", "fill", "release block buffer", "free list"}), {},
      0);

  // Delivered; the handler decides what its entries are worth.
  add("planar stereo", {l, r}, same, delivered2, stereo, 1024);
  add("size query status is ignored", {l, r}, [](Case& c) { c.script.sizeQueryStatus = -50; },
      delivered2, stereo, 1024);
  add("fill succeeds without a block buffer", {l, r},
      [](Case& c) { c.script.handsOutBlockBuffer = false; },
      readingThe({"size query", "allocate 40", "fill", "deliver", "free list"}), stereo, 1024);
  add("byte sizes 4096 and 4000", {l, buffer(right, 4000)}, same, delivered2,
      {entry(l), {right.data(), 4000}}, 1000);
  add("byte size 4098", {buffer(left, 4098)}, same,
      readingThe(
          {"size query", "allocate 24", "fill", "deliver", "release block buffer", "free list"}),
      {{left.data(), 4098}}, 1024);
  add("byte size below 4", {l, buffer(right, 3)}, same, delivered2, {entry(l), {right.data(), 3}},
      0);
  add("null entry between two channels", {l, noData, r}, same,
      readingThe(
          {"size query", "allocate 56", "fill", "deliver", "release block buffer", "free list"}),
      {entry(l), {nullptr, 4096}, entry(r)}, 1024);
  add("no entry with data", {noData, noData}, same, delivered2, {{nullptr, 4096}, {nullptr, 4096}},
      0);
  // The channel count of an entry is never read: interleaved data is one long channel.
  add("interleaved single entry", {buffer(interleaved, 8192, 2)}, same,
      readingThe(
          {"size query", "allocate 24", "fill", "deliver", "release block buffer", "free list"}),
      {{interleaved.data(), 8192}}, 2048);
  add("entries claiming no channels", {buffer(left, 4096, 0), buffer(right, 4096, 0)}, same,
      delivered2, stereo, 1024);
  add("more entries claimed than the list holds", {l, r, l},
      [](Case& c) { c.script.listSizeNeeded = listSizeFor(2); }, delivered2, stereo, 1024);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HandlerOutput output;
    const ResamplerState before = output.handler.resamplerState();
    forward(c.script, c.type, output, c.failAllocation);

    EXPECT_EQ(testing::trace(), c.steps);
    expectEverythingGivenBack();

    const bool delivers = !c.entries.empty();
    ASSERT_EQ(output.deliveries.size(), delivers ? 1u : 0u);
    if (delivers) {
      EXPECT_EQ(output.deliveries[0].type, StreamOutputType::Audio);
      EXPECT_EQ(output.deliveries[0].rate, 48000.0);
      expectSameEntries(output.deliveries[0].entries, c.entries);
    }

    // After the first frame the read position is 2, so f more frames at 48 kHz give
    // f / 3 samples (rounded down) and leave the position at 2 + 3 * (f / 3) - f.
    const ResamplerState& after = output.handler.resamplerState();
    const int64_t produced = c.framesConverted / 3;
    EXPECT_EQ(output.samplesWritten(), 1 + static_cast<size_t>(produced));
    if (c.framesConverted == 0) {
      EXPECT_EQ(after.resampPos, before.resampPos);
      EXPECT_EQ(after.carry, before.carry);
      EXPECT_EQ(after.haveCarry, before.haveCarry);
    } else {
      EXPECT_EQ(after.resampPos, static_cast<double>(2 + 3 * produced - c.framesConverted));
    }
  }
}

TEST(CoreMediaBuffer, BothListCallsGetExactlyTheirArguments) {
  std::vector<float> left(1024), right(1024);
  HandlerOutput output;
  forward(listOf({{1, 4096, left.data()}, {1, 4096, right.data()}}), StreamOutputType::Audio,
          output);

  const std::vector<testing::BufferListCall>& calls = testing::bufferListCalls();
  ASSERT_EQ(calls.size(), 2u);
  const testing::BufferListCall& query = calls[0];
  EXPECT_EQ(query.sampleBuffer, testing::standInSampleBuffer());
  ASSERT_NE(query.sizeNeededOut, nullptr);
  EXPECT_EQ(query.sizeNeededAtEntry, 0u);
  EXPECT_EQ(query.list, nullptr);
  EXPECT_EQ(query.listSize, 0u);
  EXPECT_EQ(query.structureAllocator, nullptr);
  EXPECT_EQ(query.blockAllocator, nullptr);
  EXPECT_EQ(query.flags, 0u);
  EXPECT_EQ(query.blockBufferOut, nullptr);

  const testing::BufferListCall& fill = calls[1];
  EXPECT_EQ(fill.sampleBuffer, testing::standInSampleBuffer());
  EXPECT_EQ(fill.sizeNeededOut, nullptr);
  EXPECT_NE(fill.list, nullptr);
  EXPECT_EQ(fill.listSize, listSizeFor(2));
  EXPECT_EQ(fill.structureAllocator, nullptr);
  EXPECT_EQ(fill.blockAllocator, nullptr);
  EXPECT_EQ(fill.flags, 1u);  // kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment
  ASSERT_NE(fill.blockBufferOut, nullptr);
  EXPECT_EQ(fill.blockBufferAtEntry, nullptr);

  // The list memory is exactly the size the query reported.
  EXPECT_EQ(testing::ownership().allocationSizes, std::vector<size_t>{listSizeFor(2)});
}

TEST(CoreMediaBuffer, TheStreamRateIsPassedOnAsGiven) {
  std::vector<float> channel(1024);
  for (double rate : {44100.0, 0.0, -1.0, std::numeric_limits<double>::quiet_NaN(),
                      std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(rate);
    CoreMediaScript script = listOf({{1, 4096, channel.data()}});
    script.sampleRate = rate;
    HandlerOutput output;
    forward(script, StreamOutputType::Audio, output);
    ASSERT_EQ(output.deliveries.size(), 1u);
    EXPECT_EQ(std::bit_cast<uint64_t>(output.deliveries[0].rate), std::bit_cast<uint64_t>(rate));
  }
}

}  // namespace
}  // namespace qztap
