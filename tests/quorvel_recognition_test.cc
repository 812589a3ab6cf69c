// The real quorvel binary choosing its recogniser: which sherpa-onnx runtime
// it accepts, and what a damaged transducer leads to, with and without a
// PocketSphinx model to fall back on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"
#include "tests/support/listening_sandbox.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using testing::HasSubstr;

const std::string projectModels = std::string(QUORVEL_SOURCE_DIR) + "/models";
const std::string sphinxModels = "/usr/share/pocketsphinx/model";

class QuorvelRecognitionTest : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> launch(std::vector<std::string> args = {}) {
    args.insert(args.begin(), QUORVEL_BINARY);
    return std::make_unique<ChildProcess>(args, variables);
  }
  // A copy of the project's English transducer whose part file is replaced
  // by the first bytes of source.
  std::string damagedModels(const std::string& part, const fs::path& source,
                            size_t bytes) {
    const fs::path root = fs::path(dir) / ("damaged-" + part);
    fs::create_directories(root / "en-us");
    for (const auto& entry : fs::directory_iterator(projectModels + "/en-us")) {
      fs::copy_file(entry.path(), root / "en-us" / entry.path().filename());
    }
    std::ifstream in(source, std::ios::binary);
    std::string content(bytes, '\0');
    in.read(content.data(), static_cast<std::streamsize>(bytes));
    content.resize(static_cast<size_t>(in.gcount()));
    std::ofstream(root / "en-us" / part, std::ios::binary | std::ios::trunc)
        << content;
    return root.string();
  }

  ListeningSandbox sandbox{youngManRecording};
  const std::string dir = sandbox.folder();
  std::map<std::string, std::string> variables = sandbox.environment();
};

TEST_F(QuorvelRecognitionTest, OnlyTheOneSherpaReleaseIsUsed) {
  fs::create_directories(dir + "/no-runtime");
  fs::create_directories(dir + "/not-a-library");
  std::ofstream(dir + "/not-a-library/libsherpa-onnx-c-api.so") << "garbage";
  struct Case {
    std::string runtime;  // QUORVEL_SHERPA_DIR; empty: the build tree's
    std::string diagnostic;
  };
  const Case cases[] = {
      {"", ""},
      {dir + "/no-runtime", "no libsherpa-onnx-c-api.so in " + dir},
      {dir + "/not-a-library", "libsherpa-onnx-c-api.so does not load: "},
      {QUORVEL_FAKE_SHERPA_DIR, "is release \"1.12.0\", not 1.13.8"},
  };
  for (const Case& test : cases) {
    variables["QUORVEL_SHERPA_DIR"] = test.runtime;
    // With only the transducer, a runtime that is not used leaves no
    // recogniser; with PocketSphinx after it, that one is taken.
    for (const std::string& roots :
         {projectModels, projectModels + ":" + sphinxModels}) {
      variables["QUORVEL_MODEL_DIR"] = roots;
      auto check = launch({"--check"});
      const int status = check->wait(30);
      ASSERT_EQ(check->lines.size(), 1u) << test.runtime;
      const bool usable = test.diagnostic.empty() || roots != projectModels;
      EXPECT_EQ(status, usable ? 0 : 2) << test.runtime << " " << roots;
      EXPECT_EQ(Json::parse(check->lines[0])["recognizerAvailable"], usable);
      if (test.diagnostic.empty()) {
        EXPECT_EQ(check->err.find("sherpa-onnx is not used"),
                  std::string::npos);
      } else {
        EXPECT_THAT(check->err,
                    HasSubstr("quorvel: sherpa-onnx is not used: "));
        EXPECT_THAT(check->err, HasSubstr(test.diagnostic));
      }
    }
  }

  // Listening falls back to PocketSphinx in the default roots. (What it
  // makes of the words is its own test's concern: here, in real time under
  // a sanitizer, it may fall behind and end a segment early.)
  variables["QUORVEL_SHERPA_DIR"] = QUORVEL_FAKE_SHERPA_DIR;
  variables["QUORVEL_MODEL_DIR"] = "";
  auto quorvel = launch();
  const auto final = quorvel->waitForLine(R"("type":"final")", 30);
  ASSERT_TRUE(final) << quorvel->err;
  EXPECT_FALSE(Json::parse(*final)["text"].get<std::string>().empty());
  quorvel->closeInput();
  EXPECT_EQ(quorvel->wait(20), 0);
  EXPECT_THAT(quorvel->err,
              HasSubstr("quorvel: recognising with the PocketSphinx model in " +
                        sphinxModels + "/en-us\n"));
}

TEST_F(QuorvelRecognitionTest, DamagedTransducerEndsWithExitThreeOrFallsBack) {
  const fs::path encoder = projectModels + "/en-us/encoder.int8.onnx";
  const fs::path joiner = projectModels + "/en-us/joiner.int8.onnx";
  const std::string truncated =
      damagedModels("encoder.int8.onnx", encoder, 100000);
  const std::string mismatched =
      damagedModels("encoder.int8.onnx.x", joiner, fs::file_size(joiner));
  fs::rename(mismatched + "/en-us/encoder.int8.onnx.x",
             mismatched + "/en-us/encoder.int8.onnx");
  struct Case {
    std::string roots;
    std::string failure;  // the diagnostic's reason
  };
  const Case cases[] = {
      {truncated, "uncaught exception: Load model from " + truncated +
                      "/en-us/encoder.int8.onnx failed:Protobuf parsing "
                      "failed."},
      // sherpa-onnx 1.13.8 crashes on an encoder without its metadata.
      {mismatched, "the library crashed (SIGSEGV)"},
      {truncated + ":" + sphinxModels, "uncaught exception"},
  };
  for (const Case& test : cases) {
    variables["QUORVEL_MODEL_DIR"] = test.roots;
    auto quorvel = launch();
    const bool fallsBack = test.roots.ends_with(sphinxModels);
    if (fallsBack) {
      const auto final = quorvel->waitForLine(R"("type":"final")", 30);
      ASSERT_TRUE(final) << quorvel->err;
      EXPECT_FALSE(Json::parse(*final)["text"].get<std::string>().empty());
      EXPECT_THAT(quorvel->err,
                  HasSubstr("quorvel: recognising with the PocketSphinx "
                            "model in " +
                            sphinxModels + "/en-us\n"));
      quorvel->closeInput();
    }
    EXPECT_EQ(quorvel->wait(30), fallsBack ? 0 : 3) << test.roots;
    EXPECT_THAT(quorvel->err,
                HasSubstr("quorvel: the sherpa-onnx model in " +
                          test.roots.substr(0, test.roots.find(':')) +
                          "/en-us cannot be used: "));
    EXPECT_THAT(quorvel->err, HasSubstr(test.failure));
    if (!fallsBack) {
      ASSERT_FALSE(quorvel->lines.empty());
      const Json fatal = Json::parse(quorvel->lines.back());
      EXPECT_EQ(fatal["message"],
                "SFSpeechRecognizer unavailable (dictation/Siri disabled?)");
      EXPECT_EQ(fatal["fatal"], true);
    }
  }
}

}  // namespace
}  // namespace quorvel
