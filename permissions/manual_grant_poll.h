// Waits for the user to switch the speech permission on by hand: looks at
// it repeatedly on the main queue until it is decided or time runs out.
#ifndef QUORVEL_PERMISSIONS_MANUAL_GRANT_POLL_H_
#define QUORVEL_PERMISSIONS_MANUAL_GRANT_POLL_H_

#include <cstdint>
#include <functional>

#include "platform/platform.h"

namespace quorvel {

// Returns at once. The first look runs on the main queue 0.5 s later, each
// further one pollIntervalSeconds after the previous look. A look that
// finds the speech permission authorized (3), denied (1) or restricted (2)
// calls completion with it. Any other status is waited on: before the
// deadline (wall clock at the call plus timeoutSeconds) the look emits an
// "auth" record of phase "waitingManualGrant" with the speech and microphone
// labels and schedules the next look; at or after it the look calls
// completion with that status and emits nothing. completion runs exactly
// once, on the main queue. Never prompts; cannot be cancelled. Only the
// services platform refers to need to outlive the poll, not platform.
void pollSpeechAuthorized(const Platform& platform, double timeoutSeconds,
                          double pollIntervalSeconds,
                          std::function<void(int64_t)> completion);

}  // namespace quorvel

#endif  // QUORVEL_PERMISSIONS_MANUAL_GRANT_POLL_H_
