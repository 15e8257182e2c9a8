#include "bench/conversion_rows.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include <samplerate.h>
#include <soxr.h>
#include <speex/speex_resampler.h>
extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include "audio/downmix.h"
#include "audio/pcm_writer.h"
#include "audio/resampler.h"

namespace qztap::bench {
namespace {

// Tells the compiler that the memory behind `p` is read, so work that only fills it
// is not optimized away.
inline void escape(const void* p) { asm volatile("" : : "g"(p) : "memory"); }

// splitmix64: small, seedable and identical everywhere, unlike std distributions.
uint64_t nextRandom(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

const float* channelOf(const AudioEntry& entry) { return static_cast<const float*>(entry.data); }
int64_t framesOf(const AudioEntry& entry) { return entry.byteSize / sizeof(float); }

// Room for one buffer's output at any rate we feed: down-sampling never yields more
// samples than it was given, plus what a peer may hold back and release later.
constexpr size_t OUTPUT_ROOM = BUFFER_FRAMES + 256;

// The down-mix a peer row does before its resampler: the usual (l + r) * 0.5.
void plainDownmix(const float* left, const float* right, int64_t frames, float* mono) {
  for (int64_t i = 0; i < frames; ++i) mono[i] = (left[i] + right[i]) * 0.5f;
}

// (a) Ours: what SampleBufferHandler::handle does for a buffer, call for call, up to
// the write of the block. Same library functions, same working storage reused.
class Ours final : public Converter {
 public:
  Ours(double streamRate, bool keep) : Converter(keep), rate(streamRate) {}

  void convert(const Input& input, size_t firstBuffer, size_t endBuffer) override {
    for (size_t b = firstBuffer; b < endBuffer; ++b) handle(input.entries[b]);
  }

 private:
  void handle(std::span<const AudioEntry> entries) {
    const double sourceRate = sourceRateOf(rate);
    channels.clear();
    int64_t frameCount = std::numeric_limits<int64_t>::max();
    for (const AudioEntry& entry : entries) {
      if (entry.data == nullptr) continue;
      channels.push_back(channelOf(entry));
      frameCount = std::min<int64_t>(frameCount, entry.byteSize >> 2);
    }
    if (channels.empty() || frameCount < 1) return;
    if (!(expectedOutputCount(frameCount, sourceRate) <= MAX_BLOCK_SAMPLES)) return;
    downmix(channels, frameCount, mono);
    resample(mono, sourceRate, state, output);
    emit(output.data(), output.size());
  }

  double rate;
  ResamplerState state;
  std::vector<const float*> channels;
  std::vector<float> mono;
  std::vector<float> output;
};

// Ours through the real SampleBufferHandler, write included: to /dev/null when timed,
// to a temporary file when the output is kept so that it can be compared.
class OursWithWrite final : public Converter {
 public:
  OursWithWrite(double streamRate, bool keep)
      : Converter(keep),
        rate(streamRate),
        file(keep ? std::tmpfile() : nullptr),
        fd(keep ? (file != nullptr ? fileno(file) : -1) : ::open("/dev/null", O_WRONLY)),
        output(fd),
        backlog(output, BACKLOG_CAPACITY),
        handler(backlog) {
    if (fd < 0) fail(std::string("cannot open an output for the handler: ") + std::strerror(errno));
  }
  ~OursWithWrite() override {
    if (file != nullptr) {
      std::fclose(file);
    } else {
      ::close(fd);
    }
  }

  void convert(const Input& input, size_t firstBuffer, size_t endBuffer) override {
    for (size_t b = firstBuffer; b < endBuffer; ++b) handler.handle(rate, input.entries[b]);
    if (file != nullptr) readBack();
  }

 private:
  void readBack() {
    std::vector<float> block(OUTPUT_ROOM);
    for (;;) {
      const ssize_t got = ::pread(fd, block.data(), block.size() * sizeof(float), readOffset);
      if (got < 0) fail(std::string("reading the handler's output back: ") + std::strerror(errno));
      if (got == 0) break;
      if (got % static_cast<ssize_t>(sizeof(float)) != 0)
        fail("the handler wrote a partial sample");
      readOffset += got;
      emit(block.data(), static_cast<size_t>(got) / sizeof(float));
    }
  }

  double rate;
  std::FILE* file;
  int fd;
  off_t readOffset = 0;
  DescriptorOutput output;
  OutputBacklog backlog;
  SampleBufferHandler handler;
};

// (b) The same arithmetic written the plain way, one frame and one output sample at a
// time, into fresh vectors for every buffer.
class ScalarReference final : public Converter {
 public:
  ScalarReference(double streamRate, bool keep) : Converter(keep), rate(streamRate) {}

  void convert(const Input& input, size_t firstBuffer, size_t endBuffer) override {
    for (size_t b = firstBuffer; b < endBuffer; ++b) {
      const std::vector<float> block = convertBuffer(input.entries[b]);
      emit(block.data(), block.size());
    }
  }

 private:
  std::vector<float> convertBuffer(const std::array<AudioEntry, CHANNELS>& entries) {
    const int64_t frames = framesOf(entries[0]);
    std::vector<float> mono;
    for (int64_t f = 0; f < frames; ++f) {
      float sum = +0.0f;
      for (const AudioEntry& entry : entries) sum += channelOf(entry)[f];
      mono.push_back(sum / static_cast<float>(entries.size()));
    }

    std::vector<float> out;
    const double ratio = rate / OUTPUT_RATE;
    const double end = static_cast<double>(frames);
    const float previous = haveCarry ? carry : mono[0];
    double pos = resampPos;
    while (pos < end) {
      const auto i = static_cast<int64_t>(pos);
      const float a = i == 0 ? previous : mono[i - 1];
      const float b = mono[i];
      const auto t = static_cast<float>(pos - static_cast<double>(i));
      out.push_back(a + (b - a) * t);
      pos += ratio;
    }
    resampPos = pos - end;
    carry = mono.back();
    haveCarry = true;
    return out;
  }

  double rate;
  double resampPos = 0.0;
  float carry = 0.0f;
  bool haveCarry = false;
};

// A peer's resampler behind the plain down-mix, fed each buffer until it has taken all.
class PeerAfterDownmix : public Converter {
 public:
  void convert(const Input& input, size_t firstBuffer, size_t endBuffer) final {
    for (size_t b = firstBuffer; b < endBuffer; ++b) {
      const auto& entries = input.entries[b];
      const int64_t frames = framesOf(entries[0]);
      plainDownmix(channelOf(entries[0]), channelOf(entries[1]), frames, mono.data());
      const float* in = mono.data();
      for (auto left = static_cast<size_t>(frames); left > 0;) {
        const auto [used, made] = process(in, left);
        emit(output.data(), made);
        if (used == 0 && made == 0) fail(std::string(name) + " stalled");
        in += used;
        left -= used;
      }
    }
  }

 protected:
  PeerAfterDownmix(const char* peerName, bool keep)
      : Converter(keep), output(OUTPUT_ROOM), name(peerName), mono(BUFFER_FRAMES) {}
  // Resamples up to `count` frames from `in` into `output`: {frames taken, samples made}.
  virtual std::pair<size_t, size_t> process(const float* in, size_t count) = 0;

  std::vector<float> output;

 private:
  const char* name;
  std::vector<float> mono;
};

// (c) libsamplerate's linear converter.
class SampleRateLinear final : public PeerAfterDownmix {
 public:
  SampleRateLinear(double streamRate, bool keep)
      : PeerAfterDownmix("src_process", keep), ratio(OUTPUT_RATE / streamRate) {
    int error = 0;
    state = src_new(SRC_LINEAR, 1, &error);
    if (state == nullptr) fail(std::string("src_new: ") + src_strerror(error));
  }
  ~SampleRateLinear() override { src_delete(state); }

 private:
  std::pair<size_t, size_t> process(const float* in, size_t count) override {
    SRC_DATA data{};
    data.data_in = in;
    data.input_frames = static_cast<long>(count);
    data.data_out = output.data();
    data.output_frames = static_cast<long>(output.size());
    data.src_ratio = ratio;
    const int error = src_process(state, &data);
    if (error != 0) fail(std::string("src_process: ") + src_strerror(error));
    return {static_cast<size_t>(data.input_frames_used),
            static_cast<size_t>(data.output_frames_gen)};
  }

  double ratio;
  SRC_STATE* state;
};

// (d) speexdsp's resampler at quality 0.
class SpeexQuality0 final : public PeerAfterDownmix {
 public:
  SpeexQuality0(double streamRate, bool keep)
      : PeerAfterDownmix("speex_resampler_process_float", keep) {
    int error = 0;
    state = speex_resampler_init(1, static_cast<spx_uint32_t>(streamRate),
                                 static_cast<spx_uint32_t>(OUTPUT_RATE), 0, &error);
    if (state == nullptr)
      fail(std::string("speex_resampler_init: ") + speex_resampler_strerror(error));
  }
  ~SpeexQuality0() override { speex_resampler_destroy(state); }

 private:
  std::pair<size_t, size_t> process(const float* in, size_t count) override {
    auto used = static_cast<spx_uint32_t>(count);
    auto made = static_cast<spx_uint32_t>(output.size());
    const int error = speex_resampler_process_float(state, 0, in, &used, output.data(), &made);
    if (error != RESAMPLER_ERR_SUCCESS)
      fail(std::string("speex: ") + speex_resampler_strerror(error));
    return {used, made};
  }

  SpeexResamplerState* state;
};

// (e) libsoxr's "quick" quality.
class SoxrQuick final : public PeerAfterDownmix {
 public:
  SoxrQuick(double streamRate, bool keep) : PeerAfterDownmix("soxr_process", keep) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_QQ, 0);
    soxr_error_t error = nullptr;
    state = soxr_create(streamRate, OUTPUT_RATE, 1, &error, &io, &quality, nullptr);
    if (error != nullptr) fail(std::string("soxr_create: ") + error);
  }
  ~SoxrQuick() override { soxr_delete(state); }

