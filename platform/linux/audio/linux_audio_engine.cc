#include "platform/linux/audio/linux_audio_engine.h"

#include <cstdlib>

#include "platform/linux/audio/file_audio_engine.h"
#include "platform/linux/audio/pulse_audio_engine.h"

namespace quorvel {

std::unique_ptr<AudioEngine> makeLinuxAudioEngine() {
  const char* file = std::getenv("QUORVEL_AUDIO_INPUT");
  if (file != nullptr && *file != '\0') {
    return std::make_unique<FileAudioEngine>(file);
  }
  return std::make_unique<PulseAudioEngine>();
}

}  // namespace quorvel
