// A long stream through the real conversion and writer: SampleBufferHandler writing
// into a pipe that a reader thread drains and counts. Stereo buffers of 480 to 4096
// frames (seeded) at 48 kHz and at 44.1 kHz, 24 hours of audio each unless told
// otherwise. Checks, per rate: the exact output length (48 kHz: ceil(frames / 3);
// otherwise within one sample of frames x 16000 / rate), every sample's value at
// 48 kHz, the carried position inside [0, ratio) after every buffer, and no growth of
// peak resident memory after the first buffers.
//
//   qztap_soak [--hours H | --seconds S] [--seed N] [--memory-report-only]

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "audio/buffer_handler.h"
#include "tests/soak/process_memory.h"
#include "tests/soak/sample_reader.h"

namespace qztap::soak {
namespace {

constexpr uint32_t MIN_FRAMES = 480;
constexpr uint32_t MAX_FRAMES = 4096;
// Memory is first measured once this many buffers have passed, by when the
// handler's working storage has grown to the largest buffer.
constexpr uint64_t WARM_UP_BUFFERS = 2000;
// Peak memory may grow by this much after the warm-up (page-granular noise of the
// C library); a leak of one small block per buffer exceeds it within seconds.
constexpr uint64_t PEAK_GROWTH_LIMIT_KIB = 256;

struct Options {
  double seconds = 24 * 3600;
  uint64_t seed = 1;
  bool judgeMemory = true;
};

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--memory-report-only") {
      options.judgeMemory = false;
      continue;
    }
    if (i + 1 == argc) return false;
    const double value = std::strtod(argv[++i], nullptr);
    if (flag == "--hours") {
      options.seconds = value * 3600;
    } else if (flag == "--seconds") {
      options.seconds = value;
    } else if (flag == "--seed") {
      options.seed = static_cast<uint64_t>(value);
    } else {
      return false;
    }
  }
  return options.seconds > 0;
}

bool soakAt(double rate, const Options& options) {
  const auto frames = static_cast<uint64_t>(rate * options.seconds);
  const double ratio = rate / TARGET_SR;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) std::abort();
  ::fcntl(pipeFds[1], F_SETPIPE_SZ, 1 << 20);  // fewer wake-ups; the default works too
  SampleReader reader(pipeFds[0], rate == 48000);
  SampleBufferHandler handler(pipeFds[1]);

  std::mt19937_64 random(options.seed);
  std::uniform_int_distribution<uint32_t> bufferFrames(MIN_FRAMES, MAX_FRAMES);
  std::vector<float> left(MAX_FRAMES);
  std::vector<float> right(MAX_FRAMES);
  uint64_t done = 0;
  uint64_t buffers = 0;
  double highestPosition = 0;
  bool positionsInRange = true;
  ProcessMemory afterWarmUp = readProcessMemory();
  const auto began = std::chrono::steady_clock::now();

  while (done < frames) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(bufferFrames(random), frames - done));
    for (uint32_t i = 0; i < n; ++i) left[i] = right[i] = rampValue(done + i);
    const AudioEntry entries[] = {{left.data(), n * 4}, {right.data(), n * 4}};
    handler.handle(rate, entries);
    done += n;
    const double position = handler.resamplerState().resampPos;
    highestPosition = std::max(highestPosition, position);
    positionsInRange = positionsInRange && position >= 0 && position < ratio;
    if (++buffers == WARM_UP_BUFFERS) afterWarmUp = readProcessMemory();
  }
  ::close(pipeFds[1]);
  const uint64_t samples = reader.finish();
  ::close(pipeFds[0]);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const ProcessMemory atEnd = readProcessMemory();

  const double ideal = static_cast<double>(frames) * TARGET_SR / rate;
  const bool lengthRight = rate == 48000 ? samples == (frames + 2) / 3
                                         : std::abs(static_cast<double>(samples) - ideal) <= 1.0;
  const bool memoryFlat = atEnd.peakKiB <= afterWarmUp.peakKiB + PEAK_GROWTH_LIMIT_KIB;
  // How far the carried position lies from where the sample count puts it.
  const double drift = static_cast<double>(samples) * ratio - static_cast<double>(frames) -
                       handler.resamplerState().resampPos;

  std::printf("%.0f Hz: %.0f s of audio, %llu frames in %llu buffers -> %llu samples (ideal %.3f)\n",
              rate, options.seconds, static_cast<unsigned long long>(frames),
              static_cast<unsigned long long>(buffers), static_cast<unsigned long long>(samples),
              ideal);
  std::printf("  position: highest %.17g of ratio %.17g, final %.17g, drift from the count %.3g\n",
              highestPosition, ratio, handler.resamplerState().resampPos, drift);
  std::printf("  memory after %llu buffers: VmHWM %llu kB, VmRSS %llu kB; at the end: VmHWM %llu kB, "
              "VmRSS %llu kB\n",
              static_cast<unsigned long long>(std::min(buffers, WARM_UP_BUFFERS)),
              static_cast<unsigned long long>(afterWarmUp.peakKiB),
              static_cast<unsigned long long>(afterWarmUp.currentKiB),
              static_cast<unsigned long long>(atEnd.peakKiB),
              static_cast<unsigned long long>(atEnd.currentKiB));
  std::printf("  wall %.1f s, %.1f M frames/s\n", wall, static_cast<double>(frames) / wall / 1e6);

  bool ok = true;
  auto require = [&](bool holds, const char* what) {
    if (!holds) std::printf("  FAILED: %s\n", what);
    ok = ok && holds;
  };
  require(lengthRight, "output length");
  require(positionsInRange, "carried position outside [0, ratio)");
  require(!reader.firstWrongSample(), "a sample differs from the input it stands for");
  if (reader.firstWrongSample()) {
    std::printf("  first wrong sample: %llu\n", static_cast<unsigned long long>(*reader.firstWrongSample()));
  }
  require(!options.judgeMemory || buffers < WARM_UP_BUFFERS || memoryFlat,
          "peak memory grew after the warm-up");
  std::fflush(stdout);
  return ok;
}

}  // namespace
}  // namespace qztap::soak

int main(int argc, char** argv) {
  qztap::soak::Options options;
  if (!qztap::soak::parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: qztap_soak [--hours H | --seconds S] [--seed N] [--memory-report-only]\n");
    return 2;
  }
  bool ok = true;
  for (double rate : {48000.0, 44100.0}) ok = qztap::soak::soakAt(rate, options) && ok;
  return ok ? 0 : 1;
}
