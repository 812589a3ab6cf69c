#include "platform/linux/system/embedded_bundle.h"

#include <linux/limits.h>
#include <plist/plist.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

// The property list travels inside the image, in a section of its own, so
// the executable needs no files beside it. The symbols are hidden: only
// this file reads them. QUORVEL_INFO_PLIST_PATH comes from the build.
asm(".pushsection .info_plist,\"a\"\n"
    ".globl quorvel_info_plist_start\n"
    ".hidden quorvel_info_plist_start\n"
    "quorvel_info_plist_start:\n"
    ".incbin \"" QUORVEL_INFO_PLIST_PATH
    "\"\n"
    ".globl quorvel_info_plist_end\n"
    ".hidden quorvel_info_plist_end\n"
    "quorvel_info_plist_end:\n"
    ".popsection\n");

extern "C" const char quorvel_info_plist_start[];
extern "C" const char quorvel_info_plist_end[];

namespace quorvel {

namespace {

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

std::string executableDirectory() {
  char buffer[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) return "";
  const std::string file(buffer, static_cast<size_t>(length));
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : file.substr(0, slash);
}

}  // namespace

EmbeddedBundle::EmbeddedBundle() : directory(executableDirectory()) {
  const auto length =
      static_cast<uint32_t>(quorvel_info_plist_end - quorvel_info_plist_start);
  plist_t parsed = nullptr;
  plist_from_xml(quorvel_info_plist_start, length, &parsed);
  PlistPtr root(parsed);
  if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return;

  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(root.get(), &iter);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root.get(), iter, &key, &value);
    if (!value) {
      std::free(key);
      break;
    }
    if (key && plist_get_node_type(value) == PLIST_STRING) {
      uint64_t size = 0;
      const char* text = plist_get_string_ptr(value, &size);
      if (text) strings[key] = std::string(text, size);
    }
    std::free(key);
  }
  std::free(iter);
}

std::string EmbeddedBundle::path() const { return directory; }

std::optional<std::string> EmbeddedBundle::identifier() const {
  return infoString("CFBundleIdentifier");
}

std::optional<std::string> EmbeddedBundle::infoString(
    const std::string& key) const {
  const auto found = strings.find(key);
  if (found == strings.end()) return std::nullopt;
  return found->second;
}

}  // namespace quorvel
