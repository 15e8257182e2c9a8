// Conversion benchmark: the same seeded stereo white noise, cut into 1024-frame
// buffers, converted to 16 kHz mono by ours and by peer libraries, buffer by buffer
// with state carried. Prints one table of throughput (median of several runs, rows
// interleaved so drift hits them alike) and, when given the counts callgrind took,
// instructions per input frame.
//
//   qztap_conversion_bench [--rates 48000,44100] [--seconds 60] [--repeats 31]
//                          [--instructions FILE]
//   qztap_conversion_bench --callgrind --row ID --rate HZ [--seconds 5]
//   qztap_conversion_bench --list-rows
//
// In --callgrind mode one row streams one second of warm-up and then `seconds` more
// with collection toggled on around the streaming only; it prints how many frames it
// counted. Run it under valgrind --tool=callgrind --collect-atstart=no. FILE holds one
// "rate row-id instructions frames" line per measured row (run_benchmarks.sh writes it).

#include <valgrind/callgrind.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bench/conversion_rows.h"

namespace qztap::bench {
namespace {

constexpr uint64_t SEED = 20240607;

struct Options {
  std::vector<double> rates{48000.0, 44100.0};
  double seconds = 0.0;  // 0: 60 for the table, 5 under callgrind
  int repeats = 31;
  std::string instructionsFile;
  bool callgrind = false;
  std::string row;
  bool listRows = false;
};

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr,
               "qztap_conversion_bench: %s\n"
               "usage: qztap_conversion_bench [--rates HZ,HZ] [--seconds S] [--repeats N] "
               "[--instructions FILE]\n"
               "       qztap_conversion_bench --callgrind --row ID --rate HZ [--seconds S]\n"
               "       qztap_conversion_bench --list-rows\n",
               why);
  std::exit(2);
}

double positiveNumber(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value > 0.0) || !std::isfinite(value))
    usage("expected a positive number");
  return value;
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage(("missing value after " + arg).c_str());
      return argv[++i];
    };
    if (arg == "--rates" || arg == "--rate") {
      options.rates.clear();
      std::stringstream list(value());
      for (std::string item; std::getline(list, item, ',');)
        options.rates.push_back(positiveNumber(item.c_str()));
    } else if (arg == "--seconds") {
      options.seconds = positiveNumber(value());
    } else if (arg == "--repeats") {
      options.repeats = static_cast<int>(positiveNumber(value()));
    } else if (arg == "--instructions") {
      options.instructionsFile = value();
    } else if (arg == "--callgrind") {
      options.callgrind = true;
    } else if (arg == "--row") {
      options.row = value();
    } else if (arg == "--list-rows") {
      options.listRows = true;
    } else {
      usage(("unknown argument " + arg).c_str());
    }
  }
  if (options.rates.empty()) usage("no rate given");
  if (options.seconds == 0.0) options.seconds = options.callgrind ? 5.0 : 60.0;
  if (options.callgrind && (options.row.empty() || options.rates.size() != 1)) {
    usage("--callgrind needs --row and a single --rate");
  }
  return options;
}

const Row& rowNamed(const std::string& id) {
  for (const Row& row : rows()) {
    if (row.id == id) return row;
  }
  usage(("no row named " + id).c_str());
}

// Runs every row once over the whole input, keeping the output, and stops the
// benchmark if a row that must match ours bit for bit does not, or a peer's output
// length is not that of a 16 kHz stream (a sign of a misused library).
void checkOutputs(const Input& input) {
  std::vector<float> ours;
  for (const Row& row : rows()) {
    auto converter = row.make(input.rate, true);
    converter->convert(input, 0, input.bufferCount());
    const std::vector<float>& got = converter->kept();
    if (row.id == rows().front().id) ours = got;
    if (row.bitExact) {
      if (got.size() != ours.size() ||
          std::memcmp(got.data(), ours.data(), got.size() * sizeof(float)) != 0) {
        size_t at = 0;
        while (at < std::min(got.size(), ours.size()) &&
               std::memcmp(&got[at], &ours[at], sizeof(float)) == 0) {
          ++at;
        }
        std::fprintf(stderr,
                     "ABORT: at %.0f Hz, \"%.*s\" differs from ours (%zu vs %zu samples, first "
                     "difference at sample %zu)\n",
                     input.rate, static_cast<int>(row.label.size()), row.label.data(), got.size(),
                     ours.size(), at);
        std::exit(1);
      }
    } else if (row.converts) {
      const double expected = static_cast<double>(input.frames) * OUTPUT_RATE / input.rate;
      if (std::fabs(static_cast<double>(converter->produced()) - expected) >
          0.01 * expected + 64.0) {
        std::fprintf(
            stderr, "ABORT: at %.0f Hz, \"%.*s\" produced %lld samples where about %.0f were due\n",
            input.rate, static_cast<int>(row.label.size()), row.label.data(),
            static_cast<long long>(converter->produced()), expected);
        std::exit(1);
      }
    }
  }
}

