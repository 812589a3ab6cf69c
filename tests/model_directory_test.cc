#include "platform/linux/speech/model_directory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace quorvel {
namespace {

namespace fs = std::filesystem;

const std::string installedRoot = "/usr/share/pocketsphinx/model";

class ModelDirectoryTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "models-XXXXXX");
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root = pattern;
  }
  void TearDown() override { fs::remove_all(root); }

  void touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
  }

  fs::path root;
};

TEST_F(ModelDirectoryTest, FindsInstalledEnglishWhateverTheSpelling) {
  ModelDirectory models(installedRoot);
  for (const char* locale : {"en-US", "en_us", "EN-us"}) {
    std::optional<ModelFiles> files = models.find(locale);
    ASSERT_TRUE(files) << locale;
    EXPECT_EQ(files->acousticModel, installedRoot + "/en-us/en-us");
    EXPECT_EQ(files->dictionary, installedRoot + "/en-us/cmudict-en-us.dict");
    // Not en-us-phone.lm.bin, which would decode phones.
    EXPECT_EQ(files->languageModel, installedRoot + "/en-us/en-us.lm.bin");
  }
}

TEST_F(ModelDirectoryTest, UnknownLocaleHasNoModel) {
  ModelDirectory models(installedRoot);
  EXPECT_FALSE(models.find("xx-YY"));
  EXPECT_FALSE(models.find(""));
  EXPECT_FALSE(models.find("../model/en-us"));
}

TEST_F(ModelDirectoryTest, FolderWithoutLanguageModelIsNoModel) {
  touch(root / "de_DE" / "am" / "mdef");
  touch(root / "de_DE" / "de.dic");
  ModelDirectory models(root.string());
  EXPECT_FALSE(models.find("de-de"));

  touch(root / "de_DE" / "de.LM.DMP");
  std::optional<ModelFiles> files = models.find("de-de");
  ASSERT_TRUE(files);
  EXPECT_EQ(files->acousticModel, (root / "de_DE" / "am").string());
  EXPECT_EQ(files->dictionary, (root / "de_DE" / "de.dic").string());
  EXPECT_EQ(files->languageModel, (root / "de_DE" / "de.LM.DMP").string());
}

TEST_F(ModelDirectoryTest, FolderWithoutAcousticModelIsNoModel) {
  touch(root / "fr" / "am" / "means");
  touch(root / "fr" / "fr.dict");
  touch(root / "fr" / "fr.lm");
  EXPECT_FALSE(ModelDirectory(root.string()).find("fr"));
}

TEST_F(ModelDirectoryTest, RootComesFromEnvironment) {
  setenv("QUORVEL_MODEL_DIR", root.c_str(), 1);
  EXPECT_EQ(ModelDirectory::defaultRoot(), root.string());
  unsetenv("QUORVEL_MODEL_DIR");
  EXPECT_EQ(ModelDirectory::defaultRoot(), installedRoot);
}

}  // namespace
}  // namespace quorvel
