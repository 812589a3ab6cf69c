// Chooses the audio input of the helper on Linux: the sound file named by
// QUORVEL_AUDIO_INPUT when it is set, else the PulseAudio capture source.
#ifndef QUORVEL_PLATFORM_LINUX_AUDIO_LINUX_AUDIO_ENGINE_H_
#define QUORVEL_PLATFORM_LINUX_AUDIO_LINUX_AUDIO_ENGINE_H_

#include <memory>

#include "platform/audio.h"

namespace quorvel {

// A new engine for the input the environment names; opens nothing yet.
std::unique_ptr<AudioEngine> makeLinuxAudioEngine();

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_AUDIO_LINUX_AUDIO_ENGINE_H_
