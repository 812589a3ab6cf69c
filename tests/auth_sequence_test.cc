#include "permissions/auth_sequence.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "events/event_writer.h"
#include "tests/fakes/fake_platform.h"

namespace quorvel {
namespace {

using Lines = std::vector<std::string>;

std::string bundleRecord(const std::string& facts) {
  return "{\"type\":\"auth\",\"phase\":\"bundle\",\"message\":\"bundlePath=" +
         facts + "\"}";
}
const std::string defaultBundle = bundleRecord(
    "\\/opt\\/quorvel id=local.brixlane.quorvel speechUsage=true "
    "micUsage=true");

std::string checking(const std::string& speech, const std::string& mic) {
  return "{\"type\":\"auth\",\"phase\":\"checking\",\"speech\":\"" + speech +
         "\",\"mic\":\"" + mic + "\"}";
}

std::string speechResult(const std::string& speech,
                         const std::string& message) {
  return "{\"type\":\"auth\",\"phase\":\"speechResult\",\"speech\":\"" +
         speech + "\",\"message\":\"" + message + "\"}";
}
const std::string alreadyAuthorized =
    speechResult("authorized", "Speech already authorized");
const std::string manualGrantDetected =
    speechResult("authorized", "Speech authorized (manual grant detected)");

std::string needsManualGrant(const std::string& speech,
                             const std::string& mic) {
  return "{\"type\":\"auth\",\"phase\":\"needsManualGrant\",\"speech\":\"" +
         speech + "\",\"mic\":\"" + mic +
         "\",\"message\":\"Enable Speech Recognition manually: System "
         "Settings → Privacy & Security → Speech Recognition → turn on "
         "Brixlane Speech \\/ quorvel (use + to add the app if missing). "
         "Voice retries when you return.\"}";
}

std::string waiting(const std::string& speech, const std::string& mic) {
  return "{\"type\":\"auth\",\"phase\":\"waitingManualGrant\",\"speech\":\"" +
         speech + "\",\"mic\":\"" + mic + "\"}";
}

const std::string requestingMic =
    "{\"type\":\"auth\",\"phase\":\"requestingMic\",\"message\":\"Grant "
    "Microphone for quorvel if a prompt appears\"}";

std::string micResult(const std::string& mic) {
  return "{\"type\":\"auth\",\"phase\":\"micResult\",\"mic\":\"" + mic + "\"}";
}

std::string fatal(const std::string& message) {
  return "{\"type\":\"error\",\"message\":\"" + message + "\",\"fatal\":true}";
}
const std::string speechDenied =
    "Speech recognition denied\\/restricted (System Settings → Privacy & "
    "Security → Speech Recognition → enable Brixlane Speech \\/ quorvel). "
    "status=";
const std::string speechNotAuthorized =
    "Speech recognition not authorized (System Settings → Privacy & Security "
    "→ Speech Recognition → enable Brixlane Speech \\/ quorvel; use + if not "
    "listed). status=";
const std::string micNotAuthorized =
    "Microphone not authorized for quorvel (System Settings → Privacy & "
    "Security → Microphone). status=";

// Leaves a line on standard output when asked for access, so that a
// request made inside a death-test child shows in the captured lines.
class MarkingMicrophone : public FakeMicrophoneAccess {
 public:
  void requestAccess(std::function<void(bool)> completion) override {
    writeWholeLine(1, "microphone requested\n");
    FakeMicrophoneAccess::requestAccess(std::move(completion));
  }
};

class AuthSequenceTest : public ::testing::Test {
 protected:
  void run() {
    ensureAuthThenListen(platform, [this] { ++listenings; });
  }

  // Answers the pending microphone request from a thread of its own, as
  // the platform does; the status read afterwards follows the answer.
  void answerMicrophone(bool granted) {
    fake.microphone.status = granted ? 3 : 2;
    std::thread([this, granted] { fake.microphone.answer(granted); }).join();
  }

