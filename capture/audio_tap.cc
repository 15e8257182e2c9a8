#include "capture/audio_tap.h"

#include <utility>

#include "capture/handoff.h"
#include "status/status_log.h"

namespace qztap {
namespace {

// Stands in for the description when the service reports a failure without an error.
constexpr std::string_view GENERIC_ERROR = "The operation could not be completed.";

struct ContentResult {
  std::optional<ShareableContent> content;
  std::optional<CaptureError> error;
};

StreamConfiguration audioCaptureConfiguration() {
  StreamConfiguration configuration;
  configuration.capturesAudio = true;
  configuration.sampleRate = 48000;
  configuration.channelCount = 2;
  configuration.excludesCurrentProcessAudio = true;
  // The video side cannot be switched off, so make it as cheap as it gets.
  configuration.width = 2;
  configuration.height = 2;
  configuration.minimumFrameInterval = FrameInterval{1, 1};
  return configuration;
}

}  // namespace

void AudioTap::start() {
  auto contentReady = std::make_shared<Handoff<ContentResult>>();
  service.getShareableContent(
      /*excludingDesktopWindows=*/false, /*onScreenWindowsOnly=*/true,
      [contentReady](std::optional<ShareableContent> content, std::optional<CaptureError> error) {
        contentReady->put(ContentResult{std::move(content), std::move(error)});
      });
  ContentResult result = contentReady->take();
  // An error decides even when content came with it.
  if (result.error) exitFatally(ExitStatus::PermissionOrContentError, result.error->description);
  if (!result.content) exitFatally(ExitStatus::PermissionOrContentError, GENERIC_ERROR);
  if (result.content->displays.empty()) exitFatally(ExitStatus::NoDisplay);

  const ContentFilter filter{result.content->displays.front(), {}};
  std::unique_ptr<CaptureStream> newStream =
      service.makeStream(filter, audioCaptureConfiguration(), *this);
  if (!newStream) exitFatally(ExitStatus::StartError, GENERIC_ERROR);

  const Registration registration =
      newStream->addStreamOutput(*this, StreamOutputType::Audio, DeliveryQueue{"qz.audio"});
  if (!registration.succeeded) {
    exitFatally(ExitStatus::StartError, registration.error
                                            ? std::string_view(registration.error->description)
                                            : GENERIC_ERROR);
  }

  auto started = std::make_shared<Handoff<std::optional<CaptureError>>>();
  newStream->startCapture([this, started](std::optional<CaptureError> error) {
    if (!error) {
      std::lock_guard hold(startMutex);
      startConfirmed = true;
    }
    started->put(std::move(error));
  });
  if (std::optional<CaptureError> error = started->take()) {
    exitFatally(ExitStatus::StartError, error->description);
  }

  stream = std::move(newStream);
  elog(CAPTURE_STARTED_LINE);
  {
    std::lock_guard hold(startMutex);
    startWritten = true;
  }
  startReported.notify_all();
}

void AudioTap::didOutputBuffer(StreamOutputType type, double streamRate,
                               std::span<const AudioEntry> entries) {
  if (type != StreamOutputType::Audio) return;
  handler.handle(streamRate, entries);
}

void AudioTap::didStopWithError(const CaptureError& error) {
  {
    std::unique_lock hold(startMutex);
    startReported.wait(hold, [this] { return !startConfirmed || startWritten; });
  }
  backlog.finish();
  exitFatally(ExitStatus::StreamStopped, error.description);
}

}  // namespace qztap
