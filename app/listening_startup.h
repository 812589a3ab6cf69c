// Turns a process that holds both permissions into a listening one, and
// keeps the process-wide listener and signal sources. Main queue only.
#ifndef QUORVEL_APP_LISTENING_STARTUP_H_
#define QUORVEL_APP_LISTENING_STARTUP_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace quorvel {

class ContinuousListener;

// The one listener and the SIGTERM and SIGINT sources, kept for the life
// of the process.
extern std::shared_ptr<ContinuousListener> gListener;
extern std::vector<std::unique_ptr<SignalSource>> gSignalSources;

// The first preferred language with a recogniser ("_" read as "-"), or
// its language code alone; "en-US", unprobed, when none has one. Every
// recogniser made as a probe is dropped at once.
std::string chooseLocale(SpeechService& speech,
                         const std::vector<std::string>& preferredLanguages);

// Chooses the locale, emits "ready", creates the listener (whose segments
// expect the phrases of phrasesFile, when there is one), starts the
// command reader, takes over SIGTERM and SIGINT as orderly stops, and
// starts the listener (whose start failure ends the process, status 3/4).
void beginListeningAfterAuth(
    Platform& platform,
    const std::optional<std::string>& phrasesFile = std::nullopt);

}  // namespace quorvel

#endif  // QUORVEL_APP_LISTENING_STARTUP_H_
