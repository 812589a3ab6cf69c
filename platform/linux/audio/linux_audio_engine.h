// Chooses the audio input of the helper on Linux: the sound file named by
// QUORVEL_AUDIO_INPUT when it is set, else the PulseAudio capture source.
// A muted microphone looks like a quiet room: after 10 s in which every
// sample delivered was exactly zero, standard error says once "quorvel:
// the microphone delivers only digital silence (muted?)", and again after
// it has delivered sound and gone silent again. A file delivers zeros
// after its end, which count.
#ifndef QUORVEL_PLATFORM_LINUX_AUDIO_LINUX_AUDIO_ENGINE_H_
#define QUORVEL_PLATFORM_LINUX_AUDIO_LINUX_AUDIO_ENGINE_H_

#include <memory>

#include "platform/audio.h"

namespace quorvel {

// A new engine for the input the environment names; opens nothing yet.
std::unique_ptr<AudioEngine> makeLinuxAudioEngine();

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_AUDIO_LINUX_AUDIO_ENGINE_H_
