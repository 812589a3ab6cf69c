#include "platform/macos/mac_audio.h"

#import <AVFAudio/AVFAudio.h>
#import <AVFoundation/AVFoundation.h>
#import <Foundation/Foundation.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>

#include "platform/carry/audio_carry.h"
#include "platform/macos/foundation_strings.h"
#include "platform/macos/framework_conversions.h"

namespace quorvel {
namespace {

constexpr const char* configurationChangedReason =
    "the audio input's configuration changed (device or format)";

// What the blocks handed to AVFoundation and Dispatch share with the
// engine; held by shared_ptr, since the framework may keep a block beyond
// the engine.
struct EngineState {
  CaptureHold hold;
  std::mutex failureMutex;
  AudioEngine::FailureHandler failureHandler;  // by failureMutex
  // A start() whose capture has neither been stopped nor reported ended.
  std::atomic<bool> captureLive{false};
  // Main queue only: the input node carries our tap; the engine runs on
  // after a stop for a start to come (ended by the hold's block of that
  // number).
  bool inputTapped = false;
  bool holding = false;
  uint64_t holdNumber = 0;
};

class MacAudioEngine final : public AudioEngine {
 public:
  MacAudioEngine()
      : engine([[AVAudioEngine alloc] init]),
        state(std::make_shared<EngineState>()) {
    std::shared_ptr<EngineState> shared = state;
    __weak AVAudioEngine* weakEngine = engine;
    observer = [NSNotificationCenter.defaultCenter
        addObserverForName:AVAudioEngineConfigurationChangeNotification
                    object:engine
                     queue:nil
                usingBlock:^(NSNotification*) {
                  // Only a change that stopped a running capture ends it.
                  if (weakEngine.isRunning) return;
                  if (!shared->captureLive.exchange(false)) return;
                  FailureHandler handler;
                  {
                    std::lock_guard<std::mutex> lock(shared->failureMutex);
                    handler = shared->failureHandler;
                  }
                  if (handler) handler(configurationChangedReason);
                }];
  }
  MacAudioEngine(const MacAudioEngine&) = delete;
  MacAudioEngine& operator=(const MacAudioEngine&) = delete;
  ~MacAudioEngine() override {
    [NSNotificationCenter.defaultCenter removeObserver:observer];
  }

  Format inputFormat() override {
    AVAudioFormat* format = [engine.inputNode outputFormatForBus:0];
    return {format.sampleRate, static_cast<uint32_t>(format.channelCount)};
  }

  // The input node's tap stays while the engine runs, held or not: the
  // hold needs its buffers.
  void installTap(uint32_t bufferSize, Tap tap) override {
    state->hold.install(bufferSize, std::move(tap));
    if (state->inputTapped) return;
    AVAudioInputNode* input = engine.inputNode;
    // Installing over an existing tap raises an exception.
    [input removeTapOnBus:0];
    std::shared_ptr<EngineState> shared = state;
    [input installTapOnBus:0
                bufferSize:bufferSize
                    format:[input outputFormatForBus:0]
                     block:^(AVAudioPCMBuffer* buffer, AVAudioTime*) {
                       AVAudioFormat* format = buffer.format;
                       const AudioBuffer view = pcmBufferView(
                           buffer.frameLength, buffer.floatChannelData,
                           static_cast<uint32_t>(format.channelCount),
                           format.isInterleaved, format.sampleRate,
                           (__bridge const void*)buffer);
                       shared->hold.deliver(view);
                     }];
    state->inputTapped = true;
  }

  void removeTap() override {
    state->hold.remove();
    if (!engine.isRunning) untap(engine, *state);
  }

  std::string start() override {
    if (state->holding && engine.isRunning) {
      state->holding = false;
      ++state->holdNumber;  // its end no longer applies
      state->hold.resume();
      state->captureLive = true;
      return std::string();
    }
    state->holding = false;
    [engine prepare];
    NSError* error = nil;
    if ([engine startAndReturnError:&error]) {
      state->hold.beginRecording();
      state->captureLive = true;
      return std::string();
    }
    return startFailureReason(stdString(error.localizedDescription));
  }

  bool isRunning() const override {
    return engine.isRunning && !state->holding;
  }

  void stop() override {
    state->captureLive = false;
    if (!engine.isRunning || state->holding) return;
    state->holding = true;
    state->hold.hold();
    const uint64_t number = ++state->holdNumber;
    std::shared_ptr<EngineState> shared = state;
    __weak AVAudioEngine* weakEngine = engine;
    dispatch_after(
        dispatch_time(DISPATCH_TIME_NOW,
                      static_cast<int64_t>(captureHoldSeconds * NSEC_PER_SEC)),
        dispatch_get_main_queue(), ^{
          if (!shared->holding || shared->holdNumber != number) return;
          shared->holding = false;
          AVAudioEngine* held = weakEngine;
          if (held == nil) return;
          [held stop];
          untap(held, *shared);
        });
  }

  void release() override {
    state->captureLive = false;
    state->holding = false;
    ++state->holdNumber;  // a pending hold's end no longer applies
    if (engine.isRunning) [engine stop];
    untap(engine, *state);
  }

  void setFailureHandler(FailureHandler handler) override {
    std::lock_guard<std::mutex> lock(state->failureMutex);
    state->failureHandler = std::move(handler);
  }

 private:
  static void untap(AVAudioEngine* stopped, EngineState& shared) {
    [stopped.inputNode removeTapOnBus:0];
    shared.inputTapped = false;
    shared.hold.close();
  }

  AVAudioEngine* const engine;
  const std::shared_ptr<EngineState> state;
  id observer;  // the notification centre's token for the observer block
};

}  // namespace

std::unique_ptr<AudioEngine> makeMacAudioEngine() {
  return std::make_unique<MacAudioEngine>();
}

int64_t MacMicrophoneAccess::authorizationStatus() {
  return static_cast<int64_t>(
      [AVCaptureDevice authorizationStatusForMediaType:AVMediaTypeAudio]);
}

void MacMicrophoneAccess::requestAccess(
    std::function<void(bool granted)> completion) {
  [AVCaptureDevice requestAccessForMediaType:AVMediaTypeAudio
                           completionHandler:^(BOOL granted) {
                             completion(granted == YES);
                           }];
}

}  // namespace quorvel
