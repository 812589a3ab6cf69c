// The sounds of English text, from espeak-ng's pronunciation rules and
// dictionary: its library is loaded (dlopen) on the first use only, since
// only phrase matching needs it. espeak-ng keeps global state, so calls
// from any thread take turns.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_MATCHING_PHONEMIZER_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_MATCHING_PHONEMIZER_H_

#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

class Phonemizer {
 public:
  // The process's one phonemizer; null, with failure set (say, "espeak-ng
  // is not installed"), when espeak-ng cannot be loaded or set to US
  // English. Loads it on the first call only.
  static Phonemizer* get(std::string& failure);

  // The phonemes of text, one IPA symbol each (an affricate or a
  // diphthong is one), with stress and length marks left out; empty when
  // text has no sound (no letters or digits espeak-ng reads).
  std::vector<std::string> phonemes(std::string_view text);

 private:
  Phonemizer() = default;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_MATCHING_PHONEMIZER_H_
