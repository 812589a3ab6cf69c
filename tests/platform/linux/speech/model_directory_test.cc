#include "platform/linux/speech/model_directory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/linux/speech/install_layout.h"
#include "platform/linux/speech/pocketsphinx/sphinx_engine.h"
#include "platform/linux/speech/sherpa/sherpa_engine.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

const std::string sphinxRoot = "/usr/share/pocketsphinx/model";

// Models are folders holding a file named after the engine.
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
  const char* marker;
};

class ModelDirectoryTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = fs::temp_directory_path() / "models-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern.data()));
    root = pattern;
  }
  void TearDown() override { fs::remove_all(root); }
  void touch(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream{file};
  }
  // "<engine> <folder under root>" for each choice, best first.
  std::vector<std::string> choices(std::vector<std::string> roots,
                                   const std::string& locale,
                                   std::vector<Engine*> engines) {
    for (auto& each : roots) each = (root / each).string();
    std::vector<std::string> named;
    for (const ModelChoice& choice :
         ModelDirectory(roots).find(locale, engines))
      named.push_back(std::string(choice.engine->name()) + " " +
                      fs::relative(choice.folder, root).string());
    return named;
  }
  fs::path root;
};

// The roots in order; in a folder, the engines in order; the locale's
// case and '_' or '-' do not matter.
TEST_F(ModelDirectoryTest, ModelsInRootOrderThenEngineOrder) {
  MarkerEngine first{"first"}, second{"second"};
  for (const char* file : {"a/en-us/second", "b/en_US/first", "b/en_US/second",
                           "b/EN-us/first", "c/en-us/nothing", "c/de/first"}) {
    touch(root / file);
  }
  using Named = std::vector<std::string>;
  EXPECT_EQ(choices({"a", "b"}, "en-US", {&first, &second}),
            (Named{"second a/en-us", "first b/EN-us", "first b/en_US",
                   "second b/en_US"}));
  EXPECT_EQ(choices({"c", "a"}, "en_us", {&first, &second}),
            Named{"second a/en-us"});
  EXPECT_EQ(choices({"c", "nonexistent"}, "de", {&first, &second}),
            Named{"first c/de"});
  EXPECT_EQ(choices({"a", "b", "c"}, "../c/de", {&first}), Named{});
  EXPECT_EQ(choices({"a", "b", "c"}, "", {&first}), Named{});

  // The real engines: the transducer first, its int8 parts preferred.
  for (const char* file :
       {"encoder-9.onnx", "encoder-9.int8.onnx", "decoder-9.onnx",
        "joiner-9.int8.onnx", "joiner-9.onnx", "tokens.txt"}) {
    touch(root / "d/en-us" / file);
  }
  touch(root / "d/en-us/am/mdef");
  touch(root / "d/en-us/en.dic");
  EXPECT_EQ(
      choices({"d"}, "en-US", {&sherpaOnnxEngine(), &pocketSphinxEngine()}),
      Named{"sherpa-onnx d/en-us"});  // no language model yet
  touch(root / "d/en-us/en.LM.DMP");
  EXPECT_EQ(
      choices({"d"}, "en-US", {&sherpaOnnxEngine(), &pocketSphinxEngine()}),
      (Named{"sherpa-onnx d/en-us", "PocketSphinx d/en-us"}));
  const auto transducer = transducerIn(root / "d/en-us");
  ASSERT_TRUE(transducer);
  EXPECT_EQ(fs::path(transducer->encoder).filename(), "encoder-9.int8.onnx");
  EXPECT_EQ(fs::path(transducer->decoder).filename(), "decoder-9.onnx");
  EXPECT_EQ(fs::path(transducer->joiner).filename(), "joiner-9.int8.onnx");
  fs::remove(root / "d/en-us/tokens.txt");
  EXPECT_FALSE(transducerIn(root / "d/en-us"));
  // Debian's English model: not en-us-phone.lm.bin, which decodes phones.
  const auto sphinx = sphinxModelIn(sphinxRoot + "/en-us");
  ASSERT_TRUE(sphinx);
  EXPECT_EQ(sphinx->acousticModel, sphinxRoot + "/en-us/en-us");
  EXPECT_EQ(sphinx->dictionary, sphinxRoot + "/en-us/cmudict-en-us.dict");
  EXPECT_EQ(sphinx->languageModel, sphinxRoot + "/en-us/en-us.lm.bin");
}

TEST_F(ModelDirectoryTest, RootsComeFromEnvironmentElseProjectThenSystem) {
  setenv("QUORVEL_MODEL_DIR", ("::" + root.string() + ":/x/y:").c_str(), 1);
  EXPECT_EQ(ModelDirectory::defaultRoots(),
            (std::vector<std::string>{root.string(), "/x/y"}));
  unsetenv("QUORVEL_MODEL_DIR");
  std::vector<std::string> expected = projectModelRoots();
  expected.push_back(sphinxRoot);
  EXPECT_EQ(ModelDirectory::defaultRoots(), expected);
  // The test program sits in the build tree, beside its models link.
  EXPECT_TRUE(transducerIn(expected.front() + "/en-us"));
}

}  // namespace
}  // namespace quorvel
