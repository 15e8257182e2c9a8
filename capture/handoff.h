#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

namespace qztap {

// Hands one value from a completion, on any thread, to a thread waiting for it.
// The first value put wins; later ones are ignored, so a service that calls a
// completion twice, or after the waiter has moved on, does no harm.
template <typename T>
class Handoff {
 public:
  void put(T value) {
    {
      std::lock_guard lock(mutex_);
      if (value_) return;
      value_.emplace(std::move(value));
    }
    ready_.notify_all();
  }

  T take() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return value_.has_value(); });
    return std::move(*value_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::optional<T> value_;
};

}  // namespace qztap
