// Short text labels for the raw permission statuses, as they appear in the
// "auth" records and after "status=" in the fatal permission messages.
// Pure functions; callable from any thread.
#ifndef QUORVEL_PERMISSIONS_STATUS_LABELS_H_
#define QUORVEL_PERMISSIONS_STATUS_LABELS_H_

#include <cstdint>
#include <string>

namespace quorvel {

// The speech permission: 0 "notDetermined", 1 "denied", 2 "restricted",
// 3 "authorized", anything else "unknown(<decimal value>)".
std::string speechStatusLabel(int64_t status);

// The microphone permission, whose numbering swaps 1 and 2: 0
// "notDetermined", 1 "restricted", 2 "denied", 3 "authorized", anything
// else "unknown(<decimal value>)".
std::string micStatusLabel(int64_t status);

}  // namespace quorvel

#endif  // QUORVEL_PERMISSIONS_STATUS_LABELS_H_
