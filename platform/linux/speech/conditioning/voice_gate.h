// Decoding only around speech, so that listening costs next to nothing
// while nobody speaks. A voice-activity model decides where speech is; the
// decoder gets each stretch of speech with a pre-roll before it, so that
// no word's onset is lost to the model's reaction time, and a hangover
// after it, long enough that the last words decode and that the pauses of
// dictation pass whole. What is left out is always a whole number of the
// decoder's framing: a streaming transducer decodes fixed chunks of audio,
// and leaving out anything else shifts every chunk after it and changes
// its words. The model hears every window only while it is awake: from
// when the audio rises above its noise floor (SpeechGain tells) until 1 s
// after it last did. Otherwise, in a loud room, it hears one window in
// eight, which costs little and still finds speech in loud noise, where
// nothing rises; in a quiet one it sleeps, since speech would rise.
// Without a model, every sample passes. Used on one decoding thread.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_VOICE_GATE_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_VOICE_GATE_H_

#include <cstddef>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "platform/linux/speech/conditioning/voice_detector.h"

namespace quorvel {

class VoiceGate {
 public:
  // Audio before the model marks speech that goes to the decoder with it:
  // the model's reaction time (its minimum speech length and a window)
  // with room for a soft onset.
  static constexpr double preRollSeconds = 0.5;
  // The same when the model found speech in one window in eight: it then
  // takes eight times as long to mark it.
  static constexpr double sparsePreRollSeconds = 1.8;
  // Audio after the model marks the end of speech that still goes to the
  // decoder: what a transducer needs to see past the last word, and the
  // pauses between the sentences of dictation, which pass whole. The
  // model marks the end after 0.15 s of the windows it hears, some 1.2 s.
  static constexpr double hangoverSeconds = 0.5;
  // How long the model stays awake after the audio last rose above the
  // noise floor.
  static constexpr double wakeSeconds = 1.0;
  // How many windows the model hears:
  //  - awake and closed: every one, to mark the start of speech at once;
  //  - open after a reset, until it marks speech: every one, so that the
  //    gate does not close on speech that was going on;
  //  - open otherwise: one in sparseHearing, enough to tell that speech
  //    has ended, at an eighth of the model's cost (which beside the
  //    recogniser's is three times what it costs alone);
  //  - asleep in a loud room: one in sparseHearing; in a quiet one, none.
  static constexpr size_t sparseHearing = 8;

  // detector: null to pass every sample. framing: the decoder's (see
  // Decoder::framing).
  VoiceGate(double sampleRate, size_t framing,
            std::unique_ptr<VoiceDetector> detector);

  // What the gain tells of the samples before they pass: whether they
  // rose above the noise floor somewhere, which wakes the model, and
  // whether the floor is loud (see SpeechGain::loudRoom).
  struct Room {
    bool rising = false;
    bool loud = false;
  };
  // Appends to out what of samples the decoder is to hear.
  void pass(std::span<const float> samples, Room room, std::vector<float>& out);
  // At the end of an utterance: what was held back goes to the decoder if
  // speech may have begun in it.
  void flush(std::vector<float>& out);
  // A new recording: nothing held back belongs to it.
  void reset();

 private:
  void endWindow(bool loud, std::vector<float>& out);
  void countHangover();
  void releaseHeld(size_t preRoll, std::vector<float>& out);

  const std::unique_ptr<VoiceDetector> detector;
  const size_t window;   // samples per detector window
  const size_t framing;  // the decoder's, in samples
  const size_t preRollSamples;
  const size_t sparsePreRollSamples;
  const size_t hangoverSamples;
  const size_t wakeSamples;

  std::vector<float> pending;  // the detector's next window, as it fills
  std::deque<float> held;      // the latest audio not passed on
  size_t closedFor = 0;        // samples since the gate closed
  bool awake = false;          // the detector hears every window
  size_t sinceRising = 0;      // samples since the audio last rose
  bool open = false;           // speech, or its hangover: audio passes
  bool marked = false;         // the detector said speech since a reset
  size_t windowsUnheard = 0;   // by the detector since it last heard one
                               // (while open or asleep)
  size_t sinceSpeech = 0;      // samples since the detector last said speech
                               // (0 while it says so)
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_CONDITIONING_VOICE_GATE_H_
