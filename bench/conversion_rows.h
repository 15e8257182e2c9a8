#pragma once

// The rows of the conversion benchmark: ways of turning the same stream of planar
// stereo float buffers into 16 kHz mono floats, buffer by buffer with state carried.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "audio/buffer_handler.h"

namespace qztap::bench {

inline constexpr double OUTPUT_RATE = 16000.0;
inline constexpr int64_t BUFFER_FRAMES = 1024;
inline constexpr size_t CHANNELS = 2;

// `seconds` of seeded white noise in [-1, 1) at `rate`, two planar channels, cut into
// BUFFER_FRAMES-frame buffers described as the capture side delivers them: one
// entry per channel. The last buffer is shorter when the length is not a multiple.
struct Input {
  Input(double rate, double seconds, uint64_t seed);
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;

  // Frames in buffers [first, end).
  int64_t framesIn(size_t first, size_t end) const;
  size_t bufferCount() const { return entries.size(); }

  double rate;
  int64_t frames;
  std::array<std::vector<float>, CHANNELS> samples;
  std::vector<std::array<AudioEntry, CHANNELS>> entries;
};

// One row. A converter is made (its set-up is not measured), streams a range of
// buffers in order, and is thrown away. Output stays in the converter's storage
// unless `keep` was asked for, which appends it to kept() for the checks.
class Converter {
 public:
  virtual ~Converter() = default;
  virtual void convert(const Input& input, size_t firstBuffer, size_t endBuffer) = 0;

  int64_t produced() const { return producedSamples; }
  const std::vector<float>& kept() const { return keptSamples; }

 protected:
  explicit Converter(bool keep) : keeping(keep) {}
  // Called with each buffer's output block: counts it, keeps it if asked, and makes
  // sure the compiler cannot drop the work that produced it.
  void emit(const float* block, size_t count);

 private:
  bool keeping;
  int64_t producedSamples = 0;
  std::vector<float> keptSamples;
};

struct Row {
  std::string_view id;     // command-line name
  std::string_view label;  // table name
  // Whether the row's output must equal ours bit for bit.
  bool bitExact;
  // Whether the row produces 16 kHz samples at all (the read-only pass does not).
  bool converts;
  std::unique_ptr<Converter> (*make)(double rate, bool keep);
};

// The rows in table order; ours comes first.
const std::vector<Row>& rows();

}  // namespace qztap::bench
