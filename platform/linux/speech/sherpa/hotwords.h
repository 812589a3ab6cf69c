// A phrase list as sherpa-onnx's hotwords for one transducer: the phrases
// its tokeniser's pieces (bpe.vocab) can spell, in their case. Used on the
// model's decoding thread.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_HOTWORDS_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_HOTWORDS_H_

#include <string>
#include <string_view>
#include <unordered_set>

#include "platform/speech.h"

namespace quorvel {

struct TransducerFiles;

class Hotwords {
 public:
  // The pieces of files' bpe.vocab that are also tokens of the model; none
  // when there is no such file or a line is not "piece score", which
  // sherpa-onnx does not survive (it ends the process).
  Hotwords(const TransducerFiles& files, std::string folder);

  // Whether the model can take hotwords at all.
  bool usable() const { return !pieces.empty(); }

  // The phrases of list the pieces can spell, as the library takes them
  // ("/" between them); empty for none. One "quorvel: " line on standard
  // error for the lines it cannot spell (they may still be matched by
  // sound), and once for a model that takes no hotwords.
  std::string of(const PhraseList& list);

  // Whether the pieces spell every word of text, a word's first character
  // as a piece that starts a word (or the mark, then the character), every
  // other character as a piece of its own: enough for the tokeniser.
  bool canSpell(std::string_view text) const;

 private:
  const std::string folder;
  std::unordered_set<std::string> pieces;
  bool upperCase = false;  // the pieces' case, which phrases must take
  bool toldUnusable = false;
};

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_SHERPA_HOTWORDS_H_
