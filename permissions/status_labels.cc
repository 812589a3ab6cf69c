#include "permissions/status_labels.h"

namespace quorvel {
namespace {

std::string unknownLabel(int64_t status) {
  return "unknown(" + std::to_string(status) + ")";
}

}  // namespace

std::string speechStatusLabel(int64_t status) {
  switch (status) {
    case 0:
      return "notDetermined";
    case 1:
      return "denied";
    case 2:
      return "restricted";
    case 3:
      return "authorized";
    default:
      return unknownLabel(status);
  }
}

std::string micStatusLabel(int64_t status) {
  switch (status) {
    case 0:
      return "notDetermined";
    case 1:
      return "restricted";
    case 2:
      return "denied";
    case 3:
      return "authorized";
    default:
      return unknownLabel(status);
  }
}

}  // namespace quorvel
