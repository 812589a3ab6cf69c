#include "listener/continuous_listener.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "tests/fakes/fake_platform.h"

namespace quorvel {
namespace {

using Lines = std::vector<std::string>;
const std::string listening = R"({"type":"listening"})";
const std::string paused = R"({"type":"paused"})";
const std::string stopped = R"({"type":"stopped"})";
std::string partial(const std::string& text) {
  return R"({"type":"partial","text":")" + text + "\"}";
}
std::string final(const std::string& text, const std::string& reason) {
  return R"({"type":"final","text":")" + text + R"(","reason":")" + reason +
         "\"}";
}
const std::string afError = "kAFAssistantErrorDomain";

class ContinuousListenerTest : public ::testing::Test {
 protected:
  void startListening(const std::string& locale = "en-US") {
    listener = ContinuousListener::create(fake.queue, fake.speech,
                                          fake.wallClock, makeEngine(), locale);
    listener->start();
  }
  std::unique_ptr<AudioEngine> makeEngine() {
    auto made = std::make_unique<FakeAudioEngine>();
    made->format = fake.engineFormat;
    engine = made.get();
    return made;
  }
  FakeTask& task() { return fake.speech.lastTask(); }
  void at(double time) { fake.queue.advanceTo(time); }
  Lines events() { return output.takeLines(); }

  FakePlatform fake;
  CapturedOutput output;
  FakeAudioEngine* engine = nullptr;
  std::shared_ptr<ContinuousListener> listener;
};

TEST_F(ContinuousListenerTest, SilenceEndsSegmentAfterLastChangedPartial) {
  startListening();
  EXPECT_EQ(events(), Lines{listening});
  task().sendPartial("a");
  at(0.8);
  task().sendPartial("a b");
  at(1.5);
  task().sendPartial("a b");
  at(1.89);
  EXPECT_EQ(events(), (Lines{partial("a"), partial("a b")}));
  FakeTask& first = task();
  at(1.9);
  EXPECT_EQ(events(), Lines{final("a b", "silence")});
  EXPECT_TRUE(first.cancelled);
  EXPECT_FALSE(engine->isRunning());
  at(2.24);
  EXPECT_EQ(output.takeErr(), "");
  at(2.25);
  EXPECT_EQ(output.takeErr(), "quorvel: restart after silence\n");
  EXPECT_EQ(events(), Lines{listening});
  EXPECT_NE(&task(), &first);
}

TEST_F(ContinuousListenerTest,
       SilentSegmentsRestartEveryTwelvePointThreeFiveSeconds) {
  startListening();
  events();
  at(12.0);
  EXPECT_EQ(events(), Lines{});
  EXPECT_FALSE(engine->isRunning());
  at(12.35);
  EXPECT_EQ(output.takeErr(), "quorvel: restart after max-segment-empty\n");
  EXPECT_EQ(events(), Lines{listening});
  at(24.69);
  EXPECT_EQ(events(), Lines{});
  at(24.7);
  EXPECT_EQ(events(), Lines{listening});
}

TEST_F(ContinuousListenerTest, ChangingPartialsEndWithMaxSegment) {
  startListening();
  events();
  std::string text;
  for (int i = 0; i < 24; ++i) {
    at(i * 0.5);
    text += "w";
    task().sendPartial(text);
  }
  at(11.99);
  EXPECT_EQ(events().size(), 24u);
  at(12.0);
  EXPECT_EQ(events(), Lines{final(text, "max-segment")});
  at(12.35);
  EXPECT_EQ(output.takeErr(), "quorvel: restart after max-segment\n");
  EXPECT_EQ(events(), Lines{listening});
}

TEST_F(ContinuousListenerTest, TimersDueTogetherGiveOneFinal) {
  startListening();
  events();
  at(10.9);
  task().sendPartial("both");
  at(13.0);
  const Lines lines = events();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], partial("both"));
  EXPECT_EQ(lines[1], final("both", "max-segment"));
  EXPECT_EQ(lines[2], listening);
}

TEST_F(ContinuousListenerTest, TrimmedAndCanonicallyEqualPartialsReportedOnce) {
  startListening();
  events();
  task().sendPartial(" hello");
  at(0.5);
  task().sendPartial("hello");
  at(1.0);
  task().sendPartial("hello \n");
  task().sendPartial("caf\xC3\xA9");   // é precomposed
  task().sendPartial("cafe\xCC\x81");  // e + combining acute
  EXPECT_EQ(events(), (Lines{partial("hello"), partial("caf\xC3\xA9")}));
  at(2.1);
  EXPECT_EQ(events(), Lines{final("caf\xC3\xA9", "silence")});
}