  // A settled microphone is neither requested nor reported until the final
  // check, which names it.
  void expectMicrophoneFailureFromStart(int64_t status,
                                        const std::string& label) {
    fake.microphone.status = status;
    run();
    EXPECT_EQ(out.takeLines(),
              (Lines{defaultBundle, checking("authorized", label),
                     alreadyAuthorized}));
    EXPECT_EQ(fake.microphone.requests, 0);
    EXPECT_EXIT(fake.queue.runUntilIdle(), ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(out.takeLines(), Lines{fatal(micNotAuthorized + label)});
  }

  FakePlatform fake;
  CapturedOutput out;
  Platform platform = fake.platform();
  int listenings = 0;
};

TEST_F(AuthSequenceTest, BothAuthorizedListensOnceOnALaterTurn) {
  run();
  EXPECT_EQ(listenings, 0);
  EXPECT_EQ(fake.application.activations, 1);
  EXPECT_EQ(out.takeLines(),
            (Lines{defaultBundle, checking("authorized", "authorized"),
                   alreadyAuthorized}));
  fake.queue.runUntilIdle();
  EXPECT_EQ(listenings, 1);
  fake.queue.advance(100);
  EXPECT_EQ(listenings, 1);
  EXPECT_TRUE(out.takeLines().empty());
  EXPECT_EQ(fake.microphone.requests, 0);
}

TEST_F(AuthSequenceTest, BundleLineOnStandardErrorUnescaped) {
  run();
  EXPECT_EQ(out.takeErr(),
            "quorvel: Bundle.main path=/opt/quorvel id=local.brixlane.quorvel "
            "speechUsage=true micUsage=true\n");
}

TEST_F(AuthSequenceTest, MissingDescriptionsAndIdentifierOnlyReported) {
  fake.bundle.info.clear();
  fake.bundle.id.reset();
  run();
  EXPECT_EQ(out.takeErr(),
            "quorvel: Bundle.main path=/opt/quorvel id=nil speechUsage=false "
            "micUsage=false\n");
  EXPECT_EQ(out.takeLines().front(),
            bundleRecord("\\/opt\\/quorvel id=nil speechUsage=false "
                         "micUsage=false"));
  fake.queue.runUntilIdle();
  EXPECT_EQ(listenings, 1);
}

TEST_F(AuthSequenceTest, MicrophoneGrantedFromPlatformThreadStartsListening) {
  fake.microphone.status = 0;
  run();
  EXPECT_EQ(out.takeLines(),
            (Lines{defaultBundle, checking("authorized", "notDetermined"),
                   alreadyAuthorized, requestingMic}));
  EXPECT_EQ(fake.microphone.requests, 1);
  fake.queue.advance(100);
  EXPECT_EQ(listenings, 0);

  answerMicrophone(/*granted=*/true);
  EXPECT_EQ(out.takeLines(), Lines{micResult("authorized")});
  fake.queue.runUntilIdle();
  EXPECT_EQ(listenings, 1);
}

TEST_F(AuthSequenceTest, MicrophoneRefusedFailsWithDenied) {
  fake.microphone.status = 0;
  run();
  out.takeLines();
  answerMicrophone(/*granted=*/false);
  EXPECT_EQ(out.takeLines(), Lines{micResult("denied")});
  EXPECT_EXIT(fake.queue.runUntilIdle(), ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(out.takeLines(), Lines{fatal(micNotAuthorized + "denied")});
}

TEST_F(AuthSequenceTest, MicrophoneDeniedAtStartFailsUnrequested) {
  expectMicrophoneFailureFromStart(2, "denied");
}

TEST_F(AuthSequenceTest, MicrophoneRestrictedAtStartFailsUnrequested) {
  expectMicrophoneFailureFromStart(1, "restricted");
}

TEST_F(AuthSequenceTest, SpeechDeniedOrRestrictedAtStartFailsAtOnce) {
  MarkingMicrophone microphone;
  microphone.status = 0;
  Platform marking{fake.queue,
                   fake.background,
                   fake.signals,
                   fake.application,
                   fake.bundle,
                   fake.languages,
                   fake.speech,
                   microphone,
                   fake.wallClock,
                   nullptr,
                   -1};
  for (const auto& [status, label] :
       {std::pair{1, "denied"}, std::pair{2, "restricted"}}) {
    fake.speech.status = status;
    EXPECT_EXIT(ensureAuthThenListen(marking, [] {}),
                ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(out.takeLines(),
              (Lines{defaultBundle, checking(label, "notDetermined"),
                     fatal(speechDenied + label)}));
  }
}

TEST_F(AuthSequenceTest, ManualGrantDetectedStartsListening) {
  fake.speech.status = 0;
  run();
  EXPECT_EQ(out.takeLines(),
            (Lines{defaultBundle, checking("notDetermined", "authorized"),
                   needsManualGrant("notDetermined", "authorized")}));
  fake.queue.advanceTo(2.5);
  EXPECT_EQ(out.takeLines(), Lines(3, waiting("notDetermined", "authorized")));
  fake.speech.status = 3;
  fake.queue.advanceTo(3.5);
  EXPECT_EQ(out.takeLines(), Lines{manualGrantDetected});
  EXPECT_EQ(listenings, 1);
}

TEST_F(AuthSequenceTest, OutOfRangeSpeechStatusWaitsForManualGrant) {
  fake.speech.status = 7;
  run();
  EXPECT_EQ(out.takeLines().back(),
            needsManualGrant("unknown(7)", "authorized"));
  fake.queue.advanceTo(0.5);
  EXPECT_EQ(out.takeLines(), Lines{waiting("unknown(7)", "authorized")});
}

TEST_F(AuthSequenceTest, ManualGrantTimeoutFailsSpeechNotAuthorized) {
  fake.speech.status = 0;
  run();
  out.takeLines();
  fake.queue.advanceTo(44.5);
  EXPECT_EQ(out.takeLines(), Lines(45, waiting("notDetermined", "authorized")));
  EXPECT_EXIT(fake.queue.advanceTo(46), ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(out.takeLines(),
            (Lines{speechResult("notDetermined",
                                "Speech still notDetermined after wait"),
                   fatal(speechNotAuthorized + "notDetermined")}));
}

TEST_F(AuthSequenceTest, BothUndeterminedWaitSideBySide) {
  fake.speech.status = 0;
  fake.microphone.status = 0;
  run();
  EXPECT_EQ(out.takeLines(),
            (Lines{defaultBundle, checking("notDetermined", "notDetermined"),
                   needsManualGrant("notDetermined", "notDetermined"),
                   requestingMic}));
  EXPECT_EQ(fake.microphone.requests, 1);
  fake.queue.advanceTo(1.5);
  answerMicrophone(/*granted=*/true);
  fake.queue.advanceTo(2.5);
  EXPECT_EQ(out.takeLines(), (Lines{waiting("notDetermined", "notDetermined"),
                                    waiting("notDetermined", "notDetermined"),
                                    micResult("authorized"),
                                    waiting("notDetermined", "authorized")}));
  EXPECT_EQ(listenings, 0);
  fake.speech.status = 3;
  fake.queue.advanceTo(3.5);
  EXPECT_EQ(out.takeLines(), Lines{manualGrantDetected});
  EXPECT_EQ(listenings, 1);
}

TEST_F(AuthSequenceTest, DeniedMicrophoneDoesNotCutThePollShort) {
  fake.speech.status = 0;
  fake.microphone.status = 2;
  run();
  EXPECT_EQ(out.takeLines(),
            (Lines{defaultBundle, checking("notDetermined", "denied"),
                   needsManualGrant("notDetermined", "denied")}));
  fake.queue.advanceTo(5.5);
  EXPECT_EQ(out.takeLines(), Lines(6, waiting("notDetermined", "denied")));
  fake.speech.status = 3;
  EXPECT_EXIT(fake.queue.advanceTo(6.5), ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(out.takeLines(),
            (Lines{manualGrantDetected, fatal(micNotAuthorized + "denied")}));
}

}  // namespace
}  // namespace quorvel
