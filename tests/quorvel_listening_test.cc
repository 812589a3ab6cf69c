// The real quorvel binary listening: recordings played in place of the
// microphone or through a private PulseAudio server, commands on standard
// input, signals, the locale choice and the start failures.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"
#include "tests/support/listening_sandbox.h"
#include "tests/support/pulse_daemon.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
const std::string& youngMan = youngManRecording;
const std::string& dashwood = dashwoodRecording;

class QuorvelListeningTest : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> launch() {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{QUORVEL_BINARY}, variables);
  }
  // Every line parses as a JSON object, and nothing follows "stopped".
  static std::vector<Json> records(const ChildProcess& child) {
    std::vector<Json> parsed;
    for (const auto& line : child.lines) {
      parsed.push_back(Json::parse(line));
      EXPECT_TRUE(parsed.back().is_object()) << line;
    }
    for (size_t i = 0; i + 1 < parsed.size(); ++i) {
      EXPECT_NE(parsed[i]["type"], "stopped") << "record after stopped";
    }
    return parsed;
  }
  static std::vector<Json> ofType(const std::vector<Json>& all,
                                  const std::string& type) {
    std::vector<Json> found;
    for (const auto& record : all) {
      if (record["type"] == type) found.push_back(record);
    }
    return found;
  }

  ListeningSandbox sandbox{youngMan};
  const std::string dir = sandbox.folder();
  std::map<std::string, std::string> variables = sandbox.environment();
};

TEST_F(QuorvelListeningTest, RecordingBecomesPartialsFinalAndRestart) {
  auto quorvel = launch();
  const auto final = quorvel->waitForLine(R"("type":"final")", 30);
  ASSERT_TRUE(final);
  const Json finalRecord = Json::parse(*final);
  EXPECT_EQ(finalRecord["reason"], "silence");
  EXPECT_NE(finalRecord["text"].get<std::string>().find("young man"),
            std::string::npos)
      << *final;
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"listening")", 5));
  quorvel->closeInput();
  EXPECT_EQ(quorvel->wait(20), 0);
  EXPECT_NE(quorvel->err.find("quorvel: restart after silence\n"),
            std::string::npos);

  const auto all = records(*quorvel);
  EXPECT_GE(ofType(all, "partial").size(), 2u);
  EXPECT_EQ(ofType(all, "listening").size(), 2u);
  const auto levels = ofType(all, "level");
  ASSERT_GE(levels.size(), 20u);  // ~4.5 s at most one per 0.08 s
  EXPECT_LE(levels.size(), 80u);
  double loudest = 0;
  for (const auto& level : levels) {
    const double rms = level["rms"];
    EXPECT_GE(rms, 0.0);
    EXPECT_LE(rms, 1.0);
    loudest = std::max(loudest, rms);
  }
  EXPECT_GT(loudest, 0.12);
  EXPECT_EQ(all.back()["type"], "stopped");
}

TEST_F(QuorvelListeningTest, StopWhileSpeechIsHeldReportsIt) {
  variables["QUORVEL_AUDIO_INPUT"] = dashwood;
  auto quorvel = launch();
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"partial")", 30));
  quorvel->write("stop\n");
  EXPECT_EQ(quorvel->wait(20), 0);
  const auto all = records(*quorvel);
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(all[all.size() - 2]["type"], "final");
  EXPECT_EQ(all[all.size() - 2]["reason"], "stop");
  EXPECT_FALSE(all[all.size() - 2]["text"].get<std::string>().empty());
  EXPECT_EQ(all.back()["type"], "stopped");
}

TEST_F(QuorvelListeningTest, CommandsPauseResumeAndQuit) {
  auto quorvel = launch();
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"listening")", 30));
  quorvel->write("  PAUSE  \n");
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"paused")", 5));
  quorvel->write("Pause\r\nhello\n\nresume\n");
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"listening")", 5));
  quorvel->write("quit\nresume\n");
  EXPECT_EQ(quorvel->wait(20), 0);
  const auto all = records(*quorvel);
  EXPECT_EQ(ofType(all, "paused").size(), 1u);
  EXPECT_EQ(ofType(all, "listening").size(), 2u);
  EXPECT_EQ(all.back()["type"], "stopped");
  EXPECT_NE(quorvel->err.find("quorvel: resume after pause\n"),
            std::string::npos);
}

