// The capture service on macOS, over ScreenCaptureKit: captures the audio of a
// display's stream, which is what the machine is playing, without the tool's own.
//
// Completions and the stop callback arrive on threads of the framework's choosing;
// audio buffers arrive on the serial queue registered with the output, and so do the
// ticks that fill a silence with zeros, since ScreenCaptureKit delivers nothing while
// nothing plays: the conversion is touched by one thread at a time. Built with ARC.

#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>
#include <dispatch/dispatch.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "capture/capture_service.h"
#include "capture/sck/coremedia_buffer.h"
#include "capture/silence_filler.h"

namespace qztap {
namespace {

CaptureError describe(NSError* error) {
  const char* description = error.localizedDescription.UTF8String;
  return CaptureError{description != nullptr ? description : ""};
}

std::optional<CaptureError> errorFrom(NSError* _Nullable error) {
  if (error == nil) return std::nullopt;
  return describe(error);
}

// Now, on the clock that stamps the stream's buffers, in the timeline's units.
int64_t clockNow(SCStream* _Nullable stream) {
  CMClockRef clock = stream.synchronizationClock;
  if (clock == nullptr) clock = CMClockGetHostTimeClock();
  return timelineTicks(CMClockGetTime(clock)).value_or(0);
}

}  // namespace
}  // namespace qztap

// The two callbacks as the SDK declares them, but required: the SDK's are optional, so
// a misspelled selector there compiles cleanly and the callback is just never called.
@protocol QZStreamCallbacks <SCStreamOutput, SCStreamDelegate>
- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type;
- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error;
@end

// Forwards the stream's two callbacks to the C++ side. The stream's own references to
// it are not documented as strong, so the stream object below keeps it alive.
@interface QZStreamForwarder : NSObject <QZStreamCallbacks>
- (instancetype)initWithDelegate:(qztap::StreamDelegate*)delegate;
// Set before the output is registered, so before the first buffer can arrive.
@property(nonatomic) qztap::SilenceFiller* output;
@end

@implementation QZStreamForwarder {
  qztap::StreamDelegate* _delegate;
}

- (instancetype)initWithDelegate:(qztap::StreamDelegate*)delegate {
  self = [super init];
  if (self != nil) _delegate = delegate;
  return self;
}

- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type {
  if (type != SCStreamOutputTypeAudio) return;
  self.output->bufferComing(qztap::captureTimeOf(sampleBuffer), qztap::clockNow(stream));
  qztap::forwardSampleBuffer(sampleBuffer, qztap::StreamOutputType::Audio, *self.output);
}

- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
  _delegate->didStopWithError(qztap::describe(error));
}

@end

namespace qztap {
namespace {

// A display is known to the start-up by its display ID, written out in decimal.
std::string nameOf(SCDisplay* display) { return std::to_string(display.displayID); }

SCStreamConfiguration* configurationFrom(const StreamConfiguration& wanted) {
  SCStreamConfiguration* configuration = [[SCStreamConfiguration alloc] init];
  configuration.capturesAudio = wanted.capturesAudio;
  configuration.sampleRate = static_cast<NSInteger>(wanted.sampleRate);
  configuration.channelCount = static_cast<NSInteger>(wanted.channelCount);
  configuration.excludesCurrentProcessAudio = wanted.excludesCurrentProcessAudio;
  configuration.width = wanted.width;
  configuration.height = wanted.height;
  configuration.minimumFrameInterval =
      CMTimeMake(wanted.minimumFrameInterval.value, wanted.minimumFrameInterval.timescale);
  return configuration;
}

// How often the delivery queue looks at the clock for a silence to fill. Unlike any
// buffer cadence ScreenCaptureKit is known for, so that a capture shows which it got.
constexpr uint64_t SILENCE_TICK_NS = 50 * NSEC_PER_MSEC;

class SckCaptureStream final : public CaptureStream {
 public:
  SckCaptureStream(SCStream* scStream, QZStreamForwarder* streamForwarder, int64_t sampleRate)
      : stream(scStream), forwarder(streamForwarder), requestedRate(sampleRate) {}

