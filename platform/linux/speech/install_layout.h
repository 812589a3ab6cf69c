// Where the project's own files are found from the running executable, so
// that neither the build tree nor an installation needs a path built in:
// the build tree holds build/quorvel beside build/models/ and
// build/lib/quorvel/; an installation <prefix>/bin/quorvel beside
// <prefix>/share/quorvel/models/ and <prefix>/lib/quorvel/. Any thread.
#ifndef QUORVEL_PLATFORM_LINUX_SPEECH_INSTALL_LAYOUT_H_
#define QUORVEL_PLATFORM_LINUX_SPEECH_INSTALL_LAYOUT_H_

#include <string>
#include <vector>

namespace quorvel {

// The project's model roots: the build tree's, then the installed one.
std::vector<std::string> projectModelRoots();
// The folders that may hold the project's run-time libraries, in the same
// order.
std::vector<std::string> projectLibraryFolders();

}  // namespace quorvel

#endif  // QUORVEL_PLATFORM_LINUX_SPEECH_INSTALL_LAYOUT_H_
