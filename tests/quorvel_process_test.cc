// The real quorvel binary, from launch to the point where it would listen:
// check mode and the permission paths, each with a privacy store of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/support/child_process.h"

namespace quorvel {
namespace {

using Json = nlohmann::json;
const std::string recording =
    "/usr/share/pocketsphinx/test/data/librivox/"
    "sense_and_sensibility_01_austen_64kb-0870.wav";

class QuorvelProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quorvel-process-XXXXXX";
    dir = mkdtemp(pattern);
    privacy = dir + "/privacy";
    variables = env();
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::map<std::string, std::string> env() {
    return {{"QUORVEL_PRIVACY_FILE", privacy},
            {"QUORVEL_AUDIO_INPUT", recording},
            {"LANGUAGE", "en_US"},
            {"LC_ALL", ""},
            {"LANG", "C.UTF-8"},
            {"QUORVEL_MODEL_DIR", ""}};
  }
  void store(const std::string& text) { std::ofstream(privacy) << text; }
  std::string stored() {
    std::ifstream in(privacy);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::unique_ptr<ChildProcess> launch(std::vector<std::string> args = {}) {
    args.insert(args.begin(), QUORVEL_BINARY);
    return std::make_unique<ChildProcess>(args, variables);
  }
  // Every line is one JSON object; returns them parsed.
  std::vector<Json> parse(const std::vector<std::string>& lines) {
    std::vector<Json> records;
    for (const auto& line : lines) {
      records.push_back(Json::parse(line));
      EXPECT_TRUE(records.back().is_object()) << line;
    }
    return records;
  }
  std::vector<std::string> phases(const std::vector<Json>& records) {
    std::vector<std::string> names;
    for (const auto& record : records) {
      names.push_back(record.contains("phase")
                          ? record["phase"].get<std::string>()
                          : record["type"].get<std::string>());
    }
    return names;
  }

  std::string dir, privacy;
  std::map<std::string, std::string> variables;
};

TEST_F(QuorvelProcessTest, CheckWritesOneRecordAndExitsOnRecognizer) {
  store("speech=authorized\nmicrophone=denied\n");
  auto check = launch({"--check"});
  EXPECT_EQ(check->wait(30), 0);
  ASSERT_EQ(check->lines.size(), 1u);
  EXPECT_EQ(
      check->lines[0],
      R"({"type":"check","ok":false,"speechAuthorized":true,"micAuthorized":false,)"
      R"("speechStatus":"SFSpeechRecognizerAuthorizationStatus","micStatus":)"
      R"("AVAuthorizationStatus","recognizerAvailable":true})");
  EXPECT_EQ(check->err, "");

  std::filesystem::create_directory(dir + "/models");
  variables["QUORVEL_MODEL_DIR"] = dir + "/models";
  auto none = launch({"x", "--check"});
  EXPECT_EQ(none->wait(30), 2);
  ASSERT_EQ(none->lines.size(), 1u);
  EXPECT_EQ(parse(none->lines)[0]["recognizerAvailable"], false);
}

TEST_F(QuorvelProcessTest, SpeechDeniedEndsBeforeTheMicrophone) {
  store("speech=denied\n");
  auto quorvel = launch();
  EXPECT_EQ(quorvel->wait(30), 1);
  const auto records = parse(quorvel->lines);
  EXPECT_EQ(phases(records),
            (std::vector<std::string>{"bundle", "checking", "error"}));
  EXPECT_EQ(
      records[2]["message"],
      "Speech recognition denied/restricted (System Settings → Privacy & "
      "Security → "
      "Speech Recognition → enable Brixlane Speech / quorvel). status=denied");
  EXPECT_EQ(stored(), "speech=denied\n");  // the microphone was never asked
}

TEST_F(QuorvelProcessTest, MicrophoneRefusalNamesItsStatus) {
  for (const std::string status : {"denied", "restricted"}) {
    store("speech=authorized\nmicrophone=" + status + "\n");
    auto quorvel = launch();
    EXPECT_EQ(quorvel->wait(30), 1);
    EXPECT_EQ(
        quorvel->lines.back(),
        R"({"type":"error","message":"Microphone not authorized for quorvel (System )"
        R"(Settings → Privacy & Security → Microphone). status=)" +
            status + R"(","fatal":true})");
  }
}

TEST_F(QuorvelProcessTest, BundleReportsBothUsageDescriptions) {
  store("speech=denied\n");
  auto quorvel = launch();
  quorvel->wait(30);
  const std::string folder =
      std::filesystem::path(QUORVEL_BINARY).parent_path();
  const std::string facts =
      "bundlePath=" + folder +
      " id=local.brixlane.quorvel speechUsage=true micUsage=true";
  EXPECT_EQ(parse(quorvel->lines)[0]["message"], facts);
  EXPECT_EQ(quorvel->err,
            "quorvel: Bundle.main path=" + folder +
                " id=local.brixlane.quorvel speechUsage=true micUsage=true\n");
}

TEST_F(QuorvelProcessTest, ManualGrantIsDetectedAtTheNextLook) {
  store("microphone=authorized\n");
  auto quorvel = launch();
  ASSERT_TRUE(quorvel->waitForLine("waitingManualGrant", 10));
  EXPECT_EQ(runCommand({QUORVEL_PRIVACY_BINARY, "grant", "speech"}, variables),
            0);
  const auto result = quorvel->waitForLine("speechResult", 5);
  ASSERT_TRUE(result);
  EXPECT_EQ(Json::parse(*result)["message"],
            "Speech authorized (manual grant detected)");
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"listening")", 20));
  quorvel->closeInput();
  EXPECT_EQ(quorvel->wait(20), 0);
  EXPECT_EQ(quorvel->lines.back(), R"({"type":"stopped"})");
}