  Registration addStreamOutput(StreamOutput& output, StreamOutputType type,
                               const DeliveryQueue& queue) override {
    if (type != StreamOutputType::Audio) {
      return {false, CaptureError{"only audio output can be captured"}};
    }
    filler = std::make_unique<SilenceFiller>(output, static_cast<uint32_t>(requestedRate));
    forwarder.output = filler.get();
    dispatch_queue_attr_t attributes = dispatch_queue_attr_make_with_autorelease_frequency(
        DISPATCH_QUEUE_SERIAL, DISPATCH_AUTORELEASE_FREQUENCY_INHERIT);
    deliveryQueue = dispatch_queue_create(queue.label.c_str(), attributes);
    NSError* error = nil;
    const BOOL added = [stream addStreamOutput:forwarder
                                          type:SCStreamOutputTypeAudio
                            sampleHandlerQueue:deliveryQueue
                                         error:&error];
    if (!added) return {false, errorFrom(error)};
    silenceTicks = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, deliveryQueue);
    SilenceFiller* fill = filler.get();
    __weak SCStream* weakStream = stream;
    dispatch_source_set_event_handler(silenceTicks, ^{
      fill->clockTick(clockNow(weakStream));
    });
    dispatch_source_set_timer(silenceTicks, dispatch_time(DISPATCH_TIME_NOW, SILENCE_TICK_NS),
                              SILENCE_TICK_NS, SILENCE_TICK_NS / 4);
    dispatch_resume(silenceTicks);
    return {true, std::nullopt};
  }

  void startCapture(std::function<void(std::optional<CaptureError>)> completion) override {
    SilenceFiller* fill = filler.get();
    dispatch_queue_t queue = deliveryQueue;
    __weak SCStream* weakStream = stream;
    [stream startCaptureWithCompletionHandler:^(NSError* _Nullable error) {
      // Silences count from here, read on the delivery queue like all the filler does.
      if (error == nil && fill != nullptr) {
        dispatch_async(queue, ^{
          fill->start(clockNow(weakStream));
        });
      }
      completion(errorFrom(error));
    }];
  }

 private:
  SCStream* stream;
  QZStreamForwarder* forwarder;
  int64_t requestedRate;
  // Set once the output is registered; used on the delivery queue only from then on.
  std::unique_ptr<SilenceFiller> filler;
  dispatch_queue_t _Nullable deliveryQueue = nil;
  dispatch_source_t _Nullable silenceTicks = nil;
};

class SckCaptureService final : public CaptureService {
 public:
  void getShareableContent(
      bool excludingDesktopWindows, bool onScreenWindowsOnly,
      std::function<void(std::optional<ShareableContent>, std::optional<CaptureError>)> completion)
      override {
    [SCShareableContent
        getShareableContentExcludingDesktopWindows:excludingDesktopWindows
                               onScreenWindowsOnly:onScreenWindowsOnly
                                 completionHandler:^(SCShareableContent* _Nullable content,
                                                     NSError* _Nullable error) {
                                   std::optional<ShareableContent> found;
                                   if (content != nil) found = remember(content.displays);
                                   completion(std::move(found), errorFrom(error));
                                 }];
  }

  std::unique_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            StreamDelegate& delegate) override {
    SCDisplay* display = displayNamed(filter.display.name);
    if (display == nil) return nullptr;
    SCStreamConfiguration* streamConfiguration = configurationFrom(configuration);
    // Only the display matters for its audio: no window is ever excluded.
    SCContentFilter* contentFilter = [[SCContentFilter alloc] initWithDisplay:display
                                                             excludingWindows:@[]];
    QZStreamForwarder* forwarder = [[QZStreamForwarder alloc] initWithDelegate:&delegate];
    SCStream* stream = [[SCStream alloc] initWithFilter:contentFilter
                                          configuration:streamConfiguration
                                               delegate:forwarder];
    return std::make_unique<SckCaptureStream>(stream, forwarder, configuration.sampleRate);
  }

 private:
  // Keeps the displays the start-up is offered, since a stream needs the display
  // object itself. Written by the content completion, which hands over to the
  // start-up's thread before that reads it.
  ShareableContent remember(NSArray<SCDisplay*>* offered) {
    displays = offered;
    ShareableContent content;
    for (SCDisplay* display in offered) content.displays.push_back(Display{nameOf(display)});
    return content;
  }

  SCDisplay* _Nullable displayNamed(const std::string& name) const {
    for (SCDisplay* display in displays) {
      if (nameOf(display) == name) return display;
    }
    return nil;
  }

  NSArray<SCDisplay*>* _Nullable displays = nil;
};

}  // namespace

std::unique_ptr<CaptureService> makePlatformCaptureService() {
  return std::make_unique<SckCaptureService>();
}

}  // namespace qztap
