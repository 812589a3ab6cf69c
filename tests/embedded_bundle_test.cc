#include "platform/linux/system/embedded_bundle.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace quorvel {
namespace {

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

TEST(EmbeddedBundleTest, ExecutableCarriesInfoPlistByteForByte) {
  char pattern[] = "/tmp/quorvel-bundle-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string out = std::string(pattern) + "/section";
  const std::string command =
      "timeout 60 objcopy -O binary --only-section=.info_plist '" +
      std::string(QUORVEL_BINARY) + "' '" + out + "'";
  EXPECT_EQ(std::system(command.c_str()), 0);
  const std::string section = fileBytes(out);
  std::filesystem::remove_all(pattern);
  const std::string plist =
      fileBytes(std::string(QUORVEL_SOURCE_DIR) + "/bundle/Info.plist");
  ASSERT_FALSE(plist.empty());
  EXPECT_EQ(section, plist);
}

TEST(EmbeddedBundleTest, ReadsStringKeysBackAndTreatsOthersAsAbsent) {
  const EmbeddedBundle bundle;
  EXPECT_EQ(bundle.identifier(), "local.brixlane.quorvel");
  EXPECT_EQ(bundle.infoString("NSSpeechRecognitionUsageDescription"),
            "Brixlane uses speech recognition to turn voice into session "
            "commands.");
  EXPECT_EQ(bundle.infoString("NSMicrophoneUsageDescription"),
            "Brixlane uses the microphone for continuous voice control of "
            "sessions.");
  EXPECT_EQ(bundle.infoString("LSUIElement"), std::nullopt);
  EXPECT_EQ(bundle.infoString("NoSuchKey"), std::nullopt);
}

TEST(EmbeddedBundleTest, PathIsTheFolderOfTheExecutable) {
  // The test binary and the helper are built into the same folder.
  EXPECT_EQ(EmbeddedBundle().path(),
            std::filesystem::path(QUORVEL_BINARY).parent_path().string());
}

}  // namespace
}  // namespace quorvel