double secondsFor(const Row& row, const Input& input) {
  auto converter = row.make(input.rate, false);
  const auto start = std::chrono::steady_clock::now();
  converter->convert(input, 0, input.bufferCount());
  const auto stop = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(stop - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 != 0 ? values[mid] : 0.5 * (values[mid - 1] + values[mid]);
}

// (rate, row id) -> instructions per input frame, from the callgrind runs.
std::map<std::pair<long, std::string>, double> readInstructions(const std::string& path) {
  std::map<std::pair<long, std::string>, double> perFrame;
  if (path.empty()) return perFrame;
  std::ifstream file(path);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(2);
  }
  double rate = 0.0;
  std::string id;
  double instructions = 0.0;
  double frames = 0.0;
  while (file >> rate >> id >> instructions >> frames) {
    if (frames > 0.0) perFrame[{std::lround(rate), id}] = instructions / frames;
  }
  return perFrame;
}

int runCallgrind(const Options& options) {
  const Row& row = rowNamed(options.row);
  const double rate = options.rates.front();
  const Input input(rate, options.seconds + 1.0, SEED);
  const auto warmup = static_cast<size_t>(std::ceil(rate / static_cast<double>(BUFFER_FRAMES)));
  auto converter = row.make(rate, false);
  converter->convert(input, 0, warmup);
  CALLGRIND_TOGGLE_COLLECT;
  converter->convert(input, warmup, input.bufferCount());
  CALLGRIND_TOGGLE_COLLECT;
  std::printf("%lld\n", static_cast<long long>(input.framesIn(warmup, input.bufferCount())));
  return 0;
}

int runTable(const Options& options) {
  const auto instructions = readInstructions(options.instructionsFile);
  // Every check runs before anything is timed or printed.
  std::vector<std::unique_ptr<Input>> inputs;
  for (const double rate : options.rates) {
    inputs.push_back(std::make_unique<Input>(rate, options.seconds, SEED));
    checkOutputs(*inputs.back());
  }

  std::printf(
      "Conversion to 16 kHz mono: %.0f s of seeded stereo float white noise in %lld-frame planar "
      "buffers;\nthroughput is the median of %d runs; instructions are callgrind's, per input "
      "frame%s.\n\n",
      options.seconds, static_cast<long long>(BUFFER_FRAMES), options.repeats,
      instructions.empty() ? " (not measured: no --instructions)" : "");
  std::printf("%-8s %-28s %11s %12s %9s %12s %9s\n", "input", "row", "Mframes/s", "x real time",
              "vs ours", "instr/frame", "vs ours");
  std::printf("%.*s\n", 95,
              "------------------------------------------------------------------------------------"
              "-----------");

  for (const auto& owned : inputs) {
    const Input& input = *owned;
    const double rate = input.rate;
    const std::vector<Row>& all = rows();
    std::vector<std::vector<double>> times(all.size());
    for (const Row& row : all) secondsFor(row, input);  // warm-up
    for (int r = 0; r < options.repeats; ++r) {
      for (size_t i = 0; i < all.size(); ++i) times[i].push_back(secondsFor(all[i], input));
    }

    const double frames = static_cast<double>(input.frames);
    const double oursSpeed = frames / median(times[0]);
    const auto oursInstr = instructions.find({std::lround(rate), std::string(all[0].id)});
    for (size_t i = 0; i < all.size(); ++i) {
      const double speed = frames / median(times[i]);
      std::printf("%-8.0f %-28.*s %11.1f %12.0f %8.2fx", rate,
                  static_cast<int>(all[i].label.size()), all[i].label.data(), speed / 1e6,
                  speed / rate, speed / oursSpeed);
      const auto found = instructions.find({std::lround(rate), std::string(all[i].id)});
      if (found != instructions.end()) {
        std::printf(" %12.2f", found->second);
        if (oursInstr != instructions.end())
          std::printf(" %8.2fx", found->second / oursInstr->second);
      }
      std::printf("\n");
    }
  }
  std::printf(
      "\nvs ours: speed as a multiple of ours (above 1 is faster); instructions as a multiple "
      "of ours (above 1 is more).\nOurs and the plain scalar reference gave bit-identical "
      "output.\n");
  return 0;
}

}  // namespace
}  // namespace qztap::bench

int main(int argc, char** argv) {
  using namespace qztap::bench;
  try {
    const Options options = parse(argc, argv);
    if (options.listRows) {
      for (const Row& row : rows())
        std::printf("%.*s\n", static_cast<int>(row.id.size()), row.id.data());
      return 0;
    }
    return options.callgrind ? runCallgrind(options) : runTable(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "qztap_conversion_bench: %s\n", error.what());
    return 1;
  }
}
