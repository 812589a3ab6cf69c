// A decoder whose text has the phrases of the list matched by sound
// (PhraseMatcher): partials and finals alike, so that a partial shows a
// name as the final will. On the model's decoding thread, like the
// decoder it wraps.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_MATCHING_MATCHING_DECODER_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_MATCHING_MATCHING_DECODER_H_

#include <memory>
#include <string>

#include "platform/linux/speech/decoder.h"

namespace quorvel {

// decoder with phrase matching, when folder's model is an English one
// (else decoder itself). Without a phrase list it passes everything
// through as it is; espeak-ng is loaded
// with the first list that has phrases. A list it cannot match (espeak-ng
// missing) or phrases it cannot sound out get one "quorvel: " line each;
// they still reach decoder.
std::unique_ptr<Decoder> withPhraseMatching(std::unique_ptr<Decoder> decoder,
                                            const std::string& folder);

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_MATCHING_MATCHING_DECODER_H_