TEST_F(QuorvelListeningTest, InputAtItsEndFromTheStartStopsAtOnce) {
  auto quorvel = launch();
  quorvel->closeInput();
  EXPECT_EQ(quorvel->wait(20), 0);
  const auto all = records(*quorvel);
  EXPECT_EQ(ofType(all, "ready").size(), 1u);
  EXPECT_EQ(all.back()["type"], "stopped");
}

TEST_F(QuorvelListeningTest, SignalsStopInOrderAndASecondChangesNothing) {
  variables["QUORVEL_AUDIO_INPUT"] = dashwood;
  for (const int signo : {SIGTERM, SIGINT}) {
    auto quorvel = launch();
    ASSERT_TRUE(quorvel->waitForLine(R"("type":"partial")", 30));
    quorvel->signal(signo);
    quorvel->signal(signo == SIGTERM ? SIGINT : SIGTERM);
    EXPECT_EQ(quorvel->wait(20), 0) << signo;
    const auto all = records(*quorvel);
    EXPECT_EQ(all[all.size() - 2]["reason"], "stop");
    EXPECT_EQ(all.back()["type"], "stopped");
  }
  // Nothing held: the stop is immediate.
  const std::string silence = dir + "/silence.wav";
  ASSERT_EQ(runCommand({"/usr/bin/sox", "-n", "-r", "16000", "-c", "1", silence,
                        "trim", "0", "5"},
                       {}),
            0);
  variables["QUORVEL_AUDIO_INPUT"] = silence;
  auto quiet = launch();
  ASSERT_TRUE(quiet->waitForLine(R"("type":"listening")", 30));
  quiet->signal(SIGTERM);
  EXPECT_EQ(quiet->wait(1.5), 0);  // well before a 1.6 s flush would end
  EXPECT_TRUE(ofType(records(*quiet), "final").empty());
}

TEST_F(QuorvelListeningTest, LocaleFollowsLanguageAndModelFolders) {
  const std::string models = dir + "/models";
  fs::create_directories(models);
  fs::create_directory_symlink("/usr/share/pocketsphinx/model/en-us",
                               models + "/de");
  variables["QUORVEL_MODEL_DIR"] = models;
  variables["LANGUAGE"] = "de_CH:en_GB";
  auto quorvel = launch();
  const auto ready = quorvel->waitForLine(R"("type":"ready")", 30);
  ASSERT_TRUE(ready);
  EXPECT_EQ(*ready, R"({"type":"ready","locale":"de"})");
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"listening")", 30));
  quorvel->closeInput();
  EXPECT_EQ(quorvel->wait(20), 0);
}

TEST_F(QuorvelListeningTest, StartFailuresExitThreeOrFour) {
  // A sound server that is down is a capture failure, not a permission
  // answer: the microphone request records the grant, and the next launch
  // fails the same way instead of being told it was denied.
  std::ofstream(dir + "/privacy") << "speech=authorized\n";
  variables["QUORVEL_AUDIO_INPUT"] = "";  // the unreachable Pulse server
  for (const std::string mic : {"authorized", ""}) {
    auto noServer = launch();
    EXPECT_EQ(noServer->wait(30), 4);
    const auto all = records(*noServer);
    const auto fatal = all.back();
    EXPECT_EQ(fatal["message"],
              "AVAudioEngine start failed: Connection refused");
    EXPECT_EQ(fatal["fatal"], true);
    std::string answered;
    for (const auto& record : all) {
      if (record.value("phase", "") == "micResult") answered = record["mic"];
    }
    EXPECT_EQ(answered, mic);
  }

  // A FIFO would hold the main thread in open() until someone wrote to it.
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  variables["QUORVEL_AUDIO_INPUT"] = dir + "/fifo";
  auto fifo = launch();
  EXPECT_EQ(fifo->wait(30), 4);
  EXPECT_EQ(records(*fifo).back()["message"],
            "AVAudioEngine start failed: Not a regular file");

  fs::create_directories(dir + "/empty");
  variables["QUORVEL_MODEL_DIR"] = dir + "/empty";
  auto noModel = launch();
  EXPECT_EQ(noModel->wait(30), 3);
  const auto all = records(*noModel);
  EXPECT_EQ(all[all.size() - 2]["type"], "ready");
  EXPECT_EQ(all.back()["message"], "No SFSpeechRecognizer for locale en-US");
}

