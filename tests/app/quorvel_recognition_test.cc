// The real quorvel hearing speech: from a private PulseAudio server, one
// that dies and comes back, and through the models it may or may not use
// (another sherpa-onnx release, a damaged transducer, PocketSphinx after).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/process.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

const std::string models = QUORVEL_SOURCE_DIR "/models";
const std::string sphinx = "/usr/share/pocketsphinx/model";
const std::string pocketSphinxUsed =
    "err quorvel: recognising with the PocketSphinx model in " + sphinx +
    "/en-us\n";

// quorvel records the monitor of a null sink that pacat plays speech into.
TEST(QuorvelCaptureTest, RecognisesPulseAudioAndGoesOnAfterTheServerDies) {
  PulseDaemon daemon(
      "load-module module-null-sink sink_name=speech rate=16000 channels=1\n"
      "set-default-source speech.monitor\n");
  ASSERT_TRUE(daemon.start()) << "see " << daemon.log();
  Sandbox box;
  for (const auto& [name, value] : daemon.clientEnv()) box.env[name] = value;
  box.env["QUORVEL_AUDIO_INPUT"] = "";
  const std::string play =
      "run /usr/bin/pacat --playback --device=speech "
      "--file-format=wav ";
  box.run({"launch; wait \"listening\"; " + play + youngMan,
           "heard young man; wait \"listening\""});
  // Mid-phrase the server dies: the phrase is final at once. It comes back
  // within the reconnection window: listening and recognition go on. It
  // does not: exit 4.
  ChildProcess player({"/usr/bin/pacat", "--playback", "--device=speech",
                       "--file-format=wav", dashwood},
                      box.env);
  box.run({"wait \"partial\""});
  daemon.kill();
  const auto killed = std::chrono::steady_clock::now();
  box.run({"wait \"reason\":\"error-with-partial\"}"});
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(1));
  player.wait(10);
  ASSERT_TRUE(daemon.start()) << "see " << daemon.log();
  box.run({"wait \"listening\"; " + play + youngMan,
           // Words show that recognition goes on (how well they are heard
           // suffers under load).
           "wait \"partial\"; wait \"listening\""});
  daemon.kill();
  box.run(
      {"exit 4 15",
       R"(before {"type":"error","message":"Audio capture ended: Connection terminated","fatal":false})",
       "last start failed: Connection refused\",\"fatal\":true}",
       "err quorvel: recognition error with partial \u2014 finalize: "
       "Audio capture ended: Connection terminated\n"});
}

// Only sherpa-onnx 1.13.8 is used: with the transducer alone, another
// runtime leaves no recogniser; with PocketSphinx after it, that is taken.
TEST(QuorvelRecognitionTest, OnlyTheOneSherpaReleaseIsUsed) {
  Sandbox box(youngMan);
  fs::create_directories(box.dir + "/none");
  fs::create_directories(box.dir + "/junk");
  std::ofstream(box.dir + "/junk/libsherpa-onnx-c-api.so") << "x";
  const std::pair<std::string, std::string> runtimes[] = {
      {"", ""},  // the build tree's
      {box.dir + "/none", "no libsherpa-onnx-c-api.so in " + box.dir},
      {box.dir + "/junk", "libsherpa-onnx-c-api.so does not load: "},
      {QUORVEL_FAKE_SHERPA_DIR, "is release \"1.12.0\", not 1.13.8"}};
  for (const auto& [runtime, diagnostic] : runtimes) {
    for (const std::string& roots : {models, models + ":" + sphinx}) {
      const bool usable = diagnostic.empty() || roots != models;
      box.run({"env QUORVEL_SHERPA_DIR=" + runtime,
               "env QUORVEL_MODEL_DIR=" + roots + "; launch --check",
               usable ? "exit 0; last \"recognizerAvailable\":true}"
                      : "exit 2; last \"recognizerAvailable\":false}"});
      if (diagnostic.empty()) {
        EXPECT_EQ(box.quorvel->err.find("not used"), std::string::npos);
      } else {
        box.run({"err quorvel: sherpa-onnx is not used: ; err " + diagnostic});
      }
    }
  }
  // Listening falls back to PocketSphinx in the default roots.
  box.run({"env QUORVEL_MODEL_DIR=; launch; heard ; close; exit 0",
           pocketSphinxUsed});
}

// A transducer that does not load is never used again: the next model is,
// or the locale has no recogniser (status 3).
TEST(QuorvelRecognitionTest, DamagedTransducerEndsWithExitThreeOrFallsBack) {
  Sandbox box(youngMan);
  // A copy of the project's transducer, its encoder replaced.
  const auto damaged = [&](const std::string& name, const std::string& source,
                           size_t bytes) {
    fs::create_directories(box.dir + "/" + name);
    fs::copy(models + "/en-us", box.dir + "/" + name + "/en-us");
    std::ifstream in(source, std::ios::binary);
    std::string content(bytes, '\0');
    content.resize(in.read(content.data(), bytes).gcount());
    std::ofstream(box.dir + "/" + name + "/en-us/encoder.int8.onnx") << content;
    return box.dir + "/" + name;
  };
  const std::string joiner = models + "/en-us/joiner.int8.onnx";
  const std::string truncated =
      damaged("truncated", models + "/en-us/encoder.int8.onnx", 100000);
  const std::string mismatched =
      damaged("mismatched", joiner, fs::file_size(joiner));
  const std::string unusable = "err quorvel: the sherpa-onnx model in ";
  const std::string unavailable =
      R"x(last {"type":"error","message":"SFSpeechRecognizer unavailable (dictation\/Siri disabled?)","fatal":true})x";
  box.run({"env QUORVEL_MODEL_DIR=" + truncated + "; launch; exit 3",
           unusable + truncated +
               "/en-us cannot be used: the library ended on an uncaught "
               "exception: Load model from " +
               truncated +
               "/en-us/encoder.int8.onnx failed:Protobuf parsing failed.\n",
           unavailable,
           // sherpa-onnx 1.13.8 crashes on an encoder without its metadata.
           "env QUORVEL_MODEL_DIR=" + mismatched + "; launch; exit 3",
           unusable + mismatched +
               "/en-us cannot be used: the library crashed (SIGSEGV)\n",
           unavailable,
           "env QUORVEL_MODEL_DIR=" + truncated + ":" + sphinx + "; launch",
           "heard ; close; exit 0; " + pocketSphinxUsed,
           unusable + truncated + "/en-us cannot be used: the library ended"});
}

}  // namespace
}  // namespace quorvel
