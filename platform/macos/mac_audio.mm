#include "platform/macos/mac_audio.h"

#import <AVFAudio/AVFAudio.h>
#import <AVFoundation/AVFoundation.h>
#import <Foundation/Foundation.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>

#include "platform/macos/foundation_strings.h"
#include "platform/macos/framework_conversions.h"
#include "platform/tap_slot.h"

namespace quorvel {
namespace {

constexpr const char* configurationChangedReason =
    "the audio input's configuration changed (device or format)";

// What the blocks handed to AVFoundation share with the engine; held by
// shared_ptr, since the framework may keep a block beyond the engine.
struct EngineState {
  TapSlot tapSlot;
  std::mutex failureMutex;
  AudioEngine::FailureHandler failureHandler;  // by failureMutex
  // A start() whose capture has neither been stopped nor reported ended.
  std::atomic<bool> captureLive{false};
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

  void installTap(uint32_t bufferSize, Tap tap) override {
    state->tapSlot.install(bufferSize, std::move(tap));
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
                       shared->tapSlot.deliver(view);
                     }];
  }

  void removeTap() override {
    state->tapSlot.remove();
    [engine.inputNode removeTapOnBus:0];
  }

  std::string start() override {
    [engine prepare];
    NSError* error = nil;
    if ([engine startAndReturnError:&error]) {
      state->captureLive = true;
      return std::string();
    }
    return startFailureReason(stdString(error.localizedDescription));
  }

  bool isRunning() const override { return engine.isRunning; }

  void stop() override {
    state->captureLive = false;
    [engine stop];
  }

  void setFailureHandler(FailureHandler handler) override {
    std::lock_guard<std::mutex> lock(state->failureMutex);
    state->failureHandler = std::move(handler);
  }

 private:
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