// The real capture path: speech played into a private PulseAudio server's
// null sink, whose monitor is the default source quorvel records from.
TEST_F(QuorvelListeningTest, RecognisesSpeechCapturedFromPulseAudio) {
  PulseDaemon daemon(
      "load-module module-null-sink sink_name=speech rate=16000 channels=1\n"
      "set-default-source speech.monitor\n");
  ASSERT_TRUE(daemon.running()) << "see " << daemon.logPath();
  variables["QUORVEL_AUDIO_INPUT"] = "";
  variables["PULSE_SERVER"] = daemon.server();
  variables["PULSE_COOKIE"] = daemon.cookie();
  auto quorvel = launch();
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"listening")", 30))
      << quorvel->err;
  EXPECT_EQ(runCommand({"/usr/bin/pacat", "--playback", "--device=speech",
                        "--file-format=wav", youngMan},
                       variables),
            0);
  const auto final = quorvel->waitForLine(R"("type":"final")", 20);
  ASSERT_TRUE(final);
  EXPECT_NE(Json::parse(*final)["text"].get<std::string>().find("young man"),
            std::string::npos)
      << *final;
  quorvel->closeInput();
  EXPECT_EQ(quorvel->wait(20), 0);
}

// The sound server dies in the middle of a phrase: the phrase is
// finalized at once. It comes back within the reconnection window:
// listening and recognition go on. It does not: exit 4.
TEST_F(QuorvelListeningTest, LostSoundServerEndsTheSegmentThenReconnects) {
  PulseDaemon daemon(
      "load-module module-null-sink sink_name=speech rate=16000 channels=1\n"
      "set-default-source speech.monitor\n");
  ASSERT_TRUE(daemon.running()) << "see " << daemon.logPath();
  variables["QUORVEL_AUDIO_INPUT"] = "";
  variables["PULSE_SERVER"] = daemon.server();
  variables["PULSE_COOKIE"] = daemon.cookie();
  auto quorvel = launch();
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"listening")", 30))
      << quorvel->err;
  ChildProcess player({"/usr/bin/pacat", "--playback", "--device=speech",
                       "--file-format=wav", dashwood},
                      variables);
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"partial")", 20));
  daemon.kill();
  const auto killed = std::chrono::steady_clock::now();
  const auto cut = quorvel->waitForLine(R"("type":"final")", 5);
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(1));
  ASSERT_TRUE(cut);
  EXPECT_EQ(Json::parse(*cut)["reason"], "error-with-partial");
  EXPECT_NE(quorvel->err.find("quorvel: recognition error with partial \xE2\x80"
                              "\x94 finalize: Audio capture ended: Connection "
                              "terminated\n"),
            std::string::npos)
      << quorvel->err;
  player.wait(10);

  ASSERT_TRUE(daemon.restart()) << "see " << daemon.logPath();
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"listening")", 10))
      << quorvel->err;
  EXPECT_EQ(runCommand({"/usr/bin/pacat", "--playback", "--device=speech",
                        "--file-format=wav", youngMan},
                       variables),
            0);
  // Words of the new phrase show that recognition goes on. (How well they
  // are heard is the recogniser's business, and suffers under load.)
  const auto heard = quorvel->waitForLine(R"("type":"partial")", 20);
  ASSERT_TRUE(heard);
  EXPECT_NE(Json::parse(*heard)["text"], "");

  ASSERT_TRUE(quorvel->waitForLine(R"("type":"listening")", 20));
  daemon.kill();
  EXPECT_EQ(quorvel->wait(15), 4);
  const auto all = records(*quorvel);
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(all[all.size() - 2]["message"],
            "Audio capture ended: Connection terminated");
  EXPECT_EQ(all[all.size() - 2]["fatal"], false);
  EXPECT_EQ(all.back()["message"],
            "AVAudioEngine start failed: Connection refused");
}

}  // namespace
}  // namespace quorvel
