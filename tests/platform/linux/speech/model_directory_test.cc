#include "platform/linux/speech/model_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/linux/speech/install_layout.h"
#include "platform/linux/speech/pocketsphinx/sphinx_engine.h"
#include "platform/linux/speech/sherpa/sherpa_engine.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Named = std::vector<std::string>;

// Models are folders holding a file named after the engine.
struct MarkerEngine : Engine {
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

// The roots in order; in a folder, the engines in order; the locale's case
// and '_' or '-' do not matter. The transducer's int8 parts are preferred;
// a PocketSphinx model needs an acoustic model, a dictionary and a
// language model (not en-us-phone.lm.bin, which decodes phones).
TEST(ModelDirectoryTest, ModelsInRootOrderThenEngineOrder) {
  std::string root = fs::temp_directory_path() / "models-XXXXXX";
  ASSERT_TRUE(mkdtemp(root.data()));
  MarkerEngine first{"first"}, second{"second"};
  const auto find = [&](Named roots, const std::string& locale,
                        std::vector<Engine*> engines) {
    for (auto& each : roots) each = root + "/" + each;
    Named found;
    for (const auto& choice : ModelDirectory(roots).find(locale, engines))
      found.push_back(std::string(choice.engine->name()) + " " +
                      fs::relative(choice.folder, root).string());
    return found;
  };
  for (const char* file :
       {"a/en-us/second", "b/en_US/first", "b/en_US/second", "b/EN-us/first",
        "c/en-us/nothing", "c/de/first", "d/en-us/encoder-9.onnx",
        "d/en-us/encoder-9.int8.onnx", "d/en-us/decoder-9.onnx",
        "d/en-us/joiner-9.onnx", "d/en-us/joiner-9.int8.onnx",
        "d/en-us/tokens.txt", "d/en-us/am/mdef", "d/en-us/en.dic"}) {
    fs::create_directories(fs::path(root + "/" + file).parent_path());
    std::ofstream(root + "/" + file);
  }
  EXPECT_EQ(find({"a", "b"}, "en-US", {&first, &second}),
            (Named{"second a/en-us", "first b/EN-us", "first b/en_US",
                   "second b/en_US"}));
  EXPECT_EQ(find({"c", "a"}, "en_us", {&first, &second}),
            Named{"second a/en-us"});
  EXPECT_EQ(find({"c", "none"}, "de", {&first}), Named{"first c/de"});
  EXPECT_EQ(find({"a", "b", "c"}, "../c/de", {&first}), Named{});
  EXPECT_EQ(find({"a", "b", "c"}, "", {&first}), Named{});
  std::vector<Engine*> real = {&sherpaOnnxEngine(), &pocketSphinxEngine()};
  EXPECT_EQ(find({"d"}, "en-US", real), Named{"sherpa-onnx d/en-us"});
  std::ofstream(root + "/d/en-us/en.LM.DMP");
  EXPECT_EQ(find({"d"}, "en-US", real),
            (Named{"sherpa-onnx d/en-us", "PocketSphinx d/en-us"}));
  const auto parts = transducerIn(root + "/d/en-us");
  ASSERT_TRUE(parts);
  EXPECT_EQ(fs::path(parts->encoder).filename(), "encoder-9.int8.onnx");
  EXPECT_EQ(fs::path(parts->decoder).filename(), "decoder-9.onnx");
  EXPECT_EQ(fs::path(parts->joiner).filename(), "joiner-9.int8.onnx");
  fs::remove(root + "/d/en-us/tokens.txt");
  EXPECT_FALSE(transducerIn(root + "/d/en-us"));
  const std::string debian = "/usr/share/pocketsphinx/model/en-us";
  EXPECT_EQ(sphinxModelIn(debian)->languageModel, debian + "/en-us.lm.bin");
  EXPECT_EQ(sphinxModelIn(debian)->dictionary, debian + "/cmudict-en-us.dict");

  // The roots: QUORVEL_MODEL_DIR's, else the project's (found from the
  // executable: the test sits in the build tree) and then Debian's.
  setenv("QUORVEL_MODEL_DIR", ("::" + root + ":/x/y:").c_str(), 1);
  EXPECT_EQ(ModelDirectory::defaultRoots(), (Named{root, "/x/y"}));
  unsetenv("QUORVEL_MODEL_DIR");
  Named roots = projectModelRoots();
  roots.push_back("/usr/share/pocketsphinx/model");
  EXPECT_EQ(ModelDirectory::defaultRoots(), roots);
  EXPECT_TRUE(transducerIn(roots.front() + "/en-us"));
  fs::remove_all(root);
}

}  // namespace
}  // namespace quorvel
