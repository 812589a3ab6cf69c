#include "permissions/auth_sequence.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>

#include "permissions/status_labels.h"
#include "tests/fakes/script.h"

namespace quorvel {
namespace {

TEST(StatusLabelsTest, EachPermissionHasItsOwnNumbering) {
  const std::tuple<int64_t, const char*, const char*> cases[] = {
      {0, "notDetermined", "notDetermined"},
      {1, "denied", "restricted"},
      {2, "restricted", "denied"},
      {3, "authorized", "authorized"},
      {-1, "unknown(-1)", "unknown(-1)"},
      {INT64_MIN, "unknown(-9223372036854775808)",
       "unknown(-9223372036854775808)"}};
  for (const auto& [status, speech, mic] : cases) {
    EXPECT_EQ(speechStatusLabel(status), speech);
    EXPECT_EQ(micStatusLabel(status), mic);
  }
}

const std::string to = " \xE2\x86\x92 ";
const std::string pane = "System Settings" + to + "Privacy & Security" + to;
const std::string app = "Brixlane Speech \\/ quorvel";

// The first records, and the bundle's line on standard error (which a
// death test's child keeps to itself).
std::string begin(const std::string& speech, const std::string& mic,
                  bool dies = false) {
  const std::string facts =
      "/opt/quorvel id=local.brixlane.quorvel "
      "speechUsage=true micUsage=true";
  return "> auth|phase=bundle|message=bundlePath=\\/opt\\/quorvel" +
         facts.substr(12) + (dies ? "" : "; 2> Bundle.main path=" + facts) +
         "; > auth|phase=checking|speech=" + speech + "|mic=" + mic;
}
std::string result(const std::string& speech, const std::string& message) {
  return "> auth|phase=speechResult|speech=" + speech + "|message=" + message;
}
const std::string authorized =
    result("authorized", "Speech already authorized");
const std::string detected =
    result("authorized", "Speech authorized (manual grant detected)");
std::string stillUndecided(const std::string& label) {
  return result(label, "Speech still " + label + " after wait");
}
std::string needsGrant(const std::string& speech, const std::string& mic) {
  return "> auth|phase=needsManualGrant|speech=" + speech + "|mic=" + mic +
         "|message=Enable Speech Recognition manually: " + pane +
         "Speech Recognition" + to + "turn on " + app +
         " (use + to add the app if missing). Voice retries when you return.";
}
std::string waiting(const std::string& speech, const std::string& mic,
                    int times = 1) {
  std::string steps =
      "> auth|phase=waitingManualGrant|speech=" + speech + "|mic=" + mic;
  while (--times > 0) steps += "; " + steps.substr(0, steps.find(';'));
  return steps;
}
const std::string requestingMic =
    "> auth|phase=requestingMic|message=Grant Microphone for quorvel if a "
    "prompt appears";
std::string speechFailure(bool denied, const std::string& label) {
  return denied ? "> fatal|Speech recognition denied\\/restricted (" + pane +
                      "Speech Recognition" + to + "enable " + app +
                      "). status=" + label
                : "> fatal|Speech recognition not authorized (" + pane +
                      "Speech Recognition" + to + "enable " + app +
                      "\\; use + if not listed). status=" + label;
}
std::string micFailure(const std::string& label) {
  return "> fatal|Microphone not authorized for quorvel (" + pane +
         "Microphone). status=" + label;
}

class AuthSequenceTest : public ::testing::Test {
 protected:
  // Each script on fakes of its own: one that died leaves work behind.
  void run(const Steps& steps) {
    fake = std::make_unique<FakePlatform>();
    listenings = 0;
    runScript(steps, fake->queue, output, verbs);
  }

