#include "platform/linux/privacy/privacy_microphone_access.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>

namespace quorvel {
namespace {

namespace fs = std::filesystem;

class PrivacyMicrophoneAccessTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "mic-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder = pattern;
    store.emplace((folder / "privacy").string());
  }
  void TearDown() override {
    unsetenv("QUORVEL_AUDIO_INPUT");
    fs::remove_all(folder);
  }

  // Requests access and waits for the answer, which must come on a
  // thread of its own.
  bool request() {
    PrivacyMicrophoneAccess access(*store);
    std::mutex mutex;
    std::condition_variable answered;
    std::optional<bool> answer;
    std::thread::id answeringThread;
    access.requestAccess([&](bool granted) {
      std::lock_guard<std::mutex> lock(mutex);
      answer = granted;
      answeringThread = std::this_thread::get_id();
      answered.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(answered.wait_for(lock, std::chrono::seconds(20),
                                  [&] { return answer.has_value(); }));
    EXPECT_NE(answeringThread, std::this_thread::get_id());
    return answer.value_or(false);
  }

  fs::path folder;
  std::optional<PrivacyStore> store;
};

// Nothing prompts on Linux: asking records the grant, whether or not the
// input can be opened now (a server that is down fails the capture, later).
TEST_F(PrivacyMicrophoneAccessTest, RequestRecordsTheGrantWhateverTheInput) {
  setenv("QUORVEL_AUDIO_INPUT", (folder / "missing.wav").c_str(), 1);
  EXPECT_EQ(PrivacyMicrophoneAccess(*store).authorizationStatus(), 0);
  EXPECT_TRUE(request());
  EXPECT_EQ(store->read().microphone, 3);
  EXPECT_EQ(PrivacyMicrophoneAccess(*store).authorizationStatus(), 3);
}

}  // namespace
}  // namespace quorvel