TEST_F(QuorvelProcessTest, MicrophoneRequestIsAnsweredAndRemembered) {
  store("speech=authorized\n");
  auto quorvel = launch();
  ASSERT_TRUE(quorvel->waitForLine(R"("type":"listening")", 20));
  quorvel->closeInput();
  EXPECT_EQ(quorvel->wait(20), 0);
  const auto records = parse(quorvel->lines);
  const std::vector<std::string> expected{
      "bundle",    "checking", "speechResult", "requestingMic",
      "micResult", "ready",    "listening"};
  auto seen = phases(records);
  ASSERT_GE(seen.size(), expected.size());
  seen.resize(expected.size());
  EXPECT_EQ(seen, expected);
  EXPECT_NE(stored().find("microphone=authorized"), std::string::npos);
}

// A store that cannot be read is said to be so on standard error, and no
// grant is waited for: it can hold none, and reads as restricted.
TEST_F(QuorvelProcessTest, UnreadableStoreIsReportedWithoutWaiting) {
  store("speech=authorized\nmicrophone=authorized\n");
  ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
  // Root reads every file: the permission case runs as nobody, from a copy
  // of the binary that nobody may run, on a store in our private folder.
  char pattern[] = "/tmp/quorvel-nobody-XXXXXX";
  const std::string bin = mkdtemp(pattern);
  std::filesystem::permissions(bin, std::filesystem::perms(0755));
  std::filesystem::copy_file(QUORVEL_BINARY, bin + "/quorvel");
  struct Case {
    std::vector<std::string> command;
    std::string store;
    std::string reason;
  } cases[] = {
      {{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
        bin + "/quorvel"},
       privacy,
       "Permission denied"},
      {{QUORVEL_BINARY}, dir + "/fifo", "Not a regular file"},
      {{QUORVEL_BINARY}, "/dev/zero", "Not a regular file"},
  };
  for (const Case& each : cases) {
    variables["QUORVEL_PRIVACY_FILE"] = each.store;
    ChildProcess quorvel(each.command, variables);
    EXPECT_EQ(quorvel.wait(10), 1) << each.store;
    EXPECT_EQ(quorvel.err.substr(0, quorvel.err.find('\n') + 1),
              "quorvel: cannot read the privacy store " + each.store + ": " +
                  each.reason + "\n");
    ASSERT_FALSE(quorvel.lines.empty());
    EXPECT_EQ(parse(quorvel.lines).back()["message"],
              "Speech recognition denied/restricted (System Settings → "
              "Privacy & Security → Speech Recognition → enable Brixlane "
              "Speech / quorvel). status=restricted");
  }
  std::filesystem::remove_all(bin);
}

// Before listening starts, SIGTERM keeps its default action.
TEST_F(QuorvelProcessTest, UnknownSpeechStatusIsWaitedOnAndSignalsStillKill) {
  store("speech=7\nmicrophone=authorized\n");
  auto quorvel = launch();
  const auto waiting = quorvel->waitForLine("waitingManualGrant", 10);
  ASSERT_TRUE(waiting);
  EXPECT_EQ(
      *waiting,
      R"x({"type":"auth","phase":"waitingManualGrant","speech":"unknown(7)","mic":"authorized"})x");
  quorvel->signal(SIGTERM);
  EXPECT_EQ(quorvel->wait(10), 128 + SIGTERM);
}

}  // namespace
}  // namespace quorvel
