// The real quorvel and quorvel-privacy, from launch to exit: every exit
// status and every way to stop, the permission paths, commands, rough
// parents, and many launches stopped at random moments.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "tests/support/process.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

const std::string stopped = "last {\"type\":\"stopped\"}";
const std::string held = "before \"reason\":\"stop\"";
const std::string privacy = QUORVEL_PRIVACY_BINARY;
// The whole text is the permission scripts' to check.
std::string speechDenied(const std::string& status) {
  return "last Speech recognition denied\\/restricted (*). status=" + status +
         "\",\"fatal\":true}";
}

TEST(QuorvelProcessTest, ExitStatusesAndWaysToStop) {
  const std::string bundle =
      "err quorvel: Bundle.main path=" +
      fs::path(QUORVEL_BINARY).parent_path().string() +
      " id=local.brixlane.quorvel speechUsage=true micUsage=true\n";
  const Steps launches[] = {
      {"store speech=authorized\nmicrophone=denied\n; launch --check; exit 0",
       "last "
       R"({"type":"check","ok":false,"speechAuthorized":true,"micAuthorized":false,)"
       R"("speechStatus":"SFSpeechRecognizerAuthorizationStatus","micStatus":)"
       R"("AVAuthorizationStatus","recognizerAvailable":true})"},
      {"env QUORVEL_MODEL_DIR=/nonexistent; launch x --check; exit 2",
       "last \"recognizerAvailable\":false}"},
      {"store speech=denied\n; launch; exit 1; " + speechDenied("denied"),
       "before \"phase\":\"checking\"; " + bundle},
      {"store speech=authorized\nmicrophone=denied\n; launch; exit 1",
       "last Microphone). status=denied\",\"fatal\":true}"},
      {"store speech=authorized\nmicrophone=restricted\n; launch; exit 1",
       "last Microphone). status=restricted\",\"fatal\":true}"},
      // A store that cannot be read holds no grant to wait for.
      {"fifo store; env QUORVEL_PRIVACY_FILE={dir}/store; launch; exit 1",
       speechDenied("restricted"),
       "err quorvel: cannot read the privacy store {dir}/store: Not a "
       "regular file\n"},
      // Before listening, SIGTERM keeps its default action.
      {"store speech=7\nmicrophone=authorized\n; launch",
       "wait "
       R"x({"type":"auth","phase":"waitingManualGrant","speech":"unknown(7)","mic":"authorized"})x",
       "signal 15; exit 143"},
      {"launch; wait \"partial\"; send stop\n; exit 0; " + held + "; " +
       stopped},
      {"launch; wait \"partial\"; signal 15; signal 2; exit 0; " + held + "; " +
       stopped},
      {"launch; close; exit 0; " + stopped},
      // Nothing heard: the stop does not wait for the recogniser.
      {"run /usr/bin/sox -n -r 16000 -c 1 {dir}/silence.wav trim 0 5",
       "env QUORVEL_AUDIO_INPUT={dir}/silence.wav; launch",
       "wait \"listening\"; signal 15; exit 0 1.5; before \"listening\"; " +
           stopped},
      {"launch; wait \"listening\"; closeout; exit 141"},
      {"env QUORVEL_MODEL_DIR=/nonexistent; launch; exit 3; before \"ready\"",
       "last No SFSpeechRecognizer for locale en-US\",\"fatal\":true}"},
      // A FIFO would hold the main thread in open() until written to.
      {"fifo audio; env QUORVEL_AUDIO_INPUT={dir}/audio; launch; exit 4",
       "last start failed: Not a regular file\",\"fatal\":true}"},
      // A sound server that is down is a capture failure, not a denial:
      // the microphone request records its grant all the same.
      {"store speech=authorized\n; env QUORVEL_AUDIO_INPUT=; launch; exit 4",
       "before \"ready\"; last start failed: Connection "
       "refused\",\"fatal\":true}",
       "launch; wait "
       R"({"type":"auth","phase":"checking","speech":"authorized","mic":"authorized"})",
       "exit 4"},
  };
  for (const Steps& launch : launches) Sandbox().run(launch);
}