 private:
  std::pair<size_t, size_t> process(const float* in, size_t count) override {
    size_t used = 0;
    size_t made = 0;
    soxr_error_t error = soxr_process(state, in, count, &used, output.data(), output.size(), &made);
    if (error != nullptr) fail(std::string("soxr_process: ") + error);
    return {used, made};
  }

  soxr_t state;
};

// (f) libswresample given the planar stereo buffer as it comes, down-mixing to mono
// itself: that is how it is meant to be used. Default resampler settings.
class SwResample final : public Converter {
 public:
  SwResample(double streamRate, bool keep) : Converter(keep), output(OUTPUT_ROOM) {
    av_log_set_level(AV_LOG_ERROR);
    AVChannelLayout stereo;
    AVChannelLayout mono;
    av_channel_layout_default(&stereo, 2);
    av_channel_layout_default(&mono, 1);
    int error =
        swr_alloc_set_opts2(&state, &mono, AV_SAMPLE_FMT_FLT, static_cast<int>(OUTPUT_RATE),
                            &stereo, AV_SAMPLE_FMT_FLTP, static_cast<int>(streamRate), 0, nullptr);
    if (error >= 0) error = swr_init(state);
    if (error < 0) fail("cannot set libswresample up: error " + std::to_string(error));
  }
  ~SwResample() override { swr_free(&state); }

