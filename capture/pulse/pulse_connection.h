#pragma once

// The Linux backend's connection to the sound server, and the look-ups made on it.
// Only the backend's own files include this: portable code never sees libpulse.

#include <functional>
#include <optional>
#include <string>

#include "capture/capture_service.h"
#include "capture/pulse/pulse_library.h"
#include "capture/pulse/pulse_sink_choice.h"

namespace qztap {

class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* mainloop) : loop(mainloop) {
    pa_threaded_mainloop_lock(loop);
  }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop;
};

// The connection: a threaded main loop and a context on it. Lives for the process.
class PulseConnection {
 public:
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  // Told when the connection fails once capture runs; called on the loop thread.
  std::function<void()> onConnectionLost;
  std::function<void()> onReady;

  // Loads libpulse, then connects to the user's server, never spawning one. Called
  // with no lock held.
  std::optional<CaptureError> connect();

  // Starts a second connection to the same server on `main`'s loop, under its lock,
  // without waiting: `onReady` is called on the loop thread once it is up, and
  // onConnectionLost if it fails. False if it could not even be started.
  bool connectBeside(const PulseConnection& main, std::function<void()> whenReady);

  bool ready() const { return pa_context_get_state(context) == PA_CONTEXT_READY; }

  // Once the connection has failed, calls on it fail with "Bad state": the reason
  // worth reporting is the one the connection failed with.
  CaptureError lastError() const {
    return CaptureError{pa_strerror(failure != PA_OK ? failure : pa_context_errno(context))};
  }

  // Waits, with the lock held, for an operation whose callback signals the loop.
  bool await(pa_operation* operation);

  // Lets an operation whose completion nobody waits for run; false if it never started.
  static bool start(pa_operation* operation) {
    if (operation == nullptr) return false;
    pa_operation_unref(operation);
    return true;
  }

 private:
  static void onState(pa_context* context, void* self);

  int failure = PA_OK;  // why the connection failed, once it has
};

// Sink look-ups on the loop thread, each handing its answer to a callback. requestSinks
// asks for the sink `*name`, or for all when `name` is nullptr.
pa_operation* requestServerInfo(PulseConnection& connection,
                                std::function<void(const pa_server_info*)> answer);
pa_operation* requestSinks(PulseConnection& connection, const std::string* name,
                           std::function<void(const pa_sink_info*)> answer);

Sink sinkFrom(const pa_sink_info& info);

}  // namespace qztap
