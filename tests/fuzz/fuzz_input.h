#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace qztap::fuzzing {

// Reads a fuzzer's bytes front to back as the values a target decodes; once they run
// out, every value reads as zero, so any input decodes to something.
class FuzzInput {
 public:
  explicit FuzzInput(std::span<const uint8_t> bytes) : rest(bytes) {}

  bool empty() const { return rest.empty(); }

  template <typename T>
  T take() {
    T value{};
    const size_t count = std::min(sizeof(T), rest.size());
    std::memcpy(&value, rest.data(), count);
    rest = rest.subspan(count);
    return value;
  }

  // A value in [0, bound), bound > 0.
  uint32_t below(uint32_t bound) { return take<uint16_t>() % bound; }

  bool flag() { return (take<uint8_t>() & 1u) != 0; }

  // Fills `out` with a pattern of at most `patternMax` next bytes, repeated, so that
  // a large buffer leaves bytes for what follows it (zeros when nothing is left).
  void fill(std::span<uint8_t> out, size_t patternMax) {
    const std::span<const uint8_t> pattern = rest.first(std::min({out.size(), patternMax, rest.size()}));
    for (size_t i = 0; i < out.size(); ++i) out[i] = pattern.empty() ? 0 : pattern[i % pattern.size()];
    rest = rest.subspan(pattern.size());
  }

 private:
  std::span<const uint8_t> rest;
};

}  // namespace qztap::fuzzing
