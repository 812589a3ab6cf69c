#include "permissions/auth_sequence.h"

#include <gtest/gtest.h>

#include <thread>

#include "permissions/status_labels.h"
#include "tests/fakes/script.h"

namespace quorvel {
namespace {

const std::string to = " \xE2\x86\x92 ";
const std::string pane = "System Settings" + to + "Privacy & Security" + to;
const std::string app = "Brixlane Speech \\/ quorvel";
// The first records, for the statuses at the start.
std::string begin(const std::string& speech, const std::string& mic) {
  return "> auth|phase=bundle|message=bundlePath=\\/opt\\/quorvel "
         "id=local.brixlane.quorvel speechUsage=true micUsage=true; 2> "
         "Bundle.main path=/opt/quorvel id=local.brixlane.quorvel "
         "speechUsage=true micUsage=true; > auth|phase=checking|speech=" +
         speech + "|mic=" + mic;
}
std::string result(const std::string& speech, const std::string& message) {
  return "> auth|phase=speechResult|speech=" + speech + "|message=" + message;
}
const std::string authorized =
    result("authorized", "Speech already authorized");
const std::string detected =
    result("authorized", "Speech authorized (manual grant detected)");
std::string waited(const std::string& label) {
  return result(label, "Speech still " + label + " after wait") +
         "; > fatal|Speech recognition not authorized (" + pane +
         "Speech Recognition" + to + "enable " + app +
         "\\; use + if not listed). status=" + label;
}
std::string needsGrant(const std::string& speech, const std::string& mic) {
  return "> auth|phase=needsManualGrant|speech=" + speech + "|mic=" + mic +
         "|message=Enable Speech Recognition manually: " + pane +
         "Speech Recognition" + to + "turn on " + app +
         " (use + to add the app if missing). Voice retries when you return.";
}
std::string looks(const std::string& speech, const std::string& mic, int n) {
  std::string steps;
  while (n-- > 0) {
    steps += "> auth|phase=waitingManualGrant|speech=" + speech +
             "|mic=" + mic + (n ? "; " : "");
  }
  return steps;
}
const std::string requestingMic =
    "> auth|phase=requestingMic|message=Grant Microphone for quorvel if a "
    "prompt appears";
std::string micDenied(const std::string& label) {
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
         fake->microphone.status = answer == "yes" ? 3 : 2;
         std::thread(fake->microphone.pending, answer == "yes").join();
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
  // What the bundle lacks is reported, and changes nothing.
  fake = std::make_unique<FakePlatform>();
  fake->info.clear();
  fake->id.reset();
  ensureAuthThenListen(fake->platform, [] {});
  EXPECT_EQ(output.take(2), std::vector<std::string>{
                                "quorvel: Bundle.main path=/opt/quorvel id=nil "
                                "speechUsage=false micUsage=false"});
  EXPECT_EQ(output.take().front(),
            record("auth|phase=bundle|message=bundlePath=\\/opt\\/quorvel "
                   "id=nil speechUsage=false micUsage=false"));
}

// Speech is never asked for: denied or restricted fails at once (a
// microphone request would show before the error); undecided is looked at
// 0.5 s after the start, then every second for 45 s, while the microphone
// is asked for beside it, answered from another thread.
TEST_F(AuthSequenceTest, ManualGrantIsWaitedForAlongsideTheMicrophone) {
  run({"mic 0; speech 1; die 1: auth",
       "> auth|phase=bundle|message=bundlePath=\\/opt\\/quorvel "
       "id=local.brixlane.quorvel speechUsage=true micUsage=true",
       "> auth|phase=checking|speech=denied|mic=notDetermined",
       "> fatal|Speech recognition denied\\/restricted (" + pane +
           "Speech Recognition" + to + "enable " + app + "). status=denied"});
  run({"speech 0; mic 0; auth; " + begin("notDetermined", "notDetermined"),
       needsGrant("notDetermined", "notDetermined") + "; " + requestingMic,
       "at 0.49; at 1.5; " + looks("notDetermined", "notDetermined", 2),
       "answer yes; > auth|phase=micResult|mic=authorized; at 2.5",
       looks("notDetermined", "authorized", 1) + "; speech 3; at 3.49",
       "listens 0; at 3.5; " + detected + "; listens 1"});
  run({"mic 0; auth; " + begin("authorized", "notDetermined"),
       authorized + "; " + requestingMic + "; answer no",
       "> auth|phase=micResult|mic=denied; die 1: run; " +
           micDenied("denied")});
}

// The wait ends after 45 s, or at a step of the wall clock past its
// deadline; a denial counts at the next look, as does a denied microphone
// after a grant.
TEST_F(AuthSequenceTest, WaitEndsAtItsDeadlineOrADecision) {
  run({"speech 0; auth; " + begin("notDetermined", "authorized"),
       needsGrant("notDetermined", "authorized") + "; at 44.5",
       looks("notDetermined", "authorized", 45),
       "die 1: at 46; " + waited("notDetermined")});
  run({"speech 0; auth; " + begin("notDetermined", "authorized"),
       needsGrant("notDetermined", "authorized") + "; at 10.5",
       looks("notDetermined", "authorized", 11) + "; clock 40",
       "die 1: at 11.5; " + waited("notDetermined")});
  run({"speech 7; auth; " + begin("unknown(7)", "authorized"),
       needsGrant("unknown(7)", "authorized") + "; at 2.5",
       looks("unknown(7)", "authorized", 3) + "; speech 1; at 3.49",
       "die 1: at 3.5; " + waited("denied")});
  run({"speech 0; mic 2; auth; " + begin("notDetermined", "denied"),
       needsGrant("notDetermined", "denied") + "; at 5.5",
       looks("notDetermined", "denied", 6) + "; speech 3",
       "die 1: at 6.5; " + detected + "; " + micDenied("denied")});
  run({"mic 1; auth; " + begin("authorized", "restricted") + "; " + authorized,
       "die 1: run; " + micDenied("restricted")});
  EXPECT_EQ(speechStatusLabel(INT64_MIN), "unknown(-9223372036854775808)");
  EXPECT_EQ(micStatusLabel(1), "restricted");
}

}  // namespace
}  // namespace quorvel
