// The macOS backend's plain C++ decisions on turning framework values into
// seam values, kept out of the Objective-C++ so that the suite tests them
// on every platform. Pure; any thread.
#ifndef QUORVEL_PLATFORM_MACOS_FRAMEWORK_CONVERSIONS_H_
#define QUORVEL_PLATFORM_MACOS_FRAMEWORK_CONVERSIONS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/audio.h"

namespace quorvel {

// A delay in seconds as the nanoseconds dispatch_time adds to now: NaN and
// negative delays count as 0, and very long ones are capped at about a
// century, well inside int64 (which holds 292 years of nanoseconds).
int64_t dispatchDelayNanoseconds(double seconds);

// What an AVAudioPCMBuffer looks like to the tap. floatChannelData is null
// when the samples are not 32-bit float; an interleaved buffer has one
// array holding every channel, which the seam cannot describe unless there
// is only one channel: the channels are then left empty (the buffer still
// reaches the recogniser through native). The arrays stay the caller's.
AudioBuffer pcmBufferView(uint32_t frameLength,
                          const float* const* floatChannelData,
                          uint32_t channelCount, bool interleaved,
                          double sampleRate, const void* native);

// Why the audio engine did not start, from the error's localized
// description; never empty, since an empty reason would read as success.
std::string startFailureReason(std::string_view description);

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_MACOS_FRAMEWORK_CONVERSIONS_H_