  std::unique_ptr<FakePlatform> fake;
  CapturedOutput output;
  int listenings = 0;
  const Verbs verbs = {
      {"auth",
       [this](auto) {
         ensureAuthThenListen(fake->platform, [this] { ++listenings; });
       }},
      {"speech",
       [this](auto& status) { fake->speech.status = std::stoll(status); }},
      {"mic",
       [this](auto& status) { fake->microphone.status = std::stoll(status); }},
      // The platform answers the microphone request on a thread of its own.
      {"answer",
       [this](auto& answer) {
         ASSERT_TRUE(fake->microphone.pending);
         fake->microphone.status = answer == "yes" ? 3 : 2;
         std::thread(fake->microphone.pending, answer == "yes").join();
       }},
      {"nobundle",
       [this](auto) {
         fake->info.clear();
         fake->id.reset();
       }},
      {"clock", [this](auto& step) { fake->clockStep = std::stod(step); }},
      {"listens",
       [this](auto& count) { EXPECT_EQ(listenings, std::stoi(count)); }},
  };
};

TEST_F(AuthSequenceTest, BothAuthorizedListensOnceOnALaterTurn) {
  run({"auth; " + begin("authorized", "authorized") + "; " + authorized,
       "listens 0; run; listens 1; at 100; listens 1"});
  EXPECT_EQ(fake->activations, 1);
  EXPECT_EQ(fake->microphone.requests, 0);
  run(
      {"nobundle; auth; > "
       "auth|phase=bundle|message=bundlePath=\\/opt\\/quorvel "
       "id=nil speechUsage=false micUsage=false; 2> Bundle.main "
       "path=/opt/quorvel id=nil speechUsage=false micUsage=false",
       "> auth|phase=checking|speech=authorized|mic=authorized",
       authorized + "; run; listens 1"});
}

// The microphone is asked for only when undecided; a settled one is named
// by the final check.
TEST_F(AuthSequenceTest, MicrophoneAnswersAndSettledStatuses) {
  run({"mic 0; auth; " + begin("authorized", "notDetermined"),
       authorized + "; " + requestingMic + "; at 100; listens 0",
       "answer yes; > auth|phase=micResult|mic=authorized; run; listens 1"});
  run({"mic 0; auth; " + begin("authorized", "notDetermined"),
       authorized + "; " + requestingMic,
       "answer no; > auth|phase=micResult|mic=denied",
       "die 1: run; " + micFailure("denied")});
  for (const auto& [status, label] :
       {std::pair{"2", "denied"}, std::pair{"1", "restricted"}}) {
    run({"mic " + std::string(status) + "; auth; " +
             begin("authorized", label) + "; " + authorized,
         "die 1: run; " + micFailure(label)});
    EXPECT_EQ(fake->microphone.requests, 0);
  }
}

// Nothing more is asked or waited for: a microphone request would show as
// a "requestingMic" record before the error.
TEST_F(AuthSequenceTest, SpeechDeniedOrRestrictedFailsAtOnce) {
  run({"mic 0; speech 1; die 1: auth; " +
           begin("denied", "notDetermined", true),
       speechFailure(true, "denied")});
  run({"mic 0; speech 2; die 1: auth; " +
           begin("restricted", "notDetermined", true),
       speechFailure(true, "restricted")});
}

// Undecided speech is looked at 0.5 s after the start, then every second,
// for 45 s; a decision made between looks counts at the next look.
TEST_F(AuthSequenceTest, ManualGrantIsWaitedForAlongsideTheMicrophone) {
  run({"speech 0; mic 0; auth; " + begin("notDetermined", "notDetermined"),
       needsGrant("notDetermined", "notDetermined") + "; " + requestingMic,
       "at 0.49; at 1.5; " + waiting("notDetermined", "notDetermined", 2),
       "answer yes; > auth|phase=micResult|mic=authorized; at 2.5",
       waiting("notDetermined", "authorized") + "; speech 3; at 3.49",
       "listens 0; at 3.5; " + detected + "; listens 1"});
}

TEST_F(AuthSequenceTest, ManualGrantWaitEndsAfterFortyFiveSeconds) {
  run({"speech 0; auth; " + begin("notDetermined", "authorized"),
       needsGrant("notDetermined", "authorized") + "; at 44.5",
       waiting("notDetermined", "authorized", 45),
       "die 1: at 46; " + stillUndecided("notDetermined"),
       speechFailure(false, "notDetermined")});
  // A step of the wall clock past the deadline ends the wait early.
  run({"speech 0; auth; " + begin("notDetermined", "authorized"),
       needsGrant("notDetermined", "authorized") + "; at 10.5",
       waiting("notDetermined", "authorized", 11) + "; clock 40",
       "die 1: at 11.5; " + stillUndecided("notDetermined"),
       speechFailure(false, "notDetermined")});
}

// A status out of range is waited on; a denial during the wait, or a
// denied microphone after a grant, fails at the next look.
TEST_F(AuthSequenceTest, DenialsDuringTheWaitFailAtTheNextLook) {
  run({"speech 7; auth; " + begin("unknown(7)", "authorized"),
       needsGrant("unknown(7)", "authorized") + "; at 2.5",
       waiting("unknown(7)", "authorized", 3) + "; speech 1; at 3.49",
       "die 1: at 3.5; " + stillUndecided("denied"),
       speechFailure(false, "denied")});
  run({"speech 0; mic 2; auth; " + begin("notDetermined", "denied"),
       needsGrant("notDetermined", "denied") + "; at 5.5",
       waiting("notDetermined", "denied", 6) + "; speech 3",
       "die 1: at 6.5; " + detected + "; " + micFailure("denied")});
}

}  // namespace
}  // namespace quorvel
