// The raw statuses of the two permissions as the platform reports them,
// and their text labels. Both are signed integers and any value may occur;
// the two numberings swap denied and restricted. Pure; any thread.
#ifndef QUORVEL_PLATFORM_PERMISSION_STATUS_H_
#define QUORVEL_PLATFORM_PERMISSION_STATUS_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvel {

enum class Permission { Speech, Microphone };

inline constexpr int64_t statusNotDetermined = 0;
inline constexpr int64_t statusAuthorized = 3;

// Speech: 1 denied, 2 restricted. Microphone: 1 restricted, 2 denied.
constexpr int64_t deniedStatus(Permission permission) {
  return permission == Permission::Speech ? 1 : 2;
}
constexpr int64_t restrictedStatus(Permission permission) {
  return permission == Permission::Speech ? 2 : 1;
}

// "notDetermined", "denied", "restricted" or "authorized" in the
// permission's own numbering; absent outside 0 to 3.
constexpr std::optional<std::string_view> statusLabel(Permission permission,
                                                      int64_t status) {
  constexpr std::array<std::string_view, 4> speech = {
      "notDetermined", "denied", "restricted", "authorized"};
  constexpr std::array<std::string_view, 4> microphone = {
      "notDetermined", "restricted", "denied", "authorized"};
  if (status < 0 || status > 3) return std::nullopt;
  const auto& labels = permission == Permission::Speech ? speech : microphone;
  return labels[static_cast<size_t>(status)];
}

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_PERMISSION_STATUS_H_
