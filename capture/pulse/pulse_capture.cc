// The capture service on Linux, over libpulse: records the monitor of the sound
// server's default output device, on PulseAudio and on PipeWire's pulse server.
// The connection lives in pulse_connection.cc, the stream in pulse_capture_stream.cc,
// which carries out the decisions of pulse_follower.cc with the stream of pulse_recorder.cc.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "capture/capture_service.h"
#include "capture/pulse/pulse_capture_stream.h"
#include "capture/pulse/pulse_connection.h"

namespace qztap {
namespace {

class PulseCaptureService final : public CaptureService {
 public:
  void getShareableContent(
      bool, bool,
      std::function<void(std::optional<ShareableContent>, std::optional<CaptureError>)> completion)
      override {
    if (std::optional<CaptureError> error = connection.connect()) {
      completion(std::nullopt, std::move(error));
      return;
    }
    LoopLock lock(connection.loop);
    std::string defaultSink;
    std::vector<std::string> sinks;
    const bool answered =
        connection.await(requestServerInfo(connection,
                                           [this, &defaultSink](const pa_server_info* info) {
                                             if (info == nullptr) return;
                                             if (info->default_sink_name != nullptr)
                                               defaultSink = info->default_sink_name;
                                             if (info->server_name != nullptr)
                                               defaultViews = defaultViewsOf(info->server_name);
                                           })) &&
        connection.await(requestSinks(connection, nullptr, [&sinks](const pa_sink_info* info) {
          if (info != nullptr) sinks.emplace_back(info->name);
        }));
    if (!answered) {
      completion(std::nullopt, connection.lastError());
      return;
    }
    // The default output comes first: it is what the machine is playing on.
    ShareableContent content;
    for (const std::string& sink : sinks) {
      if (sink == defaultSink)
        content.displays.insert(content.displays.begin(), Display{sink});
      else
        content.displays.push_back(Display{sink});
    }
    completion(std::move(content), std::nullopt);
  }

  std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override {
    return makePulseCaptureStream(connection, filter.display.name, defaultViews, configuration,
                                  delegate);
  }

 private:
  PulseConnection connection;
  DefaultViews defaultViews = DefaultViews::PerConnection;
};

}  // namespace

std::unique_ptr<CaptureService> makePlatformCaptureService() {
  return std::make_unique<PulseCaptureService>();
}

}  // namespace qztap