TEST_F(ContinuousListenerTest, EmptyResultsChangeNothing) {
  startListening();
  events();
  task().sendPartial(" \n\t\xE3\x80\x80");  // ends in U+3000
  task().sendFinal("");
  at(11.9);
  EXPECT_EQ(events(), Lines{});
  listener->stop(/*thenExit=*/false);
  EXPECT_EQ(events(), Lines{stopped});  // nothing heard: no flush
}

TEST_F(ContinuousListenerTest, FinalResultEndsSegmentWithOrWithoutPartial) {
  startListening();
  events();
  task().sendFinal(" turn left ");
  EXPECT_EQ(events(), Lines{final("turn left", "isFinal")});
  at(0.35);
  EXPECT_EQ(output.takeErr(), "quorvel: restart after isFinal\n");
  EXPECT_EQ(events(), Lines{listening});
  task().sendPartial("turn");
  task().sendFinal("turn right");
  EXPECT_EQ(events(), (Lines{partial("turn"), final("turn right", "isFinal")}));
}

TEST_F(ContinuousListenerTest,
       FirstPartialOfNextSegmentReportedEvenIfSameAsFinal) {
  startListening();
  task().sendFinal("go");
  at(0.35);
  events();
  task().sendPartial("go");
  EXPECT_EQ(events(), Lines{partial("go")});
}

