#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "platform/linux/privacy/privacy_microphone_access.h"
#include "platform/linux/privacy/privacy_store.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

class PrivacyStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = fs::temp_directory_path() / "privacy-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern.data()));
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string text(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir;
};

// quorvel-privacy changes its own lines and keeps the user's.
TEST_F(PrivacyStoreTest, WritesCreateFoldersAndKeepOtherLines) {
  const PrivacyStore store(dir + "/a/b/privacy");
  EXPECT_EQ(store.read().speech, 0);  // no file yet
  ASSERT_EQ(store.write(Permission::Microphone, 2), "");
  ASSERT_EQ(store.write(Permission::Speech, 3), "");
  ASSERT_EQ(store.write(Permission::Speech, 1), "");
  EXPECT_EQ(text(dir + "/a/b/privacy"), "microphone=denied\nspeech=denied\n");
  std::ofstream(dir + "/a/b/privacy")
      << "# mine\nspeech=1\ncamera=on\nspeech=2\nmicrophone=3\n";
  ASSERT_EQ(store.write(Permission::Speech, 42), "");
  ASSERT_EQ(store.reset(Permission::Microphone), "");
  EXPECT_EQ(text(dir + "/a/b/privacy"), "# mine\nspeech=42\ncamera=on\n");
  std::ofstream(dir + "/file");
  EXPECT_NE(PrivacyStore(dir + "/file/privacy").write(Permission::Speech, 3),
            "");
}

// More than a few KiB is no store; what is not a regular file is never
// read, waited on or replaced, and holds no grant (restricted).
TEST_F(PrivacyStoreTest, OversizedFilesParseAsNothingOthersAreUnreadable) {
  const std::string grant = "speech=authorized\n";
  std::string full(PrivacyStore::maxFileBytes - grant.size(), '#');
  full.back() = '\n';
  std::ofstream(dir + "/full") << full + grant;
  EXPECT_EQ(PrivacyStore(dir + "/full").read().speech, 3);
  std::ofstream(dir + "/over") << full + "#" + grant;
  const PrivacyStore over(dir + "/over");
  EXPECT_EQ(over.read().speech, 0);
  EXPECT_EQ(over.read().unreadable, "");
  ASSERT_EQ(over.write(Permission::Microphone, 3), "");
  EXPECT_EQ(text(dir + "/over"), "microphone=authorized\n");

  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  for (const std::string& path :
       {dir + "/fifo", std::string("/dev/zero"), dir}) {
    const PrivacyStatuses statuses = PrivacyStore(path).read();
    EXPECT_EQ(statuses.unreadable, "Not a regular file") << path;
    EXPECT_EQ(statuses.speech, 2) << path;
    EXPECT_EQ(statuses.microphone, 1) << path;
    EXPECT_EQ(PrivacyStore(path).write(Permission::Speech, 3),
              "cannot read " + path + ": Not a regular file");
  }
  EXPECT_TRUE(fs::is_fifo(dir + "/fifo"));
}

TEST_F(PrivacyStoreTest, ReaderNeverSeesHalfAFile) {
  const PrivacyStore store(dir + "/privacy");
  ASSERT_EQ(store.write(Permission::Microphone, 2), "");
  ASSERT_EQ(store.write(Permission::Speech, 1), "");
  std::atomic<bool> done{false};
  auto badReads = std::async(std::launch::async, [&] {
    int bad = 0;
    while (!done) {
      const auto statuses = store.read();
      bad += (statuses.speech != 1 && statuses.speech != 3) ||
             statuses.microphone != 2;
    }
    return bad;
  });
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(store.write(Permission::Speech, i % 2 ? 1 : 3), "");
  }
  done = true;
  EXPECT_EQ(badReads.get(), 0);
}

// Nothing prompts on Linux: asking records the grant, and answers on a
// thread of its own.
TEST_F(PrivacyStoreTest, MicrophoneRequestRecordsTheGrant) {
  const PrivacyStore store(dir + "/privacy");
  PrivacyMicrophoneAccess access(store);
  EXPECT_EQ(access.authorizationStatus(), 0);
  std::promise<std::pair<bool, std::thread::id>> answer;
  access.requestAccess([&](bool granted) {
    answer.set_value({granted, std::this_thread::get_id()});
  });
  const auto [granted, thread] = answer.get_future().get();
  EXPECT_TRUE(granted);
  EXPECT_NE(thread, std::this_thread::get_id());
  EXPECT_EQ(access.authorizationStatus(), 3);
}

}  // namespace
}  // namespace quorvel
