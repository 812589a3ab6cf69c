// The permission sequence that runs once, on the main queue, before
// listening: reports the bundle and both permissions, waits for a manual
// speech grant and a microphone answer as needed, then listens or exits.
#ifndef QUORVEL_PERMISSIONS_AUTH_SEQUENCE_H_
#define QUORVEL_PERMISSIONS_AUTH_SEQUENCE_H_

#include <functional>

#include "platform/platform.h"

namespace quorvel {

// Activates the application, writes the bundle diagnostic line to standard
// error and emits the "auth" records of the sequence. A speech permission
// that is denied or restricted ends the process at once through fail (exit
// 1); any other undecided one is polled for 45 s. An undetermined
// microphone is requested through the platform prompt. Returns before
// either wait ends. Once both have ended, on a later turn of the
// main queue: calls beginListeningAfterAuth when both permissions are
// authorized, otherwise fails with exit 1, naming the speech permission
// first. The services platform refers to must outlive the sequence.
void ensureAuthThenListen(Platform& platform,
                          std::function<void()> beginListeningAfterAuth);

}  // namespace quorvel

#endif  // QUORVEL_PERMISSIONS_AUTH_SEQUENCE_H_
