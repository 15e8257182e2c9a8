// Feeds SampleBufferHandler::handle sequences of buffers with arbitrary entry lists,
// sizes, null entries, rates and sample bits, and checks each call against a plain
// model: a dropped buffer (no entry with data, no whole frame, a rate above
// MAX_SOURCE_RATE, or more than MAX_BLOCK_SAMPLES samples) writes nothing and leaves
// the state as it was; any other writes one sample per position pos, pos + ratio, ...
// below its frame count, each with the bits the model interpolates, and carries the
// position on to pos_end - n.

#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "audio/buffer_handler.h"
#include "tests/fuzz/fuzz_input.h"

namespace qztap::fuzzing {
namespace {

constexpr size_t MAX_CALLS = 12;
constexpr uint32_t MAX_ENTRIES = 9;
constexpr size_t SAMPLE_PATTERN_BYTES = 256;
// An input ends after the call that takes its samples past this: one block near the
// largest takes a second to check, and a few of them in one input slow fuzzing down.
constexpr size_t SAMPLE_BUDGET = 1 << 20;

void require(bool holds, const char* what, size_t call) {
  if (holds) return;
  std::fprintf(stderr, "buffer handler: %s (call %zu)\n", what, call);
  std::abort();
}

bool sameFloat(float a, float b) {
  return std::isnan(a) ? std::isnan(b) : std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// Where the samples go: a temporary file the model reads back.
int outputFd() {
  static const int fd = ::fileno(std::tmpfile());
  return fd;
}

off_t outputEnd() { return ::lseek(outputFd(), 0, SEEK_END); }

// One entry: memory of exactly its byte size, so reading past it is caught.
struct Entry {
  std::unique_ptr<uint8_t[]> memory;
  uint32_t byteSize = 0;
  bool hasData = false;
};

constexpr double dmax = std::numeric_limits<double>::max();
constexpr double dinf = std::numeric_limits<double>::infinity();
const double NOTABLE_RATES[] = {
    0.0, -0.0, -1.0, -48000.0, std::numeric_limits<double>::quiet_NaN(),
    -std::numeric_limits<double>::quiet_NaN(), dinf, -dinf,
    std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(), 1e-300, 1e-3,
    4000.0, 8000.0, 11025.0, 16000.0, 22050.0, 44100.0, 48000.0, 88200.0, 96000.0, 192000.0,
    1e9, 1e300, dmax, MAX_SOURCE_RATE, std::nextafter(MAX_SOURCE_RATE, dinf)};

// The rate a buffer says it has: a notable value, raw bits, or, rarely since such a
// block takes 16 MB of samples, just inside or outside the largest block the handler
// converts (which depends on the frame count).
double decodeRate(FuzzInput& input, int64_t frames) {
  const uint8_t kind = input.take<uint8_t>();
  if (kind < 0xa0) return NOTABLE_RATES[kind % std::size(NOTABLE_RATES)];
  if (kind < 0xfe) return input.take<double>();
  const double boundary = static_cast<double>(frames) * TARGET_SR / MAX_BLOCK_SAMPLES;
  const int steps = static_cast<int8_t>(input.take<uint8_t>()) % 4;
  double rate = boundary;
  for (int i = 0; i < std::abs(steps); ++i) rate = std::nextafter(rate, steps < 0 ? 0.0 : dmax);
  return rate;
}

std::vector<Entry> decodeEntries(FuzzInput& input) {
  std::vector<Entry> entries(input.below(MAX_ENTRIES));
  for (Entry& entry : entries) {
    const uint8_t kind = input.take<uint8_t>();
    if (kind % 8 == 0) {
      // No data, with whatever size the platform left in it.
      entry.byteSize = input.take<uint32_t>();
      continue;
    }
    const auto raw = input.take<uint16_t>();
    // Mostly sizes of real buffers (up to 2048 frames), sometimes a few bytes.
    entry.byteSize = kind % 8 == 1 ? raw % 16u : kind % 8 == 2 ? raw : raw % 8193u;
    // Never size 0 for new[]: a zero-sized allocation still has a distinct address.
    entry.memory.reset(new uint8_t[std::max<uint32_t>(entry.byteSize, 1)]);
    entry.hasData = true;
    input.fill({entry.memory.get(), entry.byteSize}, SAMPLE_PATTERN_BYTES);
  }
  return entries;
}

// The mono signal the handler must see: per frame (+0 + c0 + c1 + ...) / channels.
void modelMono(const std::vector<const float*>& channels, size_t frames, std::vector<float>& mono) {
  mono.resize(frames);
  const auto divisor = static_cast<float>(channels.size());
  for (size_t i = 0; i < frames; ++i) {
    float sum = 0.0f;
    for (const float* channel : channels) sum = sum + channel[i];
    mono[i] = sum / divisor;
  }
}

float modelInterpolate(float a, float b, float t) {
  volatile float difference = b - a;  // volatile: each operation rounded on its own
  volatile float step = difference * t;
  return a + step;
}

// Returns the number of samples the call wrote.
size_t checkCall(SampleBufferHandler& handler, double rate, const std::vector<Entry>& entries,
                 size_t call) {
  std::vector<AudioEntry> list;
  std::vector<const float*> channels;
  int64_t frames = std::numeric_limits<int64_t>::max();
  for (const Entry& entry : entries) {
    list.push_back({entry.hasData ? entry.memory.get() : nullptr, entry.byteSize});
    if (!entry.hasData) continue;
    channels.push_back(reinterpret_cast<const float*>(entry.memory.get()));
    frames = std::min<int64_t>(frames, entry.byteSize / 4);
  }
  const double usedRate = std::isfinite(rate) && rate > 0.0 ? rate : 48000.0;
  const double ratio = usedRate / TARGET_SR;
  const bool dropped = channels.empty() || frames < 1 || usedRate > MAX_SOURCE_RATE ||
                       !(static_cast<double>(frames) / ratio <= MAX_BLOCK_SAMPLES);

  const ResamplerState before = handler.resamplerState();
  if (::ftruncate(outputFd(), 0) != 0 || ::lseek(outputFd(), 0, SEEK_SET) != 0) std::abort();
  handler.handle(rate, list);
  const ResamplerState& after = handler.resamplerState();
  const off_t written = outputEnd();

  if (dropped) {
    require(written == 0, "a dropped buffer wrote samples", call);
    require(std::bit_cast<uint64_t>(after.resampPos) == std::bit_cast<uint64_t>(before.resampPos) &&
                std::bit_cast<uint32_t>(after.carry) == std::bit_cast<uint32_t>(before.carry) &&
                after.haveCarry == before.haveCarry,
            "a dropped buffer changed the state", call);
    return 0;
  }

  // Reused from call to call: fresh multi-megabyte vectors cost more than the checks.
  static std::vector<float> mono;
  static std::vector<float> expected;
  static std::vector<float> samples;
  const auto n = static_cast<size_t>(frames);
  modelMono(channels, n, mono);
  const float previous = before.haveCarry ? before.carry : mono[0];
  size_t count = 0;
  double pos = before.resampPos;
  for (; pos < static_cast<double>(n); pos += ratio) ++count;
  // Filled by index: growing a vector one sample at a time is slow with its bounds
  // annotated for the sanitizer.
  expected.resize(count);
  double at = before.resampPos;
  for (float& sample : expected) {
    const auto i = static_cast<size_t>(at);
    const float a = i == 0 ? previous : mono[i - 1];
    sample = modelInterpolate(a, mono[i], static_cast<float>(at - static_cast<double>(i)));
    at += ratio;
  }
  require(written == static_cast<off_t>(expected.size() * sizeof(float)),
          "the sample count differs from the positions below the frame count", call);
  samples.resize(count);
  require(::pread(outputFd(), samples.data(), static_cast<size_t>(written), 0) == written,
          "cannot read the samples back", call);
  for (size_t m = 0; m < samples.size(); ++m) {
    require(sameFloat(samples[m], expected[m]), "a sample differs from the model", call);
  }
  require(std::bit_cast<uint64_t>(after.resampPos) ==
              std::bit_cast<uint64_t>(pos - static_cast<double>(n)),
          "the carried position is not pos_end - n", call);
  require(after.haveCarry && sameFloat(after.carry, mono[n - 1]),
          "the carried sample is not the last mono sample", call);
  return count;
}

}  // namespace
}  // namespace qztap::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qztap::fuzzing;
  FuzzInput input({data, size});
  qztap::SampleBufferHandler handler(outputFd());
  size_t samples = 0;
  for (size_t call = 0; call < MAX_CALLS && !input.empty() && samples <= SAMPLE_BUDGET; ++call) {
    const std::vector<Entry> entries = decodeEntries(input);
    int64_t frames = std::numeric_limits<int64_t>::max();
    for (const Entry& entry : entries) {
      if (entry.hasData) frames = std::min<int64_t>(frames, entry.byteSize / 4);
    }
    const double rate = decodeRate(input, entries.empty() ? 1 : std::min<int64_t>(frames, 1 << 30));
    samples += checkCall(handler, rate, entries, call);
  }
  return 0;
}
