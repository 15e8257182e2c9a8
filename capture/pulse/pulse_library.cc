#include "capture/pulse/pulse_library.h"

#include <dlfcn.h>

namespace qztap {
namespace {

constexpr char LIBRARY_NAME[] = "libpulse.so.0";

std::string loaderError() {
  const char* text = ::dlerror();
  return text != nullptr ? text : std::string(LIBRARY_NAME) + ": cannot be loaded";
}

std::optional<std::string> openAndLookUp() {
  // Never closed: the loop thread runs libpulse's code until the process ends.
  void* library = ::dlopen(LIBRARY_NAME, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return loaderError();
#define QZTAP_LOOK_UP(name)                                         \
  name = reinterpret_cast<decltype(name)>(::dlsym(library, #name)); \
  if (name == nullptr) return loaderError();
  QZTAP_PULSE_FUNCTIONS(QZTAP_LOOK_UP)
#undef QZTAP_LOOK_UP
  return std::nullopt;
}

}  // namespace

std::optional<std::string> loadPulseLibrary() {
  static const std::optional<std::string> failure = openAndLookUp();
  return failure;
}

}  // namespace qztap
