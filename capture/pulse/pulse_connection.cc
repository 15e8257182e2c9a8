#include "capture/pulse/pulse_connection.h"

#include <utility>

namespace qztap {

std::optional<CaptureError> PulseConnection::connect() {
  if (std::optional<std::string> missing = loadPulseLibrary()) return CaptureError{*missing};
  loop = pa_threaded_mainloop_new();
  if (loop == nullptr) return CaptureError{"cannot create the sound server main loop"};
  context = pa_context_new(pa_threaded_mainloop_get_api(loop), "qztap");
  if (context == nullptr) return CaptureError{"cannot create the sound server context"};
  pa_context_set_state_callback(context, &PulseConnection::onState, this);
  if (pa_threaded_mainloop_start(loop) < 0) return CaptureError{"cannot start the main loop"};

  LoopLock lock(loop);
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return lastError();
  for (;;) {
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) return std::nullopt;
    if (!PA_CONTEXT_IS_GOOD(state)) return lastError();
    pa_threaded_mainloop_wait(loop);
  }
}

bool PulseConnection::connectBeside(const PulseConnection& main, std::function<void()> whenReady) {
  loop = main.loop;
  context = pa_context_new(pa_threaded_mainloop_get_api(loop), "qztap");
  if (context == nullptr) return false;
  onReady = std::move(whenReady);
  pa_context_set_state_callback(context, &PulseConnection::onState, this);
  return pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
}

bool PulseConnection::await(pa_operation* operation) {
  if (operation == nullptr) return false;
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
    pa_threaded_mainloop_wait(loop);
  }
  const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
  pa_operation_unref(operation);
  return done;
}

void PulseConnection::onState(pa_context* context, void* self) {
  auto* connection = static_cast<PulseConnection*>(self);
  const pa_context_state_t state = pa_context_get_state(context);
  if (!PA_CONTEXT_IS_GOOD(state)) {
    if (connection->failure == PA_OK) connection->failure = pa_context_errno(context);
    if (connection->onConnectionLost) connection->onConnectionLost();
  } else if (state == PA_CONTEXT_READY && connection->onReady) {
    connection->onReady();
  }
  pa_threaded_mainloop_signal(connection->loop, 0);
}

namespace {

struct ServerInfoRequest {
  PulseConnection* connection;
  std::function<void(const pa_server_info*)> answer;

  static void onInfo(pa_context*, const pa_server_info* info, void* self) {
    auto* request = static_cast<ServerInfoRequest*>(self);
    request->answer(info);
    pa_threaded_mainloop_signal(request->connection->loop, 0);
    delete request;
  }
};

struct SinkInfoRequest {
  PulseConnection* connection;
  std::function<void(const pa_sink_info*)> answer;  // nullptr once the list ends

  static void onInfo(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto* request = static_cast<SinkInfoRequest*>(self);
    request->answer(eol == 0 ? info : nullptr);
    if (eol != 0) {
      pa_threaded_mainloop_signal(request->connection->loop, 0);
      delete request;
    }
  }
};

}  // namespace

pa_operation* requestServerInfo(PulseConnection& connection,
                                std::function<void(const pa_server_info*)> answer) {
  auto* request = new ServerInfoRequest{&connection, std::move(answer)};
  pa_operation* operation =
      pa_context_get_server_info(connection.context, &ServerInfoRequest::onInfo, request);
  if (operation == nullptr) delete request;
  return operation;
}

pa_operation* requestSinks(PulseConnection& connection, const std::string* name,
                           std::function<void(const pa_sink_info*)> answer) {
  auto* request = new SinkInfoRequest{&connection, std::move(answer)};
  pa_operation* operation =
      name != nullptr
          ? pa_context_get_sink_info_by_name(connection.context, name->c_str(),
                                             &SinkInfoRequest::onInfo, request)
          : pa_context_get_sink_info_list(connection.context, &SinkInfoRequest::onInfo, request);
  if (operation == nullptr) delete request;
  return operation;
}

Sink sinkFrom(const pa_sink_info& info) {
  return Sink{info.name, info.monitor_source_name != nullptr ? info.monitor_source_name : ""};
}

}  // namespace qztap
