// quorvel: the macOS process. Builds the platform services over AppKit,
// Speech, AVFoundation, Foundation and Dispatch, and hands over to the
// portable entry.
#import <Foundation/Foundation.h>

#include "app/entry.h"
#include "platform/macos/mac_application.h"
#include "platform/macos/mac_audio.h"
#include "platform/macos/mac_bundle.h"
#include "platform/macos/mac_clock.h"
#include "platform/macos/mac_dispatch.h"
#include "platform/macos/mac_speech.h"

int main(int argc, char** argv) {
  using namespace quorvel;
  @autoreleasepool {
    // Held for the life of the process, which ends through an exit.
    static MacMainQueue mainQueue;
    static MacBackgroundQueue backgroundQueue;
    static MacSignalSources signals;
    static MacApplication application;
    static MacBundle bundle;
    static MacUserLanguages languages;
    static MacSpeechService speech;
    static MacMicrophoneAccess microphone;
    static MacWallClock wallClock;
    static Platform platform{mainQueue,
                             backgroundQueue,
                             signals,
                             application,
                             bundle,
                             languages,
                             speech,
                             microphone,
                             wallClock,
                             makeMacAudioEngine,
                             /*commandInput=*/0};
    return runMain(argc, argv, platform);
  }
}
