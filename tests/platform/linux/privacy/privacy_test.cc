#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <tuple>

#include "platform/linux/privacy/privacy_microphone_access.h"
#include "platform/linux/privacy/privacy_store.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

std::string text(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// quorvel-privacy changes its own lines and keeps the user's; it replaces
// the file whole, so that a reader never sees half of it. More than a few
// KiB is no store; what is not a regular file is never read, waited on or
// replaced, and holds no grant (restricted).
TEST(PrivacyStoreTest, WritesReplaceTheFileAndKeepOtherLines) {
  std::string dir = fs::temp_directory_path() / "privacy-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir.data()));
  const PrivacyStore store(dir + "/a/b/privacy");
  PrivacyMicrophoneAccess microphone(store);
  EXPECT_EQ(microphone.authorizationStatus(), 0);  // no file yet
  ASSERT_EQ(store.write(Permission::Speech, 3), "");
  ASSERT_EQ(store.write(Permission::Speech, 1), "");
  // Nothing prompts for the microphone: asking records the grant, and the
  // answer comes on a thread of its own.
  std::promise<std::thread::id> answered;
  microphone.requestAccess([&](bool granted) {
    EXPECT_TRUE(granted);
    answered.set_value(std::this_thread::get_id());
  });
  EXPECT_NE(answered.get_future().get(), std::this_thread::get_id());
  EXPECT_EQ(text(dir + "/a/b/privacy"),
            "speech=denied\nmicrophone=authorized\n");
  auto reads = std::async(std::launch::async, [&] {
    int bad = 0;
    for (int i = 0; i < 2000; ++i) {
      const auto statuses = store.read();
      bad += (statuses.speech != 1 && statuses.speech != 2) ||
             statuses.microphone != 3;
    }
    return bad;
  });
  for (int i = 0; i < 200; ++i) store.write(Permission::Speech, 1 + i % 2);
  EXPECT_EQ(reads.get(), 0);

  std::ofstream(dir + "/mine")
      << "# mine\nspeech=1\ncamera=on\nspeech=2\nmicrophone=3\n";
  ASSERT_EQ(PrivacyStore(dir + "/mine").write(Permission::Speech, 42), "");
  ASSERT_EQ(PrivacyStore(dir + "/mine").reset(Permission::Microphone), "");
  EXPECT_EQ(text(dir + "/mine"), "# mine\nspeech=42\ncamera=on\n");
  EXPECT_NE(PrivacyStore(dir + "/mine/privacy").write(Permission::Speech, 3),
            "");

  const std::string grant = "speech=authorized\n";
  std::string full(4096 - grant.size(), '#');  // 4 KiB is the cap
  full.back() = '\n';
  std::ofstream(dir + "/full") << full + grant;
  EXPECT_EQ(PrivacyStore(dir + "/full").read().speech, 3);
  std::ofstream(dir + "/over") << full + "#" + grant;
  EXPECT_EQ(PrivacyStore(dir + "/over").read().speech, 0);
  EXPECT_EQ(PrivacyStore(dir + "/over").read().unreadable, "");
  ASSERT_EQ(PrivacyStore(dir + "/over").write(Permission::Microphone, 3), "");
  EXPECT_EQ(text(dir + "/over"), "microphone=authorized\n");
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  // Never a real device here: a broken regular-file check would replace it.
  for (const std::string& path : {dir + "/fifo", dir}) {
    const PrivacyStatuses statuses = PrivacyStore(path).read();
    EXPECT_EQ(statuses.unreadable, "Not a regular file") << path;
    EXPECT_EQ(statuses.speech, 2) << path;
    EXPECT_EQ(statuses.microphone, 1) << path;
    EXPECT_EQ(PrivacyStore(path).write(Permission::Speech, 3),
              "cannot read " + path + ": Not a regular file");
  }
  EXPECT_TRUE(fs::is_fifo(dir + "/fifo"));
  fs::remove_all(dir);
}

// Values are trimmed, '#' starts a comment, a later line overrides an
// earlier one, and each permission reads labels in its own numbering.
TEST(PrivacyStoreTest, ParsesLabelsRawValuesAndComments) {
  const std::tuple<std::string, int64_t, int64_t> stores[] = {
      {" speech =\tauthorized \r\nmicrophone= restricted", 3, 1},
      {"speech=1\nspeech=authorized\nmicrophone=2 # denied", 3, 2},
      {"# speech=3\nmicrophone#=3\nspeech=-7\n", -7, 0},
      {"speech=3x\nmicrophone=9223372036854775808", 0, 0},
      {"speech=Authorized\nmicrophone=\nspeech", 0, 0}};
  for (const auto& [text, speech, microphone] : stores) {
    const PrivacyStatuses statuses = parsePrivacyStore(text);
    EXPECT_EQ(statuses.speech, speech) << text;
    EXPECT_EQ(statuses.microphone, microphone) << text;
  }
}

}  // namespace
}  // namespace quorvel
