#include "platform/linux/privacy/privacy_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace quorvel {

namespace {

constexpr std::string_view whitespace = " \t\r\f\v";

std::string_view keyOf(Permission permission) {
  return permission == Permission::Speech ? "speech" : "microphone";
}

std::string_view trim(std::string_view text) {
  const size_t first = text.find_first_not_of(whitespace);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(whitespace);
  return text.substr(first, last - first + 1);
}

// One line as key and value, with any '#' comment removed; absent for
// blank lines, comments and lines without '='.
std::optional<std::pair<std::string_view, std::string_view>> splitLine(
    std::string_view line) {
  line = line.substr(0, line.find('#'));
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  return std::make_pair(trim(line.substr(0, equals)),
                        trim(line.substr(equals + 1)));
}

int64_t parseValue(Permission permission, std::string_view value) {
  for (int64_t raw = 0; raw <= statusAuthorized; ++raw) {
    if (value == statusLabel(permission, raw)) return raw;
  }
  int64_t raw = 0;
  const char* end = value.data() + value.size();
  const auto [stop, error] = std::from_chars(value.data(), end, raw);
  if (value.empty() || error != std::errc() || stop != end) return 0;
  return raw;
}

// Calls visit(line) for each line of text, without its line feed.
template <typename Visit>
void forEachLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    const size_t feed = text.find('\n');
    visit(text.substr(0, feed));
    if (feed == std::string_view::npos) break;
    text.remove_prefix(feed + 1);
  }
}

std::string failure(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// The store's text as read from path.
struct StoreFile {
  std::string text;  // empty for a missing or an oversized file
  // Why a file that is there cannot be read ("Permission denied"); empty
  // when it can, or when there is none.
  std::string unreadable;
};

StoreFile readStoreFile(const std::string& path) {
  StoreFile file;
  // Non-blocking: a FIFO in the store's place must not hold the reader in
  // open() until someone writes to it.
  const int fd =
      open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno != ENOENT) file.unreadable = std::strerror(errno);
    return file;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    file.unreadable = std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    file.unreadable = "Not a regular file";
  } else {
    // One byte past the cap tells an oversized file from a full one.
    char buffer[PrivacyStore::maxFileBytes + 1];
    size_t size = 0;
    while (size < sizeof buffer) {
      const ssize_t got = ::read(fd, buffer + size, sizeof buffer - size);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        file.unreadable = std::strerror(errno);
        break;
      }
      if (got == 0) break;
      size += static_cast<size_t>(got);
    }
    // More than the cap parses as nothing, like any text that does not
    // parse: the store never writes such a file.
    if (file.unreadable.empty() && size <= PrivacyStore::maxFileBytes) {
      file.text.assign(buffer, size);
    }
  }
  close(fd);
  return file;
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// mkdir -p. The folders may hold privacy choices: only the user may enter
// the ones made here.
bool makeDirectories(const std::string& directory) {
  for (size_t slash = 1; slash <= directory.size(); ++slash) {
    slash = directory.find('/', slash);
    if (slash == std::string::npos) slash = directory.size();
    const std::string prefix = directory.substr(0, slash);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat info;
  return stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t wrote = ::write(fd, text.data(), text.size());
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) return false;
    text.remove_prefix(static_cast<size_t>(wrote));
  }
  return true;
}

// Replaces the file's line for permission with newLine (none when empty),
// keeping every other line, comments included, in place. Writers take an
// exclusive lock on the folder so that two of them do not lose each
// other's change; readers need no lock, since rename swaps whole files.
std::string rewrite(const std::string& path, Permission permission,
                    const std::string& newLine) {
  const std::string directory = directoryOf(path);
  if (!makeDirectories(directory)) return failure("cannot create", directory);
  const int directoryFd = open(directory.c_str(), O_RDONLY | O_CLOEXEC);
  if (directoryFd < 0) return failure("cannot open", directory);
  flock(directoryFd, LOCK_EX);  // advisory; on failure write unlocked

  std::string result;
  const StoreFile old = readStoreFile(path);
  if (!old.unreadable.empty()) {
    // Also keeps a device or FIFO named as the store from being replaced.
    result = "cannot read " + path + ": " + old.unreadable;
  } else {
    std::string text;
    bool placed = newLine.empty();
    forEachLine(old.text, [&](std::string_view line) {
      const auto pair = splitLine(line);
      if (pair && pair->first == keyOf(permission)) {
        // The first occurrence takes the new value; later ones, which
        // would override it, go.
        if (!placed) text += newLine + "\n";
        placed = true;
        return;
      }
      text.append(line);
      text += '\n';
    });
    if (!placed) text += newLine + "\n";

    std::string temp =
        directory + "/." + path.substr(path.rfind('/') + 1) + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
      result = failure("cannot create a file in", directory);
    } else {
      bool done = writeAll(fd, text) && fsync(fd) == 0;
      if (!done) result = failure("cannot write", temp);
      if (close(fd) != 0 && done) {
        result = failure("cannot write", temp);
        done = false;
      }
      if (done && rename(temp.c_str(), path.c_str()) != 0) {
        result = failure("cannot replace", path);
        done = false;
      }
      if (done) {
        fsync(directoryFd);  // make the rename itself durable
      } else {
        unlink(temp.c_str());
      }
    }
  }
  close(directoryFd);  // also releases the lock
  return result;
}

}  // namespace

PrivacyStatuses parsePrivacyStore(std::string_view text) {
  PrivacyStatuses statuses;
  forEachLine(text, [&](std::string_view line) {
    const auto pair = splitLine(line);
    if (!pair) return;
    // A later line for the same key overrides an earlier one.
    if (pair->first == keyOf(Permission::Speech)) {
      statuses.speech = parseValue(Permission::Speech, pair->second);
    } else if (pair->first == keyOf(Permission::Microphone)) {
      statuses.microphone = parseValue(Permission::Microphone, pair->second);
    }
  });
  return statuses;
}

std::string privacyStatusText(Permission permission, int64_t status) {
  if (auto label = statusLabel(permission, status)) return std::string(*label);
  return std::to_string(status);
}

std::string PrivacyStore::defaultPath() {
  const char* file = std::getenv("QUORVEL_PRIVACY_FILE");
  if (file && *file) return file;
  // The XDG rules ignore a relative XDG_CONFIG_HOME.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/')
    return std::string(config) + "/quorvel/privacy";
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    const passwd* user = getpwuid(getuid());
    home = user ? user->pw_dir : "";
  }
  return std::string(home) + "/.config/quorvel/privacy";
}

PrivacyStatuses PrivacyStore::read() const {
  const StoreFile file = readStoreFile(path);
  if (!file.unreadable.empty()) {
    // Neither permission can be granted here until the file is fixed.
    return {restrictedStatus(Permission::Speech),
            restrictedStatus(Permission::Microphone), file.unreadable};
  }
  return parsePrivacyStore(file.text);
}

std::string PrivacyStore::write(Permission permission, int64_t status) const {
  return rewrite(path, permission,
                 std::string(keyOf(permission)) + "=" +
                     privacyStatusText(permission, status));
}

std::string PrivacyStore::reset(Permission permission) const {
  return rewrite(path, permission, "");
}

}  // namespace quorvel
