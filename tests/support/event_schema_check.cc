#include "tests/support/event_schema_check.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "tests/support/child_process.h"

namespace quorvel {
namespace {

std::mutex collectedMutex;
std::vector<std::string> collected;

// One validator run for the whole test program: ctest starts a program per
// test, and a Python start per helper process would slow the stress test.
class EventSchemaCheck : public ::testing::Environment {
 public:
  void TearDown() override {
    std::vector<std::string> lines;
    {
      std::lock_guard<std::mutex> lock(collectedMutex);
      lines.swap(collected);
    }
    if (lines.empty()) return;
    char pattern[] = "/tmp/quorvel-events-XXXXXX";
    const int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    {
      std::ofstream file(pattern, std::ios::binary);
      for (const auto& line : lines) file << line << '\n';
    }
    ChildProcess validator(
        {QUORVEL_PYTHON, QUORVEL_SOURCE_DIR "/tests/support/validate_events.py",
         QUORVEL_SOURCE_DIR "/schema/quorvel-event.schema.json", pattern},
        {});
    validator.closeInput();
    const int status = validator.wait(120);
    std::filesystem::remove(pattern);
    EXPECT_EQ(status, 0) << "event lines the schema refuses:\n"
                         << validator.err;
  }
};

[[maybe_unused]] ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new EventSchemaCheck);

}  // namespace

void collectEventLines(const std::vector<std::string>& lines) {
  std::lock_guard<std::mutex> lock(collectedMutex);
  collected.insert(collected.end(), lines.begin(), lines.end());
}

}  // namespace quorvel
