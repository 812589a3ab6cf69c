// Every platform service the logic uses, handed over by the process entry.
// The referenced objects live for the whole process.
#ifndef QUORVEL_PLATFORM_PLATFORM_H_
#define QUORVEL_PLATFORM_PLATFORM_H_

#include <functional>
#include <memory>

#include "platform/application.h"
#include "platform/audio.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/speech.h"

namespace quorvel {

struct Platform {
  MainQueue& mainQueue;
  BackgroundQueue& backgroundQueue;
  SignalSources& signals;
  Application& application;
  Bundle& bundle;
  UserLanguages& languages;
  SpeechService& speech;
  MicrophoneAccess& microphone;
  WallClock& wallClock;
  // Makes the one audio engine of a listener.
  std::function<std::unique_ptr<AudioEngine>()> makeAudioEngine;
  // The file descriptor the control commands are read from.
  int commandInput = 0;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_PLATFORM_H_
