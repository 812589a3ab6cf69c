#include "permissions/status_labels.h"

#include "platform/permission_status.h"

namespace quorvel {
namespace {

std::string labelOf(Permission permission, int64_t status) {
  if (auto label = statusLabel(permission, status)) return std::string(*label);
  return "unknown(" + std::to_string(status) + ")";
}

}  // namespace

std::string speechStatusLabel(int64_t status) {
  return labelOf(Permission::Speech, status);
}

std::string micStatusLabel(int64_t status) {
  return labelOf(Permission::Microphone, status);
}

}  // namespace quorvel
