#include "platform/linux/speech/model_directory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/speech/install_layout.h"
#include "platform/linux/speech/pocketsphinx/sphinx_engine.h"
#include "platform/linux/speech/sherpa/sherpa_engine.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

const std::string installedRoot = "/usr/share/pocketsphinx/model";
const std::string projectRoot = std::string(QUORVEL_SOURCE_DIR) + "/models";

// An engine whose models are folders holding a file named after it.
class MarkerEngine : public Engine {
 public:
  explicit MarkerEngine(const char* marker) : marker(marker) {}
  const char* name() const override { return marker; }
  bool hasModel(const std::string& folder) override {
    return fs::exists(fs::path(folder) / marker);
  }
  std::unique_ptr<Decoder> load(const std::string&, std::string&) override {
    return nullptr;
  }

 private:
  const char* marker;
};

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
  // Each choice as "<engine> <folder relative to the test's root>".
  std::vector<std::string> choices(const std::vector<std::string>& roots,
                                   const std::string& locale) {
    std::vector<std::string> named;
    Engine* engines[] = {&first, &second};
    for (const ModelChoice& choice :
         ModelDirectory(roots).find(locale, engines)) {
      named.push_back(std::string(choice.engine->name()) + " " +
                      fs::relative(choice.folder, root).string());
    }
    return named;
  }

  fs::path root;
  MarkerEngine first{"first"}, second{"second"};
};

TEST_F(ModelDirectoryTest, RootsInOrderAndInAFolderTheEnginesInOrder) {
  touch(root / "a" / "en-us" / "second");
  touch(root / "b" / "en_US" / "first");
  touch(root / "b" / "en_US" / "second");
  touch(root / "b" / "EN-us" / "first");
  touch(root / "c" / "en-us" / "nothing");
  touch(root / "c" / "de" / "first");
  const std::string a = root / "a", b = root / "b", c = root / "c";
  struct Case {
    std::vector<std::string> roots;
    std::string locale;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {{a, b},
       "en-US",
       {"second a/en-us", "first b/EN-us", "first b/en_US", "second b/en_US"}},
      {{b, a},
       "en_us",
       {"first b/EN-us", "first b/en_US", "second b/en_US", "second a/en-us"}},
      {{c, a}, "en-US", {"second a/en-us"}},  // a folder without a model
      {{c, "/nonexistent", b}, "de", {"first c/de"}},
      {{a, b, c}, "../c/de", {}},
      {{a, b, c}, "", {}},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(choices(test.roots, test.locale), test.expected)
        << test.locale << " in " << test.roots.front();
  }
}

TEST_F(ModelDirectoryTest, TransducerWinsInAFolderWithBothEngines) {
  fs::create_directories(root / "en-us");
  for (const char* file : {"encoder.int8.onnx", "decoder.onnx",
                           "joiner.int8.onnx", "tokens.txt"}) {
    fs::create_symlink(fs::path(projectRoot) / "en-us" / file,
                       root / "en-us" / file);
  }
  for (const char* file : {"en-us", "cmudict-en-us.dict", "en-us.lm.bin"}) {
    fs::create_symlink(fs::path(installedRoot) / "en-us" / file,
                       root / "en-us" / file);
  }
  Engine* engines[] = {&sherpaOnnxEngine(), &pocketSphinxEngine()};
  const std::vector<ModelChoice> found =
      ModelDirectory({root.string(), installedRoot}).find("en-US", engines);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_STREQ(found[0].engine->name(), "sherpa-onnx");
  EXPECT_EQ(found[0].folder, (root / "en-us").string());
  EXPECT_STREQ(found[1].engine->name(), "PocketSphinx");
  EXPECT_EQ(found[1].folder, (root / "en-us").string());
  EXPECT_STREQ(found[2].engine->name(), "PocketSphinx");
  EXPECT_EQ(found[2].folder, installedRoot + "/en-us");
}

TEST_F(ModelDirectoryTest, TransducerPartsPreferInt8) {
  for (const char* file :
       {"encoder-epoch-99.onnx", "encoder-epoch-99.int8.onnx",
        "decoder-epoch-99.onnx", "joiner-epoch-99.onnx",
        "joiner-epoch-99.int8.onnx", "bpe.model"}) {
    touch(root / "en" / file);
  }
  EXPECT_FALSE(transducerIn(root / "en"));  // no tokens.txt yet
  touch(root / "en" / "tokens.txt");
  std::optional<TransducerFiles> files = transducerIn(root / "en");
  ASSERT_TRUE(files);
  EXPECT_EQ(files->encoder,
            (root / "en" / "encoder-epoch-99.int8.onnx").string());
  EXPECT_EQ(files->decoder, (root / "en" / "decoder-epoch-99.onnx").string());
  EXPECT_EQ(files->joiner,
            (root / "en" / "joiner-epoch-99.int8.onnx").string());
  EXPECT_EQ(files->tokens, (root / "en" / "tokens.txt").string());
}

TEST_F(ModelDirectoryTest, SphinxFilesOfTheInstalledEnglishModel) {
  std::optional<SphinxFiles> files = sphinxModelIn(installedRoot + "/en-us");
  ASSERT_TRUE(files);
  EXPECT_EQ(files->acousticModel, installedRoot + "/en-us/en-us");
  EXPECT_EQ(files->dictionary, installedRoot + "/en-us/cmudict-en-us.dict");
  // Not en-us-phone.lm.bin, which would decode phones.
  EXPECT_EQ(files->languageModel, installedRoot + "/en-us/en-us.lm.bin");
}

TEST_F(ModelDirectoryTest, SphinxFolderNeedsAllThreeParts) {
  touch(root / "de_DE" / "am" / "mdef");
  touch(root / "de_DE" / "de.dic");
  EXPECT_FALSE(sphinxModelIn(root / "de_DE"));
  touch(root / "de_DE" / "de.LM.DMP");
  std::optional<SphinxFiles> files = sphinxModelIn(root / "de_DE");
  ASSERT_TRUE(files);
  EXPECT_EQ(files->acousticModel, (root / "de_DE" / "am").string());
  EXPECT_EQ(files->dictionary, (root / "de_DE" / "de.dic").string());
  EXPECT_EQ(files->languageModel, (root / "de_DE" / "de.LM.DMP").string());

  touch(root / "fr" / "am" / "means");  // an acoustic model without mdef
  touch(root / "fr" / "fr.dict");
  touch(root / "fr" / "fr.lm");
  EXPECT_FALSE(sphinxModelIn(root / "fr"));
}

TEST_F(ModelDirectoryTest, RootsComeFromEnvironmentElseProjectThenSystem) {
  setenv("QUORVEL_MODEL_DIR", ("::" + root.string() + ":/x/y:").c_str(), 1);
  EXPECT_EQ(ModelDirectory::defaultRoots(),
            (std::vector<std::string>{root.string(), "/x/y"}));
  unsetenv("QUORVEL_MODEL_DIR");
  std::vector<std::string> expected = projectModelRoots();
  expected.push_back(installedRoot);
  EXPECT_EQ(ModelDirectory::defaultRoots(), expected);
  // The test binary sits in the build tree, beside its models link.
  ASSERT_FALSE(expected.empty());
  EXPECT_TRUE(transducerIn(expected.front() + "/en-us"));
}

}  // namespace
}  // namespace quorvel