TEST_F(ContinuousListenerTest, IgnoredErrorCodesDropOnlyInTheirDomain) {
  startListening();
  events();
  for (const int64_t code : {216, 203, 209, 1110})
    task().sendError(afError, code);
  at(1.0);
  EXPECT_EQ(events(), Lines{});
  EXPECT_EQ(output.takeErr(), "");
  task().sendError("OtherDomain", 1110, "The operation couldn't be completed");
  EXPECT_EQ(
      events(),
      Lines{
          R"x({"type":"error","message":"The operation couldn't be completed","fatal":false})x"});
  at(1.35);
  EXPECT_EQ(output.takeErr(), "quorvel: restart after error\n");
  EXPECT_EQ(events(), Lines{listening});
}

TEST_F(ContinuousListenerTest, ErrorAfterTextFinalizesIt) {
  startListening();
  events();
  task().sendPartial("turn left");
  task().sendError(afError, 1700, "Audio broke");
  EXPECT_EQ(output.takeErr(),
            "quorvel: recognition error with partial \xE2\x80\x94 finalize: "
            "Audio broke\n");
  EXPECT_EQ(events(), (Lines{partial("turn left"),
                             final("turn left", "error-with-partial")}));
  at(0.35);
  EXPECT_EQ(output.takeErr(), "quorvel: restart after error-with-partial\n");
}

// The microphone going away ends the segment as a recognition error does,
// and the restart waits for capture to come back.
TEST_F(ContinuousListenerTest, LostCaptureEndsSegmentAndRestartWaitsForIt) {
  startListening();
  events();
  task().sendPartial("turn left");
  engine->fail("Connection terminated");
  fake.queue.runUntilIdle();
  EXPECT_EQ(output.takeErr(),
            "quorvel: recognition error with partial \xE2\x80\x94 finalize: "
            "Audio capture ended: Connection terminated\n");
  EXPECT_EQ(events(), (Lines{partial("turn left"),
                             final("turn left", "error-with-partial")}));
  engine->startError = "Connection refused";
  at(0.35);
  EXPECT_EQ(output.takeErr(), "quorvel: restart after error-with-partial\n");
  at(2.0);
  EXPECT_EQ(events(), Lines{});
  engine->startError.clear();
  at(2.1);  // the next look, 0.25 s after the one at 1.85
  EXPECT_EQ(events(), Lines{listening});
  EXPECT_EQ(output.takeErr(), "");

  // Without text: a non-fatal error. A report that a new start overtook
  // changes nothing.
  engine->fail("Connection terminated");
  fake.queue.runUntilIdle();
  EXPECT_EQ(
      events(),
      Lines{
          R"x({"type":"error","message":"Audio capture ended: Connection terminated","fatal":false})x"});
  at(2.45);
  EXPECT_EQ(events(), Lines{listening});
  engine->failureHandler("stale");  // the engine runs on
  fake.queue.runUntilIdle();
  at(5);
  EXPECT_EQ(events(), Lines{});
}

TEST_F(ContinuousListenerTest, StopOrPauseWhileWaitingForCaptureActAtOnce) {
  startListening();
  engine->fail("Connection terminated");
  engine->startError = "Connection refused";
  at(1.0);
  listener->pauseListening();
  at(10);
  events();
  EXPECT_EQ(output.takeErr(), "quorvel: restart after error\n");
  engine->startError.clear();
  listener->resumeListening();
  engine->fail("Connection terminated");
  engine->startError = "Connection refused";
  at(11.0);
  listener->stop(/*thenExit=*/true);
  fake.queue.runUntilIdle();
  EXPECT_EQ(events().back(), stopped);
  EXPECT_EQ(fake.queue.exitStatus(), 0);
}

TEST_F(ContinuousListenerTest, CallWithResultAndErrorHandlesResultFirst) {
  startListening();
  events();
  task().handler(RecognitionResult{"go", false},
                 RecognitionError{"X", 1, "bad"});
  EXPECT_EQ(events(),
            (Lines{partial("go"), final("go", "error-with-partial")}));
}

TEST_F(ContinuousListenerTest, LateCallsWhileRestartingOnlyReportNewPartials) {
  startListening();
  task().sendFinal("one");
  events();
  task().sendError("X", 1, "late");
  task().sendFinal("two");
  task().sendPartial("three");
  EXPECT_EQ(events(), Lines{partial("three")});
  at(5.0);  // the restart clears the late text; its silence timer never fires
  EXPECT_EQ(events(), Lines{listening});
}

TEST_F(ContinuousListenerTest, CallsWhilePausedOrStoppedAreIgnored) {
  startListening();
  FakeTask& first = task();
  listener->pauseListening();
  first.sendPartial("x");
  first.sendError("X", 1);
  listener->stop(false);
  first.sendFinal("y");
  at(20);
  EXPECT_EQ(events(), (Lines{listening, paused, stopped}));
}

TEST_F(ContinuousListenerTest, PauseIsIdempotentAndResumeNeedsPause) {
  startListening();
  listener->resumeListening();
  EXPECT_EQ(events(), Lines{listening});
  EXPECT_EQ(output.takeErr(), "");
  task().sendPartial("dropped");
  listener->pauseListening();
  listener->pauseListening();
  EXPECT_FALSE(engine->isRunning());
  EXPECT_FALSE(engine->hasTap());
  EXPECT_EQ(events(), (Lines{partial("dropped"), paused}));
  at(30);
  EXPECT_EQ(events(), Lines{});
  listener->resumeListening();
  EXPECT_EQ(output.takeErr(), "quorvel: resume after pause\n");
  EXPECT_EQ(events(), Lines{listening});
  listener->stop(false);
  EXPECT_EQ(events(), Lines{stopped});  // the pause dropped the text
}

TEST_F(ContinuousListenerTest, PauseOrStopCancelsPendingRestart) {
  startListening();
  task().sendFinal("a");
  listener->pauseListening();
  at(1);
  EXPECT_EQ(output.takeErr(), "");
  listener->resumeListening();
  task().sendFinal("b");
  events();
  output.takeErr();
  listener->stop(true);
  at(5);
  EXPECT_EQ(events(), Lines{stopped});
  EXPECT_EQ(output.takeErr(), "");
  EXPECT_EQ(fake.queue.exitStatus(), 0);
}

TEST_F(ContinuousListenerTest, StopWithNothingHeardIsImmediateAndExitsLater) {
  startListening();
  events();
  listener->stop(true);
  EXPECT_EQ(events(), Lines{stopped});
  EXPECT_FALSE(fake.queue.exitStatus());  // a later turn
  fake.queue.runUntilIdle();
  EXPECT_EQ(fake.queue.exitStatus(), 0);
}

TEST_F(ContinuousListenerTest, StopWithHeldPartialWaitsForFlush) {
  startListening();
  task().sendPartial(" hello ");
  at(1.0);
  events();
  listener->stop(true);
  EXPECT_FALSE(engine->hasTap());
  EXPECT_FALSE(engine->isRunning());
  EXPECT_TRUE(fake.speech.lastRequest().ended);
  EXPECT_FALSE(task().cancelled);
  task().sendPartial("hello there");  // recorded, not reported
  listener->stop(true);               // a second stop changes nothing
  at(2.59);
  EXPECT_EQ(events(), Lines{});
  at(2.6);
  EXPECT_EQ(events(), (Lines{final("hello there", "stop"), stopped}));
  EXPECT_EQ(fake.queue.exitStatus(), 0);
}

TEST_F(ContinuousListenerTest, FinalResultDuringFlushEndsStopAtOnce) {
  startListening();
  task().sendPartial("hel");
  listener->stop(true);
  events();
  at(0.5);
  task().sendFinal("hello");
  EXPECT_EQ(events(), Lines{});  // finishStop runs on a later turn
  fake.queue.runUntilIdle();
  EXPECT_EQ(events(), (Lines{final("hello", "stop"), stopped}));
  EXPECT_EQ(fake.queue.exitStatus(), 0);
}

TEST_F(ContinuousListenerTest, ErrorDuringFlushEndsStopButIgnoredOneDoesNot) {
  startListening();
  task().sendPartial("hey");
  listener->stop(false);
  events();
  task().sendError(afError, 1110);
  task().sendFinal("");
  fake.queue.runUntilIdle();
  EXPECT_EQ(events(), Lines{});
  task().sendError("X", 5);
  fake.queue.runUntilIdle();
  EXPECT_EQ(events(), (Lines{final("hey", "stop"), stopped}));
}

TEST_F(ContinuousListenerTest, PauseDuringFlushDropsTextAndStopsAfterFlush) {
  startListening();
  task().sendPartial("held");
  listener->stop(true);
  listener->pauseListening();
  EXPECT_TRUE(task().cancelled);
  listener->resumeListening();  // clears the pause but cannot start
  EXPECT_EQ(output.takeErr(), "quorvel: resume after pause\n");
  at(1.59);
  EXPECT_EQ(events(), (Lines{listening, partial("held"), paused}));
  at(1.6);
  EXPECT_EQ(events(), Lines{stopped});
  EXPECT_EQ(fake.queue.exitStatus(), 0);
}

TEST_F(ContinuousListenerTest, StopAfterStoppedOnlyExits) {
  startListening();
  listener->stop(false);
  events();
  listener->stop(false);
  listener->start();
  listener->pauseListening();
  fake.queue.runUntilIdle();
  EXPECT_FALSE(fake.queue.exitStatus());
  listener->stop(true);
  fake.queue.runUntilIdle();
  EXPECT_EQ(events(), Lines{});
  EXPECT_EQ(fake.queue.exitStatus(), 0);
}

// A late partial of the cancelled task repeats words the segment's final
// already carried; a stop in the restart gap must not report them again.
TEST_F(ContinuousListenerTest,
       StopWhileRestartingDoesNotRepeatFinalizedSpeech) {
  startListening();
  task().sendPartial("turn");
  at(1.1);
  task().sendPartial("turn left");  // late, from the cancelled task
  listener->stop(false);
  EXPECT_EQ(events(),
            (Lines{listening, partial("turn"), final("turn", "silence"),
                   partial("turn left"), stopped}));
}

// Levels are four times the float peak of channel 0, widened to double.
TEST_F(ContinuousListenerTest, LevelsAreSpacedAcrossRestartsAndScaled) {
  startListening();
  events();
  engine->deliver({0.125f, -0.1875f, 0.0625f});  // first buffer always measured
  at(0.05);
  engine->deliver({0.9f});
  at(0.09);
  engine->deliverWithoutFloats(512);  // uses up the spacing
  at(0.13);
  engine->deliver(std::vector<float>(4, 0.9f));
  at(0.18);
  engine->deliver({NAN, 0.015625f});
  task().sendFinal("x");  // restart: the spacing carries over
  at(0.53);
  engine->deliver({0.0f});
  at(0.56);
  engine->deliver({0.0f});
  at(0.62);
  engine->deliver({});  // zero frames: uses up the spacing too
  at(0.66);
  engine->deliver({0.0f});
  at(0.71);
  engine->deliver({0.0f});
  EXPECT_EQ(events(),
            (Lines{R"({"type":"level","rms":0.75})",
                   R"({"type":"level","rms":0.0625})", final("x", "isFinal"),
                   listening, R"({"type":"level","rms":0})",
                   R"({"type":"level","rms":0})"}));
  EXPECT_EQ(fake.speech.lastRequest().appendedBuffers, 5);
}

TEST_F(ContinuousListenerTest, LoudBufferMeansVoiceHeardForStop) {
  startListening();
  engine->deliver({0.03f});  // level just under 0.12: not heard
  listener->stop(false);
  EXPECT_EQ(events(),
            (Lines{listening, R"({"type":"level","rms":0.11999999731779099})",
                   stopped}));

  startListening();
  events();
  engine->deliver({-0.5f});  // capped at 1
  listener->stop(false);
  EXPECT_EQ(events(), Lines{R"({"type":"level","rms":1})"});  // flush pending
  at(1.6);
  EXPECT_EQ(events(), Lines{stopped});
}

TEST_F(ContinuousListenerTest, BackwardClockStepHoldsLevelsBack) {
  startListening();
  engine->deliver({0.125f});
  fake.wallClock.offset = -5.0;
  at(1.0);
  engine->deliver({0.125f});
  at(5.07);
  engine->deliver({0.125f});
  at(5.09);
  engine->deliver({0.125f});
  EXPECT_EQ(events(), (Lines{listening, R"({"type":"level","rms":0.5})",
                             R"({"type":"level","rms":0.5})"}));
}

TEST_F(ContinuousListenerTest, MissingLocaleFallsBackToDefaultRecognizer) {
  fake.speech.hasDefault = true;
  startListening("xx-YY");
  EXPECT_EQ(events(), Lines{listening});
  EXPECT_TRUE(fake.speech.lastRequest().partials);
  EXPECT_EQ(engine->requestedBufferSize, 1024u);
}

TEST(FormatSampleRateTest, ShortestRoundTripWithFraction) {
  EXPECT_EQ(formatSampleRate(0.0), "0.0");
  EXPECT_EQ(formatSampleRate(44100.0), "44100.0");
  EXPECT_EQ(formatSampleRate(22050.5), "22050.5");
  EXPECT_EQ(formatSampleRate(-8000.0), "-8000.0");
  EXPECT_EQ(formatSampleRate(0.1), "0.1");
}

using ContinuousListenerDeathTest = ContinuousListenerTest;

TEST_F(ContinuousListenerDeathTest, StartFailuresEndTheProcess) {
  struct Case {
    std::function<void(FakePlatform&)> setUp;
    int status;
    std::string record;
  } cases[] = {
      {[](FakePlatform& f) { f.speech.locales.clear(); }, 3,
       R"x({"type":"error","message":"No SFSpeechRecognizer for locale en-US","fatal":true})x"},
      {[](FakePlatform& f) { f.speech.locales["en-US"].available = false; }, 3,
       R"x({"type":"error","message":"SFSpeechRecognizer unavailable (dictation\/Siri disabled?)","fatal":true})x"},
      {[](FakePlatform& f) {
         f.engineFormat = {0, 2};
       },
       4,
       R"x({"type":"error","message":"Invalid mic format (sampleRate=0.0, channels=2)","fatal":true})x"},
      {[](FakePlatform& f) {
         f.engineFormat = {NAN, 1};
       },
       4,
       R"x({"type":"error","message":"Invalid mic format (sampleRate=nan, channels=1)","fatal":true})x"},
  };
  for (auto& each : cases) {
    each.setUp(fake);
    EXPECT_EXIT(startListening(), ::testing::ExitedWithCode(each.status), "");
    EXPECT_EQ(events(), Lines{each.record});
    fake.speech.locales = {{"en-US", {}}};
    fake.engineFormat = {48000, 1};
  }
}

// After a restart the engine is tried 20 times, 0.25 s apart, before the
// failure is fatal; a first start or a resume is not retried.
TEST_F(ContinuousListenerDeathTest, EngineStartFailureAfterRestartExitsFour) {
  startListening();
  events();
  task().sendFinal("done");
  engine->startError = "Connection refused";
  at(5.34);
  EXPECT_EQ(events(), Lines{final("done", "isFinal")});
  EXPECT_EXIT(at(5.35), ::testing::ExitedWithCode(4), "");
  EXPECT_EQ(
      events().back(),
      R"x({"type":"error","message":"AVAudioEngine start failed: Connection refused","fatal":true})x");
}

// The capture thread taps while the main queue restarts, pauses, resumes
// and stops the listener; ThreadSanitizer checks the shared members.
TEST_F(ContinuousListenerTest, TapRacesWithMainQueueWithoutDataRaces) {
  startListening();
  std::atomic<bool> done{false};
  std::thread capture([&] {
    const std::vector<float> buffer(256, 0.2f);
    while (!done) engine->deliver(buffer, 2);
  });
  for (int round = 0; round < 200; ++round) {
    task().sendPartial("round " + std::to_string(round));
    task().sendFinal("round done");
    at(fake.queue.now() + 0.35);
    listener->pauseListening();
    listener->resumeListening();
  }
  listener->stop(true);
  at(fake.queue.now() + 2);
  done = true;
  capture.join();
  EXPECT_EQ(fake.queue.exitStatus(), 0);
  EXPECT_EQ(events().back(), stopped);
}

}  // namespace
}  // namespace quorvel