  void convert(const Input& input, size_t firstBuffer, size_t endBuffer) override {
    for (size_t b = firstBuffer; b < endBuffer; ++b) {
      const auto& entries = input.entries[b];
      const uint8_t* planes[CHANNELS] = {static_cast<const uint8_t*>(entries[0].data),
                                         static_cast<const uint8_t*>(entries[1].data)};
      auto* out = reinterpret_cast<uint8_t*>(output.data());
      const int made = swr_convert(state, &out, static_cast<int>(output.size()), planes,
                                   static_cast<int>(framesOf(entries[0])));
      if (made < 0) fail("swr_convert: error " + std::to_string(made));
      emit(output.data(), static_cast<size_t>(made));
    }
  }

 private:
  SwrContext* state = nullptr;
  std::vector<float> output;
};

// (g) Reads every input byte once and sums it as 64-bit words: the memory ceiling.
class ReadOnlyPass final : public Converter {
 public:
  explicit ReadOnlyPass(bool keep) : Converter(keep) {}

  void convert(const Input& input, size_t firstBuffer, size_t endBuffer) override {
    uint64_t sum = 0;
    for (size_t b = firstBuffer; b < endBuffer; ++b) {
      for (const AudioEntry& entry : input.entries[b]) {
        const auto* bytes = static_cast<const unsigned char*>(entry.data);
        const size_t words = entry.byteSize / sizeof(uint64_t);
        for (size_t w = 0; w < words; ++w) {
          uint64_t word;
          std::memcpy(&word, bytes + w * sizeof(uint64_t), sizeof word);
          sum += word;
        }
        for (size_t i = words * sizeof(uint64_t); i < entry.byteSize; ++i) sum += bytes[i];
      }
    }
    total = sum;
    escape(&total);
  }

