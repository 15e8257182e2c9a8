// Stand-in for the ScreenCaptureKit declarations the macOS backend uses, as the macOS
// 13-15 SDKs declare them. One deliberate difference: the two callbacks the backend
// implements are @required here (the SDK has them @optional), so that a misspelled
// selector fails the compile check instead of silently never being called.
#pragma once

#import <CoreGraphics/CoreGraphics.h>
#import <CoreMedia/CoreMedia.h>
#import <Foundation/Foundation.h>
#import <dispatch/dispatch.h>

NS_ASSUME_NONNULL_BEGIN

@class SCStream;
@class SCWindow;
@class SCRunningApplication;

@interface SCDisplay : NSObject
@property(readonly) CGDirectDisplayID displayID;
@property(readonly) NSInteger width;
@property(readonly) NSInteger height;
@property(readonly) CGRect frame;
- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;
@end

@interface SCShareableContent : NSObject
+ (void)getShareableContentExcludingDesktopWindows:(BOOL)excludeDesktopWindows
                               onScreenWindowsOnly:(BOOL)onScreenWindowsOnly
                                 completionHandler:
                                     (void (^)(SCShareableContent* _Nullable shareableContent,
                                               NSError* _Nullable error))completionHandler;
@property(readonly) NSArray<SCWindow*>* windows;
@property(readonly) NSArray<SCDisplay*>* displays;
@property(readonly) NSArray<SCRunningApplication*>* applications;
- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;
@end

@interface SCContentFilter : NSObject
- (instancetype)initWithDisplay:(SCDisplay*)display excludingWindows:(NSArray<SCWindow*>*)excluded;
@end

@interface SCStreamConfiguration : NSObject
@property(nonatomic, assign) size_t width;
@property(nonatomic, assign) size_t height;
@property(nonatomic, assign) CMTime minimumFrameInterval;
@property(nonatomic, assign) NSInteger queueDepth;
@property(nonatomic, assign) BOOL showsCursor;
@property(nonatomic, assign) BOOL capturesAudio API_AVAILABLE(macos(13.0));
@property(nonatomic, assign) NSInteger sampleRate API_AVAILABLE(macos(13.0));
@property(nonatomic, assign) NSInteger channelCount API_AVAILABLE(macos(13.0));
@property(nonatomic, assign) BOOL excludesCurrentProcessAudio API_AVAILABLE(macos(13.0));
@end

typedef NS_ENUM(NSInteger, SCStreamOutputType){
    SCStreamOutputTypeScreen,
    SCStreamOutputTypeAudio API_AVAILABLE(macos(13.0)),
};

@protocol SCStreamOutput <NSObject>
@required
- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type;
@end

@protocol SCStreamDelegate <NSObject>
@required
- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error;
@optional
- (void)outputVideoEffectDidStartForStream:(SCStream*)stream API_AVAILABLE(macos(14.0));
- (void)outputVideoEffectDidStopForStream:(SCStream*)stream API_AVAILABLE(macos(14.0));
@end

@interface SCStream : NSObject
- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;
- (instancetype)initWithFilter:(SCContentFilter*)contentFilter
                 configuration:(SCStreamConfiguration*)streamConfig
                      delegate:(id<SCStreamDelegate> _Nullable)delegate;
- (BOOL)addStreamOutput:(id<SCStreamOutput>)output
                  type:(SCStreamOutputType)type
    sampleHandlerQueue:(dispatch_queue_t _Nullable)sampleHandlerQueue
                 error:(NSError**)error;
- (void)startCaptureWithCompletionHandler:
    (nullable void (^)(NSError* _Nullable error))completionHandler;
- (void)stopCaptureWithCompletionHandler:
    (nullable void (^)(NSError* _Nullable error))completionHandler;
@end

NS_ASSUME_NONNULL_END
