#pragma once

// libpulse, opened at run time rather than linked, so that qztap starts where it is
// missing and says so on its status line. Only the backend's own files include this.

#include <pulse/pulseaudio.h>

#include <optional>
#include <string>

// Every libpulse function the backend calls.
#define QZTAP_PULSE_FUNCTIONS(X)       \
  X(pa_context_connect)                \
  X(pa_context_disconnect)             \
  X(pa_context_errno)                  \
  X(pa_context_get_server_info)        \
  X(pa_context_get_sink_info_by_name)  \
  X(pa_context_get_sink_info_list)     \
  X(pa_context_get_state)              \
  X(pa_context_new)                    \
  X(pa_context_rttime_new)             \
  X(pa_context_rttime_restart)         \
  X(pa_context_set_state_callback)     \
  X(pa_context_set_subscribe_callback) \
  X(pa_context_subscribe)              \
  X(pa_context_unref)                  \
  X(pa_frame_size)                     \
  X(pa_mainloop_api_once)              \
  X(pa_operation_get_state)            \
  X(pa_operation_unref)                \
  X(pa_rtclock_now)                    \
  X(pa_sample_spec_valid)              \
  X(pa_stream_connect_record)          \
  X(pa_stream_disconnect)              \
  X(pa_stream_drop)                    \
  X(pa_stream_get_device_name)         \
  X(pa_stream_get_sample_spec)         \
  X(pa_stream_get_state)               \
  X(pa_stream_is_suspended)            \
  X(pa_stream_new)                     \
  X(pa_stream_peek)                    \
  X(pa_stream_readable_size)           \
  X(pa_stream_set_moved_callback)      \
  X(pa_stream_set_read_callback)       \
  X(pa_stream_set_state_callback)      \
  X(pa_stream_unref)                   \
  X(pa_strerror)                       \
  X(pa_threaded_mainloop_get_api)      \
  X(pa_threaded_mainloop_lock)         \
  X(pa_threaded_mainloop_new)          \
  X(pa_threaded_mainloop_signal)       \
  X(pa_threaded_mainloop_start)        \
  X(pa_threaded_mainloop_unlock)       \
  X(pa_threaded_mainloop_wait)

namespace qztap {

// Each function as a pointer under libpulse's own name, typed by libpulse's own
// declaration. Inside this namespace the pointers hide libpulse's declarations, so a
// call reads as a call to libpulse; a function left out of the list is called directly
// and fails to link, since qztap does not link libpulse. Set by loadPulseLibrary.
#define QZTAP_PULSE_POINTER(name) inline decltype(&::name) name = nullptr;
QZTAP_PULSE_FUNCTIONS(QZTAP_PULSE_POINTER)
#undef QZTAP_PULSE_POINTER

// Opens libpulse.so.0 and looks up every function, once per process, whichever thread
// asks; the loader's own text if the library or one of its functions is missing.
std::optional<std::string> loadPulseLibrary();

}  // namespace qztap
