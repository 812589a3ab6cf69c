// quorvel-privacy: shows and changes the permissions that the helper reads
// from the privacy store, in place of a system settings panel.

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/privacy/privacy_store.h"
#include "platform/permission_status.h"

namespace quorvel {
namespace {

constexpr std::string_view usage =
    "usage: quorvel-privacy [show]\n"
    "       quorvel-privacy grant|deny|reset speech|microphone|all\n"
    "       quorvel-privacy --help\n"
    "The store is $QUORVEL_PRIVACY_FILE, else $XDG_CONFIG_HOME/quorvel/"
    "privacy,\nelse ~/.config/quorvel/privacy.\n";

int usageError(const std::string& message) {
  std::fprintf(stderr, "quorvel-privacy: %s\n%.*s", message.c_str(),
               static_cast<int>(usage.size()), usage.data());
  return 2;
}

std::string label(Permission permission, int64_t status) {
  if (auto known = statusLabel(permission, status)) return std::string(*known);
  return "unknown(" + std::to_string(status) + ")";
}

int show(const PrivacyStore& store) {
  const PrivacyStatuses statuses = store.read();
  if (!statuses.unreadable.empty()) {
    std::fprintf(stderr, "quorvel-privacy: cannot read %s: %s\n",
                 store.filePath().c_str(), statuses.unreadable.c_str());
    return 1;
  }
  std::printf("speech=%s\nmicrophone=%s\nfile=%s\n",
              label(Permission::Speech, statuses.speech).c_str(),
              label(Permission::Microphone, statuses.microphone).c_str(),
              store.filePath().c_str());
  return 0;
}

int change(const PrivacyStore& store, std::string_view action,
           std::string_view target) {
  std::vector<Permission> permissions;
  if (target == "speech" || target == "all") {
    permissions.push_back(Permission::Speech);
  }
  if (target == "microphone" || target == "all") {
    permissions.push_back(Permission::Microphone);
  }
  if (permissions.empty()) {
    return usageError("unknown permission '" + std::string(target) + "'");
  }
  for (const Permission permission : permissions) {
    std::string error;
    if (action == "grant") {
      error = store.write(permission, statusAuthorized);
    } else if (action == "deny") {
      error = store.write(permission, deniedStatus(permission));
    } else {
      error = store.reset(permission);
    }
    if (!error.empty()) {
      std::fprintf(stderr, "quorvel-privacy: %s\n", error.c_str());
      return 1;
    }
  }
  return 0;
}

int run(const std::vector<std::string_view>& args) {
  const PrivacyStore store(PrivacyStore::defaultPath());
  if (args.empty() || (args.size() == 1 && args[0] == "show")) {
    return show(store);
  }
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::fwrite(usage.data(), 1, usage.size(), stdout);
    return 0;
  }
  const std::string_view action = args[0];
  if (action == "show") return usageError("show takes no permission");
  if (action != "grant" && action != "deny" && action != "reset") {
    return usageError("unknown command '" + std::string(action) + "'");
  }
  if (args.size() != 2) return usageError("expected one permission");
  return change(store, action, args[1]);
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
  return quorvel::run(std::vector<std::string_view>(argv + 1, argv + argc));
}
