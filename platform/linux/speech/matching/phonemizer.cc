#include "platform/linux/speech/matching/phonemizer.h"

#include <dlfcn.h>
#include <espeak-ng/speak_lib.h>

#include <mutex>

namespace quorvel {
namespace {

struct Library {
  decltype(&espeak_Initialize) initialize = nullptr;
  decltype(&espeak_SetVoiceByName) setVoice = nullptr;
  decltype(&espeak_TextToPhonemes) textToPhonemes = nullptr;
};

std::mutex& turns() {
  static std::mutex& mutex = *new std::mutex;
  return mutex;
}

Library* library = nullptr;  // set once, under turns()

// Loads and sets up espeak-ng; the reason it cannot, else empty.
std::string load(Library& lib) {
  void* handle = dlopen("libespeak-ng.so.1", RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return "espeak-ng is not installed";
  lib.initialize = reinterpret_cast<decltype(lib.initialize)>(
      dlsym(handle, "espeak_Initialize"));
  lib.setVoice = reinterpret_cast<decltype(lib.setVoice)>(
      dlsym(handle, "espeak_SetVoiceByName"));
  lib.textToPhonemes = reinterpret_cast<decltype(lib.textToPhonemes)>(
      dlsym(handle, "espeak_TextToPhonemes"));
  if (lib.initialize == nullptr || lib.setVoice == nullptr ||
      lib.textToPhonemes == nullptr) {
    return "espeak-ng lacks espeak_TextToPhonemes";
  }
  // Synchronous and silent: nothing is ever spoken. Without DONT_EXIT it
  // would end the process when its data are missing.
  if (lib.initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr,
                     espeakINITIALIZE_DONT_EXIT) < 0) {
    return "espeak-ng's data cannot be read";
  }
  if (lib.setVoice("en-us") != EE_OK) return "espeak-ng has no US English";
  return {};
}

}  // namespace

Phonemizer* Phonemizer::get(std::string& failure) {
  static std::string reason;  // under turns(), like library
  std::lock_guard<std::mutex> lock(turns());
  static bool tried = false;
  if (!tried) {
    tried = true;
    auto* loaded = new Library;
    reason = load(*loaded);
    if (reason.empty()) library = loaded;
  }
  failure = reason;
  static Phonemizer* const phonemizer = new Phonemizer;
  return library != nullptr ? phonemizer : nullptr;
}

std::vector<std::string> Phonemizer::phonemes(std::string_view text) {
  const std::string input(text);
  std::vector<std::string> out;
  std::string symbol;
  auto endSymbol = [&] {
    if (!symbol.empty()) out.push_back(std::move(symbol));
    symbol.clear();
  };
  std::lock_guard<std::mutex> lock(turns());
  // Phonemes in IPA, "_" between those of a word, " " between words; one
  // call per clause.
  const int mode = espeakPHONEMES_IPA | ('_' << 8);
  const void* rest = input.c_str();
  while (rest != nullptr) {
    const char* clause = library->textToPhonemes(&rest, espeakCHARS_UTF8, mode);
    if (clause == nullptr) break;
    for (std::string_view part(clause); !part.empty();) {
      const char c = part.front();
      if (c == '_' || c == ' ' || c == '\n') {
        endSymbol();
        part.remove_prefix(1);
        continue;
      }
      // Primary and secondary stress (U+02C8, U+02CC), length (U+02D0)
      // and half length (U+02D1) say how, not what, is sounded.
      static constexpr std::string_view marks[] = {"\xCB\x88", "\xCB\x8C",
                                                   "\xCB\x90", "\xCB\x91"};
      bool mark = false;
      for (std::string_view m : marks) {
        if (part.starts_with(m)) {
          part.remove_prefix(m.size());
          mark = true;
          break;
        }
      }
      if (mark) continue;
      symbol += c;
      part.remove_prefix(1);
    }
    endSymbol();
  }
  return out;
}

}  // namespace quorvel