 private:
  uint64_t total = 0;
};

template <class T>
std::unique_ptr<Converter> make(double rate, bool keep) {
  return std::make_unique<T>(rate, keep);
}

std::unique_ptr<Converter> makeReadOnly(double, bool keep) {
  return std::make_unique<ReadOnlyPass>(keep);
}

}  // namespace

Input::Input(double sampleRate, double seconds, uint64_t seed)
    : rate(sampleRate), frames(static_cast<int64_t>(std::llround(sampleRate * seconds))) {
  uint64_t state = seed;
  for (auto& channel : samples) channel.resize(static_cast<size_t>(frames));
  for (int64_t f = 0; f < frames; ++f) {
    for (auto& channel : samples) {
      // 24 random bits onto [-1, 1): exact in a float.
      const auto bits = static_cast<int32_t>(nextRandom(state) >> 40);
      channel[static_cast<size_t>(f)] =
          static_cast<float>(bits - (1 << 23)) / static_cast<float>(1 << 23);
    }
  }
  for (int64_t start = 0; start < frames; start += BUFFER_FRAMES) {
    const auto count =
        static_cast<uint32_t>(std::min(BUFFER_FRAMES, frames - start) * sizeof(float));
    std::array<AudioEntry, CHANNELS> buffer{};
    for (size_t c = 0; c < CHANNELS; ++c) buffer[c] = AudioEntry{samples[c].data() + start, count};
    entries.push_back(buffer);
  }
}

int64_t Input::framesIn(size_t first, size_t end) const {
  int64_t total = 0;
  for (size_t b = first; b < end; ++b) total += framesOf(entries[b][0]);
  return total;
}

void Converter::emit(const float* block, size_t count) {
  producedSamples += static_cast<int64_t>(count);
  if (keeping) keptSamples.insert(keptSamples.end(), block, block + count);
  escape(block);
}

const std::vector<Row>& rows() {
  static const std::vector<Row> all = {
      {"ours", "ours: downmix + resample", true, true, make<Ours>},
      {"ours-write", "ours + write to /dev/null", true, true, make<OursWithWrite>},
      {"reference", "plain scalar reference", true, true, make<ScalarReference>},
      {"samplerate", "libsamplerate SRC_LINEAR", false, true, make<SampleRateLinear>},
      {"speexdsp", "speexdsp quality 0", false, true, make<SpeexQuality0>},
      {"soxr", "libsoxr SOXR_QQ", false, true, make<SoxrQuick>},
      {"swresample", "libswresample (defaults)", false, true, make<SwResample>},
      {"read-only", "read-only pass (ceiling)", false, false, makeReadOnly},
  };
  return all;
}

}  // namespace qztap::bench
