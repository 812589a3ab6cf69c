#include "app/listening_startup.h"

#include <signal.h>

#include <algorithm>

#include "app/command_reader.h"
#include "events/event_writer.h"
#include "listener/continuous_listener.h"
#include "phrases/phrase_file.h"

namespace quorvel {

std::shared_ptr<ContinuousListener> gListener;
std::vector<std::unique_ptr<SignalSource>> gSignalSources;

std::string chooseLocale(SpeechService& speech,
                         const std::vector<std::string>& preferredLanguages) {
  for (const std::string& tag : preferredLanguages) {
    std::string candidate = tag;
    std::replace(candidate.begin(), candidate.end(), '_', '-');
    if (speech.recognizer(candidate)) return candidate;
    const size_t begin = candidate.find_first_not_of('-');
    if (begin == std::string::npos) continue;
    const std::string language =
        candidate.substr(begin, candidate.find('-', begin) - begin);
    if (speech.recognizer(language)) return language;
  }
  return "en-US";
}

void beginListeningAfterAuth(Platform& platform,
                             const std::optional<std::string>& phrasesFile) {
  const std::string locale =
      chooseLocale(platform.speech, platform.languages.preferredLanguages());
  emit({{"type", "ready"}, {"locale", locale}});

  ContinuousListener::PhraseSource phrases;
  if (phrasesFile) {
    phrases = [file = std::make_shared<PhraseFile>(*phrasesFile)] {
      return file->current();
    };
  }
  auto listener = ContinuousListener::create(
      platform.mainQueue, platform.speech, platform.wallClock,
      platform.makeAudioEngine(), locale, std::move(phrases));

  MainQueue& queue = platform.mainQueue;
  const int input = platform.commandInput;
  platform.backgroundQueue.async(
      [input, &queue, listener] { runCommandReader(input, queue, listener); });

  gSignalSources.clear();
  for (const int signo : {SIGTERM, SIGINT}) {
    gSignalSources.push_back(platform.signals.watch(
        signo, [listener] { listener->stop(/*thenExit=*/true); }));
  }
  gListener = listener;
  listener->start();
}

}  // namespace quorvel