// Root reads every file: this store is unreadable to nobody, who runs a
// copy of the helper from a folder anyone may enter.
TEST(QuorvelProcessTest, StoreWithoutReadPermissionEndsAtOnce) {
  Sandbox box, nobody;
  fs::permissions(nobody.dir, fs::perms(0755));
  fs::copy_file(QUORVEL_BINARY, nobody.dir + "/quorvel");
  box.quorvel = std::make_unique<ChildProcess>(
      std::vector<std::string>{"/usr/bin/setpriv", "--reuid=65534",
                               "--regid=65534", "--clear-groups",
                               nobody.dir + "/quorvel"},
      box.env);
  box.run({"exit 1; " + speechDenied("restricted"),
           "err quorvel: cannot read the privacy store {dir}/privacy: "
           "Permission denied\n"});
}

TEST(QuorvelProcessTest, PrivacyPaneShowsAndChangesTheStore) {
  Sandbox box;
  box.env["QUORVEL_PRIVACY_FILE"] = box.dir + "/config/privacy";
  const auto pane = [&](std::vector<std::string> args, int status) {
    args.insert(args.begin(), privacy);
    ChildProcess run(args, box.env);
    EXPECT_EQ(run.wait(), status) << args.back();
    return run.lines;
  };
  using Lines = std::vector<std::string>;
  for (const Lines& bad : {Lines{"grant"}, Lines{"grant", "camera"},
                           Lines{"allow", "speech"}, Lines{"show", "speech"}})
    pane(bad, 2);
  pane({"--help"}, 0);
  pane({"grant", "speech"}, 0);
  pane({"deny", "microphone"}, 0);
  const std::string file = "file=" + box.env["QUORVEL_PRIVACY_FILE"];
  EXPECT_EQ(pane({"show"}, 0),
            (Lines{"speech=authorized", "microphone=denied", file}));
  pane({"reset", "all"}, 0);
  EXPECT_EQ(pane({}, 0),
            (Lines{"speech=notDetermined", "microphone=notDetermined", file}));
}

TEST(QuorvelProcessTest, RecordingBecomesFinalsAcrossPausesAndRestarts) {
  Sandbox box(youngMan);
  box.run(
      {"launch; wait \"listening\"; send   PAUSE  \n; wait \"paused\"",
       "send Pause\r\nhello\n\nresume\n; wait \"listening\"",
       "heard young man; wait \"listening\"; send quit\nresume\n",
       "exit 0; " + stopped,
       "err quorvel: resume after pause\nquorvel: restart after silence\n"});
}

// Rough parents: one non-blocking socket for input and output (no input
// yet is no end of it); megabytes of random bytes.
TEST(QuorvelProcessTest, RoughParents) {
  Sandbox box;
  box.run({"launch socket; wait \"partial\"; send stop\n; exit 0; " + held +
               "; " + stopped,
           "launch; wait \"listening\""});
  std::thread writer([&] {
    std::mt19937 random(7);
    std::string chunk(1 << 20, '\0');
    for (int megabyte = 0; megabyte < 50; ++megabyte) {
      for (char& byte : chunk) byte = static_cast<char>(random());
      box.quorvel->write(chunk);
    }
    box.quorvel->closeInput();
  });
  EXPECT_EQ(box.quorvel->wait(120), 0);
  writer.join();
  box.run({stopped});
  EXPECT_EQ(box.quorvel->err.find("error"), std::string::npos);
}

// A muted microphone delivers exact zeros: said once 10 s into them, and
// again after a sound; the file's end delivers zeros too.
TEST(QuorvelProcessTest, DigitalSilenceIsSaidOncePerStretch) {
  const std::string sox = "run /usr/bin/sox -n -r 16000 -c 1 -e float -b 32 ";
  Sandbox box;
  box.run({sox + "{dir}/zeros.wav trim 0 11",
           sox + "{dir}/tone.wav synth 0.3 sine 440 vol 0.03",
           "run /usr/bin/sox {dir}/zeros.wav {dir}/tone.wav {dir}/room.wav",
           "env QUORVEL_AUDIO_INPUT={dir}/room.wav; launch",
           "wait \"listening\"; sleep 23; send stop\n; exit 0; " + stopped});
  const std::string line =
      "quorvel: the microphone delivers only digital silence (muted?)\n";
  size_t told = 0;
  for (size_t at = box.quorvel->err.find(line); at != std::string::npos;
       at = box.quorvel->err.find(line, at + 1)) {
    ++told;
  }
  EXPECT_EQ(told, 2u) << box.quorvel->err;
}

