#include "platform/linux/privacy/privacy_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace quorvel {
namespace {

class PrivacyStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorvel-privacy-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(directory); }

  std::string fileText(const std::string& path) const {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void writeText(const std::string& path, const std::string& text) const {
    std::ofstream(path) << text;
  }

  std::string directory;
};

TEST_F(PrivacyStoreTest, LabelsFollowEachPermissionsNumbering) {
  const auto denied = parsePrivacyStore("speech=denied\nmicrophone=denied\n");
  EXPECT_EQ(denied.speech, 1);
  EXPECT_EQ(denied.microphone, 2);
  const auto restricted =
      parsePrivacyStore("speech=restricted\nmicrophone=restricted");
  EXPECT_EQ(restricted.speech, 2);
  EXPECT_EQ(restricted.microphone, 1);
  const auto other =
      parsePrivacyStore("speech=authorized\nmicrophone=notDetermined\n");
  EXPECT_EQ(other.speech, 3);
  EXPECT_EQ(other.microphone, 0);
}

TEST_F(PrivacyStoreTest, RawValuesInInt64RangeAreKeptAndJunkReadsAsZero) {
  EXPECT_EQ(parsePrivacyStore("speech=-1").speech, -1);
  EXPECT_EQ(parsePrivacyStore("speech=9223372036854775807").speech, INT64_MAX);
  EXPECT_EQ(parsePrivacyStore("speech=-9223372036854775808").speech, INT64_MIN);
  EXPECT_EQ(parsePrivacyStore("speech=9223372036854775808").speech, 0);
  EXPECT_EQ(parsePrivacyStore("speech=3x").speech, 0);
  EXPECT_EQ(parsePrivacyStore("speech=Authorized").speech, 0);
  EXPECT_EQ(parsePrivacyStore("speech=").speech, 0);
  EXPECT_EQ(parsePrivacyStore("speech=3 4").speech, 0);
}

TEST_F(PrivacyStoreTest, ToleratesWhitespaceCommentsAndLetsTheLastLineWin) {
  const auto statuses = parsePrivacyStore(
      "# permissions\n"
      "\n"
      "  speech =\tauthorized \r\n"
      "microphone=denied  # asked on Monday\n"
      "nonsense line\n"
      "camera=3\n"
      "microphone = 3\n"
      "speech=junk\n");
  EXPECT_EQ(statuses.speech, 0);
  EXPECT_EQ(statuses.microphone, 3);
}

TEST_F(PrivacyStoreTest, MissingFileReadsAsNotDetermined) {
  const PrivacyStore store(directory + "/absent/privacy");
  const auto statuses = store.read();
  EXPECT_EQ(statuses.speech, 0);
  EXPECT_EQ(statuses.microphone, 0);
}

TEST_F(PrivacyStoreTest, WriteCreatesFoldersAndKeepsOtherLines) {
  const std::string path = directory + "/a/b/privacy";
  const PrivacyStore store(path);
  ASSERT_EQ(store.write(Permission::Microphone, 2), "");
  ASSERT_EQ(store.write(Permission::Speech, 3), "");
  ASSERT_EQ(store.write(Permission::Speech, 1), "");
  EXPECT_EQ(fileText(path), "microphone=denied\nspeech=denied\n");

  writeText(path, "# mine\nspeech=1\ncamera=on\nspeech=2\nmicrophone=3\n");
  ASSERT_EQ(store.write(Permission::Speech, 42), "");
  EXPECT_EQ(fileText(path), "# mine\nspeech=42\ncamera=on\nmicrophone=3\n");
  ASSERT_EQ(store.reset(Permission::Speech), "");
  EXPECT_EQ(fileText(path), "# mine\ncamera=on\nmicrophone=3\n");
  const auto statuses = store.read();
  EXPECT_EQ(statuses.speech, 0);
  EXPECT_EQ(statuses.microphone, 3);
}

TEST_F(PrivacyStoreTest, WriteFailureIsReported) {
  writeText(directory + "/file", "");
  const PrivacyStore store(directory + "/file/privacy");
  EXPECT_NE(store.write(Permission::Speech, 3), "");
}

// The store holds two short lines: more than a few KiB is no store, and
// what is not a regular file is never read (nor waited on, nor replaced).
TEST_F(PrivacyStoreTest, OversizedFilesParseAsNothingOthersAreUnreadable) {
  const std::string grant = "speech=authorized\n";
  std::string full(PrivacyStore::maxFileBytes - grant.size(), '#');
  full.back() = '\n';
  writeText(directory + "/full", full + grant);
  EXPECT_EQ(PrivacyStore(directory + "/full").read().speech, 3);
  writeText(directory + "/over", full + "#" + grant);
  const PrivacyStore over(directory + "/over");
  EXPECT_EQ(over.read().speech, 0);
  EXPECT_EQ(over.read().unreadable, "");
  ASSERT_EQ(over.write(Permission::Microphone, 3), "");
  EXPECT_EQ(fileText(directory + "/over"), "microphone=authorized\n");

  ASSERT_EQ(mkfifo((directory + "/fifo").c_str(), 0600), 0);
  for (const std::string& path :
       {directory + "/fifo", std::string("/dev/zero"), directory}) {
    const PrivacyStore store(path);
    const PrivacyStatuses statuses = store.read();
    EXPECT_EQ(statuses.unreadable, "Not a regular file") << path;
    EXPECT_EQ(statuses.speech, 2) << path;      // restricted
    EXPECT_EQ(statuses.microphone, 1) << path;  // restricted
    EXPECT_EQ(store.write(Permission::Speech, 3),
              "cannot read " + path + ": Not a regular file");
  }
  struct stat info;
  ASSERT_EQ(stat((directory + "/fifo").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST_F(PrivacyStoreTest, ReaderNeverSeesHalfAFile) {
  const PrivacyStore store(directory + "/privacy");
  ASSERT_EQ(store.write(Permission::Microphone, 2), "");
  ASSERT_EQ(store.write(Permission::Speech, 1), "");
  std::atomic<bool> done{false};
  std::atomic<int> badReads{0};
  std::thread reader([&] {
    while (!done.load()) {
      const auto statuses = store.read();
      if ((statuses.speech != 1 && statuses.speech != 3) ||
          statuses.microphone != 2) {
        ++badReads;
      }
    }
  });
  std::string error;
  for (int i = 0; i < 100 && error.empty(); ++i) {
    error = store.write(Permission::Speech, i % 2 ? 1 : 3);
  }
  done = true;
  reader.join();
  EXPECT_EQ(error, "");
  EXPECT_EQ(badReads.load(), 0);
}

}  // namespace
}  // namespace quorvel
