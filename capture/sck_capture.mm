// The capture service on macOS, over ScreenCaptureKit: captures the audio of a
// display's stream, which is what the machine is playing, without the tool's own.
//
// Completions and the stop callback arrive on threads of the framework's choosing;
// audio buffers arrive on the serial queue registered with the output. Built with ARC.

#import <Foundation/Foundation.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>
#include <dispatch/dispatch.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "capture/capture_service.h"
#include "capture/coremedia_buffer.h"

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
@property(nonatomic) qztap::StreamOutput* output;
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
  qztap::forwardSampleBuffer(sampleBuffer, static_cast<qztap::StreamOutputType>(type),
                             *self.output);
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

class SckCaptureStream final : public CaptureStream {
 public:
  SckCaptureStream(SCStream* scStream, QZStreamForwarder* streamForwarder)
      : stream(scStream), forwarder(streamForwarder) {}

  Registration addStreamOutput(StreamOutput& output, StreamOutputType type,
                               const DeliveryQueue& queue) override {
    if (type != StreamOutputType::Audio) {
      return {false, CaptureError{"only audio output can be captured"}};
    }
    forwarder.output = &output;
    dispatch_queue_attr_t attributes = dispatch_queue_attr_make_with_autorelease_frequency(
        DISPATCH_QUEUE_SERIAL, DISPATCH_AUTORELEASE_FREQUENCY_INHERIT);
    dispatch_queue_t deliveryQueue = dispatch_queue_create(queue.label.c_str(), attributes);
    NSError* error = nil;
    const BOOL added = [stream addStreamOutput:forwarder
                                          type:SCStreamOutputTypeAudio
                            sampleHandlerQueue:deliveryQueue
                                         error:&error];
    // From here on only the stream keeps the queue, if it took it.
    deliveryQueue = nil;
    if (added) return {true, std::nullopt};
    return {false, errorFrom(error)};
  }

  void startCapture(std::function<void(std::optional<CaptureError>)> completion) override {
    [stream startCaptureWithCompletionHandler:^(NSError* _Nullable error) {
      completion(errorFrom(error));
    }];
  }

 private:
  SCStream* stream;
  QZStreamForwarder* forwarder;
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
    return std::make_unique<SckCaptureStream>(stream, forwarder);
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
