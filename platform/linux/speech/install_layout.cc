#include "platform/linux/speech/install_layout.h"

#include <filesystem>
#include <system_error>

namespace quorvel {
namespace {

namespace fs = std::filesystem;

// The folder of the running executable, symbolic links resolved; empty
// when the kernel does not say.
fs::path executableFolder() {
  std::error_code error;
  const fs::path executable = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : executable.parent_path();
}

std::vector<std::string> besideExecutable(const fs::path& inBuildTree,
                                          const fs::path& installed) {
  const fs::path folder = executableFolder();
  if (folder.empty()) return {};
  return {(folder / inBuildTree).lexically_normal().string(),
          (folder / ".." / installed).lexically_normal().string()};
}

}  // namespace

std::vector<std::string> projectModelRoots() {
  return besideExecutable("models", "share/quorvel/models");
}

std::vector<std::string> projectLibraryFolders() {
  return besideExecutable("lib/quorvel", "lib/quorvel");
}

}  // namespace quorvel
