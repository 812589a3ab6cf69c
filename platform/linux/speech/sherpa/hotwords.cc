#include "platform/linux/speech/sherpa/hotwords.h"

#include <unicode/ucasemap.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/linux/speech/decoder.h"
#include "platform/linux/speech/sherpa/sherpa_engine.h"

namespace quorvel {
namespace {

// The word-start mark of SentencePiece pieces.
constexpr std::string_view wordStart = "\xE2\x96\x81";  // U+2581

// text in upper or lower case by Unicode's rules; text itself when ICU
// fails, which leaves the phrase unspelt rather than wrong.
std::string inCase(const std::string& text, bool upper) {
  // The root locale's rules; opened once, read by any thread after.
  static UCaseMap* const map = [] {
    UErrorCode status = U_ZERO_ERROR;
    UCaseMap* opened = ucasemap_open("", 0, &status);
    return U_SUCCESS(status) ? opened : nullptr;
  }();
  if (map == nullptr) return text;
  UErrorCode status = U_ZERO_ERROR;
  auto convert = upper ? ucasemap_utf8ToUpper : ucasemap_utf8ToLower;
  std::string out(text.size() * 3 + 1, '\0');
  const int32_t length =
      convert(map, out.data(), static_cast<int32_t>(out.size()), text.data(),
              static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status)) return text;
  out.resize(static_cast<size_t>(length));
  return out;
}

}  // namespace

Hotwords::Hotwords(const TransducerFiles& files, std::string modelFolder)
    : folder(std::move(modelFolder)) {
  if (files.bpeVocab.empty()) return;
  std::unordered_set<std::string> tokens;
  std::ifstream tokenLines(files.tokens);
  for (std::string line; std::getline(tokenLines, line);) {
    tokens.insert(line.substr(0, line.find(' ')));
  }
  std::ifstream vocab(files.bpeVocab);
  for (std::string line; std::getline(vocab, line);) {
    std::istringstream fields(line);
    std::string piece, score;
    char* end = nullptr;
    if (!(fields >> piece >> score) ||
        (std::strtod(score.c_str(), &end), *end != '\0')) {
      pieces.clear();
      return;
    }
    if (tokens.contains(piece)) pieces.insert(piece);
  }
  upperCase = std::any_of(pieces.begin(), pieces.end(), [](const auto& piece) {
    return inCase(piece, /*upper=*/false) != piece;
  });
}

bool Hotwords::canSpell(std::string_view text) const {
  bool atStart = true;
  for (int32_t i = 0, length = static_cast<int32_t>(text.size()); i < length;) {
    const int32_t begin = i;
    UChar32 c;
    U8_NEXT(text.data(), i, length, c);
    if (c < 0) return false;
    const std::string character(text.substr(begin, i - begin));
    if (character == " ") {
      atStart = true;
      continue;
    }
    const bool spelt =
        atStart ? pieces.contains(std::string(wordStart) + character) ||
                      (pieces.contains(std::string(wordStart)) &&
                       pieces.contains(character))
                : pieces.contains(character);
    if (!spelt) return false;
    atStart = false;
  }
  return true;
}

std::string Hotwords::of(const PhraseList& list) {
  if (list.phrases.empty()) return {};
  if (!usable()) {
    if (!toldUnusable) {
      writeEngineDiagnostic("the sherpa-onnx model in " + folder +
                            " has no usable bpe.vocab; phrases are not used");
    }
    toldUnusable = true;
    return {};
  }
  std::string joined;
  const Phrase* firstUnspelt = nullptr;
  size_t unspelt = 0;
  for (const Phrase& phrase : list.phrases) {
    // The model hears the phrase as it sounds, so as its spoken form.
    const std::string text =
        inCase(phrase.spoken.empty() ? phrase.text : phrase.spoken, upperCase);
    // "/" separates the library's phrases, and is no piece.
    if (!canSpell(text)) {
      if (unspelt++ == 0) firstUnspelt = &phrase;
      continue;
    }
    joined += (joined.empty() ? "" : "/") + text;
  }
  if (unspelt > 0) {
    writeEngineDiagnostic(
        "the phrases file " + list.file + ", line " +
        std::to_string(firstUnspelt->line) + ": the sherpa-onnx model in " +
        folder + " cannot spell \"" + firstUnspelt->text + "\"; the line " +
        (unspelt == 1
             ? "is"
             : "and " + std::to_string(unspelt - 1) + " more like it are") +
        " not used for biasing");
  }
  return joined;
}

}  // namespace quorvel
