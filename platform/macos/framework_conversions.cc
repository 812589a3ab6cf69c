#include "platform/macos/framework_conversions.h"

namespace quorvel {

int64_t dispatchDelayNanoseconds(double seconds) {
  constexpr double longestDelaySeconds = 100.0 * 365 * 24 * 3600;
  if (!(seconds > 0)) return 0;  // also catches NaN
  if (seconds > longestDelaySeconds) seconds = longestDelaySeconds;
  return static_cast<int64_t>(seconds * 1e9);
}

AudioBuffer pcmBufferView(uint32_t frameLength,
                          const float* const* floatChannelData,
                          uint32_t channelCount, bool interleaved,
                          double sampleRate, const void* native) {
  AudioBuffer buffer;
  buffer.frameLength = frameLength;
  buffer.sampleRate = sampleRate;
  buffer.native = native;
  const bool oneArrayPerChannel = !interleaved || channelCount == 1;
  if (floatChannelData != nullptr && oneArrayPerChannel) {
    buffer.channels = {floatChannelData, channelCount};
  }
  return buffer;
}

std::string startFailureReason(std::string_view description) {
  if (description.empty()) return "unknown error";
  return std::string(description);
}

}  // namespace quorvel