// Each kind of bad phrase file, and recognisers that use no phrases, get
// their line on standard error while the helper goes on listening.
TEST(QuorvelProcessTest, BadPhraseFilesAreSaidAndListeningGoesOn) {
  Sandbox box;
  const std::string models = QUORVEL_SOURCE_DIR "/models";
  box.env["QUORVEL_MODEL_DIR"] = models;
  std::string many;
  for (int i = 0; i < 1001; ++i) many += "w\n";
  std::ofstream(box.dir + "/many") << many;
  std::ofstream(box.dir + "/large") << "dashwood\n" << std::string(70000, 'x');
  // Not UTF-8, unspellable, a NUL and an escape, too long, without sound.
  std::ofstream(box.dir + "/bad") << "# names\ndashwood\n\xFF\nC++\n"
                                  << std::string("a\0b\n\x1B[2J\n", 9)
                                  << std::string(201, 'x') << "\n...\n";
  fs::create_directories(box.dir + "/plain/en-us");
  for (const auto& entry : fs::directory_iterator(models + "/en-us")) {
    if (entry.path().filename() != "bpe.vocab")
      fs::copy(entry.path(), box.dir + "/plain/en-us");
  }
  const std::string file = "err quorvel: the phrases file {dir}/";
  const std::string listened =
      "wait \"partial\"; send stop\n; exit 0; " + stopped;
  const Steps launches[] = {
      {"launch --phrases {dir}/none", listened,
       "err quorvel: cannot read the phrases file {dir}/none: No such file or "
       "directory\n"},
      {"fifo fifo; launch --phrases {dir}/fifo", listened,
       "err quorvel: cannot read the phrases file {dir}/fifo: Not a regular "
       "file\n"},
      {"launch --phrases {dir}/bad", listened,
       file + "bad, line 3: not UTF-8 text\\; the line is not used\n" +
           file.substr(4) +
           "bad, line 5: a control character\\; the line and 1 more like it "
           "are not used\n" +
           file.substr(4) +
           "bad, line 7: longer than 200 bytes\\; the line is not used\n"
           "quorvel: read 3 phrases from {dir}/bad\n",
       file + "bad, line 4: the sherpa-onnx model in " QUORVEL_SOURCE_DIR
              "/models/en-us cannot spell \"C++\"\\; the line and 1 more "
              "like it are not used for biasing\n",
       file + "bad, line 8: \"...\" has no sound\\; the line is not matched "
              "by sound\n"},
      {"launch --phrases {dir}/many", listened,
       file + "many holds more than 1000 phrases\\; line 1001 and those after "
              "it are not used\n"},
      {"launch --phrases {dir}/large", listened,
       file +
           "large is larger than 64 KiB\\; line 2 and those after it are not "
           "used\nquorvel: read 1 phrase from {dir}/large\n"},
      {"env QUORVEL_MODEL_DIR=/usr/share/pocketsphinx/model",
       "launch --phrases {dir}/bad", listened,
       "err quorvel: the PocketSphinx model in "
       "/usr/share/pocketsphinx/model/en-us is not biased toward phrases\n",
       "env QUORVEL_MODEL_DIR=" + models},
      {"env QUORVEL_MODEL_DIR={dir}/plain; launch --phrases {dir}/bad",
       listened,
       "err quorvel: the sherpa-onnx model in {dir}/plain/en-us has no usable "
       "bpe.vocab\\; phrases are not used\n",
       "env QUORVEL_MODEL_DIR=" + models},
      // The last "--phrases" counts, even without a name.
      {"launch --phrases {dir}/bad --phrases", listened,
       "err quorvel: --phrases needs a file name\\; listening without "
       "phrases\n"},
  };
  for (const Steps& launch : launches) box.run(launch);
  EXPECT_EQ(box.quorvel->err.find("read 3 phrases"), std::string::npos);
}

// Launches stopped at a random moment after "listening" in every way a
// parent can: each ends with "stopped" and exit 0. QUORVEL_STRESS_LAUNCHES
// sets the count (100).
TEST(StopStressTest, EveryStopEndsWithStoppedAndExitZero) {
  const char* configured = getenv("QUORVEL_STRESS_LAUNCHES");
  Sandbox box;
  std::mt19937 random(20261206);
  const char* ways[] = {"send stop\n", "close", "signal 15", "signal 2",
                        "signal 2; signal 15"};
  for (int i = 0; i < (configured ? atoi(configured) : 100); ++i) {
    const std::string way = ways[random() % 5];
    const std::string delay = std::to_string(random() % 3000 / 1000.0);
    SCOPED_TRACE("launch " + std::to_string(i));
    box.run({"launch; wait \"listening\"; sleep " + delay + "; " + way,
             "exit 0 20; " + stopped});
    if (::testing::Test::HasFailure()) break;
  }
}

}  // namespace
}  // namespace quorvel
